# Sourced first by ./dev, .ci/run and every script under tools/.
#
# Stop at the first failure, and say where: the script, the line and the
# command, so that no stage ever ends with a bare exit status. A build whose
# chatter is kept out of the terminal runs through `quietly`, which shows the
# end of its log when it fails.
set -Eeuo pipefail

_velkora_failed() {
  local status=$1 line=$2 command=$3 where=${BASH_SOURCE[1]:-$0}
  # A function that failed shows its own return as the command: name the line.
  case $command in return*) command="the call on that line" ;; *) command="\`$command\`" ;; esac
  echo "${where#"$VELKORA_TOP/"}: line $line: $command failed (exit status $status)" >&2
  exit "$status"
}
trap '_velkora_failed $? "$LINENO" "$BASH_COMMAND"' ERR
VELKORA_TOP=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# quietly WHAT COMMAND...: COMMAND with its output in a log; on failure the
# log's last 40 lines, under a line naming WHAT, and COMMAND's exit status.
quietly() {
  local what=$1 log status=0
  shift
  log=$(mktemp "${TMPDIR:-/tmp}/velkora-log.XXXXXX")
  "$@" >"$log" 2>&1 || status=$?
  if [ "$status" -ne 0 ]; then
    echo "== $what failed (exit status $status); the end of its log:" >&2
    tail -n 40 "$log" | sed 's/^/   | /' >&2
  fi
  rm -f "$log"
  return "$status"
}

# Installs Debian packages, quietly.
apt_install_quietly() {
  [ $# -gt 0 ] || return 0
  quietly "apt-get update" apt-get update
  quietly "apt-get install $*" env DEBIAN_FRONTEND=noninteractive \
    apt-get install -y --no-install-recommends "$@"
}

# The key of a cached thing: a hash of the lines given (what it is made from).
cache_key() {
  printf '%s\n' "$@" | sha256sum | cut -c1-16
}

# A hash of files' contents, for keying a cache on the scripts that made it.
files_hash() {
  cat "$@" | sha256sum | cut -c1-16
}

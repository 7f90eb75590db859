"""The id maps of user namespaces: read from mount(8)'s X-mount.idmap text or
from triples, checked as the kernel checks them, written for a child made
to hold a new user namespace (directly, or through newuidmap/newgidmap),
the caller's own maps (its ids and its subordinate ranges), and why no
user namespace can be made here. velkora.userns() is built on these.

A map is a tuple of ``(inside, outside, count)`` lines, the columns of
/proc/PID/uid_map: ids inside..inside+count-1 of the namespace are
outside..outside+count-1 of its parent.
"""

from __future__ import annotations

import os

from velkora._resources import FdOwner

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Iterable, Sequence, Tuple, Union

    Map = Tuple[int, int, int]
    Maps = Tuple[Tuple[Map, ...], Tuple[Map, ...]]
    MapSource = Union[str, Iterable[Sequence[int]]]

__all__ = ["UserNamespace", "userns", "parse", "maps", "write_maps", "caller_maps", "unavailable_reason"]

MAX_LINES = 340  # UID_GID_MAP_MAX_EXTENTS
MAX_TEXT = 4095  # one page, less one byte: what a write of the map file may hold
LAST_ID = 0xFFFFFFFF  # (uid_t)-1, no id: a range ends before it
CAP_SETGID, CAP_SETUID, CAP_SYS_ADMIN = 6, 7, 21


def parse(text: str) -> Maps:
    """mount(8)'s X-mount.idmap text: words ``u:A:B:C`` (uids), ``g:A:B:C``
    (gids), ``b:A:B:C`` or ``A:B:C`` (both), separated by spaces; each is
    the line "A B C" of the map, so ``u:1000:0:1`` shows a file owned by
    uid 1000 on disk as uid 0 through the mount. (uid lines, gid lines),
    checked as maps() checks them; ValueError naming the bad word."""
    if not isinstance(text, str):
        raise TypeError(f"an id map text must be str, not {type(text).__name__}")
    uids: list[Map] = []
    gids: list[Map] = []
    for word in text.split():
        kind, _, rest = word.partition(":") if word[:2] in ("u:", "g:", "b:") else ("b", "", word)
        numbers = rest.split(":")
        if len(numbers) != 3 or not all(n.isdigit() and n.isascii() for n in numbers):
            raise ValueError(f"bad id map {word!r}: expected [u:|g:|b:]INSIDE:OUTSIDE:COUNT")
        line = (int(numbers[0]), int(numbers[1]), int(numbers[2]))
        if kind in ("u", "b"):
            uids.append(line)
        if kind in ("g", "b"):
            gids.append(line)
    if not uids and not gids:
        raise ValueError(f"no id map in {text!r}")
    return _checked("uid", uids), _checked("gid", gids)


def maps(uid_map: MapSource, gid_map: Iterable[Sequence[int]] | None = None) -> Maps:
    """What userns() takes, as (uid lines, gid lines): sequences of
    ``(inside, outside, count)`` (gid_map None: the uid map for groups too),
    or mount(8)'s text, which gives both (gid_map must then be None).
    ValueError for ids out of range, more lines than the kernel takes, and
    ranges that overlap (naming both)."""
    if isinstance(uid_map, str):
        if gid_map is not None:
            raise TypeError("gid_map must be None when uid_map is mount(8)'s text, which maps both")
        return parse(uid_map)
    if isinstance(gid_map, str):
        raise TypeError("gid_map must be a sequence of (inside, outside, count); text goes in uid_map")
    uids = _lines("uid_map", uid_map)
    gids = uids if gid_map is None else _lines("gid_map", gid_map)
    if not uids and not gids:
        raise ValueError("no id map given")
    return _checked("uid", uids), _checked("gid", gids)


def _lines(what: str, given: Iterable[Sequence[int]]) -> list[Map]:
    import operator

    if isinstance(given, (bytes, bytearray)) or not hasattr(given, "__iter__"):
        raise TypeError(f"{what} must be a sequence of (inside, outside, count), not {type(given).__name__}")
    out = []
    for line in given:
        try:
            a, b, c = (operator.index(n) for n in line)
        except (TypeError, ValueError):
            raise TypeError(f"{what}: {line!r} is no (inside, outside, count) of ints") from None
        out.append((a, b, c))
    return out


def _checked(kind: str, lines: list[Map]) -> tuple[Map, ...]:
    """The lines as the kernel takes them, or ValueError naming the fault."""
    if len(lines) > MAX_LINES:
        raise ValueError(f"{kind} map: {len(lines)} lines, more than the kernel's {MAX_LINES}")
    for inside, outside, count in lines:
        if count < 1 or inside < 0 or outside < 0 or inside + count > LAST_ID or outside + count > LAST_ID:
            raise ValueError(
                f"{kind} map: bad line {inside} {outside} {count}: ids are 0 to {LAST_ID - 1}, count at least 1"
            )
    for column, name in ((0, "inside"), (1, "outside")):
        ordered = sorted(lines, key=lambda line: line[column])
        for before, after in zip(ordered, ordered[1:]):
            if before[column] + before[2] > after[column]:
                raise ValueError(
                    f"{kind} map: {name} ranges overlap: {_range(before, column)} of {_text(before)}"
                    f" and {_range(after, column)} of {_text(after)}"
                )
    if len(_file_text(lines)) > MAX_TEXT:
        raise ValueError(f"{kind} map: {len(_file_text(lines))} bytes of text, more than the kernel's {MAX_TEXT}")
    return tuple(lines)


def _range(line: Map, column: int) -> str:
    return f"{line[column]}-{line[column] + line[2] - 1}"


def _text(line: Map) -> str:
    return "{} {} {}".format(*line)


def _file_text(lines: Iterable[Map]) -> bytes:
    return "".join(_text(line) + "\n" for line in lines).encode()


def _capabilities() -> int:
    """The effective capabilities of this thread (Linux numbers as bits)."""
    try:
        with open("/proc/thread-self/status", "rb") as f:
            for line in f:
                if line.startswith(b"CapEff:"):
                    return int(line.split()[1], 16)
    except OSError:
        pass
    return 0


def write_maps(pid: int, uids: Sequence[Map], gids: Sequence[Map]) -> None:
    """Gives the new user namespace of process pid (a child of the caller
    that waits for this) its maps: written to /proc/PID/uid_map and gid_map
    where the caller may (CAP_SETUID/CAP_SETGID, or a map of exactly its
    own euid/egid, setgroups denied first), else through newuidmap/
    newgidmap, whose refusal raises OSError with its message. An empty map
    is left unwritten."""
    caps = _capabilities()
    for kind, lines, own, cap in (("uid", uids, os.geteuid(), CAP_SETUID), ("gid", gids, os.getegid(), CAP_SETGID)):
        if not lines:
            continue
        if caps & (1 << cap):
            _write(f"/proc/{pid}/{kind}_map", _file_text(lines))
        elif len(lines) == 1 and lines[0][1:] == (own, 1):
            if kind == "gid":  # the kernel's condition for an unprivileged gid map
                _write(f"/proc/{pid}/setgroups", b"deny")
            _write(f"/proc/{pid}/{kind}_map", _file_text(lines))
        else:
            _helper(f"new{kind}map", pid, lines)


def _write(path: str, data: bytes) -> None:
    fd = os.open(path, os.O_WRONLY | os.O_CLOEXEC)
    try:
        os.write(fd, data)
    except OSError as e:
        raise OSError(e.errno, f"{e.strerror}: writing {data.decode().strip()!r}", path) from None
    finally:
        os.close(fd)


def helper_path(name: str) -> str | None:
    """Where newuidmap/newgidmap is: on PATH, then /usr/bin, /usr/sbin."""
    import shutil

    return shutil.which(name) or shutil.which(name, path="/usr/bin:/usr/sbin")


def _helper(name: str, pid: int, lines: Sequence[Map]) -> None:
    """Runs newuidmap/newgidmap PID INSIDE OUTSIDE COUNT..., its stderr
    kept for the error; every signal as the caller had it before velkora
    held any, in the helper."""
    import errno
    import signal

    path = helper_path(name)
    if path is None:
        raise FileNotFoundError(
            errno.ENOENT, f"{name} not found (Debian: uidmap), needed to map ids other than the caller's own", name
        )
    argv = [name, str(pid)] + [str(n) for line in lines for n in line]
    read_end, write_end = os.pipe()
    try:
        held = signal.pthread_sigmask(signal.SIG_BLOCK, ())
        loose = held - {signal.SIGINT, signal.SIGTERM}
        try:
            child = os.posix_spawn(
                path, argv, os.environ, file_actions=[(os.POSIX_SPAWN_DUP2, write_end, 2)], setsigmask=loose
            )
        except OSError as e:
            raise OSError(e.errno, f"{name} could not be run: {e.strerror}", path) from None
        os.close(write_end)
        write_end = -1
        chunks = []
        while True:
            chunk = os.read(read_end, 4096)
            if not chunk:
                break
            chunks.append(chunk)
        try:
            status = os.waitpid(child, 0)[1]
        except ChildProcessError:  # reaped behind our back (SIGCHLD ignored): the map tells
            status = 0 if _written(pid, name) else 1 << 8
    finally:
        os.close(read_end)
        if write_end >= 0:
            os.close(write_end)
    if status != 0:
        said = b"".join(chunks).decode(errors="replace").strip() or _status_text(status)
        raise PermissionError(errno.EPERM, f"{name} refused {' '.join(argv[2:])}: {said}", path)


def _written(pid: int, name: str) -> bool:
    try:
        with open(f"/proc/{pid}/{name[3:]}", "rb") as f:
            return bool(f.read().strip())
    except OSError:
        return False


def _status_text(status: int) -> str:
    if os.WIFSIGNALED(status):
        return f"killed by signal {os.WTERMSIG(status)}"
    return f"exit status {os.WEXITSTATUS(status)}"


def _subordinate(path: str, name: str | None, number: int) -> list[tuple[int, int]]:
    """The ranges (start, count) of a user in /etc/subuid or /etc/subgid,
    by name or by number, in file order."""
    found = []
    try:
        with open(path, encoding="utf-8", errors="surrogateescape") as f:
            for line in f:
                fields = line.strip().split(":")
                if len(fields) != 3 or fields[0] not in (name, str(number)):
                    continue
                if fields[1].isdigit() and fields[2].isdigit() and int(fields[2]) > 0:
                    found.append((int(fields[1]), int(fields[2])))
    except FileNotFoundError:
        pass
    return found


def caller_maps() -> Maps:
    """The caller's maps for a root of its own: its uid and gid as 0, then
    its subordinate ranges from 1 upwards, in file order, as podman maps
    them. Both files are looked up as newuidmap and newgidmap look them
    up: by the user's name, and by its uid's number."""
    import pwd

    uid = os.getuid()
    try:
        name: str | None = pwd.getpwuid(uid)[0]
    except KeyError:
        name = None
    out = []
    for kind, own, path in (("uid", uid, "/etc/subuid"), ("gid", os.getgid(), "/etc/subgid")):
        lines = [(0, own, 1)]
        for start, count in _subordinate(path, name, uid):
            lines.append((lines[-1][0] + lines[-1][2], start, count))
        out.append(_checked(kind, lines))
    return out[0], out[1]


def _sysctl(name: str) -> str | None:
    try:
        with open("/proc/sys/" + name, "rb") as f:  # bytes: no codec to import
            return f.read().strip().decode()
    except OSError:
        return None


def unavailable_reason() -> str | None:
    """Why this process can make no user namespace, or None where nothing
    forbids it: the namespace count limit at 0, or (without CAP_SYS_ADMIN)
    Debian's kernel.unprivileged_userns_clone or AppArmor's
    kernel.apparmor_restrict_unprivileged_userns."""
    if _sysctl("user/max_user_namespaces") == "0":
        return "user namespaces are disabled: /proc/sys/user/max_user_namespaces is 0"
    if not _capabilities() & (1 << CAP_SYS_ADMIN):
        if _sysctl("kernel/unprivileged_userns_clone") == "0":
            return "user namespaces are forbidden to ordinary users: kernel.unprivileged_userns_clone is 0"
        if _sysctl("kernel/apparmor_restrict_unprivileged_userns") == "1":
            return (
                "user namespaces are restricted by AppArmor for ordinary users:"
                " kernel.apparmor_restrict_unprivileged_userns is 1"
            )
    return None


class UserNamespace(FdOwner):
    """A user namespace, as an fd (non-inheritable) that keeps it: what
    ``mount_setattr(userns_fd=)`` and setns(2) take. fileno(), close(),
    closed, and ``with``; uid_map and gid_map are its maps."""

    def __init__(self, fd: int, uid_map: tuple[Map, ...], gid_map: tuple[Map, ...]) -> None:
        super().__init__(fd)
        self.uid_map = uid_map  #: its uid map, lines (inside, outside, count)
        self.gid_map = gid_map  #: its gid map

    def __repr__(self) -> str:
        def shown(lines: tuple[Map, ...]) -> str:
            return ",".join(_text(line) for line in lines)

        state = "closed" if self._fd is None else f"fd={self._fd}"
        return f"<UserNamespace {state} uid_map={shown(self.uid_map)!r} gid_map={shown(self.gid_map)!r}>"


def userns(uid_map: MapSource, gid_map: Iterable[Sequence[int]] | None = None) -> UserNamespace:
    """A new user namespace with these maps (as maps() reads them): a child
    is cloned into it, its maps written (through newuidmap/newgidmap where
    the caller may not write them itself), the namespace opened, the child
    reaped; SIGINT and SIGTERM wait meanwhile. Raises ValueError for bad
    maps, OSError naming why no namespace could be made or who refused a
    map."""
    import errno

    from velkora import _userns
    from velkora._resources import held_signals

    uids, gids = maps(uid_map, gid_map)
    made = None
    try:
        with held_signals():
            try:
                fd = _userns.make(lambda pid: write_maps(pid, uids, gids))
            except OSError as e:
                if e.filename is None and e.errno in (errno.EPERM, errno.ENOSPC, errno.EUSERS, errno.EINVAL):
                    raise OSError(e.errno, _clone_refused(e)) from None
                if e.errno in (errno.EACCES, errno.EPERM) and _undumpable():
                    raise type(e)(e.errno, f"{e.strerror}: {UNDUMPABLE}", e.filename) from None
                raise
            made = UserNamespace(fd, uids, gids)
    except BaseException:
        if made is not None:  # a signal that waited, raised as the block ended
            made.close()
        raise
    return made


UNDUMPABLE = (
    "this process is not dumpable (it changed its uid or gid, or set PR_SET_DUMPABLE to 0), so the"
    " /proc files of its children are root's and it may not write their maps; a process started by"
    " exec is dumpable"
)


def _undumpable() -> bool:
    """Whether this process's /proc files are root's though it is not
    (what changing the uid does, until the next exec)."""
    try:
        # A file: /proc/PID itself keeps the euid as its owner whatever the flag.
        return os.geteuid() != 0 and os.stat("/proc/self/stat").st_uid == 0
    except OSError:
        return False


def _clone_refused(e: OSError) -> str:
    import errno

    why = unavailable_reason()
    if why is None and e.errno == errno.ENOSPC:
        limit = _sysctl("user/max_user_namespaces")
        why = f"the limit of user namespaces ({limit}) or of their nesting (32) is reached"
    elif why is None and e.errno == errno.EPERM:
        why = "a process in a chroot, or one its seccomp filter or LSM forbids it, may make none"
    elif why is None and e.errno == errno.EINVAL:
        why = "this kernel has no user namespaces (CONFIG_USER_NS)"
    return f"no user namespace could be made: clone(CLONE_NEWUSER): {e.strerror}: {why}"

"""Throw-away ordinary users for the tests of what works without root:
test_user() adds one (with subordinate ids, or without) and removes it and
all it had afterwards, on failure and Ctrl-C too; run_as() runs a process
as that user."""

from __future__ import annotations

import os
import shutil
import signal
import subprocess
import sys
import tempfile
from contextlib import contextmanager
from typing import Any, Iterator, NamedTuple, Sequence

from support import PROGRAMS
from support.namespace import unavailable

SUBID_COUNT = 65536
SUBID_FLOOR = 200000  # above what Debian's useradd hands out from (100000, 65536 each)


class User(NamedTuple):
    name: str
    uid: int
    gid: int
    home: str
    subuids: tuple[int, int] | None  # (start, count) in /etc/subuid and /etc/subgid


def _free_start() -> int:
    """A start above every range in /etc/subuid and /etc/subgid."""
    top = SUBID_FLOOR
    for path in ("/etc/subuid", "/etc/subgid"):
        try:
            with open(path) as f:
                for line in f:
                    fields = line.strip().split(":")
                    if len(fields) == 3 and fields[1].isdigit() and fields[2].isdigit():
                        top = max(top, int(fields[1]) + int(fields[2]))
        except FileNotFoundError:
            pass
    return -(-top // SUBID_COUNT) * SUBID_COUNT


def _ranges(name: str, uid: int) -> list[str]:
    found = []
    for path in ("/etc/subuid", "/etc/subgid"):
        try:
            with open(path) as f:
                found += [f"{path}: {line.strip()}" for line in f if line.split(":")[0] in (name, str(uid))]
        except FileNotFoundError:
            pass
    return found


def _run(*argv: str) -> None:
    done = subprocess.run(argv, capture_output=True, text=True)
    if done.returncode != 0:
        raise RuntimeError(f"{' '.join(argv)}: {done.stderr.strip() or done.returncode}")


def _add(name: str, subids: bool) -> User:
    home = tempfile.mkdtemp(prefix=name + "-home-")
    os.chmod(home, 0o755)
    _run("useradd", "--system", "--user-group", "--no-create-home", "--home-dir", home, "--shell", "/bin/sh", name)
    import pwd

    entry = pwd.getpwnam(name)
    os.chown(home, entry.pw_uid, entry.pw_gid)
    left = _ranges(name, entry.pw_uid)
    if left:  # a stale line of an earlier user with this uid, which would change what is tested
        raise RuntimeError(f"new user {name} has subordinate ids already: {left}")
    ranges = None
    if subids:
        start = _free_start()
        span = f"{start}-{start + SUBID_COUNT - 1}"
        _run("usermod", "--add-subuids", span, "--add-subgids", span, name)
        ranges = (start, SUBID_COUNT)
    return User(name, entry.pw_uid, entry.pw_gid, home, ranges)


def _remove(name: str, home: str | None) -> None:
    import pwd

    uid: int | None = None
    try:
        uid = pwd.getpwnam(name).pw_uid
    except KeyError:
        pass
    else:  # userdel drops the subordinate ranges too where shadow was built so; this makes sure
        for flag in ("--del-subuids", "--del-subgids"):
            for line in _ranges(name, uid):
                path, _, entry = line.partition(": ")
                if path.endswith("subuid" if flag == "--del-subuids" else "subgid"):
                    _, start, count = entry.split(":")
                    subprocess.run(["usermod", flag, f"{start}-{int(start) + int(count) - 1}", name],
                                   capture_output=True)  # fmt: skip
        _run("userdel", "--force", name)
    if home is not None:
        shutil.rmtree(home, ignore_errors=True)
    if uid is not None and _ranges(name, uid):
        raise RuntimeError(f"subordinate ids of {name} left: {_ranges(name, uid)}")


_serial = 0


@contextmanager
def test_user(subids: bool) -> Iterator[User]:
    """An ordinary user made for the block (as root; skipped where this is no
    root or useradd is missing): a system user named after this process,
    with a home of its own and, with subids, /etc/subuid and /etc/subgid
    ranges of 65536 ids above every range there. Removed afterwards, with
    its ranges and home; SIGINT and SIGTERM wait while it is added and
    removed, so that a Ctrl-C leaves no user behind."""
    global _serial
    if os.geteuid() != 0:
        unavailable("not root: adding a user needs root")
    if shutil.which("useradd") is None or (subids and shutil.which("newuidmap") is None):
        unavailable("useradd or newuidmap not found (Debian: passwd, uidmap)")
    _serial += 1
    name = f"vk{os.getpid()}u{_serial}"
    held = {signal.SIGINT, signal.SIGTERM}
    old = signal.pthread_sigmask(signal.SIG_BLOCK, held)
    user = None
    try:
        try:
            user = _add(name, subids)
        except BaseException:
            _remove(name, None)
            raise
        signal.pthread_sigmask(signal.SIG_SETMASK, old)
        yield user
    finally:
        signal.pthread_sigmask(signal.SIG_BLOCK, held)
        try:
            if user is not None:
                _remove(name, user.home)
        finally:
            signal.pthread_sigmask(signal.SIG_SETMASK, old)


test_user.__test__ = False  # type: ignore[attr-defined] # a helper, which pytest must not collect


def run_as(user: User, argv: Sequence[str], **kw: Any) -> subprocess.CompletedProcess[Any]:
    """subprocess.run(argv) as the user: no supplementary groups, its gid
    and uid, HOME its home, in its home unless cwd is given; output captured
    as text unless told otherwise. A Python program (argv[0] is
    sys.executable, then ``-c PROGRAM`` or the command's words) runs
    through programs/as_user.py, which imports velkora before it becomes
    the user: the interpreter may be under /root, which the user cannot
    read."""
    env = dict(kw.pop("env", os.environ))
    env.update(HOME=user.home, USER=user.name, LOGNAME=user.name)
    kw.setdefault("cwd", user.home)
    kw.setdefault("capture_output", True)
    kw.setdefault("text", True)
    if argv[0] == sys.executable:
        env["VELKORA_TEST_USER"] = f"{user.uid}:{user.gid}"
        return subprocess.run([sys.executable, str(PROGRAMS / "as_user.py"), *argv[1:]], env=env, **kw)

    def become() -> None:  # subprocess's user=, group=, extra_groups= are Python 3.9's
        os.setgroups([])
        os.setgid(user.gid)
        os.setuid(user.uid)

    return subprocess.run(list(argv), env=env, preexec_fn=become, **kw)

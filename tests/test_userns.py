"""User namespaces: the id maps read and checked (_idmap.parse, maps), the
caller's maps, and velkora.userns() as root and as ordinary users with and
without subordinate ids."""

from __future__ import annotations

import json
import os
import re
import shutil
import subprocess
import sys
import time

import pytest

import velkora
from support import PROGRAMS
from support.namespace import unavailable
from support.users import run_as, test_user
from velkora import _idmap, _userns

pytestmark = pytest.mark.userns

PARSED = [
    ("u:1000:0:1", ((1000, 0, 1),), ()),
    ("g:1001:1:2", (), ((1001, 1, 2),)),
    ("b:0:100000:65536", ((0, 100000, 65536),), ((0, 100000, 65536),)),
    ("5000:1000:2", ((5000, 1000, 2),), ((5000, 1000, 2),)),
    ("u:1000:0:1 g:1001:1:2 5000:1000:2", ((1000, 0, 1), (5000, 1000, 2)), ((1001, 1, 2), (5000, 1000, 2))),
    ("  u:0:0:1\tu:1:5:1\n", ((0, 0, 1), (1, 5, 1)), ()),
    ("0:0:4294967295", ((0, 0, 4294967295),), ((0, 0, 4294967295),)),
]


@pytest.mark.parametrize(("text", "uids", "gids"), PARSED)
def test_parse(text, uids, gids):
    assert _idmap.parse(text) == (uids, gids)
    assert _idmap.maps(text) == (uids, gids)


BAD_TEXT = [
    ("", "no id map"),
    ("   ", "no id map"),
    ("u:1000:0", "'u:1000:0'"),
    ("x:1:2:3", "'x:1:2:3'"),
    ("u:1:2:3 g:1:-2:3", "'g:1:-2:3'"),
    ("u:1:2:3:4", "'u:1:2:3:4'"),
    ("1:2:3 u:a:2:3", "'u:a:2:3'"),
    ("u:1:2:٣", "'u:1:2:٣'"),  # a digit to str.isdigit, none to the kernel
    ("U:1:2:3", "'U:1:2:3'"),
    ("u:0:0:0", "uid map: bad line 0 0 0"),
    ("g:0:1:4294967295", "gid map: bad line 0 1 4294967295"),
    ("b:4294967295:0:1", "bad line 4294967295 0 1"),
    ("u:0:1000:10 u:5:2000:10", "uid map: inside ranges overlap: 0-9 of 0 1000 10 and 5-14 of 5 2000 10"),
    ("g:0:1000:10 g:20:1009:1", "gid map: outside ranges overlap: 1000-1009 of 0 1000 10 and 1009-1009 of 20 1009 1"),
]


@pytest.mark.parametrize(("text", "named"), BAD_TEXT)
def test_parse_refuses(text, named):
    with pytest.raises(ValueError, match=re.escape(named)):
        _idmap.parse(text)


def test_maps_sequences():
    assert _idmap.maps([(0, 1000, 1), [1, 100000, 65536]]) == (((0, 1000, 1), (1, 100000, 65536)),) * 2
    assert _idmap.maps([(0, 1000, 1)], ((0, 1001, 1),)) == (((0, 1000, 1),), ((0, 1001, 1),))
    assert _idmap.maps([(0, 1000, 1)], ()) == (((0, 1000, 1),), ())
    adjacent = [(10, 20, 5), (0, 0, 10)]  # touching ranges, any order
    assert _idmap.maps(adjacent)[0] == ((10, 20, 5), (0, 0, 10))
    most = [(i, i, 1) for i in range(_idmap.MAX_LINES)]
    assert len(_idmap.maps(most)[0]) == _idmap.MAX_LINES


BAD_MAPS = [
    (([],), ValueError, "no id map given"),
    (([(0, 1, 2)], "0 1 2"), TypeError, "text goes in uid_map"),
    (("u:0:1:1", [(0, 1, 1)]), TypeError, "gid_map must be None"),
    ((b"0 1 1",), TypeError, "uid_map must be a sequence"),
    (([(0, 1)],), TypeError, r"\(0, 1\) is no"),
    (([(0, 1.0, 1)],), TypeError, "is no"),
    (([(0, 1, 1)], [("0", 1, 1)]), TypeError, "gid_map"),
    (([(-1, 0, 1)],), ValueError, "bad line -1 0 1"),
    (([(0, 0, 1)], [(0, 4294967294, 2)]), ValueError, "gid map: bad line 0 4294967294 2"),
    (([(i, i, 1) for i in range(341)],), ValueError, "341 lines, more than the kernel's 340"),
    (([(i * 10**7, i * 10**7, 10**6) for i in range(340)],), ValueError, "bytes of text, more than"),
    (([(0, 0, 2), (1, 5, 1)],), ValueError, "inside ranges overlap: 0-1 of 0 0 2 and 1-1 of 1 5 1"),
]


@pytest.mark.parametrize(("args", "error", "named"), BAD_MAPS)
def test_maps_refuses(args, error, named):
    with pytest.raises(error, match=named):
        _idmap.maps(*args)


@pytest.mark.parametrize(
    ("owner", "lines", "found"),
    [
        ("me", "me:100000:65536\nyou:300000:10\n1000:400000:5\n", [(100000, 65536), (400000, 5)]),
        ("me", "# not a range\nme:1:2:3\nme:x:5\nme:7:0\n\nme:9:1\n", [(9, 1)]),
        (None, "me:1:1\n1000:2:3\n", [(2, 3)]),  # a user without a name: by number alone
    ],
)
def test_subordinate_ranges_by_name_and_number(tmp_path, owner, lines, found):
    (tmp_path / "subuid").write_text(lines)
    assert _idmap._subordinate(str(tmp_path / "subuid"), owner, 1000) == found
    assert _idmap._subordinate(str(tmp_path / "absent"), owner, 1000) == []


# What a process joined to a namespace reads as its maps (nsenter keeps its
# ids: a namespace that maps no 0 still takes it), as maps() gives them.
SEEN = """
import subprocess

def seen(fd):
    script = "cat /proc/self/uid_map; echo -; cat /proc/self/gid_map"
    argv = ["nsenter", f"--user=/proc/self/fd/{fd}", "--preserve-credentials", "sh", "-c", script]
    out = subprocess.run(argv, pass_fds=[fd], capture_output=True, text=True, check=True).stdout
    return [[[int(n) for n in line.split()] for line in part.splitlines() if line.strip()] for part in out.split("-")]

def children():
    found = []
    for task in os.listdir("/proc/self/task"):
        with open(f"/proc/self/task/{task}/children") as f:
            found += f.read().split()
    return found
"""
_shared: dict = {"os": os}
exec(SEEN, _shared)
seen, children = _shared["seen"], _shared["children"]


def listed(maps):
    return [[list(line) for line in lines] for lines in maps]


@pytest.fixture
def root():
    if os.geteuid() != 0:
        unavailable("not root")


AS_ROOT = [
    ("b:0:100000:65536", None),
    ([(0, 0, 1), (1, 100000, 10)], None),
    ([(0, 1000, 1)], [(0, 1001, 1), (5, 2000, 3)]),
    ("u:0:0:1 g:10:20:1 u:7:70:2", None),
    ([(0, 0, 1)], ()),  # no gid map at all
]


@pytest.mark.parametrize(("uid_map", "gid_map"), AS_ROOT)
def test_as_root(root, uid_map, gid_map):
    fds, before = sorted(os.listdir("/proc/self/fd")), children()  # the session's own, if any
    with velkora.userns(uid_map, gid_map) as ns:
        fd = ns.fileno()
        assert not os.get_inheritable(fd)
        link = os.readlink(f"/proc/self/fd/{fd}")
        assert re.fullmatch(r"user:\[\d+\]", link) and link != os.readlink("/proc/self/ns/user")
        assert seen(fd) == listed((ns.uid_map, ns.gid_map)) == listed(_idmap.maps(uid_map, gid_map))
        assert children() == before
    assert ns.closed and sorted(os.listdir("/proc/self/fd")) == fds


def twice(pid):
    _idmap.write_maps(pid, ((0, 0, 1),), ())
    _idmap.write_maps(pid, ((0, 0, 1),), ())  # a map is written once


def interrupted(pid):
    raise KeyboardInterrupt


@pytest.mark.parametrize(
    ("write", "error", "named"),
    [(twice, PermissionError, r"writing '0 0 1': '/proc/\d+/uid_map'"), (interrupted, KeyboardInterrupt, None)],
)
def test_a_failed_write_leaves_nothing(root, write, error, named):
    fds, before = sorted(os.listdir("/proc/self/fd")), children()
    with pytest.raises(error, match=named):
        _userns.make(write)
    assert children() == before and sorted(os.listdir("/proc/self/fd")) == fds


def test_a_fork_meanwhile_keeps_nothing_waiting(root):
    # Another thread's fork while the holder waits (multiprocessing's) copies
    # the pipe's write end: the holder is let go all the same, at once.
    def forking(pid):
        if os.fork() == 0:
            time.sleep(2)
            os._exit(0)
        _idmap.write_maps(pid, ((0, 0, 1),), ((0, 0, 1),))

    started = time.monotonic()
    try:
        _userns.make(forking).close()
        assert time.monotonic() - started < 1
    finally:
        os.wait()


@pytest.mark.parametrize(
    ("argv", "result"),
    [
        # No signal blocked or ignored (Python ignores SIGPIPE and SIGXFSZ),
        # no fd but stdin, stdout, stderr (and ls's own).
        (["/bin/sh", "-c", "grep -E '^Sig(Blk|Ign)' /proc/self/status >&2; ls /proc/self/fd >&2"],
         (0, 0, b"SigBlk:\t0000000000000000\nSigIgn:\t0000000000000000\n0\n1\n2\n3\n")),
        (["/bin/sh", "-c", "echo refused >&2; exit 3"], (3 << 8, 0, b"refused\n")),
        (["/nonexistent/newuidmap"], (127 << 8, 2, b"")),
    ],
)  # fmt: skip
def test_helper_runs_as_a_new_program(argv, result):
    inherited = os.pipe()
    os.set_inheritable(inherited[1], True)
    try:
        assert _userns.run(argv[0], [os.fsencode(word) for word in argv]) == result
    finally:
        os.close(inherited[0])
        os.close(inherited[1])


def test_newuidmap_missing_is_named(root, monkeypatch):
    # A caller that may not write the map itself, with no newuidmap to run.
    monkeypatch.setattr(_idmap, "_capabilities", lambda: 0)
    monkeypatch.setattr(_idmap, "helper_path", lambda name: None)
    before = children()
    with pytest.raises(FileNotFoundError, match=r"newuidmap not found \(Debian: uidmap\)"):
        _userns.make(lambda pid: _idmap.write_maps(pid, ((0, 100000, 10),), ()))
    assert children() == before


def test_killed_caller_leaves_no_child(tmp_path):
    # Killed at a random moment of a loop of calls: its holding child dies
    # with it (PR_SET_PDEATHSIG), or was never there.
    tag = f"velkora-killed-{os.getpid()}"
    loop = "import sys, velkora\nwhile True:\n    velkora.userns([(0, 0, 1)]).close()\n"
    for delay in (0.05, 0.1, 0.2):
        caller = subprocess.Popen([sys.executable, "-c", loop, tag])
        time.sleep(delay)
        caller.kill()
        caller.wait()
    time.sleep(0.1)
    left = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                if tag.encode() in f.read():
                    left.append(pid)
        except OSError:
            pass
    assert left == []


def test_no_user_namespace_left_to_make():
    # The limit at 0 in a namespace of the test's own, where root may set it.
    program = (
        "open('/proc/sys/user/max_user_namespaces', 'w').write('0')\n"
        "import velkora\n"
        "try:\n    velkora.userns([(0, 0, 1)])\nexcept OSError as e:\n    print(e.errno, e)\n"
    )
    run = subprocess.run(["unshare", "--user", "--map-root-user", sys.executable, "-c", program],
                         capture_output=True, text=True)  # fmt: skip
    assert run.stdout.strip() == (
        "28 [Errno 28] no user namespace could be made: clone(CLONE_NEWUSER): No space left on device:"
        " user namespaces are disabled: /proc/sys/user/max_user_namespaces is 0"
    ), run.stderr


# As an ordinary user: its own maps (caller_maps), a map beyond its rights,
# and a process that is not dumpable.
AS_USER = (
    "import os"
    + SEEN
    + """
import ctypes, json, velkora
from velkora import _idmap

uids, gids = _idmap.caller_maps()
out = {"caller": [uids, gids], "reason": _idmap.unavailable_reason(), "refused": []}
with velkora.userns(uids, gids) as ns:
    out["seen"] = seen(ns.fileno())
for uid_map in BEYOND:
    try:
        velkora.userns(uid_map, gids[:1]).close()
        out["refused"].append(None)
    except OSError as e:
        out["refused"].append(str(e))
ctypes.CDLL(None).prctl(4, 0, 0, 0, 0)  # PR_SET_DUMPABLE
try:
    velkora.userns(uids[:1], gids[:1]).close()
except OSError as e:
    out["undumpable"] = str(e)
out["children"] = children()
print(json.dumps(out))
"""
)


@pytest.mark.parametrize("subids", [False, True], ids=["own ids", "subordinate ids"])
def test_as_an_ordinary_user(subids):
    with test_user(subids) as user:
        start = user.subuids[0] if subids else 100000
        own = [0, user.uid, 1]
        beyond = [[own, [1, start + 65536, 1]]]  # past its range, if it has one
        if subids:
            beyond.append([own, [1, start + 10, 5]])  # within it: newuidmap maps it
        run = run_as(user, [sys.executable, "-c", f"BEYOND = {beyond!r}\n" + AS_USER])
        assert run.returncode == 0, run.stderr
        out = json.loads(run.stdout)
    ranges = [[1, start, 65536]] if subids else []
    assert out["caller"] == [[own, *ranges], [[0, user.gid, 1], *ranges]] == out["seen"]
    assert out["reason"] is None and out["children"] == []
    assert out["refused"][0] == (
        f"[Errno 1] newuidmap refused 0 {user.uid} 1 1 {start + 65536} 1: newuidmap: uid range [1-2) ->"
        f" [{start + 65536}-{start + 65537}) not allowed: '/usr/bin/newuidmap'"
    )
    assert out["refused"][1:] == ([None] if subids else [])
    assert out["undumpable"].startswith("[Errno 13] Permission denied: writing '0 ")
    assert _idmap.UNDUMPABLE in out["undumpable"]


STORM = "import sys; sys.argv = [{0!r}, {1!r}, {2!r}]; exec(open({0!r}).read(), {{'__file__': {0!r}}})"


@pytest.mark.storm
@pytest.mark.parametrize(
    ("who", "to", "cycles"),
    [("root", "main", 1000), ("root", "process", 1000), ("user with subordinate ids", "process", 100)],
)
def test_interrupted_calls_leave_nothing(who, to, cycles):
    # Each call under one SIGINT at a random moment; newuidmap and
    # newgidmap run in each of the user's.
    if who == "root":
        argv = [sys.executable, "-c", STORM.format(str(PROGRAMS / "interrupted_userns.py"), str(cycles), to)]
        run = subprocess.run(argv, capture_output=True, text=True, timeout=120)
    else:
        with test_user(True) as user:
            # The tree may be one the user cannot read (under /root): the
            # program and the helper it imports go in the user's home.
            for name in ("programs/interrupted_userns.py", "support/__init__.py", "support/sigtimer.py"):
                os.makedirs(os.path.join(user.home, os.path.dirname(name)), exist_ok=True)
                shutil.copyfile(PROGRAMS.parent / name, os.path.join(user.home, name))
            program = os.path.join(user.home, "programs/interrupted_userns.py")
            run = run_as(user, [sys.executable, "-c", STORM.format(program, str(cycles), to)], timeout=120)
    assert run.returncode == 0, run.stderr
    report = json.loads(run.stdout)
    # How many signals land inside a call depends on the machine's load:
    # some must, and none may leave anything behind.
    assert report["interrupted"] > cycles // 20 and report["fds"][0] == report["fds"][1]
    assert report["children"] == [] and report["unraisable"] == []

"""velkora.btrfs where the tree changes under a recursive walk, Ctrl-C
comes at any moment, or the input is bad: what is deleted, snapshotted or
left, judged by btrfs-progs and the kernel (the fixtures and helpers of
test_btrfs, on a copy of the session's image of this module's own)."""

from __future__ import annotations

import errno
import os
import signal
import subprocess
import sys
import tempfile

import pytest
import test_btrfs

from velkora import btrfs
from velkora.btrfs import _top as _btrfs_top

# Every test here mounts a copy of the session's Btrfs image through a
# loop device (a block device, refused in a user namespace).
pytestmark = pytest.mark.blockdev

fs, tree = test_btrfs.fs, test_btrfs.tree  # the fixtures, for a copy of this module's own
_btrfs, listed, make_nested, ro = test_btrfs._btrfs, test_btrfs.listed, test_btrfs.make_nested, test_btrfs.ro
kept = test_btrfs.kept


def test_recursive_delete_follows_no_name_swapped_mid_walk(tree, monkeypatch):
    # Once the tree is read, the plain directory holding a read-only holder
    # and another subvolume is swapped for a link to a look-alike outside:
    # nothing out there may be deleted or made writable.
    for top in ("swap", "outside"):
        for inner in ("", "/d/r", "/d/r/s", "/d/s"):
            os.makedirs(os.path.dirname(f"{tree}/{top}{inner}"), exist_ok=True)
            btrfs.create(f"{tree}/{top}{inner}")
        _btrfs("property", "set", f"{tree}/{top}/d/r", "ro", "true")
    outside = {row["id"] for row in listed(tree).values() if row["path"].startswith("outside")}

    def swap(*args: object) -> None:
        os.rename(f"{tree}/swap/d", f"{tree}/swap/moved")
        os.symlink(f"{tree}/outside/d", f"{tree}/swap/d")

    monkeypatch.setattr(btrfs, "refuse_busy", swap)
    with pytest.raises(OSError) as e:
        btrfs.delete(f"{tree}/swap", recursive=True)
    assert e.value.errno == errno.EBUSY and e.value.filename == os.fsencode(f"{tree}/swap/d/r")
    assert outside <= {row["id"] for row in listed(tree).values()} and ro(f"{tree}/outside/d/r")
    monkeypatch.undo()
    for top in ("swap", "outside"):
        btrfs.delete(f"{tree}/{top}", recursive=True)


def test_recursive_snapshot_undone_by_id(tree, monkeypatch):
    # A step fails after the copy's directory holding a snapshot already made
    # was swapped for a link to a look-alike outside: the undoing deletes the
    # snapshots made, and nothing out there.
    for top in ("source", "outside"):
        for inner in ("", "/d/a", "/d/b"):
            os.makedirs(os.path.dirname(f"{tree}/{top}{inner}"), exist_ok=True)
            btrfs.create(f"{tree}/{top}{inner}")
    before = set(listed(tree))
    rmdir = os.rmdir

    def failing(path: bytes, *, dir_fd: int | None = None) -> None:
        if path.endswith(b"b"):
            os.rename(f"{tree}/copy/d", f"{tree}/copy/moved")
            os.symlink(f"{tree}/outside/d", f"{tree}/copy/d")
            raise OSError(errno.EIO, "failed", path)
        rmdir(path, dir_fd=dir_fd)

    monkeypatch.setattr(os, "rmdir", failing)
    with pytest.raises(OSError, match="failed"):
        btrfs.snapshot(f"{tree}/source", f"{tree}/copy", recursive=True)
    monkeypatch.undo()
    assert set(listed(tree)) == before and not os.path.lexists(f"{tree}/copy")
    for top in ("source", "outside"):
        btrfs.delete(f"{tree}/{top}", recursive=True)


@pytest.mark.parametrize(
    ("kind", "error"),
    [
        ("float", TypeError),
        ("str", TypeError),
        ("bool", TypeError),
        ("negative", OverflowError),
        ("huge", OverflowError),
    ],
)
def test_bad_ids_never_reach_the_kernel(tree, kind, error):
    # "@" holds another subvolume: its id as a float once deleted the tree.
    at = btrfs.info(f"{tree}/@").id
    bad = {"float": float(at), "str": str(at), "bool": True, "negative": -1, "huge": 2**64 + at}[kind]
    before, default = listed(tree), _btrfs("subvolume", "get-default", tree)
    for call in (
        lambda: btrfs.delete(tree, id=bad, recursive=True),
        lambda: btrfs.set_default(tree, bad),
        lambda: btrfs.toplevel(tree, id=bad).__enter__(),
    ):
        with pytest.raises(error):
            call()
    assert kept(listed(tree)) == kept(before) and _btrfs("subvolume", "get-default", tree) == default


@pytest.mark.parametrize(
    ("at", "error"),
    [("link", errno.ENOTDIR), ("link/", errno.ENOTDIR), ("linked/.", errno.EINVAL), ("linked/inner/..", errno.EINVAL)],
)
def test_delete_by_another_name_deletes_nothing(tree, at, error):
    # The kernel deletes by the subvolume's own name in its parent: a path
    # ending otherwise is refused before anything nested is deleted.
    btrfs.create(f"{tree}/linked")
    btrfs.create(f"{tree}/linked/inner")
    os.symlink(f"{tree}/linked", f"{tree}/link")
    try:
        before = listed(tree)
        with pytest.raises(OSError) as e:
            btrfs.delete(f"{tree}/{at}", recursive=True)
        assert (e.value.errno, e.value.filename) == (error, f"{tree}/{at}") and test_btrfs.kept(
            listed(tree)
        ) == test_btrfs.kept(before)
    finally:
        os.unlink(f"{tree}/link")
        btrfs.delete(f"{tree}/linked", recursive=True)


STORM = """
import os, random, signal, sys
sys.path.insert(0, {tests!r})
from support.sigtimer import SigintTimer
from velkora import btrfs
from velkora.btrfs import _top as _btrfs_top
from velkora.btrfs import _top
_top._FD_MOUNTS = {fd_mounts!r}
fs, copy = {fs!r}, {fs!r} + "/storm-copy"
def state():
    with open("/proc/self/mountinfo") as f:
        return f.read(), len(os.listdir("/proc/self/fd")), [s.path for s in btrfs.subvolumes(fs)]
before, timer, clean = state(), SigintTimer(), True
for _ in range({cycles}):
    try:
        timer.arm(random.randint(1000, {ns}))
        {cycle}
        timer.arm(0)
    except KeyboardInterrupt:
        pass
    timer.arm(0)
    made = [s for s in btrfs.subvolumes(fs) if s.path.startswith("storm-copy")]
    clean = clean and (made == [] or len(made) == 7 and all(s.read_only for s in made))
    if made:  # made whole before Ctrl-C came
        btrfs.delete(copy, recursive=True)
    clean = clean and state() == before
# A SIGINT of the timer's that comes after the last cycle is no Ctrl-C of
# a call's: the program's end is not the cycles' to judge.
signal.signal(signal.SIGINT, signal.SIG_IGN)
print(clean)
"""


@pytest.mark.parametrize(
    ("cycle", "fd_mounts", "cycles", "ns"),
    [
        ("with btrfs.toplevel(fs) as top: os.listdir(top)", True, 800, 400_000),
        ("with btrfs.toplevel(fs) as top: os.listdir(top)", False, 800, 400_000),
        ("btrfs.snapshot(fs + '/storm', copy, read_only=True, recursive=True)", True, 60, 20_000_000),
    ],
)
@pytest.mark.storm
def test_ctrl_c_storms_leave_nothing(tree, cycle, fd_mounts, cycles, ns):
    # Ctrl-C at any moment of toplevel's entering and leaving, or of a
    # recursive snapshot: no mount, fd, directory or snapshot left behind.
    paths = make_nested(tree, "storm")
    work = tempfile.mkdtemp(prefix=f"vk-storm-{os.getpid()}-")
    program = STORM.format(
        tests=os.path.dirname(__file__), fd_mounts=fd_mounts, fs=tree, cycle=cycle, cycles=cycles, ns=ns
    )
    try:
        run = subprocess.run(
            [sys.executable, "-c", program], capture_output=True, text=True, env={**os.environ, "TMPDIR": work}
        )
        assert (run.returncode, run.stdout, os.listdir(work)) == (0, "True\n", []), run.stderr
    finally:
        os.rmdir(work)
        btrfs.delete(paths[0], recursive=True)


@pytest.mark.parametrize("by_id", [False, True])
def test_the_default_subvolume_is_refused_whole(tree, by_id):
    # The kernel deletes what is nested in the default subvolume, then
    # refuses the default itself: refused before anything goes.
    made = btrfs.create(f"{tree}/default")
    btrfs.create(f"{tree}/default/inner")
    _btrfs("subvolume", "set-default", str(made), tree)
    try:
        before = listed(tree)
        with pytest.raises(PermissionError) as e:
            btrfs.delete(tree, id=made, recursive=True) if by_id else btrfs.delete(f"{tree}/default", recursive=True)
        assert e.value.filename == (tree if by_id else f"{tree}/default") and test_btrfs.kept(
            listed(tree)
        ) == test_btrfs.kept(before)
    finally:
        _btrfs("subvolume", "set-default", "5", tree)
    btrfs.delete(f"{tree}/default", recursive=True)


@pytest.mark.parametrize("side", ["source", "copy"])
def test_recursive_snapshot_follows_no_name_swapped_mid_walk(tree, monkeypatch, side):
    # A directory of the source, once its tree is read, or of the copy, once
    # made, swapped for a link to a look-alike outside: nothing out there is
    # snapshotted, or removed to make room for a snapshot.
    for inner in ("", "/d/a", "/d/b"):
        os.makedirs(os.path.dirname(f"{tree}/src{inner}"), exist_ok=True)
        btrfs.create(f"{tree}/src{inner}")
    os.makedirs(f"{tree}/outside/d/a")  # the copy's look-alike: an empty directory
    if side == "source":
        os.rmdir(f"{tree}/outside/d/a")
        btrfs.create(f"{tree}/outside/d/a")
    top = f"{tree}/{'src' if side == 'source' else 'copy'}"
    tree_of, snapshot = btrfs._tree, btrfs._btrfs.snapshot

    def swap() -> None:
        os.rename(f"{top}/d", f"{top}/moved")
        os.symlink(f"{tree}/outside/d", f"{top}/d")

    def read(path: str) -> object:
        found = tree_of(path)
        if side == "source":
            swap()
        return found

    def snapshotting(source: str, path: str, read_only: bool) -> int:
        made = snapshot(source, path, read_only)
        if side == "copy" and path == f"{tree}/copy":
            swap()
        return made

    monkeypatch.setattr(btrfs, "_tree", read)
    monkeypatch.setattr(btrfs._btrfs, "snapshot", snapshotting)
    before = listed(tree)
    with pytest.raises(OSError) as e:
        btrfs.snapshot(f"{tree}/src", f"{tree}/copy", recursive=True)
    monkeypatch.undo()
    assert e.value.errno == errno.EBUSY and set(listed(tree)) == set(before) and os.path.isdir(f"{tree}/outside/d/a")
    btrfs.delete(f"{tree}/src", recursive=True)
    btrfs.delete(f"{tree}/outside/d/a") if side == "source" else os.rmdir(f"{tree}/outside/d/a")
    subprocess.run(["rm", "-r", f"{tree}/outside", f"{tree}/copy"], check=False)


FORCED = """
import fcntl, os, random, sys
sys.path.insert(0, {tests!r})
from support.sigtimer import SigintTimer
from velkora import btrfs
from velkora.btrfs import _top as _btrfs_top
path, timer, torn = {path!r}, SigintTimer(), 0
for _ in range(150):
    fd = os.open(path, os.O_RDONLY)  # SET_RECEIVED_SUBVOL with a UUID, as btrfs receive leaves it
    fcntl.ioctl(fd, (3 << 30) | (192 << 16) | (0x94 << 8) | 37, bytearray(os.urandom(16) + bytes(176)))
    os.close(fd)
    btrfs.set_read_only(path, True)
    try:
        timer.arm(random.randint(1000, 2_000_000))
        btrfs.set_read_only(path, False, force=True)
        timer.arm(0)
    except KeyboardInterrupt:
        pass
    timer.arm(0)
    s = btrfs.info(path)
    torn += not s.read_only and s.received_uuid is not None
    btrfs.set_read_only(path, False, force=True)
print(torn)
"""


@pytest.mark.storm
def test_forced_writable_under_a_ctrl_c_storm(tree):
    # Ctrl-C at any moment of making a received subvolume writable: either
    # still read-only and received, or writable and no longer received.
    btrfs.create(f"{tree}/forced")
    run = subprocess.run(
        [sys.executable, "-c", FORCED.format(tests=os.path.dirname(__file__), path=f"{tree}/forced")],
        capture_output=True,
        text=True,
    )
    btrfs.delete(f"{tree}/forced")
    assert (run.returncode, run.stdout) == (0, "0\n"), run.stderr


def test_ctrl_c_as_a_subvolume_opens_leaves_no_fd(tree, monkeypatch):
    # Ctrl-C taken just as os.open returns (Python raises it there): the fd
    # is closed all the same, and nothing is deleted.
    paths = make_nested(tree, "sigopen")
    btrfs.create(f"{tree}/sigopen-flat")
    real = os.open

    def open_then_ctrl_c(*args, **kwargs):  # type: ignore[no-untyped-def]
        fd = real(*args, **kwargs)
        signal.raise_signal(signal.SIGINT)
        return fd

    def ours() -> list[str]:  # the fds open on the trees, as /proc shows them
        links = []
        for fd in os.listdir("/proc/self/fd"):
            try:
                links.append(os.readlink(f"/proc/self/fd/{fd}"))
            except FileNotFoundError:  # listdir's own
                continue
        return [link for link in links if link.startswith(f"{tree}/sigopen")]

    before = listed(tree)
    for call in (
        lambda: btrfs.delete(paths[0], recursive=True),  # the fd the tree is deleted through
        lambda: btrfs.snapshot(f"{tree}/sigopen-flat", f"{tree}/sigopen-copy", read_only=True, recursive=True),
    ):
        with monkeypatch.context() as m, pytest.raises(KeyboardInterrupt):
            m.setattr(os, "open", open_then_ctrl_c)
            call()
        assert ours() == [] and kept(listed(tree)) == kept(before)
    btrfs.delete(paths[0], recursive=True)
    btrfs.delete(f"{tree}/sigopen-flat")


@pytest.mark.parametrize("fd_mounts", [True, False])
def test_a_toplevel_never_exited_is_closed_as_it_goes(fs, monkeypatch, fd_mounts):
    # Python 3.8 and 3.9 skip a with statement's __exit__ where a Ctrl-C
    # lands just as its block ends (bpo-29988): the mount fd, or the private
    # mount and its directory, must not outlive the object.
    monkeypatch.setattr(_btrfs_top, "_FD_MOUNTS", fd_mounts)
    with open("/proc/self/mountinfo") as f:
        mounts = f.read()
    fds = sorted(os.listdir("/proc/self/fd"))
    top = btrfs.toplevel(fs)
    where = top.__enter__()
    with pytest.warns(ResourceWarning):
        del top
    with open("/proc/self/mountinfo") as f:
        assert f.read() == mounts
    assert sorted(os.listdir("/proc/self/fd")) == fds
    assert fd_mounts or not os.path.exists(where)

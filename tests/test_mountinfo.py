"""velkora.mountinfo: the parser against crafted lines, both sources
(statmount and mountinfo) against each other and the kernel on real mounts,
another process's table, and watching the table change."""

import errno
import gc
import os
import re
import select
import subprocess
import sys
import time
import warnings
from pathlib import Path

import pytest

import velkora.mount as vm
from support import PROGRAMS
from velkora import _mounts, mountinfo
from velkora.mountinfo import Mount, mount_at, mounts, mounts_below, parse_mountinfo, watch


@pytest.mark.parametrize(
    ("line", "record"),
    [
        (
            b"36 35 98:0 /mnt1 /mnt/parent rw,noatime master:1 - ext3 /dev/root rw,errors=continue",
            Mount(36, 35, 98, 0, "/mnt1", "/mnt/parent", "ext3", "/dev/root", "rw,noatime", "rw,errors=continue",
                  ("master:1",)),
        ),
        (  # the escapes of space, tab, newline and backslash, and no optional field
            b"40 22 0:41 / /a\\040b\\011c\\012d\\134e rw,relatime - tmpfs my\\040src rw,size=64k",
            Mount(40, 22, 0, 41, "/", "/a b\tc\nd\\e", "tmpfs", "my src", "rw,relatime", "rw,size=64k", ()),
        ),
        (  # the root field unescaped too, and an escape at a name's very end
            b"41 22 0:41 /r\\040t /end\\040 rw - tmpfs src\\134 rw",
            Mount(41, 22, 0, 41, "/r t", "/end ", "tmpfs", "src\\", "rw", "rw", ()),
        ),
        (  # several optional fields; a byte that is no UTF-8 is kept, never an error
            b"7 1 0:5 / /x\xff ro shared:3 master:2 propagate_from:1 unbindable - fuse.sshfs h:/ rw",
            Mount(7, 1, 0, 5, "/", "/x\udcff", "fuse.sshfs", "h:/", "ro", "rw",
                  ("shared:3", "master:2", "propagate_from:1", "unbindable")),
        ),
    ],
)  # fmt: skip
def test_parser_reads_every_field(line, record):
    assert parse_mountinfo(line + b"\n") == [record]


@pytest.mark.parametrize(
    "line", [b"36 35 98:0 / /mnt rw", b"x 35 98:0 / /mnt rw - ext3 /dev/root rw", b"1 2 3 - a b c"]
)
def test_parser_refuses_what_is_not_mountinfo(line):
    with pytest.raises(ValueError, match="not a mountinfo line"):
        parse_mountinfo(line)


ODD_NAMES = ["with space", "with\ttab", "with\nnewline", "back\\slash", os.fsdecode(b"bad\xffbyte")]


def mount_tmpfs(source, target, options="nosuid,size=64k,mode=701"):
    # mount(8) takes the bytes of a name that is no UTF-8; velkora.mount takes str.
    subprocess.run([b"mount", b"-t", b"tmpfs", b"-o", options.encode(), os.fsencode(source), os.fsencode(target)],
                   check=True)  # fmt: skip


@pytest.mark.fdmount
def test_both_sources_agree_on_real_mounts(place):
    for name in ODD_NAMES:
        os.mkdir(place / name)
        mount_tmpfs("src " + name, place / name)
    shared, slave = place / "shared", place / "slave"
    shared.mkdir()
    slave.mkdir()
    mount_tmpfs("tmpfs", shared, "noexec,nodev,noatime,size=1m")
    vm.mount("none", str(shared), "", 1 << 20)  # MS_SHARED
    vm.mount(str(shared), str(slave), "", vm.MS_BIND)
    vm.mount("none", str(slave), "", 1 << 19)  # MS_SLAVE
    vm.mount("none", str(slave), "", vm.MS_REMOUNT | vm.MS_BIND | vm.MS_RDONLY)
    # An overlay whose layer's name has a space: the filesystem escapes it in its options.
    for name in ("lo wer", "up", "work", "ov"):
        (place / name).mkdir()
    layers = f"lowerdir={place}/lo wer,upperdir={place}/up,workdir={place}/work"
    vm.mount("overlay", str(place / "ov"), "overlay", 0, layers)

    kernel, proc = mounts("statmount"), mounts("mountinfo")
    assert kernel == proc
    assert f"lowerdir={place}/lo\\040wer," in mount_at(place / "ov").super_options
    below = {m.mount_point: m for m in mounts_below(place)}
    for name in ODD_NAMES:
        m = below[str(place / name)]
        assert (m.fs_type, m.source, m.root) == ("tmpfs", "src " + name, "/")
        assert (m.options, m.super_options) == ("rw,nosuid,relatime", "rw,size=64k,mode=701")
    s, v = below[str(shared)], below[str(slave)]
    assert s.options == "rw,nodev,noexec,noatime"
    assert s.propagation == (f"shared:{s.propagation[0].split(':')[1]}",)
    assert v.propagation == (f"master:{s.propagation[0].split(':')[1]}",) and v.options.startswith("ro,")
    assert (os.major(os.stat(shared).st_dev), os.minor(os.stat(shared).st_dev)) == (s.major, s.minor)


@pytest.mark.fdmount
def test_a_chrooted_caller_gets_the_same_from_both_routes(place):
    # statmount answers for the mounts outside the root too, without a mount point.
    for name in ("proc", "in"):
        (place / name).mkdir()
    vm.mount("proc", str(place / "proc"), "proc")
    vm.mount("velkora-in", str(place / "in"), "tmpfs")
    program = (
        f"import os; from velkora.mountinfo import mounts\nos.chroot({str(place)!r})\n"
        "a, b = mounts('statmount'), mounts('mountinfo')\nassert a == b, (a, b)\n"
        "print(sorted(m.mount_point for m in a))"
    )
    run = subprocess.run([sys.executable, "-c", program], capture_output=True, text=True, check=True)
    assert run.stdout == "['/in', '/proc']\n"


@pytest.mark.parametrize("via", [pytest.param("statmount", marks=pytest.mark.fdmount), "mountinfo"])
def test_parents_come_before_children_even_after_a_move(place, via):
    # The child is made first, so it has the lower id, then moved below a newer mount.
    (place / "child").mkdir()
    (place / "parent").mkdir()
    for _ in range(50):
        vm.mount("child", str(place / "child"), "tmpfs")
        vm.mount("parent", str(place / "parent"), "tmpfs")
        ids = {m.source: m.id for m in mounts(via) if m.source in ("child", "parent")}
        if ids["child"] < ids["parent"]:
            break
        # Ids are reused machine-wide: another process let go of a lower
        # one between the two mounts. Then again.
        vm.umount(str(place / "parent"))
        vm.umount(str(place / "child"))
    (place / "parent" / "in").mkdir()
    vm.mount(str(place / "child"), str(place / "parent" / "in"), "", 8192)  # MS_MOVE
    table = mounts(via)
    child, parent = (next(m for m in table if m.source == s) for s in ("child", "parent"))
    assert child.id < parent.id and child.parent_id == parent.id
    assert table.index(parent) < table.index(child)
    ids = set()
    for m in table:  # every mount's parent, where listed, comes before it
        assert m.parent_id in ids or m.parent_id not in {t.id for t in table} or m.parent_id == m.id
        ids.add(m.id)
    assert [m.source for m in mounts_below(place / "parent", via)] == ["child", "parent"]


@pytest.mark.parametrize("route", ["statx", "table"])
def test_mount_at_finds_the_topmost_mount_holding_a_path(place, monkeypatch, route):
    if route == "table":  # no mount id from statx (before 5.8, qemu-user): the table is searched
        monkeypatch.setattr(mountinfo._mounts, "mount_id", lambda *args, **kwargs: None)
    vm.mount("lower", str(place), "tmpfs")
    vm.mount("upper", str(place), "tmpfs")
    for name in ("a", "ab", "ac", "dir", "x"):
        (place / name).mkdir()
    # Siblings whose names share a prefix: /x/ab and /x/ac are not below /x/a,
    # even where /x/a is the same filesystem (a bind mount of upper's x).
    vm.mount(str(place / "x"), str(place / "a"), "", vm.MS_BIND)
    vm.mount("ab", str(place / "ab"), "tmpfs")
    (place / "ab" / "in").mkdir()
    expected = {"dir": "", "a": "a", "ab/in": "ab", "ab": "ab", "ac": ""}
    found = {name: mount_at(place / name).mount_point for name in expected}
    assert found == {name: str(place / point) if point else str(place) for name, point in expected.items()}
    assert [m.mount_point for m in mounts_below(place / "a")] == [str(place / "a")]
    assert mountinfo.mount_at("/").mount_point == "/"


@pytest.mark.fdmount
def test_more_mounts_than_one_page_of_listmount(place):
    for _ in range(600):  # listmount is read 512 ids at a time
        vm.mount("velkora-page", str(place), "tmpfs")
    kernel, proc = mounts("statmount"), mounts("mountinfo")
    assert kernel == proc
    assert sum(m.source == "velkora-page" for m in kernel) == 600


@pytest.mark.fdmount
@pytest.mark.parametrize("call", ["listmount", "statmount"])
@pytest.mark.parametrize("code", [errno.ENOSYS, errno.EPERM, errno.EACCES])
def test_a_kernel_that_refuses_statmount_falls_back_to_mountinfo(kernel, call, code):
    # As a container's seccomp profile answers the calls it does not know;
    # statmount asked for by name is not replaced.
    program = (
        "import os; from velkora.mountinfo import mounts, mount_at\n"
        "assert mounts(pid=os.getpid()) == mounts('mountinfo') == mounts()\n"
        "assert mount_at('/proc').mount_point == '/proc'\n"
        "try:\n    mounts('statmount')\nexcept OSError as e:\n    print(e.errno)\n"
    )
    run = subprocess.run([sys.executable, str(PROGRAMS / "seccomp.py"), call, str(code), "", program],
                         capture_output=True, text=True, check=True)  # fmt: skip
    assert run.stdout == f"{code}\n"


def test_no_record_is_dropped_from_the_tree():
    # 5 and 6 are each other's parents (a torn read of reused ids): no root
    # reaches them, so they come last, by id; 2's parent is not listed, so it is a root.
    lines = b"".join(b"%d %d 0:1 / /m%d rw - tmpfs t rw\n" % pair for pair in
                     [(6, 5, 6), (1, 1, 1), (5, 6, 5), (3, 1, 3), (2, 9, 2), (4, 1, 4)])  # fmt: skip
    assert [m.id for m in _mounts.parse(Mount, lines)] == [1, 3, 4, 2, 5, 6]
    assert [m.id for m in parse_mountinfo(lines)] == [6, 1, 5, 3, 2, 4]


@pytest.mark.parametrize("via", [None, "mountinfo", pytest.param("statmount", marks=pytest.mark.fdmount)])
def test_another_process_namespace(place, via):
    # The child's namespace is a copy of ours in which it swaps our mount for its own.
    vm.mount("velkora-mine", str(place), "tmpfs")
    script = f"umount -l {place} && mount -t tmpfs velkora-child {place} && echo ready && exec sleep 60"
    child = subprocess.Popen(["unshare", "-m", "--propagation", "private", "sh", "-c", script],
                             stdout=subprocess.PIPE, text=True)  # fmt: skip
    try:
        assert child.stdout.readline() == "ready\n"
        sources = [m.source for m in mounts(via, pid=child.pid)]
        assert "velkora-child" in sources and "velkora-mine" not in sources
        assert mount_at(place, via, pid=child.pid).source == "velkora-child"
        assert mount_at(place, via).source == "velkora-mine"
    finally:
        child.kill()
        child.wait()


@pytest.mark.parametrize(
    ("code", "uid", "error"),
    [
        ("mounts(pid=4194305)", 0, "ProcessLookupError"),  # above the highest pid Linux allows
        ("mounts('statmount', pid=4194305)", 0, "ProcessLookupError"),
        ("mounts('statmount', pid=1)", 65534, "PermissionError"),
        ("mounts(pid=0)", 0, "ValueError"),
        ("mounts('proc')", 0, "ValueError"),
        ("watch('inotify')", 0, "ValueError"),
    ],
)
def test_what_cannot_be_read_says_why(kernel, code, uid, error):
    program = (
        f"import os; from velkora.mountinfo import *\nos.setuid({uid})\n"
        f"try:\n    {code}\nexcept Exception as e:\n    print(type(e).__name__)"
    )
    run = subprocess.run([sys.executable, "-c", program], capture_output=True, text=True, check=True)
    assert run.stdout == error + "\n"


MS_BIND, MS_MOVE, MS_REC, MNT_DETACH = 4096, 8192, 16384, 2


def make_tree(p):
    for name in "xyz":
        (p / "a" / name).mkdir()
        vm.mount("w", str(p / "a" / name), "tmpfs")


# What is done, and the events it makes (kind, mount point below place).
WATCHED = [
    (lambda p: vm.mount("w", str(p / "a"), "tmpfs"), [("attach", "a")]),
    (make_tree, [("attach", "a/x"), ("attach", "a/y"), ("attach", "a/z")]),
    (lambda p: vm.mount(str(p / "a"), str(p / "r"), "", MS_BIND | MS_REC),
     [("attach", "r"), ("attach", "r/x"), ("attach", "r/y"), ("attach", "r/z")]),
    (lambda p: vm.mount(str(p / "a"), str(p / "b"), "", MS_MOVE), [("move", "b")]),  # its children move along
    (lambda p: vm.mount("none", str(p / "r"), "", vm.MS_REMOUNT | MS_BIND | vm.MS_RDONLY), []),  # no event
    (lambda p: vm.umount(str(p / "b"), MNT_DETACH),
     [("detach", "b"), ("detach", "b/x"), ("detach", "b/y"), ("detach", "b/z")]),
]  # fmt: skip


@pytest.mark.parametrize("via", [pytest.param("fanotify", marks=pytest.mark.fdmount), "mountinfo"])
def test_watch_reports_attach_detach_and_move(place, via):
    for name in ("a", "b", "r"):
        (place / name).mkdir()
    with watch(via) as w:
        assert w.via == via
        for step, expected in WATCHED:
            step(place)
            if expected:  # the caller's own wait on fileno() does not use up the change
                assert select.select([w], [], [w], 5) != ([], [], [])
            start = time.monotonic()
            got = [(e.kind, os.path.relpath(e.mount.mount_point, place)) for e in w.read(0.05)]
            assert sorted(got) == expected
            assert expected or time.monotonic() - start >= 0.05  # an empty read waited its timeout
    with pytest.raises(ValueError):
        w.fileno()
    w = watch(via)
    fd = w.fileno()
    with warnings.catch_warnings(record=True) as caught:  # collected open: a warning, and the fd closed
        warnings.simplefilter("always")
        del w
        gc.collect()
    assert ResourceWarning in [c.category for c in caught]
    with pytest.raises(OSError):
        os.fstat(fd)


@pytest.mark.parametrize("via", [pytest.param("fanotify", marks=pytest.mark.fdmount), "mountinfo"])
def test_watch_loses_nothing_in_a_burst(place, via):
    # More mounts than fanotify's queue holds (16,384), made without reading.
    top = place / "top"
    top.mkdir()
    vm.mount("w", str(top), "tmpfs")
    for n in range(20000):
        (top / str(n)).mkdir()
    with watch(via) as w:
        for n in range(20000):
            vm.mount(str(place), str(top / str(n)), "", MS_BIND)
        got = w.read(0)
        assert (len(got), {e.kind for e in got}) == (20000, {"attach"})
        vm.umount(str(top), MNT_DETACH)
        got = w.read(0)
        assert (len(got), {e.kind for e in got}) == (20001, {"detach"})


@pytest.mark.fdmount
def test_a_record_longer_than_the_first_buffer_is_read_whole(place):
    # A mount point over 4096 bytes: statmount's first buffer is too small
    # (EOVERFLOW) and must grow; only relative paths can reach it.
    here = os.getcwd()
    os.chdir(place)
    try:
        for _ in range(20):
            os.mkdir("d" * 250)
            os.chdir("d" * 250)
        os.mkdir("leaf")
        vm.mount("velkora-long", "leaf", "tmpfs")
        try:
            kernel, proc = mounts("statmount"), mounts("mountinfo")
            assert kernel == proc
            (long,) = [m for m in kernel if m.source == "velkora-long"]
            assert long.mount_point == os.path.join(str(place), *["d" * 250] * 20, "leaf")
        finally:
            vm.umount("leaf")
    finally:
        os.chdir(here)


@pytest.mark.fdmount
def test_the_native_calls_check_their_arguments(kernel):
    from velkora import _mounts

    for bad, exc in (({"count": 0}, ValueError), ({"last_id": -1}, OverflowError), ({"mnt_id": "1"}, TypeError)):
        with pytest.raises(exc):
            _mounts.listmount(**bad)
    with pytest.raises(OSError):
        _mounts.statmount(1)  # an old-style id is no unique mount id


@pytest.mark.parametrize("name", [pytest.param("table", marks=pytest.mark.fdmount), "read"])
def test_below_none_is_the_whole_table_as_the_signature_says(place, name):
    # The text signature (and the stub) give below=None as the default: None
    # passed is no filter, every mount the kernel lists; a path still is one.
    import inspect

    function = getattr(_mounts, name)
    assert inspect.signature(function).parameters["below"].default is None
    vm.mount("vk-below", str(place), "tmpfs")
    escaped = [line.split()[4] for line in open("/proc/self/mountinfo")]
    lines = [re.sub(r"\\([0-7]{3})", lambda m: chr(int(m[1], 8)), point) for point in escaped]
    assert sorted(m.mount_point for m in function(Mount, below=None)) == sorted(lines)
    assert [m.mount_point for m in function(Mount, below=str(place))] == [str(place)]


@pytest.mark.parametrize("via", [None, pytest.param("statmount", marks=pytest.mark.fdmount), "mountinfo"])
def test_mount_at_is_the_visible_mount_and_a_gone_process_is_named(place, via):
    # place/a is mounted, then place itself over it: place/a is the top one's.
    (place / "a").mkdir()
    vm.mount("vk-hidden", str(place / "a"), "tmpfs")
    vm.mount("vk-top", str(place), "tmpfs")
    (place / "a").mkdir()
    assert mountinfo.mount_at(place / "a", via).source == "vk-top"
    assert mountinfo.mount_at(place / "a", via, pid=os.getpid()).source == "vk-top"
    # A process that has exited but is not yet reaped (a zombie).
    child = subprocess.Popen(["true"])
    while Path(f"/proc/{child.pid}/stat").read_text().rpartition(")")[2].split()[0] != "Z":
        time.sleep(0.01)
    try:
        for call in (lambda: mountinfo.mounts(via, pid=child.pid), lambda: mountinfo.mount_at("/", via, pid=child.pid)):
            with pytest.raises(ProcessLookupError):
                call()
    finally:
        child.wait()


@pytest.mark.parametrize("via", [pytest.param("fanotify", marks=pytest.mark.fdmount), "mountinfo"])
def test_watch_is_right_and_quiet_for_event_loops(place, via):
    import asyncio
    import selectors

    (place / "x").mkdir()
    with watch(via) as w:
        # Another mount in the place of one gone between two reads: a detach
        # and an attach, not nothing.
        vm.mount("vk-1", str(place / "x"), "tmpfs")
        assert [(e.kind, e.mount.source) for e in w.read(5)] == [("attach", "vk-1")]
        vm.umount(str(place / "x"))
        vm.mount("vk-2", str(place / "x"), "tmpfs")
        got = w.read(5)
        got += w.read(0.2) if len(got) < 2 else []
        assert sorted((e.kind, e.mount.source) for e in got) == [("attach", "vk-2"), ("detach", "vk-1")]
        # Idle: fileno() is not readable, so an event loop sleeps (a second
        # of it costs next to nothing; a readable fd would take a core).
        before = time.process_time()
        with selectors.DefaultSelector() as selector:
            selector.register(w, selectors.EVENT_READ)
            wakeups = sum(len(selector.select(0.05)) for _ in range(10))
        idle = time.process_time() - before
        assert wakeups == 0

        async def next_event():
            nonlocal idle
            iterator = w.__aiter__()
            before = time.process_time()
            with pytest.raises(asyncio.TimeoutError):  # idle, then cancelled
                await asyncio.wait_for(iterator.__anext__(), 0.5)
            idle += time.process_time() - before
            asyncio.get_running_loop().call_later(0.05, vm.umount, str(place / "x"))
            return await asyncio.wait_for(w.__aiter__().__anext__(), 5)

        event = asyncio.run(next_event())
        assert (event.kind, event.mount.source) == ("detach", "vk-2")
        assert idle < 0.25


@pytest.mark.parametrize("via", [pytest.param("fanotify", marks=pytest.mark.fdmount), "mountinfo"])
def test_a_watch_open_at_exit_prints_nothing(kernel, via):
    # Its ResourceWarning aside (shown by default by a debug interpreter):
    # nothing, where an ImportError from __del__ used to be printed.
    program = f"from velkora.mountinfo import watch; w = watch({via!r})"
    run = subprocess.run([sys.executable, "-W", "ignore::ResourceWarning", "-c", program], capture_output=True,
                         text=True)  # fmt: skip
    assert (run.returncode, run.stderr) == (0, "")

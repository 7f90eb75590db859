"""velkora.mountinfo: the parser against crafted lines, and both sources
(statmount and mountinfo) against each other and the kernel on real mounts."""

import errno
import os
import subprocess

import pytest

import velkora.mount as vm
from velkora import mountinfo
from velkora.mountinfo import Mount, mounts, mounts_below, parse_mountinfo


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

    kernel, proc = mounts("statmount"), mounts("mountinfo")
    assert kernel == proc
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


@pytest.mark.parametrize("via", [pytest.param("statmount", marks=pytest.mark.fdmount), "mountinfo"])
def test_parents_come_before_children_even_after_a_move(place, via):
    # The child is made first, so it has the lower id, then moved below a newer mount.
    (place / "child").mkdir()
    (place / "parent").mkdir()
    vm.mount("child", str(place / "child"), "tmpfs")
    vm.mount("parent", str(place / "parent"), "tmpfs")
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


def test_mount_at_finds_the_topmost_mount_holding_a_path(place):
    vm.mount("lower", str(place), "tmpfs")
    vm.mount("upper", str(place), "tmpfs")
    for name in ("a", "ab", "dir"):
        (place / name).mkdir()
    # Siblings whose names share a prefix: /x/ab is not below /x/a.
    vm.mount("a", str(place / "a"), "tmpfs")
    vm.mount("ab", str(place / "ab"), "tmpfs")
    (place / "ab" / "in").mkdir()
    expected = {place / "dir": "upper", place / "a": "a", place / "ab" / "in": "ab", place / "ab": "ab"}
    assert {path: mountinfo.mount_at(path).source for path in expected} == expected
    assert [m.source for m in mounts_below(place / "a")] == ["a"]
    assert mountinfo.mount_at("/").mount_point == "/"


@pytest.mark.fdmount
def test_more_mounts_than_one_page_of_listmount(place):
    for _ in range(600):  # listmount is read 512 ids at a time
        vm.mount("velkora-page", str(place), "tmpfs")
    kernel, proc = mounts("statmount"), mounts("mountinfo")
    assert kernel == proc
    assert sum(m.source == "velkora-page" for m in kernel) == 600


def test_statmount_is_taken_unless_the_kernel_lacks_it(monkeypatch):
    from velkora import _mounttable

    def absent(*args):
        raise OSError(errno.ENOSYS, "Function not implemented")

    monkeypatch.setattr(_mounttable, "listmount", absent)
    assert mounts() == mounts("mountinfo")  # ENOSYS: fall back
    with pytest.raises(OSError):
        mounts("statmount")  # asked for by name: no fallback
    monkeypatch.setattr(_mounttable, "listmount", lambda *a: (_ for _ in ()).throw(PermissionError(errno.EPERM, "no")))
    with pytest.raises(PermissionError):
        mounts()  # any other error is the caller's to see
    with pytest.raises(ValueError):
        mounts("proc")


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
    from velkora import _mounttable

    for bad, exc in (({"count": 0}, ValueError), ({"last_id": -1}, OverflowError), ({"mnt_id": "1"}, TypeError)):
        with pytest.raises(exc):
            _mounttable.listmount(**bad)
    with pytest.raises(OSError):
        _mounttable.statmount(1)  # an old-style id is no unique mount id

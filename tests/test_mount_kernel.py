"""mount() against the real kernel, inside the session's private mount namespace."""

import errno
import os
import subprocess
import sys
import tempfile

import pytest

import velkora.mount as m
from support import PROGRAMS
from support.mountinfo import mount_at
from velkora import FsContext


def test_tmpfs_with_data_options(place):
    assert m.mount("velkora-test", str(place), "tmpfs", 0, "size=4m,mode=0710") is None
    info = mount_at(place)
    assert (info["fstype"], info["source"]) == ("tmpfs", "velkora-test")
    assert {"size=4096k", "mode=710"} <= info["super"]
    assert os.stat(place).st_mode & 0o7777 == 0o710


@pytest.mark.parametrize(
    "flags, shown",
    [
        (0, {"rw"}),
        (m.MS_RDONLY, {"ro"}),
        (m.MS_NOSUID | m.MS_NODEV, {"rw", "nosuid", "nodev"}),
        (m.MS_RDONLY | m.MS_NOSUID | m.MS_NODEV | m.MS_NOEXEC, {"ro", "nosuid", "nodev", "noexec"}),
    ],
)
def test_flags_reach_the_mount(place, flags, shown):
    m.mount("tmpfs", str(place), "tmpfs", flags)
    options = mount_at(place)["options"]
    assert shown <= options
    assert not ({"nosuid", "nodev", "noexec"} - shown) & options


def test_bind_and_recursive_bind(place):
    src, plain, rec = place / "src", place / "plain", place / "rec"
    for d in (src / "sub", plain, rec):
        d.mkdir(parents=True)
    m.mount("tmpfs", str(src / "sub"), "tmpfs")
    (src / "sub" / "marker").write_text("below")
    (src / "top").write_text("above")

    # The default type is carried along and ignored: a bind needs none.
    m.mount(str(src), str(plain), flags=m.MS_BIND)
    m.mount(str(src), str(rec), "", m.MS_BIND | m.MS_REC)

    assert (plain / "top").read_text() == (rec / "top").read_text() == "above"
    assert not (plain / "sub" / "marker").exists()
    assert (rec / "sub" / "marker").read_text() == "below"


def test_read_only_bind_by_remount(place):
    src, view = place / "src", place / "view"
    src.mkdir()
    view.mkdir()
    m.mount(str(src), str(view), flags=m.MS_BIND)
    m.mount("none", str(view), flags=m.MS_REMOUNT | m.MS_BIND | m.MS_RDONLY)

    assert "ro" in mount_at(view)["options"]
    with pytest.raises(OSError) as caught:
        (view / "file").write_text("x")
    assert caught.value.errno == errno.EROFS
    (src / "file").write_text("x")  # only the view is read-only
    assert (view / "file").read_text() == "x"


@pytest.mark.fdmount
def test_btrfs_by_default_and_a_subvolume_by_data_or_fsconfig(btrfs_device, place):
    top, vol, picked = place / "top", place / "vol", place / "picked"
    for d in (top, vol, picked):
        d.mkdir()
    m.mount(btrfs_device, str(top))
    assert mount_at(top)["fstype"] == "btrfs"
    m.mount(btrfs_device, str(vol), data="subvol=home")
    with FsContext.open("btrfs") as context:
        context.set_string("source", btrfs_device)
        context.set_string("subvol", "home")
        context.create()
        with context.mount() as mount:
            mount.attach(picked)
    for d in (vol, picked):
        info = mount_at(d)
        assert (info["fstype"], info["source"], info["root"]) == ("btrfs", btrfs_device, "/home")
        assert "subvol=/home" in info["super"]
        assert (d / "hello.txt").read_text() == "hello from a subvolume"


@pytest.mark.parametrize(
    "args, exc, code",
    [
        (("tmpfs", "{}/missing", "tmpfs"), FileNotFoundError, errno.ENOENT),
        (("{}/missing", "{}", "", m.MS_BIND), FileNotFoundError, errno.ENOENT),
        (("none", "{}", "velkora-no-such-fs"), OSError, errno.ENODEV),
        (("tmpfs", "{}/file", "tmpfs"), NotADirectoryError, errno.ENOTDIR),
        pytest.param(("{}/file", "{}"), OSError, errno.ENOTBLK, marks=pytest.mark.blockdev),
        (("none", "{}", "none", m.MS_REMOUNT), OSError, errno.EINVAL),
    ],
)
def test_kernel_refusals(place, args, exc, code):
    (place / "file").touch()
    args = [a.format(place) if isinstance(a, str) else a for a in args]
    with pytest.raises(OSError) as caught:
        m.mount(*args)
    assert type(caught.value) is exc
    assert (caught.value.errno, caught.value.strerror) == (code, os.strerror(code))
    assert caught.value.filename is None
    assert mount_at(place) is None


def test_unprivileged_caller_is_refused(kernel):
    # The targets must be reachable by uid 65534, or the lookup fails first.
    with tempfile.TemporaryDirectory() as place:
        os.chmod(place, 0o755)
        empty, mounted = os.path.join(place, "empty"), os.path.join(place, "mounted")
        os.mkdir(empty)
        os.mkdir(mounted)
        m.mount("tmpfs", mounted, "tmpfs")
        try:
            program = str(PROGRAMS / "unprivileged.py")
            run = subprocess.run([sys.executable, program, empty, mounted], capture_output=True, text=True)
            assert run.stdout.split() == ["PermissionError", str(errno.EPERM), "None"] * 2, run.stderr
            assert mount_at(empty) is None
            assert mount_at(mounted) is not None
        finally:
            m.umount(mounted, m.MNT_DETACH)


def test_umount(place):
    m.mount("tmpfs", str(place), "tmpfs")
    assert m.umount(str(place)) is None
    assert mount_at(place) is None


def test_busy_then_lazy_detach(place):
    m.mount("tmpfs", str(place), "tmpfs")
    (place / "open").write_text("still readable")
    with open(place / "open") as held:
        with pytest.raises(OSError) as caught:
            m.umount(str(place))
        assert type(caught.value) is OSError
        assert (caught.value.errno, caught.value.filename) == (errno.EBUSY, None)

        m.umount(str(place), m.MNT_DETACH)
        assert mount_at(place) is None
        assert held.read() == "still readable"


def test_expire_takes_two_calls(place):
    m.mount("tmpfs", str(place), "tmpfs")
    with pytest.raises(BlockingIOError) as caught:  # EAGAIN: marked, not yet gone
        m.umount(str(place), m.MNT_EXPIRE)
    assert caught.value.errno == errno.EAGAIN
    assert mount_at(place) is not None
    m.umount(str(place), m.MNT_EXPIRE)
    assert mount_at(place) is None


@pytest.mark.parametrize("flags", [0, m.MNT_DETACH | m.MNT_EXPIRE])
def test_umount_refusals(place, flags):
    # A plain directory is no mount point; DETACH with EXPIRE is refused as
    # given, on a real mount too.
    if flags:
        m.mount("tmpfs", str(place), "tmpfs")
    with pytest.raises(OSError) as caught:
        m.umount(str(place), flags)
    assert (type(caught.value), caught.value.errno, caught.value.filename) == (OSError, errno.EINVAL, None)

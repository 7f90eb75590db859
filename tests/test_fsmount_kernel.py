"""velkora.fsmount against the real kernel, inside the session's private
mount namespace: every recipe the module is for, the kernel's own reasons on
the exception, and no fd or mount left behind by any failing path."""

import ctypes
import errno
import os
import re
import subprocess
import threading
import time
from contextlib import contextmanager

import pytest

import velkora.fsmount as f
import velkora.mount as m
from support.mountinfo import mount_at, mounts
from velkora import DetachedMount, FsContext
from velkora.flags import MOUNT_ATTR

pytestmark = pytest.mark.fdmount

EMPTY = f.AT_EMPTY_PATH


def new_tmpfs(*options):
    """A detached tmpfs made by fsopen, fsconfig and fsmount; returns the mount's fd."""
    fs = f.fsopen("tmpfs")
    try:
        for key, value in options:
            f.fsconfig(fs, f.FSCONFIG_SET_STRING, key, value)
        f.fsconfig(fs, f.FSCONFIG_CMD_CREATE)
        return f.fsmount(fs)
    finally:
        os.close(fs)


def attach(mount_fd, target):
    try:
        f.move_mount(mount_fd, "", f.AT_FDCWD, str(target), f.MOVE_MOUNT_F_EMPTY_PATH)
    finally:
        os.close(mount_fd)


def open_fds():
    """The open fds, less the one that listed them (closed by then)."""
    return sorted(int(fd) for fd in os.listdir("/proc/self/fd") if os.path.exists(f"/proc/self/fd/{fd}"))


def test_tmpfs_made_configured_and_attached(place):
    fs = f.fsopen("tmpfs")
    try:
        assert not os.get_inheritable(fs)
        f.fsconfig(fs, f.FSCONFIG_SET_STRING, "source", "velkora-fd")
        f.fsconfig(fs, f.FSCONFIG_SET_STRING, "size", "4m")
        f.fsconfig(fs, f.FSCONFIG_SET_STRING, "mode", "0710")
        f.fsconfig(fs, f.FSCONFIG_SET_FLAG, "noswap")
        f.fsconfig(fs, f.FSCONFIG_CMD_CREATE)
        mnt = f.fsmount(fs, f.FSMOUNT_CLOEXEC, f.MOUNT_ATTR_NOSUID | f.MOUNT_ATTR_NODEV)
    finally:
        os.close(fs)
    assert not os.get_inheritable(mnt)
    assert mount_at(place) is None  # detached until moved
    attach(mnt, place)
    info = mount_at(place)
    assert (info["fstype"], info["source"]) == ("tmpfs", "velkora-fd")
    assert {"size=4096k", "mode=710", "noswap"} <= info["super"]
    assert {"nosuid", "nodev"} <= info["options"]


def test_every_fd_made_is_non_inheritable_whatever_the_flags(place):
    attach(new_tmpfs(), place)
    fs = f.fsopen("tmpfs", 0)
    fds = [fs, f.fspick(f.AT_FDCWD, str(place), 0), f.open_tree(f.AT_FDCWD, str(place), f.OPEN_TREE_CLONE)]
    try:
        f.fsconfig(fs, f.FSCONFIG_CMD_CREATE)
        fds.append(f.fsmount(fs, 0))
        assert [os.get_inheritable(fd) for fd in fds] == [False] * 4
        os.set_inheritable(fs, True)  # the way out, as after os.open
        assert os.get_inheritable(fs)
    finally:
        for fd in fds:
            os.close(fd)


@pytest.mark.parametrize(
    ("key", "value", "message"),
    [
        ("size", "lots", "e tmpfs: Bad value for 'size'"),
        ("mode", "rwx", "e tmpfs: Bad value for 'mode'"),
        ("nosuchoption", "1", "e tmpfs: Unknown parameter 'nosuchoption'"),
    ],
)
def test_a_refused_option_carries_the_kernels_reason(kernel, key, value, message):
    fs = f.fsopen("tmpfs")
    try:
        with pytest.raises(OSError) as caught:
            f.fsconfig(fs, f.FSCONFIG_SET_STRING, key, value)
        assert type(caught.value) is OSError and caught.value.errno == errno.EINVAL
        assert caught.value.kernel_messages == (message,)
        assert str(caught.value) == f"[Errno 22] Invalid argument (kernel: {message})"
        # Read once: the queue is empty afterwards, and a later failure says only its own.
        with pytest.raises(OSError) as again:
            f.fsconfig(fs, f.FSCONFIG_SET_STRING, "size", "x")
        assert again.value.kernel_messages == ("e tmpfs: Bad value for 'size'",)
    finally:
        os.close(fs)


def test_several_queued_messages_come_oldest_first(kernel):
    # Two failures made behind the module's back leave their messages queued;
    # the next failure through it reads all three, in the kernel's order.
    libc = ctypes.CDLL(None, use_errno=True)
    libc.syscall.restype = ctypes.c_long
    fs = f.fsopen("tmpfs")
    try:
        for key, value in ((b"size", b"lots"), (b"mode", b"rwx")):
            assert libc.syscall(431, fs, f.FSCONFIG_SET_STRING, key, value, 0) == -1  # fsconfig
        with pytest.raises(OSError) as caught:
            f.fsconfig(fs, f.FSCONFIG_SET_STRING, "nosuchoption", "1")
    finally:
        os.close(fs)
    messages = (
        "e tmpfs: Bad value for 'size'",
        "e tmpfs: Bad value for 'mode'",
        "e tmpfs: Unknown parameter 'nosuchoption'",
    )
    assert caught.value.kernel_messages == messages
    assert str(caught.value) == f"[Errno 22] Invalid argument (kernel: {'; '.join(messages)})"


def test_create_excl_reaches_the_running_kernel(kernel):
    # sysfs has one superblock per namespace, which already exists.
    fs = f.fsopen("sysfs")
    try:
        with pytest.raises(OSError) as caught:
            f.fsconfig(fs, f.FSCONFIG_CMD_CREATE_EXCL)
    finally:
        os.close(fs)
    assert caught.value.errno == errno.EBUSY
    assert caught.value.kernel_messages == ("w sysfs: reusing existing filesystem not allowed",)


def test_fsmount_failure_reads_the_context_too(kernel):
    fs = f.fsopen("tmpfs")
    try:
        with pytest.raises(OSError) as caught:
            f.fsmount(fs)  # no superblock was created
        assert (caught.value.errno, caught.value.kernel_messages) == (errno.EINVAL, ())
    finally:
        os.close(fs)


@pytest.mark.parametrize("data", [b"", b"the caller's data"])
def test_messages_are_never_read_from_another_kind_of_fd(kernel, data):
    r, w = os.pipe()
    try:
        os.write(w, data)
        started = time.monotonic()
        for call in (
            lambda: f.fsconfig(r, f.FSCONFIG_SET_STRING, "size", "1m"),
            lambda: f.fsconfig(r, f.FSCONFIG_CMD_CREATE),
            lambda: f.fsmount(r),
        ):
            with pytest.raises(OSError) as caught:
                call()
            assert (caught.value.errno, caught.value.kernel_messages) == (errno.EINVAL, ())
        assert time.monotonic() - started < 5  # an empty pipe was not read, so nothing blocked
        os.close(w)
        w = -1
        assert os.read(r, 100) == data  # and a full one kept what it held
    finally:
        os.close(r)
        if w >= 0:
            os.close(w)


@contextmanager
def tree_with_a_submount(place):
    """place/src (tmpfs) holding place/src/sub (another tmpfs), each with a file."""
    src = place / "src"
    src.mkdir()
    attach(new_tmpfs(), src)
    (src / "sub").mkdir()
    attach(new_tmpfs(), src / "sub")
    (src / "top.txt").write_text("top")
    (src / "sub" / "inner.txt").write_text("inner")
    yield src


def test_recursive_read_only_bind_really_is_read_only(place):
    with tree_with_a_submount(place) as src:
        view, classic = place / "view", place / "classic"
        view.mkdir()
        classic.mkdir()
        with DetachedMount.clone(src, recursive=True) as tree:
            tree.set_attr(MOUNT_ATTR.RDONLY, recursive=True)
            tree.attach(view)
        for path in (view / "top.txt", view / "sub" / "inner.txt"):
            with pytest.raises(OSError) as caught:
                path.write_text("changed")
            assert caught.value.errno == errno.EROFS
        # The classic remount makes only the top read-only: the submount stays writable.
        m.mount(str(src), str(classic), flags=m.MS_BIND | m.MS_REC)
        m.mount("none", str(classic), flags=m.MS_REMOUNT | m.MS_BIND | m.MS_RDONLY | m.MS_REC)
        with pytest.raises(OSError):
            (classic / "top.txt").write_text("changed")
        (classic / "sub" / "inner.txt").write_text("changed")
        assert (src / "sub" / "inner.txt").read_text() == "changed"


def test_a_detached_clone_is_one_fd_and_gone_with_it(place):
    with tree_with_a_submount(place) as src:
        before = open_fds()
        tree = f.open_tree(f.AT_FDCWD, str(src), f.OPEN_TREE_CLONE | f.AT_RECURSIVE)
        assert open_fds() == sorted(before + [tree])  # the clone holds nothing else open
        with open(f"/proc/self/fdinfo/{tree}") as info:
            clone_id = int(re.search(r"^mnt_id:\s*(\d+)", info.read(), re.M)[1])
        with open("/proc/self/mountinfo") as table:
            assert clone_id not in {int(line.split()[0]) for line in table}  # a new mount, in no table
        os.close(tree)
        assert open_fds() == before


def test_fspick_reconfigures_to_read_only(place):
    attach(new_tmpfs(), place)
    (place / "file").write_text("before")
    with FsContext.pick(place) as context:
        assert not os.get_inheritable(context.fileno())
        context.set_flag("ro")
        context.reconfigure()
    assert "ro" in mount_at(place)["super"]
    with pytest.raises(OSError) as caught:
        (place / "file").write_text("after")
    assert caught.value.errno == errno.EROFS


@contextmanager
def user_namespace(uid, gid):
    """An fd of a new user namespace mapping 0 inside to uid and gid outside."""
    child = subprocess.Popen(["unshare", "--user", "--", "sh", "-c", "read line"], stdin=subprocess.PIPE)
    try:
        ours = os.readlink("/proc/self/ns/user")
        deadline = time.monotonic() + 10
        while os.readlink(f"/proc/{child.pid}/ns/user") == ours:
            assert time.monotonic() < deadline, "the child never entered its user namespace"
            time.sleep(0.01)
        with open(f"/proc/{child.pid}/uid_map", "w") as map_file:
            map_file.write(f"0 {uid} 1")
        with open(f"/proc/{child.pid}/gid_map", "w") as map_file:
            map_file.write(f"0 {gid} 1")
        fd = os.open(f"/proc/{child.pid}/ns/user", os.O_RDONLY | os.O_CLOEXEC)
        try:
            yield fd
        finally:
            os.close(fd)
    finally:
        child.communicate(b"\n", timeout=10)


def test_idmapped_mount_shows_the_mapped_owner(place):
    plain, mapped = place / "plain", place / "mapped"
    plain.mkdir()
    mapped.mkdir()
    attach(new_tmpfs(), plain)
    (plain / "file").write_text("owned by root")
    assert (os.stat(plain / "file").st_uid, os.stat(plain / "file").st_gid) == (0, 0)
    with user_namespace(1000, 2000) as userns:
        tree = f.open_tree(f.AT_FDCWD, str(plain), f.OPEN_TREE_CLONE | f.OPEN_TREE_CLOEXEC)
        f.mount_setattr(tree, "", EMPTY, attr_set=f.MOUNT_ATTR_IDMAP, userns_fd=userns)
        attach(tree, mapped)
        # An idmap can be set only on a detached mount.
        with pytest.raises(OSError) as caught:
            f.mount_setattr(f.AT_FDCWD, str(plain), attr_set=f.MOUNT_ATTR_IDMAP, userns_fd=userns)
        assert caught.value.errno == errno.EINVAL and caught.value.filename == str(plain)
    assert (os.stat(mapped / "file").st_uid, os.stat(mapped / "file").st_gid) == (1000, 2000)
    assert (os.stat(plain / "file").st_uid, os.stat(plain / "file").st_gid) == (0, 0)


FAILING = [
    pytest.param(lambda p: f.fsopen("nosuchfs"), errno.ENODEV, id="fsopen unknown type"),
    pytest.param(lambda p: f.fspick(f.AT_FDCWD, str(p / "missing")), errno.ENOENT, id="fspick missing"),
    pytest.param(lambda p: f.open_tree(f.AT_FDCWD, str(p / "missing")), errno.ENOENT, id="open_tree missing"),
    pytest.param(lambda p: f.open_tree(f.AT_FDCWD, str(p), 1 << 30), errno.EINVAL, id="open_tree bad flags"),
    pytest.param(
        lambda p: f.move_mount(f.AT_FDCWD, str(p), f.AT_FDCWD, str(p / "missing")), errno.ENOENT, id="move_mount"
    ),
    pytest.param(lambda p: f.mount_setattr(f.AT_FDCWD, str(p), attr_set=1 << 40), errno.EINVAL, id="mount_setattr"),
    pytest.param(lambda p: f.fsmount(2**30), errno.EBADF, id="fsmount bad fd"),
    pytest.param(lambda p: f.fsconfig(2**30, f.FSCONFIG_CMD_CREATE), errno.EBADF, id="fsconfig bad fd"),
]


@pytest.mark.parametrize(("call", "code"), FAILING)
def test_failing_paths_leave_no_fd_behind(place, call, code):
    before = open_fds()
    with pytest.raises(OSError) as caught:
        call(place)
    assert caught.value.errno == code
    assert open_fds() == before


def test_failing_context_paths_leave_no_fd_behind(kernel):
    fs = f.fsopen("tmpfs")
    try:
        before = open_fds()
        for call in (
            lambda: f.fsconfig(fs, f.FSCONFIG_SET_STRING, "size", "x"),
            lambda: f.fsconfig(fs, f.FSCONFIG_SET_PATH, "source", "/nonexistent", f.AT_FDCWD),
            lambda: f.fsmount(fs),
        ):
            with pytest.raises(OSError):
                call()
        assert open_fds() == before
    finally:
        os.close(fs)


def test_thread_storm_of_whole_mount_cycles(place):
    threads, rounds = 4, 10
    before = mounts()
    errors = []

    def churn(n):
        target = place / f"t{n}"
        target.mkdir()
        try:
            for _ in range(rounds):
                attach(new_tmpfs(("size", "64k")), target)
                m.umount(str(target))
        except BaseException as e:  # noqa: BLE001 - reported below
            errors.append(e)

    workers = [threading.Thread(target=churn, args=(n,)) for n in range(threads)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    assert errors == []
    assert mounts() == before


def test_mount_setattr_with_nothing_to_change_does_not_look_at_the_path(kernel):
    f.mount_setattr(f.AT_FDCWD, "/nonexistent/velkora")  # returns before the lookup
    with pytest.raises(FileNotFoundError):
        f.mount_setattr(f.AT_FDCWD, "/nonexistent/velkora", attr_set=f.MOUNT_ATTR_NOSUID)

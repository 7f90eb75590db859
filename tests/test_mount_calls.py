"""What the kernel receives from mount() and umount(): checked against a
recording double of mount(2) and umount2(2) that answers as scripted, so no
real mount is made; and what every native call raises when the kernel
refuses it."""

import errno
import os

import pytest

from support.bad_calls import BAD_CALLS

SRC, TGT = b"/dev/vdb1", b"/mnt/data"


def test_defaults(double):
    reply = double("m.mount('/dev/vdb1', '/mnt/data')")
    assert reply.exc is None and reply.value == "None"
    # data is a real empty string, never a null pointer
    assert reply.calls == [("mount", SRC, TGT, b"btrfs", 0, b"")]


@pytest.mark.parametrize(
    "args",
    [
        "'/dev/vdb1', '/mnt/data', 'ext4', 7, 'noatime'",
        "source='/dev/vdb1', target='/mnt/data', fstype='ext4', flags=7, data='noatime'",
        "data='noatime', flags=7, fstype='ext4', target='/mnt/data', source='/dev/vdb1'",
        "'/dev/vdb1', '/mnt/data', flags=7, data='noatime', fstype='ext4'",
        "*['/dev/vdb1', '/mnt/data'], **{'fstype': 'ext4', 'flags': 7, 'data': 'noatime'}",
    ],
)
def test_positions_and_keywords_agree(double, args):
    reply = double(f"m.mount({args})")
    assert reply.calls == [("mount", SRC, TGT, b"ext4", 7, b"noatime")]


@pytest.mark.parametrize(
    "flags, received",
    [
        ("-1", 2**64 - 1),
        ("2**64 + 1", 1),
        ("True", 1),
        ("False", 0),
        ("2**63", 2**63),
        ("-2**63", 2**63),
        ("m.MS_BIND | m.MS_REC", 4096 | 16384),
        ("m.MS_REMOUNT | m.MS_BIND | m.MS_RDONLY", 32 | 4096 | 1),
    ],
)
def test_flags_arrive_modulo_2_to_the_64(double, flags, received):
    reply = double(f"m.mount('a', 'b', flags={flags})")
    assert reply.exc is None
    assert reply.calls == [("mount", b"a", b"b", b"btrfs", received, b"")]


def test_text_arrives_as_utf8(double):
    reply = double("m.mount('/dev/\u00e9', '/mnt/\u65e5\u672c', 'tmpfs', 0, 'uid=\U0001f600')")
    assert reply.calls == [
        ("mount", "/dev/\u00e9".encode(), "/mnt/\u65e5\u672c".encode(), b"tmpfs", 0, "uid=\U0001f600".encode())
    ]
    assert double("m.mount('a', 'b', data='')").calls == double("m.mount('a', 'b')").calls


@pytest.mark.parametrize("call, exc", BAD_CALLS)
def test_bad_arguments_never_reach_the_kernel(double, call, exc):
    reply = double(call)
    assert reply.exc == exc.__name__
    assert reply.calls == []


# Every call that reaches the kernel, and the path names its failure carries.
FAILING_CALLS = [
    ("m.mount('a', 'b')", None, None),
    ("m.umount('a')", None, None),
    ("m.umount('a', m.MNT_DETACH)", None, None),
    ("f.fsopen('tmpfs')", None, None),
    ("f.fspick(-100, '/mnt/x')", "/mnt/x", None),
    ("f.open_tree(-100, '/srv')", "/srv", None),
    ("f.move_mount(-100, '/a', -100, '/b')", "/a", "/b"),
    ("f.mount_setattr(-100, '/m', attr_set=1)", "/m", None),
    ("f.fsconfig(3, f.FSCONFIG_SET_PATH, 'source', '/dev/x', -100)", "/dev/x", None),
    ("f.fsconfig(3, f.FSCONFIG_SET_STRING, 'size', '1')", None, None),
    ("f.fsmount(3)", None, None),
]


ERRNOS = [
    (errno.EPERM, "PermissionError"),
    (errno.ENOENT, "FileNotFoundError"),
    (errno.ENOTDIR, "NotADirectoryError"),
    (errno.EINTR, "InterruptedError"),
    (errno.EBUSY, "OSError"),
    (errno.EINVAL, "OSError"),
    (errno.ENODEV, "OSError"),
    (errno.ENOSYS, "OSError"),
    (errno.EOPNOTSUPP, "OSError"),
]
# The fd-making calls are made again after EINTR (test_concurrency.py shows it):
# a stand-in that always answers EINTR would keep them going.
RETRIED_AFTER_EINTR = ("f.fsopen", "f.fspick", "f.open_tree")


@pytest.mark.parametrize(
    ("call", "filename", "filename2", "code", "exc"),
    [
        (*call, *error)
        for call in FAILING_CALLS
        for error in ERRNOS
        if not (error[0] == errno.EINTR and call[0].startswith(RETRIED_AFTER_EINTR))
    ],
)
def test_kernel_errors_become_the_errnos_oserror(double, call, filename, filename2, code, exc):
    reply = double(call, errno=code)
    assert (reply.exc, reply.errno, reply.strerror, reply.filename) == (exc, code, os.strerror(code), filename)
    assert len(reply.calls) == 1
    if filename2 is not None:
        assert (reply.message or "").endswith(f"'{filename}' -> '{filename2}'")


def test_umount_defaults_to_no_flags(double):
    reply = double("m.umount('/mnt/data')")
    assert reply.exc is None and reply.value == "None"
    assert reply.calls == [("umount2", TGT, 0)]


@pytest.mark.parametrize("flags", [2, 3, 4, 8, 2**31 - 1, -1, -(2**31), True])
def test_umount_flags_arrive_unchanged(double, flags):
    for call in (f"m.umount('/mnt/data', {flags})", f"m.umount(flags={flags}, target='/mnt/data')"):
        assert double(call).calls == [("umount2", TGT, int(flags))]

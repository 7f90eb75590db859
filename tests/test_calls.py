"""What the kernel receives from mount() and umount(): checked against a
recording double of mount(2) and umount2(2) that answers as scripted, so no
real mount is made."""

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


@pytest.mark.parametrize("call", ["m.mount('a', 'b')", "m.umount('a')", "m.umount('a', m.MNT_DETACH)"])
@pytest.mark.parametrize(
    "code, exc",
    [
        (errno.EPERM, "PermissionError"),
        (errno.ENOENT, "FileNotFoundError"),
        (errno.ENOTDIR, "NotADirectoryError"),
        (errno.EINTR, "InterruptedError"),
        (errno.EBUSY, "OSError"),
        (errno.EINVAL, "OSError"),
        (errno.ENODEV, "OSError"),
    ],
)
def test_kernel_errors_become_oserror(double, call, code, exc):
    reply = double(call, errno=code)
    assert (reply.exc, reply.errno, reply.strerror, reply.filename) == (exc, code, os.strerror(code), None)
    assert len(reply.calls) == 1


def test_umount_defaults_to_no_flags(double):
    reply = double("m.umount('/mnt/data')")
    assert reply.exc is None and reply.value == "None"
    assert reply.calls == [("umount2", TGT, 0)]


@pytest.mark.parametrize("flags", [2, 3, 4, 8, 2**31 - 1, -1, -(2**31), True])
def test_umount_flags_arrive_unchanged(double, flags):
    for call in (f"m.umount('/mnt/data', {flags})", f"m.umount(flags={flags}, target='/mnt/data')"):
        assert double(call).calls == [("umount2", TGT, int(flags))]

"""What the kernel receives from mount(): checked against a recording double
of mount(2) that answers as scripted, so no real mount is made."""

import errno
import os

import pytest

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


@pytest.mark.parametrize(
    "args, exc",
    [
        ("", TypeError),
        ("'a'", TypeError),
        ("target='b'", TypeError),
        ("'a', 'b', 'c', 0, 'd', 'e'", TypeError),
        ("'a', 'b', bogus=1", TypeError),
        ("'a', 'b', source='a'", TypeError),
        ("b'a', 'b'", TypeError),
        ("'a', __import__('pathlib').Path('b')", TypeError),
        ("None, 'b'", TypeError),
        ("'a', 'b', None", TypeError),
        ("'a', 'b', data=None", TypeError),
        ("'a', 'b', flags=1.0", TypeError),
        ("'a', 'b', flags='1'", TypeError),
        ("'a', 'b', flags=None", TypeError),
        ("'a\\0', 'b'", ValueError),
        ("'a', 'b\\0'", ValueError),
        ("'a', 'b', 'btrfs\\0'", ValueError),
        ("'a', 'b', data='x\\0y'", ValueError),
        ("'\\udc80', 'b'", UnicodeEncodeError),
        ("'a', 'b', data='\\ud800'", UnicodeEncodeError),
    ],
)
def test_bad_arguments_never_reach_the_kernel(double, args, exc):
    reply = double(f"m.mount({args})")
    assert reply.exc == exc.__name__
    assert reply.calls == []


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
def test_kernel_errors_become_oserror(double, code, exc):
    reply = double("m.mount('a', 'b')", errno=code)
    assert (reply.exc, reply.errno, reply.strerror, reply.filename) == (exc, code, os.strerror(code), None)
    assert len(reply.calls) == 1

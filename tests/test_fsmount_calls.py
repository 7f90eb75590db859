"""What the kernel receives from velkora.fsmount: each call checked against
the recording stand-in for syscall(2), so no real mount is made. Good calls
arrive exactly, made without the GIL; bad ones never reach the kernel."""

import pytest

from support.fsmount_bad_calls import FSMOUNT_BAD_CALLS

O_CLOEXEC = 0o2000000
IDMAP = 0x100000

GOOD = [
    # Each fd-returning call asks for a non-inheritable fd, whatever the flags.
    ("f.fsopen('tmpfs')", ("fsopen", b"tmpfs", 1)),
    ("f.fsopen('btrfs', 0)", ("fsopen", b"btrfs", 1)),  # non-inheritable whatever the flags
    ("f.fsopen(fs_name='ext4', flags=2**32 - 1)", ("fsopen", b"ext4", 2**32 - 1)),
    ("f.fspick(f.AT_FDCWD, '/mnt')", ("fspick", -100, b"/mnt", 1)),
    ("f.fspick(3, '', f.FSPICK_EMPTY_PATH)", ("fspick", 3, b"", 8 | 1)),
    ("f.fsmount(3)", ("fsmount", 3, 1, 0)),
    ("f.fsmount(3, 0, f.MOUNT_ATTR_RDONLY | f.MOUNT_ATTR_NOSUID)", ("fsmount", 3, 1, 3)),
    ("f.open_tree(f.AT_FDCWD, '/srv')", ("open_tree", -100, b"/srv", O_CLOEXEC)),
    ("f.open_tree(f.AT_FDCWD, '/srv', f.OPEN_TREE_CLONE)", ("open_tree", -100, b"/srv", 1 | O_CLOEXEC)),
    (
        "f.open_tree(-100, '/srv', f.OPEN_TREE_CLONE | f.OPEN_TREE_CLOEXEC | f.AT_RECURSIVE)",
        ("open_tree", -100, b"/srv", 1 | O_CLOEXEC | 0x8000),
    ),
    ("f.move_mount(5, '', f.AT_FDCWD, '/mnt/\u00e9', 4)", ("move_mount", 5, b"", -100, "/mnt/\u00e9".encode(), 4)),
    (
        "f.move_mount(to_path='/b', to_dirfd=7, from_path='/a', from_dirfd=6)",
        ("move_mount", 6, b"/a", 7, b"/b", 0),
    ),
    ("f.mount_setattr(5, '')", ("mount_setattr", 5, b"", 0, 0, 0, 0, 0, 32)),
    (
        "f.mount_setattr(-100, '/m', f.AT_RECURSIVE, attr_set=1, attr_clr=0x70, propagation=f.MS_PRIVATE)",
        ("mount_setattr", -100, b"/m", 0x8000, 1, 0x70, 1 << 18, 0, 32),
    ),
    (
        "f.mount_setattr(5, '', attr_set=f.MOUNT_ATTR_IDMAP, userns_fd=9)",
        ("mount_setattr", 5, b"", 0, IDMAP, 0, 0, 9, 32),
    ),
    (
        "f.mount_setattr(5, '', attr_set=2**64 - 1, userns_fd=-1)",
        ("mount_setattr", 5, b"", 0, 2**64 - 1, 0, 0, 2**64 - 1, 32),
    ),
    # fsconfig, command by command: what is not given is NULL or 0.
    ("f.fsconfig(3, f.FSCONFIG_SET_FLAG, 'ro')", ("fsconfig", 3, 0, b"ro", None, 0)),
    ("f.fsconfig(3, f.FSCONFIG_SET_FLAG, 'ro', aux=0)", ("fsconfig", 3, 0, b"ro", None, 0)),
    ("f.fsconfig(3, f.FSCONFIG_SET_STRING, 'size', '64k')", ("fsconfig", 3, 1, b"size", b"64k", 0)),
    ("f.fsconfig(3, f.FSCONFIG_SET_STRING, 'mode', '')", ("fsconfig", 3, 1, b"mode", b"", 0)),
    # A blob may hold NUL bytes; its length goes as aux.
    ("f.fsconfig(3, f.FSCONFIG_SET_BINARY, 'k', b'a\\0b')", ("fsconfig", 3, 2, b"k", b"a\0b", 3)),
    ("f.fsconfig(3, f.FSCONFIG_SET_BINARY, 'k', bytearray(5), 5)", ("fsconfig", 3, 2, b"k", bytes(5), 5)),
    ("f.fsconfig(3, f.FSCONFIG_SET_BINARY, 'k', memoryview(b'xy'))", ("fsconfig", 3, 2, b"k", b"xy", 2)),
    (
        "f.fsconfig(3, f.FSCONFIG_SET_PATH, 'source', '/dev/vdb', f.AT_FDCWD)",
        ("fsconfig", 3, 3, b"source", b"/dev/vdb", -100),
    ),
    ("f.fsconfig(3, f.FSCONFIG_SET_PATH_EMPTY, 'source', '', 8)", ("fsconfig", 3, 4, b"source", b"", 8)),
    ("f.fsconfig(3, f.FSCONFIG_SET_FD, 'fd', aux=0)", ("fsconfig", 3, 5, b"fd", None, 0)),
    ("f.fsconfig(3, f.FSCONFIG_SET_FD, key='fd', aux=11)", ("fsconfig", 3, 5, b"fd", None, 11)),
    ("f.fsconfig(3, f.FSCONFIG_CMD_CREATE)", ("fsconfig", 3, 6, None, None, 0)),
    ("f.fsconfig(3, f.FSCONFIG_CMD_RECONFIGURE, aux=0)", ("fsconfig", 3, 7, None, None, 0)),
    ("f.fsconfig(3, f.FSCONFIG_CMD_CREATE_EXCL)", ("fsconfig", 3, 8, None, None, 0)),
    # Paths as the os module takes them: bytes, path-likes, and a str whose
    # surrogate escapes are the bytes that are no UTF-8.
    ("f.fspick(-100, b'/m\\xff')", ("fspick", -100, b"/m\xff", 1)),
    ("f.open_tree(-100, __import__('pathlib').Path('/srv'))", ("open_tree", -100, b"/srv", O_CLOEXEC)),
    ("f.move_mount(5, '', -100, '/b\\udcff')", ("move_mount", 5, b"", -100, b"/b\xff", 0)),
    ("f.mount_setattr(-100, b'/m\\xff')", ("mount_setattr", -100, b"/m\xff", 0, 0, 0, 0, 0, 32)),
    ("f.fsconfig(3, f.FSCONFIG_SET_STRING, 'lowerdir+', b'/l\\xff')", ("fsconfig", 3, 1, b"lowerdir+", b"/l\xff", 0)),
    ("f.fsconfig(3, f.FSCONFIG_SET_PATH, 'source', b'/dev/x', -100)", ("fsconfig", 3, 3, b"source", b"/dev/x", -100)),
    # A command this module does not know goes as given.
    ("f.fsconfig(3, 99)", ("fsconfig", 3, 99, None, None, 0)),
    ("f.fsconfig(3, 99, 'k', 'v', -5)", ("fsconfig", 3, 99, b"k", b"v", -5)),
    ("f.fsconfig(3, 99, value=b'raw')", ("fsconfig", 3, 99, None, b"raw", 0)),
]


@pytest.mark.parametrize(("expr", "call"), GOOD, ids=[g[0] for g in GOOD])
def test_good_calls_arrive_exactly_without_the_gil(double, expr, call):
    reply = double(expr)
    assert reply.exc is None, reply.message
    assert reply.calls == [call]
    assert reply.gil == [False]
    assert reply.value == ("42" if call[0] in ("fsopen", "fspick", "fsmount", "open_tree") else "None")


@pytest.mark.parametrize(("expr", "exc"), FSMOUNT_BAD_CALLS, ids=[b[0] for b in FSMOUNT_BAD_CALLS])
def test_bad_calls_never_reach_the_kernel(double, expr, exc):
    reply = double(expr)
    assert (reply.exc, reply.calls) == (exc.__name__, [])


# Each FsContext and DetachedMount method, and the call it makes on its fd
# (the fd itself left out).
METHODS = [
    ("c.set_flag('ro')", ("fsconfig", 0, b"ro", None, 0)),
    ("c.set_string('size', '1m')", ("fsconfig", 1, b"size", b"1m", 0)),
    ("c.set_binary('k', b'a\\0b')", ("fsconfig", 2, b"k", b"a\0b", 3)),
    ("c.set_path('source', '/dev/x')", ("fsconfig", 3, b"source", b"/dev/x", -100)),
    ("c.set_path('source', 'x', dirfd=7)", ("fsconfig", 3, b"source", b"x", 7)),
    ("c.set_path_empty('source', '', dirfd=8)", ("fsconfig", 4, b"source", b"", 8)),
    ("c.set_fd('fd', 9)", ("fsconfig", 5, b"fd", None, 9)),
    ("c.create()", ("fsconfig", 6, None, None, 0)),
    ("c.reconfigure()", ("fsconfig", 7, None, None, 0)),
    ("c.create_excl()", ("fsconfig", 8, None, None, 0)),
    ("vars(c.mount(f.MOUNT_ATTR_RDONLY)).pop('_fd')", ("fsmount", 1, 1)),  # the stand-in's fd, not closed
    ("d.set_attr(1, 2, f.MS_PRIVATE, recursive=True)", ("mount_setattr", b"", 0x9000, 1, 2, 1 << 18, 0, 32)),
    ("d.attach('/mnt')", ("move_mount", b"", -100, b"/mnt", 4)),
    # Any object with fileno() stands for its fd, as in the os and fcntl modules.
    ("f.fsconfig(c, f.FSCONFIG_CMD_CREATE)", ("fsconfig", 6, None, None, 0)),
    ("f.fsmount(fs_fd=c)", ("fsmount", 1, 0)),
    ("f.open_tree(d, '', f.AT_EMPTY_PATH)", ("open_tree", b"", 0x1000 | O_CLOEXEC)),
    ("f.mount_setattr(d, '', attr_set=f.MOUNT_ATTR_IDMAP, userns_fd=3)", ("mount_setattr", b"", 0, IDMAP, 0, 0, 3, 32)),
]


@pytest.mark.parametrize(("expr", "call"), METHODS, ids=[m[0] for m in METHODS])
def test_context_methods_make_exactly_their_call(double, expr, call):
    reply = double(expr)
    assert reply.exc is None, reply.message
    ((name, fd, *args),) = reply.calls
    assert (name, *args) == call and fd > 2

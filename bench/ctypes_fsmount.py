"""open_tree(2) and move_mount(2) the ctypes way: syscall(2) by number, as
tools without a binding do it."""

import ctypes
import ctypes.util
import os

# As in ctypes_mount: the benchmark points this at its stand-in for the kernel.
libc = ctypes.CDLL(os.environ.get("VELKORA_BENCH_LIBC") or ctypes.util.find_library("c"), use_errno=True)
libc.syscall.restype = ctypes.c_long
SYS_open_tree, SYS_move_mount = 428, 429
OPEN_TREE_CLOEXEC = 0o2000000


def _check(ret: int) -> int:
    if ret < 0:
        errno = ctypes.get_errno()
        raise OSError(errno, os.strerror(errno))
    return ret


def open_tree(dirfd: int, path: str, flags: int = OPEN_TREE_CLOEXEC) -> int:
    return _check(libc.syscall(SYS_open_tree, ctypes.c_int(dirfd), path.encode(), ctypes.c_uint(flags)))


def move_mount(from_dirfd: int, from_path: str, to_dirfd: int, to_path: str, flags: int = 0) -> None:
    _check(
        libc.syscall(
            SYS_move_mount,
            ctypes.c_int(from_dirfd),
            from_path.encode(),
            ctypes.c_int(to_dirfd),
            to_path.encode(),
            ctypes.c_uint(flags),
        )
    )

"""The usual ctypes recipe for mount(2) and umount2(2), as found in many tools."""

import ctypes
import ctypes.util
import os

# The benchmark points VELKORA_BENCH_LIBC at its stand-in for the kernel: a
# library handle resolves its own symbols, so preloading alone would not reach
# these calls.
libc = ctypes.CDLL(os.environ.get("VELKORA_BENCH_LIBC") or ctypes.util.find_library("c"), use_errno=True)
libc.mount.argtypes = (ctypes.c_char_p, ctypes.c_char_p, ctypes.c_char_p, ctypes.c_ulong, ctypes.c_char_p)
libc.mount.restype = ctypes.c_int
libc.umount2.argtypes = (ctypes.c_char_p, ctypes.c_int)
libc.umount2.restype = ctypes.c_int


def mount(source: str, target: str, fstype: str = "btrfs", flags: int = 0, data: str = "") -> None:
    if libc.mount(source.encode(), target.encode(), fstype.encode(), flags, data.encode()) != 0:
        errno = ctypes.get_errno()
        raise OSError(errno, os.strerror(errno))


def umount(target: str, flags: int = 0) -> None:
    if libc.umount2(target.encode(), flags) != 0:
        errno = ctypes.get_errno()
        raise OSError(errno, os.strerror(errno))

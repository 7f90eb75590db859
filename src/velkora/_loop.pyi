"""Loop devices: attach a backing file, read a device's status, detach."""

from typing import Protocol, final

class _HasFileno(Protocol):
    def fileno(self) -> int: ...

@final
class Owner:
    """A loop device's fd, closed when the object goes."""

    def fileno(self) -> int:
        """The fd; ValueError once closed."""

    def close(self) -> None:
        """Close the fd; closing again does nothing."""

LO_FLAGS_READ_ONLY: int
LO_FLAGS_AUTOCLEAR: int
LO_FLAGS_PARTSCAN: int
LO_FLAGS_DIRECT_IO: int
LO_NAME_SIZE: int
LOOP_SET_FD: int
LOOP_CLR_FD: int
LOOP_SET_STATUS64: int
LOOP_GET_STATUS64: int
LOOP_SET_DIRECT_IO: int
LOOP_SET_BLOCK_SIZE: int
LOOP_CONFIGURE: int
LOOP_CTL_GET_FREE: int

def attach(
    file: bytes | int | _HasFileno,
    file_name: bytes,
    flags: int = 0,
    offset: int = 0,
    size_limit: int = 0,
    block_size: int = 0,
) -> tuple[Owner, int]:
    """Bind a backing file to a free loop device; returns (owner, number)."""

def detach(fd: int | _HasFileno, /) -> None:
    """Unbind the loop device open as fd from its backing file (LOOP_CLR_FD)."""

def status(fd: int | _HasFileno, /) -> tuple[int, int, int, int, int, int, bytes]:
    """(number, device, inode, offset, size_limit, flags, file_name) of the device open as fd."""

def set_autoclear(fd: int | _HasFileno, on: bool, /) -> None:
    """Set or clear LO_FLAGS_AUTOCLEAR on the loop device open as fd."""

def add_partition(fd: int | _HasFileno, number: int, start: int, length: int, /) -> None:
    """Add partition number (start and length in bytes) of the device open as fd (BLKPG)."""

def del_partition(fd: int | _HasFileno, number: int, /) -> None:
    """Remove partition number of the device open as fd (BLKPG)."""

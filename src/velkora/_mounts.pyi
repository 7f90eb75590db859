"""The mount table for velkora.mountinfo (listmount(2), statmount(2), or a
mountinfo text), and a mount's id (statx(2)), mount(2) and umount2(2) on
paths, and fanotify's mount events for the layers above."""

from os import PathLike
from typing import Any, Final

# A path: str (through the filesystem encoding), bytes or os.PathLike.
_Path = str | bytes | PathLike[str] | PathLike[bytes]

LSMT_ROOT: int

# mount(2)'s flags (MS_*) and umount2(2)'s (MNT_*, UMOUNT_NOFOLLOW).
MS_RDONLY: Final = 1
MS_NOSUID: Final = 2
MS_NODEV: Final = 4
MS_NOEXEC: Final = 8
MS_SYNCHRONOUS: Final = 16
MS_REMOUNT: Final = 32
MS_MANDLOCK: Final = 64
MS_DIRSYNC: Final = 128
MS_NOSYMFOLLOW: Final = 256
MS_NOATIME: Final = 1024
MS_NODIRATIME: Final = 2048
MS_BIND: Final = 4096
MS_MOVE: Final = 8192
MS_REC: Final = 16384
MS_SILENT: Final = 32768
MS_VERBOSE: Final = 32768
MS_POSIXACL: Final = 65536
MS_UNBINDABLE: Final = 131072
MS_PRIVATE: Final = 262144
MS_SLAVE: Final = 524288
MS_SHARED: Final = 1048576
MS_RELATIME: Final = 2097152
MS_KERNMOUNT: Final = 4194304
MS_I_VERSION: Final = 8388608
MS_STRICTATIME: Final = 16777216
MS_LAZYTIME: Final = 33554432
MS_SUBMOUNT: Final = 67108864
MS_NOREMOTELOCK: Final = 134217728
MS_NOSEC: Final = 268435456
MS_BORN: Final = 536870912
MS_ACTIVE: Final = 1073741824
MS_NOUSER: Final = 2147483648
MNT_FORCE: Final = 1
MNT_DETACH: Final = 2
MNT_EXPIRE: Final = 4
UMOUNT_NOFOLLOW: Final = 8

def listmount(last_id: int = 0, count: int = 512, mnt_id: int = ...) -> tuple[int, ...]:
    """One page of the unique ids of the mounts below mnt_id (by default all
    mounts the caller's root reaches), those after last_id, by id.

    Calls listmount(2). Raises OSError on failure.
    """

def statmount(mnt_id: int) -> dict[str, int | bytes | None]:
    """The kernel's record of the mount with this unique id.

    Calls statmount(2). Raises OSError on failure (FileNotFoundError if the mount is gone).
    """

def mount_id(path: _Path, unique: bool = False) -> int | None:
    """The id of the mount that holds path now, as mountinfo numbers it (with
    unique, the 64-bit id statmount takes), or None where the kernel does not
    say (before 5.8, or 6.8 for the unique id). Needs no fd, so nothing can
    be left open.

    Calls statx(2). Raises OSError on failure.
    """

def mount(source: _Path, target: _Path, fstype: str = "", flags: int = 0, data: str = "") -> None:
    """Calls mount(2); source and target are paths (str, bytes or os.PathLike),
    fstype and data text. Raises OSError naming target on failure.
    """

def umount(target: _Path, flags: int = 0) -> None:
    """Calls umount2(2); target is a path (str, bytes or os.PathLike).
    Raises OSError naming target on failure.
    """

def table(cls: type, ns_id: int = 0, with_ids: bool = False, below: str | None = None) -> list[Any]:
    """Every mount of a mount namespace (ns_id, 0 for the caller's) that the
    caller's root reaches, as records of cls (a tuple subclass of 11 fields),
    parents before children; with with_ids, (unique id, record) pairs; with
    below, only the mounts at or below that path.

    Calls listmount(2) and statmount(2). Raises OSError on failure.
    """

def record(cls: type, mnt_id: int, ns_id: int = 0) -> Any:
    """The mount with this unique id as a record of cls, or None where it
    lies outside the caller's root.

    Calls statmount(2). Raises OSError on failure (FileNotFoundError if the
    mount is gone).
    """

def parse(cls: type, data: bytes, ordered: bool = True) -> list[Any]:
    """The records of a mountinfo text as records of cls (a tuple subclass of
    11 fields): parents before children, or with ordered=False in the text's
    own order. Raises ValueError for a line not in mountinfo's format."""

def read(cls: type, path: str = ..., below: str | None = None) -> list[Any]:
    """The records of a mountinfo file as records of cls, parents before
    children; with below, only the mounts at or below that path. Raises OSError on failure, ValueError for a line not in
    mountinfo's format."""

def mntns_id(path: str) -> int:
    """The id of the mount namespace that the nsfs file at path (such as
    /proc/PID/ns/mnt) stands for, as listmount(2) and statmount(2) take it.

    Calls ioctl(NS_GET_MNTNS_ID). Raises OSError on failure.
    """

def fanotify_init(flags: int, event_f_flags: int = 0) -> int:
    """A new fanotify group's fd, non-inheritable (FAN_CLOEXEC is always added).

    Calls fanotify_init(2). Raises OSError on failure.
    """

def fanotify_mark(fd: int, flags: int, mask: int, path: str) -> None:
    """Adds, removes or changes a mark of the fanotify group fd on path.

    Calls fanotify_mark(2). Raises OSError on failure.
    """

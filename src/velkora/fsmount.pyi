"""Linux's file-descriptor mount API: fsopen, fspick, fsconfig, fsmount, open_tree, move_mount and mount_setattr."""

from os import PathLike
from typing import Final, Protocol

class _HasFileno(Protocol):
    def fileno(self) -> int: ...

# An fd argument: an int (AT_FDCWD included) or anything with fileno().
_Fd = int | _HasFileno
# A path: str (through the filesystem encoding), bytes or os.PathLike.
_Path = str | bytes | PathLike[str] | PathLike[bytes]

AT_FDCWD: Final = -100
AT_EMPTY_PATH: Final = 4096
AT_RECURSIVE: Final = 32768
AT_SYMLINK_NOFOLLOW: Final = 256
AT_NO_AUTOMOUNT: Final = 2048
FSOPEN_CLOEXEC: Final = 1
FSPICK_CLOEXEC: Final = 1
FSPICK_SYMLINK_NOFOLLOW: Final = 2
FSPICK_NO_AUTOMOUNT: Final = 4
FSPICK_EMPTY_PATH: Final = 8
FSCONFIG_SET_FLAG: Final = 0
FSCONFIG_SET_STRING: Final = 1
FSCONFIG_SET_BINARY: Final = 2
FSCONFIG_SET_PATH: Final = 3
FSCONFIG_SET_PATH_EMPTY: Final = 4
FSCONFIG_SET_FD: Final = 5
FSCONFIG_CMD_CREATE: Final = 6
FSCONFIG_CMD_RECONFIGURE: Final = 7
FSCONFIG_CMD_CREATE_EXCL: Final = 8
FSMOUNT_CLOEXEC: Final = 1
FSMOUNT_NAMESPACE: Final = 2
MOUNT_ATTR_RDONLY: Final = 1
MOUNT_ATTR_NOSUID: Final = 2
MOUNT_ATTR_NODEV: Final = 4
MOUNT_ATTR_NOEXEC: Final = 8
MOUNT_ATTR__ATIME: Final = 112
MOUNT_ATTR_RELATIME: Final = 0
MOUNT_ATTR_NOATIME: Final = 16
MOUNT_ATTR_STRICTATIME: Final = 32
MOUNT_ATTR_NODIRATIME: Final = 128
MOUNT_ATTR_IDMAP: Final = 1048576
MOUNT_ATTR_NOSYMFOLLOW: Final = 2097152
MOUNT_ATTR_SIZE_VER0: Final = 32
MOVE_MOUNT_F_SYMLINKS: Final = 1
MOVE_MOUNT_F_AUTOMOUNTS: Final = 2
MOVE_MOUNT_F_EMPTY_PATH: Final = 4
MOVE_MOUNT_T_SYMLINKS: Final = 16
MOVE_MOUNT_T_AUTOMOUNTS: Final = 32
MOVE_MOUNT_T_EMPTY_PATH: Final = 64
MOVE_MOUNT_SET_GROUP: Final = 256
MOVE_MOUNT_BENEATH: Final = 512
OPEN_TREE_CLONE: Final = 1
OPEN_TREE_CLOEXEC: Final = 524288
OPEN_TREE_NAMESPACE: Final = 2
MS_UNBINDABLE: Final = 131072
MS_PRIVATE: Final = 262144
MS_SLAVE: Final = 524288
MS_SHARED: Final = 1048576

def fsopen(fs_name: str, flags: int = 0) -> int:
    """Open a new filesystem context for the filesystem type fs_name.

    Calls fsopen(2) with FSOPEN_CLOEXEC added to flags, and returns the
    context's fd, non-inheritable (os.set_inheritable changes that).
    Raises OSError on failure.
    """

def fspick(dirfd: _Fd, path: _Path, flags: int = 0) -> int:
    """Open a filesystem context on the superblock of a mounted filesystem,
    to reconfigure it.

    Calls fspick(2) with FSPICK_CLOEXEC added to flags, and returns the
    context's fd, non-inheritable.
    Raises OSError on failure.
    """

def fsconfig(
    fs_fd: _Fd,
    cmd: int,
    key: str | None = None,
    value: _Path | bytearray | memoryview | None = None,
    aux: int | None = None,
) -> None:
    """Configure a filesystem context, or create or reconfigure its superblock.

    Calls fsconfig(2). The arguments must suit cmd: FSCONFIG_SET_FLAG a key;
    FSCONFIG_SET_STRING a key and a str or bytes value; FSCONFIG_SET_BINARY a
    key and a bytes-like value, whose length is passed as aux; FSCONFIG_SET_PATH
    and FSCONFIG_SET_PATH_EMPTY a key, a path (str, bytes or os.PathLike) and
    aux, the dirfd (AT_FDCWD for a plain path); FSCONFIG_SET_FD a key and aux,
    the fd; FSCONFIG_CMD_* nothing else. A command not listed goes to the
    kernel as given. A str value or path goes through the filesystem encoding.
    Raises OSError on failure, with the kernel's messages in kernel_messages.
    """

def fsmount(fs_fd: _Fd, flags: int = 0, attr_flags: int = 0) -> int:
    """Make a detached mount of the superblock created in a filesystem context.

    Calls fsmount(2) with FSMOUNT_CLOEXEC added to flags, and returns the
    mount's fd, non-inheritable.
    Raises OSError on failure, with the kernel's messages in kernel_messages.
    """

def open_tree(dirfd: _Fd, path: _Path, flags: int = 0) -> int:
    """Open a mounted tree, or with OPEN_TREE_CLONE a detached copy of it.

    Calls open_tree(2) with OPEN_TREE_CLOEXEC added to flags, and returns
    the fd, non-inheritable.
    Raises OSError on failure.
    """

def move_mount(from_dirfd: _Fd, from_path: _Path, to_dirfd: _Fd, to_path: _Path, flags: int = 0) -> None:
    """Move a mount, or attach a detached one, to a place in the tree.

    Calls move_mount(2). Raises OSError on failure.
    """

def mount_setattr(
    dirfd: _Fd,
    path: _Path,
    flags: int = 0,
    *,
    attr_set: int = 0,
    attr_clr: int = 0,
    propagation: int = 0,
    userns_fd: _Fd | None = None,
) -> None:
    """Change the attributes of a mount, or with AT_RECURSIVE of a whole tree.

    Calls mount_setattr(2) with a struct mount_attr made of the keywords.
    MOUNT_ATTR_IDMAP in attr_set needs userns_fd. Raises OSError on failure.
    """

"""Linux's mount flags as :class:`enum.IntFlag` classes.

Each member is an ``int``, so a member goes wherever a plain int does::

    from velkora.flags import MS
    velkora.mount.mount("none", "/srv", flags=MS.REC | MS.PRIVATE)

The values are the kernel's (``MS.PRIVATE == 1 << 18``). Importing
``velkora.mount`` does not import this module, nor :mod:`enum`.
"""

import enum

__all__ = ["MS", "MNT", "MOUNT_ATTR", "OPEN_TREE", "MOVE_MOUNT", "FSOPEN", "FSMOUNT", "FSPICK"]


class MS(enum.IntFlag):
    """mount(2) flags (``MS_*``)."""

    RDONLY = 1
    NOSUID = 2
    NODEV = 4
    NOEXEC = 8
    SYNCHRONOUS = 16
    REMOUNT = 32
    MANDLOCK = 64
    DIRSYNC = 128
    NOSYMFOLLOW = 256
    NOATIME = 1024
    NODIRATIME = 2048
    BIND = 4096
    MOVE = 8192
    REC = 16384
    SILENT = 32768
    VERBOSE = 32768  # the old name of SILENT
    POSIXACL = 1 << 16
    UNBINDABLE = 1 << 17
    PRIVATE = 1 << 18
    SLAVE = 1 << 19
    SHARED = 1 << 20
    RELATIME = 1 << 21
    KERNMOUNT = 1 << 22
    I_VERSION = 1 << 23
    STRICTATIME = 1 << 24
    LAZYTIME = 1 << 25
    SUBMOUNT = 1 << 26
    NOREMOTELOCK = 1 << 27
    NOSEC = 1 << 28
    BORN = 1 << 29
    ACTIVE = 1 << 30
    NOUSER = 1 << 31


class MNT(enum.IntFlag):
    """umount2(2) flags (``MNT_*``, and ``UMOUNT_NOFOLLOW``)."""

    FORCE = 1
    DETACH = 2
    EXPIRE = 4
    UMOUNT_NOFOLLOW = 8


class MOUNT_ATTR(enum.IntFlag):
    """Mount attributes of fsmount(2) and mount_setattr(2) (``MOUNT_ATTR_*``).

    The atime mode is a field, not a flag: clear ``_ATIME`` when setting one
    of ``RELATIME`` (0), ``NOATIME`` and ``STRICTATIME``.
    """

    RDONLY = 0x00000001
    NOSUID = 0x00000002
    NODEV = 0x00000004
    NOEXEC = 0x00000008
    _ATIME = 0x00000070
    RELATIME = 0x00000000
    NOATIME = 0x00000010
    STRICTATIME = 0x00000020
    NODIRATIME = 0x00000080
    IDMAP = 0x00100000
    NOSYMFOLLOW = 0x00200000


class OPEN_TREE(enum.IntFlag):
    """open_tree(2) flags (``OPEN_TREE_*``)."""

    CLONE = 1
    NAMESPACE = 2  # newer kernels: the clone in a new mount namespace
    CLOEXEC = 0o2000000


class MOVE_MOUNT(enum.IntFlag):
    """move_mount(2) flags (``MOVE_MOUNT_*``)."""

    F_SYMLINKS = 0x00000001
    F_AUTOMOUNTS = 0x00000002
    F_EMPTY_PATH = 0x00000004
    T_SYMLINKS = 0x00000010
    T_AUTOMOUNTS = 0x00000020
    T_EMPTY_PATH = 0x00000040
    SET_GROUP = 0x00000100
    BENEATH = 0x00000200


class FSOPEN(enum.IntFlag):
    """fsopen(2) flags (``FSOPEN_*``)."""

    CLOEXEC = 0x00000001


class FSMOUNT(enum.IntFlag):
    """fsmount(2) flags (``FSMOUNT_*``)."""

    CLOEXEC = 0x00000001
    NAMESPACE = 0x00000002  # newer kernels: the mount in a new mount namespace


class FSPICK(enum.IntFlag):
    """fspick(2) flags (``FSPICK_*``)."""

    CLOEXEC = 0x00000001
    SYMLINK_NOFOLLOW = 0x00000002
    NO_AUTOMOUNT = 0x00000004
    EMPTY_PATH = 0x00000008

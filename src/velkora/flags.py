"""Linux's mount flags as :class:`enum.IntFlag` classes.

Each member is an ``int``, so a member goes wherever a plain int does::

    from velkora.flags import MS
    velkora.mount.mount("none", "/srv", flags=MS.REC | MS.PRIVATE)

The values are the kernel's (``MS.PRIVATE == 1 << 18``), each taken from
the native module that exports it: :mod:`velkora._mounts` for ``MS_*``,
``MNT_*`` and ``UMOUNT_NOFOLLOW``, :mod:`velkora.fsmount` for the rest.
Importing ``velkora.mount`` does not import this module, nor :mod:`enum`.
"""

import enum

from velkora import _mounts, fsmount

__all__ = ["MS", "MNT", "MOUNT_ATTR", "OPEN_TREE", "MOVE_MOUNT", "FSOPEN", "FSMOUNT", "FSPICK"]


class MS(enum.IntFlag):
    """mount(2) flags (``MS_*``)."""

    RDONLY = _mounts.MS_RDONLY
    NOSUID = _mounts.MS_NOSUID
    NODEV = _mounts.MS_NODEV
    NOEXEC = _mounts.MS_NOEXEC
    SYNCHRONOUS = _mounts.MS_SYNCHRONOUS
    REMOUNT = _mounts.MS_REMOUNT
    MANDLOCK = _mounts.MS_MANDLOCK
    DIRSYNC = _mounts.MS_DIRSYNC
    NOSYMFOLLOW = _mounts.MS_NOSYMFOLLOW
    NOATIME = _mounts.MS_NOATIME
    NODIRATIME = _mounts.MS_NODIRATIME
    BIND = _mounts.MS_BIND
    MOVE = _mounts.MS_MOVE
    REC = _mounts.MS_REC
    SILENT = _mounts.MS_SILENT
    VERBOSE = _mounts.MS_VERBOSE  # the old name of SILENT
    POSIXACL = _mounts.MS_POSIXACL
    UNBINDABLE = _mounts.MS_UNBINDABLE
    PRIVATE = _mounts.MS_PRIVATE
    SLAVE = _mounts.MS_SLAVE
    SHARED = _mounts.MS_SHARED
    RELATIME = _mounts.MS_RELATIME
    KERNMOUNT = _mounts.MS_KERNMOUNT
    I_VERSION = _mounts.MS_I_VERSION
    STRICTATIME = _mounts.MS_STRICTATIME
    LAZYTIME = _mounts.MS_LAZYTIME
    SUBMOUNT = _mounts.MS_SUBMOUNT
    NOREMOTELOCK = _mounts.MS_NOREMOTELOCK
    NOSEC = _mounts.MS_NOSEC
    BORN = _mounts.MS_BORN
    ACTIVE = _mounts.MS_ACTIVE
    NOUSER = _mounts.MS_NOUSER


class MNT(enum.IntFlag):
    """umount2(2) flags (``MNT_*``, and ``UMOUNT_NOFOLLOW``)."""

    FORCE = _mounts.MNT_FORCE
    DETACH = _mounts.MNT_DETACH
    EXPIRE = _mounts.MNT_EXPIRE
    UMOUNT_NOFOLLOW = _mounts.UMOUNT_NOFOLLOW


class MOUNT_ATTR(enum.IntFlag):
    """Mount attributes of fsmount(2) and mount_setattr(2) (``MOUNT_ATTR_*``).

    The atime mode is a field, not a flag: clear ``_ATIME`` when setting one
    of ``RELATIME`` (0), ``NOATIME`` and ``STRICTATIME``.
    """

    RDONLY = fsmount.MOUNT_ATTR_RDONLY
    NOSUID = fsmount.MOUNT_ATTR_NOSUID
    NODEV = fsmount.MOUNT_ATTR_NODEV
    NOEXEC = fsmount.MOUNT_ATTR_NOEXEC
    _ATIME = fsmount.MOUNT_ATTR__ATIME
    RELATIME = fsmount.MOUNT_ATTR_RELATIME
    NOATIME = fsmount.MOUNT_ATTR_NOATIME
    STRICTATIME = fsmount.MOUNT_ATTR_STRICTATIME
    NODIRATIME = fsmount.MOUNT_ATTR_NODIRATIME
    IDMAP = fsmount.MOUNT_ATTR_IDMAP
    NOSYMFOLLOW = fsmount.MOUNT_ATTR_NOSYMFOLLOW


class OPEN_TREE(enum.IntFlag):
    """open_tree(2) flags (``OPEN_TREE_*``)."""

    CLONE = fsmount.OPEN_TREE_CLONE
    NAMESPACE = fsmount.OPEN_TREE_NAMESPACE  # newer kernels: the clone in a new mount namespace
    CLOEXEC = fsmount.OPEN_TREE_CLOEXEC


class MOVE_MOUNT(enum.IntFlag):
    """move_mount(2) flags (``MOVE_MOUNT_*``)."""

    F_SYMLINKS = fsmount.MOVE_MOUNT_F_SYMLINKS
    F_AUTOMOUNTS = fsmount.MOVE_MOUNT_F_AUTOMOUNTS
    F_EMPTY_PATH = fsmount.MOVE_MOUNT_F_EMPTY_PATH
    T_SYMLINKS = fsmount.MOVE_MOUNT_T_SYMLINKS
    T_AUTOMOUNTS = fsmount.MOVE_MOUNT_T_AUTOMOUNTS
    T_EMPTY_PATH = fsmount.MOVE_MOUNT_T_EMPTY_PATH
    SET_GROUP = fsmount.MOVE_MOUNT_SET_GROUP
    BENEATH = fsmount.MOVE_MOUNT_BENEATH


class FSOPEN(enum.IntFlag):
    """fsopen(2) flags (``FSOPEN_*``)."""

    CLOEXEC = fsmount.FSOPEN_CLOEXEC


class FSMOUNT(enum.IntFlag):
    """fsmount(2) flags (``FSMOUNT_*``)."""

    CLOEXEC = fsmount.FSMOUNT_CLOEXEC
    NAMESPACE = fsmount.FSMOUNT_NAMESPACE  # newer kernels: the mount in a new mount namespace


class FSPICK(enum.IntFlag):
    """fspick(2) flags (``FSPICK_*``)."""

    CLOEXEC = fsmount.FSPICK_CLOEXEC
    SYMLINK_NOFOLLOW = fsmount.FSPICK_SYMLINK_NOFOLLOW
    NO_AUTOMOUNT = fsmount.FSPICK_NO_AUTOMOUNT
    EMPTY_PATH = fsmount.FSPICK_EMPTY_PATH

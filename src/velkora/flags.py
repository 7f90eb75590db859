"""Linux's mount flags as :class:`enum.IntFlag` classes.

Each member is an ``int``, so a member goes wherever a plain int does::

    from velkora.flags import MS
    velkora.mount.mount("none", "/srv", flags=MS.REC | MS.PRIVATE)

The values are the kernel's (``MS.PRIVATE == 1 << 18``), each taken from
the native module that exports it: :mod:`velkora._mounts` for ``MS_*``,
``MNT_*`` and ``UMOUNT_NOFOLLOW``, :mod:`velkora.fsmount` for the rest.
Importing ``velkora.mount`` does not import this module, nor :mod:`enum`.
"""

from __future__ import annotations

import enum

from velkora import _mounts, fsmount

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any

__all__ = ["MS", "MNT", "MOUNT_ATTR", "OPEN_TREE", "MOVE_MOUNT", "FSOPEN", "FSMOUNT", "FSPICK"]


def _named(module: object, prefix: str) -> Any:  # a function Enum calls unbound
    """Each member's value (``enum.auto()``): the native module's constant of
    the member's name under the class's prefix (``MS.BIND`` is
    ``_mounts.MS_BIND``)."""

    def value(name: str, start: int, count: int, last_values: list[Any]) -> int:
        found: int = getattr(module, prefix + name)
        return found

    return value


class MS(enum.IntFlag):
    """mount(2) flags (``MS_*``)."""

    _generate_next_value_ = _named(_mounts, "MS_")
    RDONLY = enum.auto()
    NOSUID = enum.auto()
    NODEV = enum.auto()
    NOEXEC = enum.auto()
    SYNCHRONOUS = enum.auto()
    REMOUNT = enum.auto()
    MANDLOCK = enum.auto()
    DIRSYNC = enum.auto()
    NOSYMFOLLOW = enum.auto()
    NOATIME = enum.auto()
    NODIRATIME = enum.auto()
    BIND = enum.auto()
    MOVE = enum.auto()
    REC = enum.auto()
    SILENT = enum.auto()
    VERBOSE = enum.auto()  # the old name of SILENT
    POSIXACL = enum.auto()
    UNBINDABLE = enum.auto()
    PRIVATE = enum.auto()
    SLAVE = enum.auto()
    SHARED = enum.auto()
    RELATIME = enum.auto()
    KERNMOUNT = enum.auto()
    I_VERSION = enum.auto()
    STRICTATIME = enum.auto()
    LAZYTIME = enum.auto()
    SUBMOUNT = enum.auto()
    NOREMOTELOCK = enum.auto()
    NOSEC = enum.auto()
    BORN = enum.auto()
    ACTIVE = enum.auto()
    NOUSER = enum.auto()


class MNT(enum.IntFlag):
    """umount2(2) flags (``MNT_*``, and ``UMOUNT_NOFOLLOW``)."""

    _generate_next_value_ = _named(_mounts, "MNT_")
    FORCE = enum.auto()
    DETACH = enum.auto()
    EXPIRE = enum.auto()
    UMOUNT_NOFOLLOW = _mounts.UMOUNT_NOFOLLOW  # no MNT_ prefix of its own


class MOUNT_ATTR(enum.IntFlag):
    """Mount attributes of fsmount(2) and mount_setattr(2) (``MOUNT_ATTR_*``).

    The atime mode is a field, not a flag: clear ``_ATIME`` when setting one
    of ``RELATIME`` (0), ``NOATIME`` and ``STRICTATIME``.
    """

    _generate_next_value_ = _named(fsmount, "MOUNT_ATTR_")
    RDONLY = enum.auto()
    NOSUID = enum.auto()
    NODEV = enum.auto()
    NOEXEC = enum.auto()
    _ATIME = enum.auto()
    RELATIME = enum.auto()
    NOATIME = enum.auto()
    STRICTATIME = enum.auto()
    NODIRATIME = enum.auto()
    IDMAP = enum.auto()
    NOSYMFOLLOW = enum.auto()


class OPEN_TREE(enum.IntFlag):
    """open_tree(2) flags (``OPEN_TREE_*``)."""

    _generate_next_value_ = _named(fsmount, "OPEN_TREE_")
    CLONE = enum.auto()
    NAMESPACE = enum.auto()  # newer kernels: the clone in a new mount namespace
    CLOEXEC = enum.auto()


class MOVE_MOUNT(enum.IntFlag):
    """move_mount(2) flags (``MOVE_MOUNT_*``)."""

    _generate_next_value_ = _named(fsmount, "MOVE_MOUNT_")
    F_SYMLINKS = enum.auto()
    F_AUTOMOUNTS = enum.auto()
    F_EMPTY_PATH = enum.auto()
    T_SYMLINKS = enum.auto()
    T_AUTOMOUNTS = enum.auto()
    T_EMPTY_PATH = enum.auto()
    SET_GROUP = enum.auto()
    BENEATH = enum.auto()


class FSOPEN(enum.IntFlag):
    """fsopen(2) flags (``FSOPEN_*``)."""

    _generate_next_value_ = _named(fsmount, "FSOPEN_")
    CLOEXEC = enum.auto()


class FSMOUNT(enum.IntFlag):
    """fsmount(2) flags (``FSMOUNT_*``)."""

    _generate_next_value_ = _named(fsmount, "FSMOUNT_")
    CLOEXEC = enum.auto()
    NAMESPACE = enum.auto()  # newer kernels: the mount in a new mount namespace


class FSPICK(enum.IntFlag):
    """fspick(2) flags (``FSPICK_*``)."""

    _generate_next_value_ = _named(fsmount, "FSPICK_")
    CLOEXEC = enum.auto()
    SYMLINK_NOFOLLOW = enum.auto()
    NO_AUTOMOUNT = enum.auto()
    EMPTY_PATH = enum.auto()

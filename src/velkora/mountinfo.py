"""The mount table of a mount namespace, as records, and its changes as events.

``mounts()`` reads the caller's table from ``/proc/self/mountinfo`` or from
the kernel's listmount(2) and statmount(2) (Linux 6.8+), both parsed and
built into records natively, parents before children; ``mounts(pid=PID)``
reads another process's. ``mount_at(path)`` is the mount that holds a path
(one statx(2) and one statmount(2) where the kernel has them),
``mounts_below(path)`` the tree below it in the order for unmounting, and
``watch()`` reports mounts attached, detached and moved.
"""

from __future__ import annotations

import errno
import os

from velkora import _mounts
from velkora._records import _FALL_BACK, Mount, MountEvent, _within
from velkora._watch import MountWatch, watch

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Union

    # A path as the os module takes one.
    AnyPath = Union[str, bytes, os.PathLike[str], os.PathLike[bytes]]


__all__ = ["Mount", "MountEvent", "MountWatch", "mounts", "mount_at", "mounts_below", "parse_mountinfo", "watch"]

MOUNTINFO = "/proc/self/mountinfo"


_VIA = ("statmount", "mountinfo", None)


def parse_mountinfo(data: bytes) -> list[Mount]:
    """The records of a mountinfo text, in its own order.

    Raises ValueError for a line that is not in mountinfo's format.
    """
    return _mounts.parse(Mount, data, False)


def _check(via: str | None, pid: int | None) -> None:
    if via not in _VIA:
        raise ValueError(f"via must be 'statmount', 'mountinfo' or None, not {via!r}")
    if pid is not None and (type(pid) is not int or pid <= 0):
        raise ValueError(f"pid must be a positive int, not {pid!r}")


def _gone(pid: int) -> bool:
    """Whether the process has exited: no /proc/PID, or a zombie's (whose
    namespace is gone before its entry)."""
    try:
        with open(f"/proc/{pid}/stat", "rb") as f:
            state = f.read().rpartition(b")")[2].split()[:1]
    except FileNotFoundError:
        return True
    except OSError:
        return False
    return state in ([b"Z"], [b"X"])


def _process_error(e: OSError, pid: int) -> OSError:
    """An error under /proc/PID from a process that is gone or going, as
    ProcessLookupError."""
    if e.errno in (errno.ENOENT, errno.EINVAL, errno.ESRCH) and _gone(pid):
        return ProcessLookupError(errno.ESRCH, os.strerror(errno.ESRCH), f"/proc/{pid}")
    return e


def _namespace_table(pid: int, via: str | None) -> list[Mount] | None:
    """Another process's table from listmount/statmount with its namespace's
    id, or None where the kernel cannot (mountinfo then)."""
    try:
        ns_id = _mounts.mntns_id(f"/proc/{pid}/ns/mnt")
        return _mounts.table(Mount, ns_id)
    except OSError as e:
        if via == "statmount" or e.errno not in _FALL_BACK + (errno.ENOTTY, errno.EINVAL) or _gone(pid):
            raise _process_error(e, pid) from None
        return None


def mounts(via: str | None = None, *, pid: int | None = None) -> list[Mount]:
    """Every mount of the caller's mount namespace that its root reaches,
    parents before children (siblings by id); with ``pid``, of that
    process's namespace, mount points relative to the namespace's root.

    ``via="mountinfo"`` parses /proc/self/mountinfo (/proc/PID/mountinfo),
    ``via="statmount"`` asks listmount(2) and statmount(2) (Linux 6.8+; for
    another namespace 6.11+). None takes the faster mountinfo for the
    caller's table, falling back to statmount where /proc is not mounted,
    and statmount for another process's (its mountinfo is relative to that
    process's root, which differs for a chrooted process), falling back to
    mountinfo where the kernel lacks or a seccomp filter refuses it.

    Raises ProcessLookupError for a process that does not exist,
    PermissionError for one the caller may not inspect.
    """
    _check(via, pid)
    if pid is None:
        if via == "statmount":
            return _mounts.table(Mount)
        try:
            return _mounts.read(Mount)
        except FileNotFoundError:
            if via == "mountinfo":
                raise
        return _mounts.table(Mount)
    if via != "mountinfo":
        listed = _namespace_table(pid, via)
        if listed is not None:
            return listed
    try:
        table: list[Mount] = _mounts.read(Mount, f"/proc/{pid}/mountinfo")
    except OSError as e:
        raise _process_error(e, pid) from None
    if not table and _gone(pid):  # an exiting process's mountinfo is empty
        raise ProcessLookupError(errno.ESRCH, os.strerror(errno.ESRCH), f"/proc/{pid}")
    return table


def _holding(table: list[Mount], target: str, path: AnyPath) -> Mount:
    best: Mount | None = None
    for m in table:
        point = m.mount_point
        if point is not None and _within(target, point):
            if best is None or best.mount_point is None or len(point) >= len(best.mount_point):
                best = m
    if best is None:
        raise FileNotFoundError(errno.ENOENT, "no mount holds this path", os.fspath(path))
    return best


def _must_exist(where: str, path: AnyPath) -> None:
    """FileNotFoundError naming path where nothing is at where; a place the
    caller may not look into is taken as there."""
    try:
        os.stat(where)
    except (FileNotFoundError, NotADirectoryError) as e:
        raise FileNotFoundError(errno.ENOENT, os.strerror(errno.ENOENT), os.fspath(path)) from e
    except OSError:
        pass


def mount_at(path: AnyPath, via: str | None = None, *, pid: int | None = None) -> Mount:
    """The mount that holds ``path`` (the topmost, where mounts are stacked);
    FileNotFoundError where nothing is at ``path``.

    It is the mount that is visible at the path, the one statx(2) names,
    never one hidden under another: for the caller's namespace, one statx(2)
    and one statmount(2) where the kernel has them (6.8+), else statx's id
    looked up in the table; with ``pid``, the path as that process's
    namespace names it, looked up in its table.
    """
    _check(via, pid)
    if pid is not None:
        inside = os.path.normpath(os.path.join("/", os.fsdecode(os.fspath(path))))
        table = mounts(via, pid=pid)
        _must_exist(f"/proc/{pid}/root{inside}", path)
        return _visible(table, f"/proc/{pid}/root{inside}", inside, path)
    target = os.fsdecode(os.path.realpath(path))
    _must_exist(target, path)
    if via != "mountinfo":
        try:
            unique = _mounts.mount_id(target, unique=True)
            if unique is not None:
                found: Mount | None = _mounts.record(Mount, unique)
                if found is not None:
                    return found
        except OSError as e:
            # Where the kernel refuses, the table is searched (unless statmount
            # was asked for).
            if e.errno in (errno.ENOENT, errno.ENOTDIR):
                raise FileNotFoundError(errno.ENOENT, os.strerror(errno.ENOENT), os.fspath(path)) from None
            if e.errno not in _FALL_BACK or via == "statmount":
                raise
    return _visible(mounts(via), target, target, path)


def _visible(table: list[Mount], where: str, target: str, path: AnyPath) -> Mount:
    """The record of the mount statx(2) names at where (through /proc/PID/root
    for another namespace). Where the kernel does not say (before 5.8, or
    qemu-user), the longest mount point holding target of the mounts whose
    device is the path's (a mount hidden under another has the other's
    device), or of all where none has (a Btrfs subvolume's own device)."""
    try:
        shown = _mounts.mount_id(where)
        st = os.stat(where)
    except (OSError, ValueError):
        return _holding(table, target, path)
    for m in table if shown is not None else ():
        if m.id == shown:
            return m
    device = (os.major(st.st_dev), os.minor(st.st_dev))
    return _holding([m for m in table if (m.major, m.minor) == device] or table, target, path)


def mounts_below(path: AnyPath, via: str | None = None) -> list[Mount]:
    """The mounts at or below ``path``, children before parents: the order
    in which to unmount them. Only they are made into records."""
    _check(via, None)
    target = os.fsdecode(os.path.realpath(path))
    table: list[Mount]
    if via == "statmount":
        table = _mounts.table(Mount, below=target)
    else:
        try:
            table = _mounts.read(Mount, below=target)
        except FileNotFoundError:
            if via == "mountinfo":
                raise
            table = _mounts.table(Mount, below=target)
    table.reverse()
    return table

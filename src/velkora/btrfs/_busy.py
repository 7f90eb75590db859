"""velkora's own check before subvolumes are deleted: the kernel deletes a
subvolume mounted elsewhere, and detaches what is mounted inside one, so
the tree to delete is looked for in the caller's mount table first."""

from __future__ import annotations

import errno
import os

from velkora import _btrfs

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Union

    AnyPath = Union[str, bytes, os.PathLike[str], os.PathLike[bytes]]
    from velkora.mountinfo import Mount


def _devices(fs_uuid: str) -> set[int]:
    """The device numbers of the filesystem's devices, from sysfs."""
    base = f"/sys/fs/btrfs/{fs_uuid}/devices"
    found: set[int] = set()
    try:
        names = os.listdir(base)
    except OSError:
        return found
    for name in names:
        try:
            with open(f"{base}/{name}/dev") as f:
                major, minor = f.read().split(":")
            found.add(os.makedev(int(major), int(minor)))
        except (OSError, ValueError):
            continue
    return found


def _ours(table: list[Mount], path: AnyPath) -> set[tuple[int | None, int | None]]:
    """The superblock numbers (mountinfo's major:minor) of the mounts of the
    filesystem that holds path: the mount that holds path, where the table
    shows it (not under toplevel's detached mount), and those whose source is
    one of its devices, or, where sysfs does not say, whose mount point is on
    it (a source named by a device node since gone counts by the first)."""
    from velkora import _mounts

    fs_uuid = _btrfs.fs_uuid(path)
    devices = _devices(fs_uuid)
    found: set[tuple[int | None, int | None]] = set()
    holder = _mounts.mount_id(path)
    found.update((m.major, m.minor) for m in table if m.id == holder and m.fs_type == "btrfs")
    for m in table:
        if m.fs_type != "btrfs" or (m.major, m.minor) in found:
            continue
        try:
            if devices:
                same = m.source is not None and os.stat(m.source).st_rdev in devices
            else:
                same = m.mount_point is not None and _btrfs.fs_uuid(m.mount_point) == fs_uuid
        except OSError:
            continue
        if same:
            found.add((m.major, m.minor))
    return found


def _subvolid(m: Mount) -> int | None:
    for word in (m.super_options or "").split(","):
        if word.startswith("subvolid="):
            try:
                return int(word[9:])
            except ValueError:
                return None
    return None


def _inside(fs_path: str, top: str) -> bool:
    """Whether fs_path ("/@/x", from the top level) is in the tree at top ("@")."""
    inner = fs_path.strip("/")
    return inner == top or inner.startswith(top + "/")


def _busy(point: str | None, why: str) -> OSError:
    return OSError(errno.EBUSY, f"{os.strerror(errno.EBUSY)}: {why}", point)


def refuse_busy(path: AnyPath, tree: set[int], top: str | None) -> None:
    """OSError EBUSY naming the mount point where a subvolume of tree (ids)
    is mounted in the caller's mount namespace, or anything is mounted
    inside the tree; top is the tree's path from the top level, or None
    where the caller may not know it (the mount points below path are then
    what is looked at)."""
    from velkora import mountinfo

    table = mountinfo.mounts()
    ours = _ours(table, path)
    by_id = {m.id: m for m in table}
    for m in table:
        mine = (m.major, m.minor) in ours
        if mine and (_subvolid(m) in tree or (top is not None and m.root is not None and _inside(m.root, top))):
            raise _busy(m.mount_point, "a subvolume of the tree is mounted there")
        parent = by_id.get(m.parent_id)
        if top is None or parent is None or parent is m or (parent.major, parent.minor) not in ours:
            continue
        if parent.root is None or parent.mount_point is None or m.mount_point is None:
            continue
        inner = os.path.relpath(m.mount_point, parent.mount_point)
        if _inside(f"{parent.root.rstrip('/')}/{inner}", top):
            raise _busy(m.mount_point, "a filesystem is mounted inside the tree")
    if top is None:
        where = os.fsdecode(os.path.realpath(path)).rstrip("/") + "/"
        for m in table:
            if m.mount_point is not None and m.mount_point.startswith(where):
                raise _busy(m.mount_point, "a filesystem is mounted inside the tree")

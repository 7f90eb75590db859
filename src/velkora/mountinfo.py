"""The mount table of the caller's mount namespace, as records.

``mounts()`` reads it from the kernel's listmount(2) and statmount(2) where
the kernel has them (Linux 6.8+), else from ``/proc/self/mountinfo``; both
give the same records, parents before children. ``mount_at(path)`` is the
mount that holds a path, ``mounts_below(path)`` the tree below it in the
order for unmounting.
"""

from __future__ import annotations

import errno
import os
import re
from typing import Mapping, NamedTuple

__all__ = ["Mount", "mounts", "mount_at", "mounts_below", "parse_mountinfo"]

MOUNTINFO = "/proc/self/mountinfo"


class Mount(NamedTuple):
    """One mount, as the kernel reports it; a field the source cannot give is None."""

    id: int  #: the mount's id, as mountinfo shows it (reused once the mount is gone)
    parent_id: int  #: its parent's id (its own for the root of the namespace)
    major: int | None  #: the superblock's device number
    minor: int | None
    root: str | None  #: the directory of the filesystem that is mounted
    mount_point: str | None  #: where, relative to the caller's root
    fs_type: str | None  #: "tmpfs", or "fuse.sshfs" with a subtype
    source: str | None  #: what was mounted ("/dev/vdb1", "tmpfs", ...)
    options: str | None  #: the mount's options: "rw,nosuid,nodev,relatime"
    super_options: str | None  #: the superblock's: "rw,size=64k,mode=701"
    propagation: tuple[str, ...]  #: ("shared:1",), ("master:2", "propagate_from:1"), ("unbindable",) or ()


# ---------------------------------------------------------------------------
# /proc/self/mountinfo

_ESCAPE = re.compile(rb"\\([0-7]{3})")


def _unescape(field: bytes) -> str:
    """A mountinfo field: the kernel writes space, tab, newline and backslash
    as three-digit octal escapes; the bytes are decoded as file names are."""
    return os.fsdecode(_ESCAPE.sub(lambda m: bytes([int(m[1], 8) & 0xFF]), field))


def parse_mountinfo(data: bytes) -> list[Mount]:
    """The records of a mountinfo text, in its own order.

    Raises ValueError for a line that is not in mountinfo's format.
    """
    table = []
    for line in data.split(b"\n"):
        if not line:
            continue
        fields = line.split(b" ")
        try:
            dash = fields.index(b"-", 6)
            mount_id, parent_id, device, root, point, options = fields[:6]
            major, minor = device.split(b":")
            fs_type, source, super_options = fields[dash + 1 : dash + 4]
            table.append(
                Mount(
                    id=int(mount_id),
                    parent_id=int(parent_id),
                    major=int(major),
                    minor=int(minor),
                    root=_unescape(root),
                    mount_point=_unescape(point),
                    fs_type=_unescape(fs_type),
                    source=_unescape(source),
                    options=_unescape(options),
                    super_options=_unescape(super_options),
                    propagation=tuple(os.fsdecode(tag) for tag in fields[6:dash]),
                )
            )
        except ValueError as e:
            raise ValueError(f"not a mountinfo line: {line!r}") from e
    return table


def _from_mountinfo() -> list[Mount]:
    with open(MOUNTINFO, "rb") as f:
        return parse_mountinfo(f.read())


# ---------------------------------------------------------------------------
# listmount(2) and statmount(2)

_MOUNT_ATTR_RDONLY = 0x1
_MOUNT_ATTR__ATIME = 0x70
# The per-mount options in the order mountinfo writes them.
_MOUNT_OPTIONS = (
    (0x2, "nosuid"),
    (0x4, "nodev"),
    (0x8, "noexec"),
    (None, "noatime"),
    (0x80, "nodiratime"),
    (None, "relatime"),
    (0x200000, "nosymfollow"),
    (0x100000, "idmapped"),
)
_SB_OPTIONS = ((0x10, "sync"), (0x80, "dirsync"), (0x40, "mand"), (1 << 25, "lazytime"))
_SB_RDONLY = 0x1
_MS_UNBINDABLE, _MS_PRIVATE, _MS_SLAVE, _MS_SHARED = 1 << 17, 1 << 18, 1 << 19, 1 << 20
_MNT_OPTS, _FS_SUBTYPE, _SB_SOURCE = 0x80, 0x100, 0x200


def _mount_options(attr: int) -> str:
    atime = attr & _MOUNT_ATTR__ATIME
    words = ["ro" if attr & _MOUNT_ATTR_RDONLY else "rw"]
    for bit, word in _MOUNT_OPTIONS:
        if bit is None:
            shown = atime == (0x10 if word == "noatime" else 0)
        else:
            shown = bool(attr & bit)
        if shown:
            words.append(word)
    return ",".join(words)


def _text(record: Mapping[str, object], name: str, bit: int = 0) -> str | None:
    """A string field; an empty one, which the kernel leaves out of "mask",
    is "" where "supported_mask" says it could have been given."""
    value = record[name]
    if isinstance(value, bytes):
        return os.fsdecode(value)
    supported = record["supported_mask"]
    assert isinstance(supported, int)
    return "" if bit and supported & bit else None


def _record(found: Mapping[str, object]) -> Mount:
    def number(name: str) -> int:
        value = found[name]
        assert isinstance(value, int)
        return value

    fs_type = _text(found, "fs_type")
    subtype = _text(found, "fs_subtype", _FS_SUBTYPE)
    if fs_type is not None and subtype:
        fs_type = f"{fs_type}.{subtype}"
    super_options = _text(found, "mnt_opts", _MNT_OPTS)
    if super_options is not None:
        flags = number("sb_flags")
        words = ["ro" if flags & _SB_RDONLY else "rw"] + [w for bit, w in _SB_OPTIONS if flags & bit]
        super_options = ",".join(words + ([super_options] if super_options else []))
    propagation = number("mnt_propagation")
    tags = []
    if propagation & _MS_SHARED:
        tags.append(f"shared:{number('mnt_peer_group')}")
    if propagation & _MS_SLAVE:
        tags.append(f"master:{number('mnt_master')}")
        dominating = number("propagate_from")
        if dominating and dominating != number("mnt_master"):
            tags.append(f"propagate_from:{dominating}")
    if propagation & _MS_UNBINDABLE:
        tags.append("unbindable")
    return Mount(
        id=number("mnt_id_old"),
        parent_id=number("mnt_parent_id_old"),
        major=number("sb_dev_major"),
        minor=number("sb_dev_minor"),
        root=_text(found, "mnt_root"),
        mount_point=_text(found, "mnt_point"),
        fs_type=fs_type,
        source=_text(found, "sb_source", _SB_SOURCE),
        options=_mount_options(number("mnt_attr")),
        super_options=super_options,
        propagation=tuple(tags),
    )


def _from_statmount() -> list[Mount]:
    from velkora import _mounttable as kernel

    table = []
    last = 0
    while True:
        page = kernel.listmount(last, 512)
        for unique_id in page:
            try:
                table.append(_record(kernel.statmount(unique_id)))
            except FileNotFoundError:
                continue  # unmounted since it was listed
        if len(page) < 512:
            return table
        last = page[-1]


# ---------------------------------------------------------------------------
# The table as a tree


def _tree_order(table: list[Mount]) -> list[Mount]:
    """Parents before children, siblings in the order given. The kernel lists
    by id, and ids are reused and mounts moved, so the order is made here."""
    ids = {m.id for m in table}
    children: dict[int, list[Mount]] = {}
    roots = []
    for m in table:
        if m.parent_id == m.id or m.parent_id not in ids:
            roots.append(m)
        else:
            children.setdefault(m.parent_id, []).append(m)
    ordered: list[Mount] = []
    stack = list(reversed(roots))
    while stack:
        m = stack.pop()
        ordered.append(m)
        stack.extend(reversed(children.get(m.id, [])))
    return ordered


def mounts(via: str | None = None) -> list[Mount]:
    """Every mount of the caller's mount namespace that its root reaches,
    parents before children.

    ``via="statmount"`` asks listmount(2) and statmount(2) (Linux 6.8+),
    ``via="mountinfo"`` parses /proc/self/mountinfo, and None takes statmount
    where the kernel has it and mountinfo elsewhere.
    """
    if via == "mountinfo":
        return _tree_order(_from_mountinfo())
    if via == "statmount":
        return _tree_order(_from_statmount())
    if via is not None:
        raise ValueError(f"via must be 'statmount', 'mountinfo' or None, not {via!r}")
    try:
        return _tree_order(_from_statmount())
    except OSError as e:
        if e.errno != errno.ENOSYS:
            raise
    return _tree_order(_from_mountinfo())


def _within(point: str, path: str) -> bool:
    return point == path or path == "/" or point.startswith(path.rstrip("/") + "/")


def mount_at(path: str | os.PathLike[str], via: str | None = None) -> Mount:
    """The mount that holds ``path`` (the topmost, where mounts are stacked)."""
    target = os.path.realpath(path)
    best: Mount | None = None
    for m in mounts(via):
        point = m.mount_point
        if point is not None and _within(target, point):
            if best is None or best.mount_point is None or len(point) >= len(best.mount_point):
                best = m
    if best is None:
        raise FileNotFoundError(errno.ENOENT, "no mount holds this path", os.fspath(path))
    return best


def mounts_below(path: str | os.PathLike[str], via: str | None = None) -> list[Mount]:
    """The mounts at or below ``path``, children before parents: the order
    in which to unmount them."""
    target = os.path.realpath(path)
    return [m for m in reversed(mounts(via)) if m.mount_point is not None and _within(m.mount_point, target)]

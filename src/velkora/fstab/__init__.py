"""fstab files, read, edited, written, checked and mounted.

::

    from velkora import fstab

    table = fstab.read("/mnt/etc/fstab")
    table.find(target="/home")             # Entry(source='UUID=...', target='/home', ...)
    table.append(fstab.Entry("tmpfs", "/tmp", "tmpfs", "mode=1777"))
    table.write("/mnt/etc/fstab")          # atomically; untouched lines byte for byte
    fstab.verify(table)                    # as findmnt --verify
    with fstab.mount_all(table, prefix="/mnt"):  # as mount -a --target-prefix /mnt
        ...
    with fstab.mount_all(root="/mnt"):     # the fstab of the system at /mnt, inside it
        ...
    fstab.generate("/mnt").write("/mnt/etc/fstab")  # as genfstab -U /mnt

A file is read as libmount reads it: lines ended by a newline alone,
fields split at spaces and tabs alone, ``#`` lines and blank lines kept,
octal escapes (``\\040`` for a space) undone to bytes and decoded as file
names are, a line with fewer than three fields, a ``freq``/``passno`` that
is no number or a NUL kept as it is and reported by :func:`verify`, never
dropped. Every control character and non-ASCII blank is written as octal
escapes. ``str(parse(text))
== text`` for any text; after an edit, only the lines edited are written
anew, escaped.
"""

from __future__ import annotations

import os

from velkora.fstab._table import Entry, Fstab, parse, read

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Union

    from velkora.fstab._mount import MountedSet
    from velkora.fstab._verify import Problem

    PathArg = Union[str, "os.PathLike[str]"]

__all__ = [
    "Entry",
    "Fstab",
    "Problem",
    "MountedSet",
    "parse",
    "read",
    "verify",
    "mount_all",
    "unmount_order",
    "generate",
]


def verify(table: Fstab, *, root: str = "/") -> list[Problem]:
    """What ``findmnt --verify`` reports, with its words: see :mod:`velkora.fstab`'s guide."""
    from velkora.fstab._verify import verify as check

    return check(table, root)


def mount_all(
    table: Fstab | PathArg | None = None,
    *,
    prefix: PathArg | None = None,
    root: PathArg | None = None,
    types: str | None = None,
    options: str | None = None,
) -> MountedSet:
    """What ``mount -a`` does with table (an :class:`Fstab`, or the path of
    one; by default /etc/fstab, or with root the root's own); see
    :class:`MountedSet`.

    ``prefix`` is ``mount -a --target-prefix``: each target under it,
    everything else (a bind's source too) as the caller has it. ``root``
    mounts the fstab of the system installed there: each target, each
    directory ``X-mount.mkdir`` makes and each bind's source is looked up
    inside root, as that system sees its own tree (a link to ``/run`` is
    root's ``run``; no link or ``..`` leads out), and each mount is attached
    onto the directory found; devices under /dev and tags are the
    machine's, an image file is root's own. A line that is no entry (a NUL
    in it, too few fields) is never mounted and listed in ``malformed``;
    the others are mounted all the same. ``X-mount.idmap=`` makes an entry's
    mount idmapped before it is attached, with or without root (a
    namespace's path is the caller's, not root's); an ``X-mount.*`` word
    velkora does not carry out is refused by name (OSError EINVAL)."""
    from velkora.fstab._mount import mount_all as mount

    if prefix is not None and root is not None:
        raise ValueError("mount_all takes prefix or root, not both")
    top = os.fspath(root) if root is not None else None
    if not isinstance(table, Fstab):
        if table is None and top is not None:
            from velkora.fstab._table import read_inside

            table = read_inside(top)
        else:
            table = read(table if table is not None else "/etc/fstab")
    return mount(table, prefix=os.fspath(prefix) if prefix is not None else None, root=top, types=types,
                 options=options)  # fmt: skip


def unmount_order(table: Fstab) -> list[Entry]:
    """The entries of table in the order ``umount -a`` takes them down: swap
    left out, each entry before the entries it lies below, whatever their
    order in the file (so ``/`` comes last): the reverse of the order
    :func:`mount_all` mounts them in. Whether each is mounted is the
    caller's to look at."""
    from velkora.fstab._mount import _ordered

    return _ordered([entry for entry in table if entry.fstype != "swap"])[::-1]


def generate(root: PathArg, *, tags: str | None = "UUID") -> Fstab:
    """An fstab for the mounts at and below root (itself as ``/``), as
    ``genfstab -U`` writes one: each entry below a comment naming its
    device, its source the tag ``tags`` names (``"UUID"``, ``"LABEL"``,
    ``"PARTUUID"``, ``"PARTLABEL"``; the device where it has none, and with
    ``tags=None``), its options those the mount has (``seclabel`` left out,
    ``subvolid`` too where ``subvol`` is given), pass 1 for the root, 2 for
    others, 0 for Btrfs and XFS. The kernel's own filesystems (proc, sysfs,
    devtmpfs, tmpfs, ...) are left out, as are binds of them and of
    directories from outside the root; a bind of a directory inside it is
    written as one (``none``, ``bind``), its source as the root sees it.
    ValueError where root is not a mount point."""
    from velkora.fstab._generate import generate as make

    return make(os.fspath(root), tags)


def __getattr__(name: str) -> object:
    # The records of the other parts, imported only when asked for.
    if name == "Problem":
        from velkora.fstab._verify import Problem

        return Problem
    if name == "MountedSet":
        from velkora.fstab._mount import MountedSet

        return MountedSet
    raise AttributeError(f"module 'velkora.fstab' has no attribute {name!r}")

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
    fstab.generate("/mnt").write("/mnt/etc/fstab")  # as genfstab -U /mnt

A file is read as libmount reads it: fields split on blanks, ``#`` lines
and blank lines kept, octal escapes (``\\040`` for a space) undone, a line
with fewer than three fields or a ``freq``/``passno`` that is no number kept
as it is and reported by :func:`verify`, never dropped. ``str(parse(text))
== text`` for any text; after an edit, only the lines edited are written
anew, escaped.
"""

from __future__ import annotations

import os

from velkora._fstab_table import Entry, Fstab, parse, read

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Union

    from velkora._fstab_mount import MountedSet
    from velkora._fstab_verify import Problem

    PathArg = Union[str, "os.PathLike[str]"]

__all__ = ["Entry", "Fstab", "Problem", "MountedSet", "parse", "read", "verify", "mount_all", "generate"]


def verify(table: Fstab, *, root: str = "/") -> list[Problem]:
    """What ``findmnt --verify`` reports, with its words: see :mod:`velkora.fstab`'s guide."""
    from velkora._fstab_verify import verify as check

    return check(table, root)


def mount_all(
    table: Fstab | PathArg | None = None,
    *,
    prefix: str | None = None,
    types: str | None = None,
    options: str | None = None,
) -> MountedSet:
    """What ``mount -a`` does with table (an :class:`Fstab`, or the path of
    one; /etc/fstab by default); see :class:`MountedSet`."""
    from velkora._fstab_mount import mount_all as mount

    if not isinstance(table, Fstab):
        table = read(table if table is not None else "/etc/fstab")
    return mount(table, prefix=prefix, types=types, options=options)


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
    from velkora._fstab_generate import generate as make

    return make(os.fspath(root), tags)


def __getattr__(name: str) -> object:
    # The records of the other parts, imported only when asked for.
    if name == "Problem":
        from velkora._fstab_verify import Problem

        return Problem
    if name == "MountedSet":
        from velkora._fstab_mount import MountedSet

        return MountedSet
    raise AttributeError(f"module 'velkora.fstab' has no attribute {name!r}")

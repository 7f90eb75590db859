"""The steps of velkora.btrfs's recursive snapshot and delete that touch
the filesystem, each through an fd found to be the subvolume it means: a
name on the way swapped for a link while the tree is walked leads nothing
outside the tree to be changed or deleted."""

from __future__ import annotations

import errno
import os

from velkora import _btrfs
from velkora._resources import held_signals

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Union

    from velkora.btrfs import Subvolume

    AnyPath = Union[str, bytes, os.PathLike[str], os.PathLike[bytes]]

DIRECTORY = os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC | os.O_NONBLOCK


def snapshot_nested(source: bytes, id_: int, place: bytes, done: list[tuple[bytes, int]]) -> None:
    """Snapshots the subvolume id_ at source into place (where an empty
    directory stands in for it), recorded in done, through fds found to be
    that subvolume and a directory of the copy (in a snapshot of done): a
    name on either side swapped for a link meanwhile leads nowhere else.
    Signals held: Ctrl-C is raised once the snapshot is recorded."""
    with held_signals():
        src = os.open(source, DIRECTORY)
        try:
            check(f"/proc/self/fd/{src}", id_, source)
            into = os.open(os.path.dirname(place), DIRECTORY)
            try:
                if _btrfs.subvolume_id(f"/proc/self/fd/{into}") not in {made for _, made in done}:
                    raise OSError(errno.EBUSY, "Not in the copy: the tree changed while it was walked", place)
                name = os.path.basename(place)
                os.rmdir(name, dir_fd=into)
                try:
                    made = _btrfs.snapshot(f"/proc/self/fd/{src}", b"/proc/self/fd/%d/%s" % (into, name), False)
                except OSError as e:
                    raise OSError(e.errno, e.strerror, source, None, place) from None
                done.append((place, made))
            finally:
                os.close(into)
        finally:
            os.close(src)


def own_name(path: AnyPath) -> None:
    """Refuses, before anything below it is deleted, a path that does not
    end in the subvolume's own name (the kernel deletes a subvolume by its
    name in its parent): one ending in ".", ".." (EINVAL) or a link (ENOTDIR)."""
    name = os.fspath(path)
    sep, dots = (b"/", (b"", b".", b"..")) if isinstance(name, bytes) else ("/", ("", ".", ".."))
    last = name.rstrip(sep) or name  # type: ignore[arg-type]
    if os.path.basename(last) in dots:
        raise OSError(errno.EINVAL, os.strerror(errno.EINVAL), name)
    if os.path.islink(last):
        raise NotADirectoryError(errno.ENOTDIR, os.strerror(errno.ENOTDIR), name)


def clear_tree(path: AnyPath, top: int, nested: list[tuple[bytes, Subvolume]]) -> None:
    """Deletes the subvolumes nested below path (parents first), deepest
    first, making each read-only one that holds others writable first.

    Each is deleted by its id, and each holder is made writable through an
    fd found to be that subvolume: names are not followed again, so a
    directory on the way swapped for a link mid-walk leads nothing outside
    the tree to be changed or deleted."""
    fds: list[int] = []
    try:
        at = f"/proc/self/fd/{opened(path, fds)}"
        check(at, top, path)
        base = os.fsencode(path)
        where = {top: base}
        where.update((s.id, os.path.join(base, inner)) for inner, s in nested)
        for holder in sorted({s.parent_id for _, s in nested}, key=lambda i: len(where[i])):
            set_read_only(where[holder], holder, False)
        for _, s in reversed(nested):
            _btrfs.destroy_id(at, s.id)
    finally:
        for fd in fds:
            os.close(fd)


def opened(path: AnyPath, fds: list[int]) -> int:
    """The fd of the directory at path, recorded in fds (for the caller to
    close) before a Ctrl-C that came as it opened is raised."""
    with held_signals():
        fds.append(os.open(path, DIRECTORY))
    return fds[-1]


def check(at: str, id_: int, path: AnyPath) -> None:
    """OSError EBUSY naming path unless at (an fd's /proc link) is the root
    of the subvolume id_ (a name on the way changed while the tree was
    walked)."""
    if os.stat(at).st_ino != _btrfs.BTRFS_FIRST_FREE_OBJECTID or _btrfs.subvolume_id(at) != id_:
        raise OSError(errno.EBUSY, f"No longer subvolume {id_}: the tree changed while it was walked", path)


def set_read_only(path: bytes, id_: int, value: bool) -> None:
    """Makes the subvolume id_ at path read-only or writable, through an fd
    found to be that subvolume (OSError EBUSY where path leads elsewhere)."""
    fds: list[int] = []
    try:
        at = f"/proc/self/fd/{opened(path, fds)}"
        flags = _btrfs.get_flags(at)
        if bool(flags & _btrfs.BTRFS_SUBVOL_RDONLY) != value:
            check(at, id_, path)
            _btrfs.set_flags(at, flags ^ _btrfs.BTRFS_SUBVOL_RDONLY)
    finally:
        for fd in fds:
            os.close(fd)

"""Btrfs subvolumes: list, show, create, snapshot, delete, the default
subvolume, the read-only flag, and the top level reached without a mount.

Every function takes a path as the :mod:`os` module takes one (``str``,
``bytes`` or a path-like object) and talks to the filesystem through its
ioctls (:mod:`velkora._btrfs`). Failures are the :class:`OSError` subclass
of the kernel's errno, naming the path; a path that is not on Btrfs gets an
OSError (ENOTTY or EINVAL) saying so.

Listing the whole filesystem, and a subvolume's path from the top level,
need root (the tree search the kernel allows root alone); as another user
:func:`subvolumes` lists what the unprivileged interface gives, below the
path, and :func:`info` what ``GET_SUBVOL_INFO`` gives, with the path from
the mount table.
"""

from __future__ import annotations

import errno
import os

from velkora import _btrfs
from velkora._resources import held_signals
from velkora.btrfs import _walk
from velkora.btrfs._busy import refuse_busy
from velkora.btrfs._top import checked_id, toplevel

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Iterable, NamedTuple, Union

    AnyPath = Union[str, bytes, os.PathLike[str], os.PathLike[bytes]]
else:
    NamedTuple = object

__all__ = [
    "Subvolume",
    "create",
    "delete",
    "get_default",
    "info",
    "is_subvolume",
    "read_only",
    "set_default",
    "set_read_only",
    "snapshot",
    "subvolumes",
    "toplevel",
]


class Subvolume(NamedTuple):
    """One subvolume, as the filesystem records it.

    ``path`` is the subvolume's path from the top level, as ``btrfs
    subvolume list`` prints it (without ``<FS_TREE>/``): ``""`` for the top
    level itself; from an ordinary user's listing, the path from the
    directory listed. UUIDs are text, None where unset; times are seconds
    since the epoch, None where unset.
    """

    id: int  #: the subvolume's id (its tree's objectid): 256 and up, 5 for the top level
    parent_id: int  #: the subvolume holding it (0 for the top level)
    dir_id: int  #: the inode number of the directory holding it, in its parent
    path: str  #: from the top level ("" for the top level itself); see above
    uuid: str | None  #: its own UUID
    parent_uuid: str | None  #: the subvolume it is a snapshot of
    received_uuid: str | None  #: the subvolume it was received from (btrfs receive)
    generation: int  #: the last transaction that changed it
    ctransid: int  #: the last transaction that changed an inode in it
    otransid: int  #: the transaction that made it
    stransid: int  #: the sender's transaction it was received from (0: not received)
    rtransid: int  #: the transaction that received it (0: not received)
    ctime: float | None  #: when an inode in it last changed
    otime: float | None  #: when it was made
    stime: float | None  #: the sender's time of stransid
    rtime: float | None  #: when it was received
    read_only: bool  #: whether it is read-only (``btrfs property get ro``)


if not TYPE_CHECKING:
    from velkora._base import record

    Subvolume = record(Subvolume, "velkora.btrfs")  # noqa: F811 - the class's fields, as a namedtuple


def _record(row: tuple, path: str) -> Subvolume:  # type: ignore[type-arg]
    return Subvolume(row[0], row[1], row[2], path, *row[5:])


def _full_paths(rows: Iterable[tuple]) -> dict[int, str]:  # type: ignore[type-arg]
    """Each subvolume's path from the top level, from the rows of
    _btrfs.roots (a subvolume may have a lower id than its parent, once moved)."""
    by_id = {row[0]: row for row in rows}
    paths: dict[int, str] = {_btrfs.BTRFS_FS_TREE_OBJECTID: ""}
    for start in by_id:
        chain = []
        at = start
        while at not in paths and at in by_id:
            chain.append(at)
            at = by_id[at][1]
        base = paths.get(at, "")
        for i in reversed(chain):
            row = by_id[i]
            name = os.fsdecode(row[4] + row[3])
            base = paths[i] = f"{base}/{name}" if base else name
    return paths


def _below(rows: list[tuple], top: int) -> list[tuple]:  # type: ignore[type-arg]
    """The rows of the subvolumes strictly below top, by the tree."""
    parent = {row[0]: row[1] for row in rows}
    inside = {top: True}

    def under(i: int) -> bool:
        chain = []
        while i not in inside:
            chain.append(i)
            if i not in parent:
                break
            i = parent[i]
        found = inside.get(i, False)
        for j in chain:
            inside[j] = found
        return found

    return [row for row in rows if row[0] != top and under(row[0])]


def _reachable(path: AnyPath, strict: bool = False) -> list[Subvolume]:
    """What an ordinary user may list below path, paths from path, by id
    (with strict, PermissionError where a subvolume there is out of reach)."""
    rows = _btrfs.reachable(path, strict)
    rows.sort()
    return [_record(row, os.fsdecode(row[4] + row[3])) for row in rows]  # type: ignore[operator]


def is_subvolume(path: AnyPath) -> bool:
    """Whether ``path`` is the root directory of a subvolume: False for a
    path that is not on Btrfs; FileNotFoundError where nothing is at path."""
    return _btrfs.is_subvolume(path)


def subvolumes(path: AnyPath, *, below: bool = False) -> list[Subvolume]:
    """The subvolumes of the filesystem that holds ``path``, in id order.

    As root, every subvolume but the top level (id 5), as ``btrfs subvolume
    list`` lists them; with ``below=True``, only those strictly below the
    subvolume that holds ``path``, by the tree of subvolumes (not by a path
    prefix). As another user, those below ``path`` that the kernel's
    unprivileged interface lets the user reach, each ``path`` relative to
    ``path`` (``below`` changes nothing then).
    """
    try:
        rows = _btrfs.roots(path)
    except PermissionError:
        return _reachable(path)
    paths = _full_paths(rows)
    if below:
        rows = _below(rows, _btrfs.subvolume_id(path))
    return [_record(row, paths[row[0]]) for row in rows]


def _table_path(path: AnyPath) -> str:
    """The path from the top level of the subvolume holding path, from the
    mount that holds it (whose root Btrfs gives from the top level): for a
    user, who may not search the tree of tree roots."""
    from velkora import mountinfo

    where = os.fsdecode(os.path.realpath(path))
    mount = mountinfo.mount_at(where)
    point = mount.mount_point or "/"
    device = os.stat(where).st_dev
    # The subvolume's root: the last directory up with the path's device.
    while where != point and os.stat(os.path.dirname(where)).st_dev == device:
        where = os.path.dirname(where)
    inner = os.path.relpath(where, point)
    parts = [part for part in (mount.root or "/").split("/") + ([] if inner == "." else [inner]) if part]
    return "/".join(parts)


def info(path: AnyPath) -> Subvolume:
    """The subvolume that holds ``path``. Any user may ask
    (``GET_SUBVOL_INFO``); its ``path`` from the top level comes from the
    tree of tree roots for root, and from the mount table for another user."""
    row = _btrfs.subvol_info(path)
    try:
        return _record(row, _from_top(path, row))
    except PermissionError:
        return _record(row, _table_path(path))


def _from_top(path: AnyPath, row: tuple) -> str:  # type: ignore[type-arg]
    """The path from the top level of the subvolume of row (subvol_info's
    of path), up the tree of tree roots: PermissionError for an ordinary
    user."""
    id_, parent, dir_id = row[0], row[1], row[2]
    if id_ == _btrfs.BTRFS_FS_TREE_OBJECTID:
        return ""
    names = [row[3]]
    if dir_id != _btrfs.BTRFS_FIRST_FREE_OBJECTID:
        names[0] = _btrfs.ino_lookup(path, parent, dir_id) + names[0]
    while parent != _btrfs.BTRFS_FS_TREE_OBJECTID:
        up = _btrfs.roots(path, parent, parent)
        if not up:
            break
        names.append((up[0][4] or b"") + up[0][3])
        parent = up[0][1]
    return os.fsdecode(b"/".join(reversed(names)))


def create(path: AnyPath) -> int:
    """Makes an empty subvolume at ``path``; returns its id
    (FileExistsError where something is there)."""
    return _btrfs.create(path)


def _tree(path: AnyPath) -> tuple[int, str | None, list[tuple[bytes, Subvolume]]]:
    """The subvolume at path: its id, its path from the top level (None
    where the caller may not read the tree of tree roots), and the
    subvolumes below it, parents first, each with its path from path.

    The subvolumes below are found by walking down from path (the root
    refs of each subvolume, as an ordinary user may): the cost is the
    tree's, not the whole filesystem's. All of them or nothing: one out of
    the user's reach, or hidden by a mount, would be missed (a recursive
    snapshot short of it, a delete stopped by the kernel halfway)."""
    row = _btrfs.subvol_info(path)
    try:
        top_path: str | None = _from_top(path, row)
    except PermissionError:
        top_path = None
    try:
        found = _reachable(path, strict=True)
    except OSError as e:
        if e.errno == errno.ENAMETOOLONG and top_path is not None:
            # A directory path past what INO_LOOKUP_USER gives (3,824
            # bytes): root lists the tree of tree roots instead, as before.
            rows = _btrfs.roots(path)
            paths = _full_paths(rows)
            cut = len(top_path) + 1 if top_path else 0
            found = [_record(r, paths[r[0]][cut:]) for r in _below(rows, row[0])]
        elif e.errno != errno.EBUSY or e.filename2 is None:
            raise
        else:
            # Not at its place: a mount hides it, or it moved meanwhile.
            place = os.path.join(os.fsencode(path), e.filename2)
            why = "A subvolume below is hidden by a mount or was moved while the tree was walked"
            raise OSError(errno.EBUSY, why, place if isinstance(path, bytes) else os.fsdecode(place)) from None
    nested = []
    for s in found:
        inner = os.fsencode(s.path)
        if top_path is not None:
            s = s._replace(path=f"{top_path}/{s.path}" if top_path else s.path)
        nested.append((inner, s))
    nested.sort(key=lambda pair: pair[0].count(b"/"))
    return row[0], top_path, nested


def snapshot(source: AnyPath, path: AnyPath, *, read_only: bool = False, recursive: bool = False) -> int:
    """Snapshots the subvolume ``source`` at ``path``; returns the new id.

    With ``recursive``, every subvolume nested in ``source`` is snapshotted
    into its place too (a snapshot holds only an empty directory where a
    nested subvolume was); with ``read_only`` as well, every snapshot is
    made read-only once the whole tree is in place. Where a step fails,
    the snapshots made so far are deleted again.
    """
    if not recursive:
        return _btrfs.snapshot(source, path, read_only)
    nested = _tree(source)[2]
    base = os.fsencode(path)
    done: list[tuple[bytes, int]] = []
    try:
        # Signals held: Ctrl-C during a snapshot is raised once it is
        # recorded, so that the undoing below finds it.
        with held_signals():
            done.append((base, _btrfs.snapshot(source, path, False)))
        for inner, s in nested:
            _walk.snapshot_nested(os.path.join(os.fsencode(source), inner), s.id, os.path.join(base, inner), done)
        if read_only:
            for place, id_ in reversed(done):
                _walk.set_read_only(place, id_, True)
    except BaseException:
        # By id, and through fds found to be the snapshots: a name on the
        # way changed meanwhile leads nothing outside to be deleted.
        # All writable first: a read-only snapshot keeps those below it.
        with held_signals():
            for place, id_ in done:
                try:
                    _walk.set_read_only(place, id_, False)
                except OSError:
                    pass
            for _, id_ in reversed(done):
                try:
                    _btrfs.destroy_id(os.path.dirname(base) or b".", id_)
                except OSError:
                    pass
        raise
    return done[0][1]


def delete(path: AnyPath, *, recursive: bool = False, id: int | None = None) -> None:  # noqa: A002
    """Deletes the subvolume at ``path`` (with ``id``, the subvolume of that
    id on the filesystem that holds ``path``).

    With ``recursive``, the subvolumes nested in it go first, deepest
    first, read-only ones included (a read-only one that holds others is
    made writable to let them go). Nothing is deleted where the subvolume
    or one below it is mounted anywhere in the caller's mount namespace,
    or another filesystem is mounted inside the tree: OSError EBUSY naming
    the mount point. Without ``recursive``, a subvolume with others nested
    in it is refused by the kernel (OSError ENOTEMPTY).
    """
    if id is not None:
        _delete_id(path, checked_id(id), recursive)
        return
    if not _btrfs.is_subvolume(path):
        raise OSError(errno.EINVAL, "Not a subvolume", os.fspath(path))
    _walk.own_name(path)
    try:
        top, top_path, nested = _tree(path)
    except OSError as e:
        if e.errno == errno.EBUSY:  # a mount hides one below: named by its mount point
            row = _btrfs.subvol_info(path)
            try:
                top_path = _from_top(path, row)
            except PermissionError:
                top_path = None
            refuse_busy(path, {row[0]}, top_path)
        raise
    _refuse_default(path, top)
    refuse_busy(path, {top} | {s.id for _, s in nested}, top_path)
    if recursive and nested:
        _walk.clear_tree(path, top, nested)
    _btrfs.destroy(path)


def _delete_id(path: AnyPath, id_: int, recursive: bool) -> None:
    rows = _btrfs.roots(path)
    paths = _full_paths(rows)
    if id_ not in paths or id_ == _btrfs.BTRFS_FS_TREE_OBJECTID:
        raise FileNotFoundError(errno.ENOENT, f"No subvolume of id {id_}", os.fspath(path))
    below = _below(rows, id_)
    _refuse_default(path, id_)
    refuse_busy(path, {id_} | {row[0] for row in below}, paths[id_])
    if not below:
        _btrfs.destroy_id(path, id_)
        return
    if not recursive:
        raise OSError(errno.ENOTEMPTY, f"Subvolume {id_} holds other subvolumes", os.fspath(path))
    with toplevel(path) as top:
        try:
            delete(os.path.join(top, paths[id_]), recursive=True)
        except OSError as e:
            # Named by the caller's path, not the mount only this call had.
            if os.fsdecode(e.filename or "").startswith(top):
                e.filename = os.fspath(path)
            raise


def _refuse_default(path: AnyPath, id_: int) -> None:
    """PermissionError naming path where id_ is the default subvolume, which
    the kernel refuses to delete only once those below it are gone."""
    try:
        default = _btrfs.default_id(path)
    except PermissionError:
        return  # not for a user to read; the kernel refuses all the same
    if default == id_:
        raise PermissionError(
            errno.EPERM, f"Subvolume {id_} is the default subvolume: it cannot be deleted", os.fspath(path)
        )


def get_default(path: AnyPath) -> int:
    """The id of the default subvolume of the filesystem that holds
    ``path`` (what a mount without ``subvol=`` or ``subvolid=`` mounts)."""
    return _btrfs.default_id(path)


def set_default(path: AnyPath, id: int | None = None) -> None:  # noqa: A002
    """Makes the subvolume ``id`` (where None, the one at ``path``) the
    default of the filesystem that holds ``path``."""
    _btrfs.set_default(path, _btrfs.subvolume_id(path) if id is None else checked_id(id))


def read_only(path: AnyPath) -> bool:
    """Whether the subvolume at ``path`` is read-only."""
    return bool(_btrfs.get_flags(path) & _btrfs.BTRFS_SUBVOL_RDONLY)


def set_read_only(path: AnyPath, value: bool, *, force: bool = False) -> None:
    """Makes the subvolume at ``path`` read-only, or writable.

    A received subvolume (one with a ``received_uuid``) is made writable
    only with ``force``: writing to it breaks incremental send, so its
    received UUID, ``stransid`` and ``stime`` are cleared then, as ``btrfs
    property set -f`` clears them; without ``force`` PermissionError names
    the received UUID and nothing changes.
    """
    flags = _btrfs.get_flags(path)
    if value:
        if not flags & _btrfs.BTRFS_SUBVOL_RDONLY:
            _btrfs.set_flags(path, flags | _btrfs.BTRFS_SUBVOL_RDONLY)
        return
    if not flags & _btrfs.BTRFS_SUBVOL_RDONLY:
        return
    received = _btrfs.subvol_info(path)[7]
    if received is not None and not force:
        raise PermissionError(
            errno.EPERM,
            f"Subvolume was received (received UUID {received}): making it writable breaks incremental"
            " send; force=True clears the received UUID",
            os.fspath(path),
        )
    # Signals held: Ctrl-C between the two would leave a received subvolume
    # writable with its received UUID, what force is there to prevent.
    with held_signals():
        _btrfs.set_flags(path, flags & ~_btrfs.BTRFS_SUBVOL_RDONLY)
        if received is not None:
            try:
                _btrfs.clear_received(path)
            except BaseException:
                _btrfs.set_flags(path, flags)
                raise

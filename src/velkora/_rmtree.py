"""rmtree, which never deletes through a mount."""

from __future__ import annotations

import errno
import os
import stat

from velkora import _mounttable as _kernel

_DIRECTORY = os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW | os.O_CLOEXEC


def _mount_of(fd: int) -> int | None:
    """The id of the mount fd is on (the unique one, 6.8+, where there is)."""
    where = f"/proc/self/fd/{fd}"
    found = _kernel.mount_id(where, unique=True)
    return found if found is not None else _kernel.mount_id(where)


def _crossed(path: str) -> OSError:
    return OSError(errno.EBUSY, "a mount appeared in the tree; nothing below it was deleted", path)


def _empty(fd: int, path: str, mount: int | None) -> None:
    """Deletes what the directory fd (at path) holds, depth first; OSError
    EBUSY for a directory on another mount than mount."""
    with os.scandir(fd) as entries:
        names = [(entry.name, entry.is_dir(follow_symlinks=False)) for entry in entries]
    for name, is_dir in names:
        where = os.path.join(path, name)
        if not is_dir:
            try:
                os.unlink(name, dir_fd=fd)
            except IsADirectoryError:  # replaced by a directory meanwhile
                is_dir = True
            if not is_dir:
                continue
        child = os.open(name, _DIRECTORY, dir_fd=fd)
        try:
            if _mount_of(child) != mount:
                raise _crossed(where)
            _empty(child, where, mount)
        finally:
            os.close(child)
        os.rmdir(name, dir_fd=fd)


def rmtree(path: str | bytes | os.PathLike[str] | os.PathLike[bytes]) -> None:
    """Deletes the tree at ``path``, as :func:`shutil.rmtree` does, but never
    through a mount.

    First every mount at or below ``path`` is looked for in the mount table
    (a bind mount of the same filesystem counts: mounts are told apart by
    their ids, not by device): where there is one, OSError EBUSY names them
    and nothing is deleted. Then each directory is opened (never through a
    symbolic link) and checked to be on the tree's own mount before anything
    in it goes, so that a mount made meanwhile is not followed either (OSError
    EBUSY, what was deleted before it stays deleted). A symbolic link is
    deleted, never followed.
    """
    from velkora.mountinfo import mounts_below

    where = os.path.abspath(os.fsdecode(os.fspath(path)))
    st = os.lstat(where)
    if not stat.S_ISDIR(st.st_mode):
        raise NotADirectoryError(errno.ENOTDIR, os.strerror(errno.ENOTDIR), where)
    real = os.path.realpath(where)
    below = [m.mount_point for m in mounts_below(real) if m.mount_point is not None]
    if below:
        shown = ", ".join(sorted(below))
        raise OSError(errno.EBUSY, f"mounts in the tree, nothing deleted: {shown}", where)
    parent = os.open(os.path.dirname(real), _DIRECTORY)
    try:
        name = os.path.basename(real)
        top = os.open(name, _DIRECTORY, dir_fd=parent)
        try:
            mount = _mount_of(top)
            if mount != _mount_of(parent):
                raise _crossed(where)
            _empty(top, where, mount)
        finally:
            os.close(top)
        os.rmdir(name, dir_fd=parent)
    finally:
        os.close(parent)

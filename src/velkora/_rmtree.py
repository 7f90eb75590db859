"""rmtree, which never deletes through a mount."""

from __future__ import annotations

import errno
import os
import stat

from velkora import _mounts
from velkora._resources import Guard, held_signals

_DIRECTORY = os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW | os.O_CLOEXEC


def _mount_of(fd: int) -> int:
    """The id of the mount fd is on (the unique one, 6.8+, where there is;
    else statx's, 5.8+; else the fd's mnt_id in /proc, which qemu-user and
    older kernels give where statx names none)."""
    where = f"/proc/self/fd/{fd}"
    found = _mounts.mount_id(where, unique=True)
    if found is None:
        found = _mounts.mount_id(where)
    if found is None:
        with open(f"/proc/self/fdinfo/{fd}", "rb") as f:
            found = next((int(line[7:]) for line in f if line.startswith(b"mnt_id:")), None)
    if found is None:  # never compare mounts that cannot be told apart
        raise OSError(errno.ENOSYS, "the kernel names no mount ids", where)
    return found


class _Open(Guard):
    """The fds a deletion holds, closed however it ends: each is added and
    removed with Ctrl-C held, and the closing is a Guard's, whose exit is C
    and runs the closing again where an interrupt lands in it (a finally
    block of Python's can be left half-way by one, an fd still open)."""

    def __init__(self) -> None:
        self.fds: list[int] = []

    def _enter(self) -> _Open:
        return self

    def _undo(self) -> None:
        self._leave(False)

    def _leave(self, again: bool) -> None:
        with held_signals():
            while self.fds:
                os.close(self.fds.pop())

    def close(self, fd: int) -> None:
        """Closes fd, one of these; called with Ctrl-C held."""
        os.close(fd)
        self.fds.remove(fd)


def _crossed(path: str) -> OSError:
    return OSError(errno.EBUSY, "a mount appeared in the tree; nothing below it was deleted", path)


def _changed(path: str) -> OSError:
    return OSError(errno.ESTALE, "the tree was moved while it was deleted; deletion stopped", path)


def _clear(fd: int) -> list[str]:
    """Deletes every entry of the directory fd but its directories, and
    returns their names."""
    # scandir holds a dup of fd, closed when its with block ends: Ctrl-C
    # held, so that no interrupt falls between its making and the with (the
    # dup would then wait for the collector, which a free-threaded
    # interpreter may run late, and keep the tree's mount busy meanwhile).
    with held_signals(), os.scandir(fd) as entries:
        names = [(entry.name, entry.is_dir(follow_symlinks=False)) for entry in entries]
    directories = []
    for name, is_dir in names:
        if not is_dir:
            try:
                os.unlink(name, dir_fd=fd)
                continue
            except IsADirectoryError:  # replaced by a directory meanwhile
                pass
        directories.append(name)
    return directories


def _empty(top: int, path: str, mount: int, kept: _Open) -> None:
    """Deletes what the directory top (at path) holds, depth first, however
    deep, with at most two directories open at a time: a stack of what each
    directory above still holds, and of its identity (device, inode), which
    the way back up through ".." must find again, or the tree was moved
    meanwhile and nothing more is deleted. A directory with none below it
    goes through the fd of the one above, still open: no way back up (a
    directory that may be read but not searched, 0600, has none). OSError
    EBUSY for a directory on another mount than mount, checked as each is
    opened. Each fd is opened and handed to kept with Ctrl-C held (a
    KeyboardInterrupt between the two would leave it open, and the tree's
    mount busy)."""
    with held_signals():
        fd = os.dup(top)
        kept.fds.append(fd)
    st = os.fstat(fd)
    # Each level: its name, its identity, its subdirectories still to go
    # (names only: a path for each would grow as the square of the depth).
    stack = [(path, (st.st_dev, st.st_ino), _clear(fd))]
    while stack:
        pending = stack[-1][2]
        if pending:
            name = pending.pop()
            with held_signals():
                child = os.open(name, _DIRECTORY, dir_fd=fd)
                kept.fds.append(child)
            if _mount_of(child) != mount:
                raise _crossed(os.path.join(*[level[0] for level in stack], name))
            st = os.fstat(child)
            below = _clear(child)
            with held_signals():
                if below:  # down into it: the fd above is done with
                    kept.close(fd)
                    fd = child
                else:
                    kept.close(child)
            if not below:
                os.rmdir(name, dir_fd=fd)
                continue
            stack.append((name, (st.st_dev, st.st_ino), below))
            continue
        name = stack.pop()[0]
        if not stack:
            break
        # Back up: the parent, found again by its identity and mount.
        with held_signals():
            up = os.open("..", _DIRECTORY, dir_fd=fd)
            kept.fds.append(up)
            kept.close(fd)
            fd = up
        st = os.fstat(fd)
        if (st.st_dev, st.st_ino) != stack[-1][1] or _mount_of(fd) != mount:
            raise _changed(os.path.join(*[level[0] for level in stack]))
        os.rmdir(name, dir_fd=fd)
    with held_signals():
        kept.close(fd)


def _parent_of(real: str) -> int:
    """The directory that holds real (a path with no link in it, as realpath
    makes it), opened one name at a time, never through a symbolic link: a
    link put in its way meanwhile refuses (ELOOP, ENOTDIR), where a lookup
    of the whole path would follow it out of the tree."""
    fd = os.open("/", _DIRECTORY)
    try:
        for name in os.path.dirname(real).split("/"):
            if name:
                up = fd
                fd = os.open(name, _DIRECTORY, dir_fd=up)
                os.close(up)
    except BaseException:
        os.close(fd)
        raise
    return fd


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
    deleted, never followed, and none is followed on the way down to the
    tree either, once its path is resolved (one put there meanwhile refuses
    with ELOOP or ENOTDIR). A directory moved out of the tree while it is
    emptied stops the walk on its way back up (OSError ESTALE): what it
    held is gone, nothing where it was moved to is looked at.
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
    with _Open() as kept:
        with held_signals():
            parent = _parent_of(real)
            kept.fds.append(parent)
        name = os.path.basename(real)
        with held_signals():
            top = os.open(name, _DIRECTORY, dir_fd=parent)
            kept.fds.append(top)
        mount = _mount_of(top)
        if mount != _mount_of(parent):
            raise _crossed(where)
        _empty(top, where, mount, kept)
        with held_signals():
            kept.close(top)
        os.rmdir(name, dir_fd=parent)
        # Closed here as well as on the way out: Python before 3.10 can take
        # a Ctrl-C between a with block's end and its exit, which then never
        # runs.
        with held_signals():
            kept.close(parent)

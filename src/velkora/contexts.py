"""Mounts and mount fds that clean up after themselves.

- :func:`mounted` mounts with :func:`velkora.mount.mount` and unmounts on the
  way out, on an exception or Ctrl-C too.
- :class:`FsContext` owns a filesystem context (fsopen(2), fspick(2)), with a
  method for each fsconfig(2) command.
- :class:`DetachedMount` owns a mount fd (fsmount(2), open_tree(2)) that can
  take attributes and be attached.

Both classes close their fd on ``close()``, at the end of a ``with`` block,
and, with a :class:`ResourceWarning`, when collected open. They cannot be
copied or pickled: one fd has one owner. All three are importable from
:mod:`velkora` itself.
"""

from __future__ import annotations

import os
import signal
import stat
import threading
import warnings
from typing import Any, TypeVar, Union

import velkora.fsmount as fs
import velkora.mount as classic

__all__ = ["mounted", "FsContext", "DetachedMount"]

PathLike = Union[str, "os.PathLike[str]"]
Owner = TypeVar("Owner", bound="_FdOwner")


# mount(2) flags under which the source names no device: bind, move, remount
# and the propagation changes.
_NO_DEVICE = classic.MS_BIND | 8192 | classic.MS_REMOUNT | (1 << 17) | (1 << 18) | (1 << 19) | (1 << 20)


def _is_regular_file(source: str) -> bool:
    try:
        return stat.S_ISREG(os.stat(source).st_mode)
    except (OSError, ValueError):
        return False


class _held_signals:  # noqa: N801 - a context manager used like a function
    """SIGINT and SIGTERM wait while the block runs; only the main thread runs
    Python's handlers, so only there is anything held. A signal that waited
    is raised as the block ends, where the caller can still undo."""

    def __enter__(self) -> None:
        self.old = None
        if threading.current_thread() is threading.main_thread():
            old = signal.pthread_sigmask(signal.SIG_BLOCK, ())  # the mask as it is
            self.old = old
            try:
                signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT, signal.SIGTERM})
            except BaseException:
                # A signal taken just as the block began: never leave it held.
                signal.pthread_sigmask(signal.SIG_SETMASK, old)
                raise

    def __exit__(self, *exc: object) -> None:
        if self.old is not None:
            signal.pthread_sigmask(signal.SIG_SETMASK, self.old)


class mounted:  # noqa: N801 - used like a function: `with mounted(...)`
    """``with mounted(source, target, ...) as target:`` mounts on entry and
    unmounts on exit, whatever ends the block.

    The arguments are :func:`velkora.mount.mount`'s. A regular file as
    ``source`` (an image) is attached to a loop device with autoclear first,
    read-only where ``flags`` has ``MS_RDONLY``, as mount(8) does with ``-o
    loop``: the device goes when the mount does. On exit the target is
    unmounted with :func:`velkora.mount.umount`; a failing unmount raises
    (chained to what ended the block, if anything did) and is never turned
    into a lazy detach unless ``detach=True`` asked for one from the start.
    """

    def __init__(
        self,
        source: str,
        target: PathLike,
        fstype: str = "btrfs",
        flags: int = 0,
        data: str = "",
        *,
        detach: bool = False,
    ) -> None:
        self.source, self.target = source, os.fspath(target)
        self.fstype, self.flags, self.data, self.detach = fstype, flags, data, detach

    def __enter__(self) -> str:
        device = None
        if not self.flags & _NO_DEVICE and _is_regular_file(self.source):
            from velkora import loop

            # An image file: on a loop device with autoclear, which the mount
            # then holds alone and takes along when it goes.
            device = loop.attach(self.source, read_only=bool(self.flags & classic.MS_RDONLY))
        try:
            classic.mount(
                self.source if device is None else device.path, self.target, self.fstype, self.flags, self.data
            )
        finally:
            if device is not None:
                device.close()
        return self.target

    def __exit__(self, *exc: object) -> None:
        classic.umount(self.target, classic.MNT_DETACH if self.detach else 0)


class _FdOwner:
    """An fd with one owner: closed once, by close(), by ``with``, or when
    collected (with a ResourceWarning)."""

    _fd: int | None = None

    def __init__(self, fd: int) -> None:
        self._fd = fd

    def fileno(self) -> int:
        """The fd; ValueError once closed."""
        if self._fd is None:
            raise ValueError(f"I/O operation on closed {type(self).__name__}")
        return self._fd

    @property
    def closed(self) -> bool:
        return self._fd is None

    def close(self) -> None:
        """Closes the fd; closing again does nothing."""
        fd, self._fd = self._fd, None
        if fd is not None:
            os.close(fd)

    def __enter__(self: Owner) -> Owner:
        self.fileno()
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __del__(self) -> None:
        if self._fd is not None:
            warnings.warn(f"unclosed {self!r}", ResourceWarning, stacklevel=2, source=self)
            self.close()

    def __repr__(self) -> str:
        state = "closed" if self._fd is None else f"fd={self._fd}"
        return f"<{type(self).__name__} {state}>"

    def __copy__(self) -> Any:
        raise TypeError(f"a {type(self).__name__} owns its fd and cannot be copied")

    def __deepcopy__(self, memo: Any) -> Any:
        self.__copy__()

    def __reduce__(self) -> Any:
        self.__copy__()


class DetachedMount(_FdOwner):
    """A mount fd: from :meth:`FsContext.mount` or :meth:`clone`."""

    @classmethod
    def clone(cls, path: PathLike, *, recursive: bool = False, dirfd: int = fs.AT_FDCWD) -> DetachedMount:
        """A detached copy of the mount at ``path`` (with what is mounted below
        it if ``recursive``): open_tree(2) with OPEN_TREE_CLONE."""
        flags = fs.OPEN_TREE_CLONE | fs.OPEN_TREE_CLOEXEC | (fs.AT_RECURSIVE if recursive else 0)
        return cls(fs.open_tree(dirfd, os.fspath(path), flags))

    def set_attr(
        self,
        attr_set: int = 0,
        attr_clr: int = 0,
        propagation: int = 0,
        userns_fd: int | None = None,
        *,
        recursive: bool = False,
    ) -> None:
        """mount_setattr(2) on this mount, or with ``recursive`` on its whole tree."""
        flags = fs.AT_EMPTY_PATH | (fs.AT_RECURSIVE if recursive else 0)
        fs.mount_setattr(
            self.fileno(), "", flags, attr_set=attr_set, attr_clr=attr_clr, propagation=propagation, userns_fd=userns_fd
        )

    def attach(self, target: PathLike, *, dirfd: int = fs.AT_FDCWD) -> None:
        """Attaches the mount at ``target`` (move_mount(2)). The fd stays open
        and still refers to the mount; close it when done."""
        fs.move_mount(self.fileno(), "", dirfd, os.fspath(target), fs.MOVE_MOUNT_F_EMPTY_PATH)


class FsContext(_FdOwner):
    """A filesystem context: :meth:`open` a new one or :meth:`pick` a mounted
    filesystem's, configure it, then :meth:`create` and :meth:`mount`, or
    :meth:`reconfigure`. Failures carry the kernel's ``kernel_messages``."""

    @classmethod
    def open(cls, fs_name: str) -> FsContext:
        """fsopen(2): a context for a new filesystem of type ``fs_name``."""
        return cls(fs.fsopen(fs_name))

    @classmethod
    def pick(cls, path: PathLike, *, dirfd: int = fs.AT_FDCWD, flags: int = 0) -> FsContext:
        """fspick(2): the context of the filesystem mounted at ``path``."""
        return cls(fs.fspick(dirfd, os.fspath(path), fs.FSPICK_CLOEXEC | flags))

    def set_flag(self, key: str) -> None:
        fs.fsconfig(self.fileno(), fs.FSCONFIG_SET_FLAG, key)

    def set_string(self, key: str, value: str) -> None:
        fs.fsconfig(self.fileno(), fs.FSCONFIG_SET_STRING, key, value)

    def set_binary(self, key: str, value: bytes) -> None:
        fs.fsconfig(self.fileno(), fs.FSCONFIG_SET_BINARY, key, value)

    def set_path(self, key: str, path: PathLike, *, dirfd: int = fs.AT_FDCWD) -> None:
        fs.fsconfig(self.fileno(), fs.FSCONFIG_SET_PATH, key, os.fspath(path), dirfd)

    def set_path_empty(self, key: str, path: PathLike, *, dirfd: int = fs.AT_FDCWD) -> None:
        fs.fsconfig(self.fileno(), fs.FSCONFIG_SET_PATH_EMPTY, key, os.fspath(path), dirfd)

    def set_fd(self, key: str, fd: int) -> None:
        fs.fsconfig(self.fileno(), fs.FSCONFIG_SET_FD, key, None, fd)

    def create(self) -> None:
        fs.fsconfig(self.fileno(), fs.FSCONFIG_CMD_CREATE)

    def create_excl(self) -> None:
        fs.fsconfig(self.fileno(), fs.FSCONFIG_CMD_CREATE_EXCL)

    def reconfigure(self) -> None:
        fs.fsconfig(self.fileno(), fs.FSCONFIG_CMD_RECONFIGURE)

    def mount(self, attr_flags: int = 0) -> DetachedMount:
        """fsmount(2): a detached mount of the created superblock."""
        return DetachedMount(fs.fsmount(self.fileno(), fs.FSMOUNT_CLOEXEC, attr_flags))

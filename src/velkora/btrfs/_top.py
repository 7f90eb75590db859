"""velkora.btrfs.toplevel: a subvolume of a Btrfs filesystem reached
without a mount anyone sees: a detached mount (fsopen, fsconfig, fsmount),
or where the kernel lacks the calls, a private mount of its own."""

from __future__ import annotations

import errno
import os
import stat

from velkora import _btrfs
from velkora._resources import Guard, held_signals

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Union

    AnyPath = Union[str, bytes, os.PathLike[str], os.PathLike[bytes]]

# Whether to try the fd mount calls; tests turn it off to take the older route.
_FD_MOUNTS = True


def _device(fs: AnyPath) -> str:
    """A device of the filesystem: fs itself where it is one, else one of
    the devices sysfs lists for the filesystem that holds fs."""
    st = os.stat(fs)
    if stat.S_ISBLK(st.st_mode):
        return os.fsdecode(os.fspath(fs))
    fs_uuid = _btrfs.fs_uuid(fs)
    base = f"/sys/fs/btrfs/{fs_uuid}/devices"
    try:
        names = sorted(os.listdir(base))
    except OSError:
        names = []
    for name in names:
        device = f"/dev/{name}"
        try:
            with open(f"{base}/{name}/dev") as f:
                major, minor = f.read().split(":")
            if os.stat(device).st_rdev == os.makedev(int(major), int(minor)):
                return device
        except (OSError, ValueError):
            continue
    raise OSError(errno.ENODEV, "No device of this Btrfs filesystem found", os.fspath(fs))


def checked_id(value: object) -> int:
    """A subvolume id as given, checked before it reaches the kernel: an int
    (not a bool) from 0 to 2**64-1, else TypeError or OverflowError."""
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"a subvolume id must be int, not {type(value).__name__}")
    if not 0 <= value < 1 << 64:
        raise OverflowError(f"subvolume id out of range: {value}")
    return int(value)


class toplevel(Guard):  # noqa: N801 - used like a function: `with toplevel(...)`
    """``with toplevel(fs) as top:`` gives a path (``str``) to the top level
    (or with ``id``, the subvolume of that id) of the Btrfs filesystem that
    holds ``fs`` (a path on it, or its device).

    The subvolume is mounted detached (fsopen(2) with ``subvolid=``,
    fsmount(2)): nothing is added to any mount table, and ``top`` is
    ``/proc/self/fd/N``, valid in this process. Where the kernel lacks the
    fd mount calls (before 5.2), it is mounted on a directory of its own
    (made with :func:`tempfile.mkdtemp`), private, and unmounted and
    removed again. Either is closed on leaving the block, on an error or
    Ctrl-C too. Every function of :mod:`velkora.btrfs` takes paths under
    ``top``.
    """

    # What is open or mounted, set before __init__ can fail: __del__ reads them.
    _fd: int | None = None
    _context: int | None = None
    _dir: str | None = None
    _on = False  # whether the directory has the subvolume mounted on it

    def __init__(self, fs: AnyPath, *, id: int = 5) -> None:  # noqa: A002
        self._fs = fs
        self._id = checked_id(id)

    if TYPE_CHECKING:  # Guard's, in C

        def __enter__(self) -> str: ...

    def _enter(self) -> str:
        device = _device(self._fs)
        if not _FD_MOUNTS:
            return self._mounted(device)
        try:
            return self._detached(device)
        except OSError as e:
            # ENOSYS: a kernel without the calls; EPERM: a seccomp filter that
            # refuses them, or a caller without the privilege to mount at all.
            if e.errno not in (errno.ENOSYS, errno.EPERM):
                raise
            refused = OSError(e.errno, e.strerror, os.fsdecode(os.fspath(self._fs)))
        try:
            return self._mounted(device)
        except PermissionError:
            self._close()
            raise refused from None

    def _detached(self, device: str) -> str:
        import velkora.fsmount as fs

        # The context is kept where _close finds it: Ctrl-C may come between
        # any two steps, and the clean-up closes what was made by then.
        with held_signals():
            self._context = fs.fsopen("btrfs", fs.FSOPEN_CLOEXEC)
        fs.fsconfig(self._context, fs.FSCONFIG_SET_STRING, "source", device)
        fs.fsconfig(self._context, fs.FSCONFIG_SET_STRING, "subvolid", str(self._id))
        fs.fsconfig(self._context, fs.FSCONFIG_CMD_CREATE)
        with held_signals():
            self._fd = fs.fsmount(self._context, fs.FSMOUNT_CLOEXEC)
            context, self._context = self._context, None
            os.close(context)
        return f"/proc/self/fd/{self._fd}"

    def _mounted(self, device: str) -> str:
        import tempfile

        from velkora import _mounts

        with held_signals():
            self._dir = tempfile.mkdtemp(prefix="velkora-btrfs-")
        with held_signals():
            _mounts.mount(device, self._dir, "btrfs", 0, f"subvolid={self._id}")
            self._on = True
        _mounts.mount("none", self._dir, "", _mounts.MS_PRIVATE)
        return self._dir

    def _undo(self) -> None:
        with held_signals():
            self._close()

    def _leave(self, again: bool) -> None:
        with held_signals():
            self._close()

    def __del__(self) -> None:
        # Python 3.8 and 3.9 skip a with statement's __exit__ where a Ctrl-C
        # lands just as its block ends (bpo-29988, fixed in 3.10): what is
        # still open or mounted then goes with the object.
        if self._fd is None and self._context is None and self._dir is None:
            return
        try:  # at interpreter exit nothing can be imported any more
            import warnings

            warnings.warn(f"unclosed {self!r}", ResourceWarning, stacklevel=2, source=self)
        except ImportError:
            pass
        try:
            self._close()
        except OSError:
            pass

    def _close(self) -> None:
        for fd in (self._context, self._fd):
            if fd is not None:
                os.close(fd)
        self._context = self._fd = None
        where = self._dir
        if where is None:
            return
        if self._on:
            from velkora import _mounts

            _mounts.umount(where, _mounts.MNT_DETACH)  # private, and ours alone: nothing else can be below it
            self._on = False
        self._dir = None
        os.rmdir(where)

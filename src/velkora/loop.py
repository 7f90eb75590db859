"""Image files as block devices: loop devices attached, inspected and detached.

::

    from velkora import loop

    with loop.attach("disk.img") as device:   # detached again on the way out
        print(device.path)                    # '/dev/loop3'
        velkora.mount.mount(device.path, "/srv/image")

- :func:`attach` binds a file to a free loop device in one LOOP_CONFIGURE
  (Linux 5.8; LOOP_SET_FD and LOOP_SET_STATUS64 on older kernels), trying
  again when another process takes the same free device first. By default
  the device has autoclear: it goes once nothing holds it, so a device whose
  :class:`LoopDevice` is closed goes when its mount is unmounted, or at once.
- :func:`devices`, :func:`info` and :func:`detach` work on any loop device,
  by path (``"/dev/loop3"``) or number.

An interrupt (Ctrl-C) at any moment of :func:`attach` leaves no device
attached and no fd open. Every fd made here is non-inheritable.
"""

from __future__ import annotations

import errno
import os
import stat

from velkora import _loop
from velkora._resources import FdOwner as _FdOwner
from velkora._resources import held_signals as _held_signals

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import NamedTuple, Union

    FileArg = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]", int, "_loop._HasFileno"]
    Device = Union[str, int]
else:
    from velkora._base import record as _record

    NamedTuple = object

__all__ = ["LoopDevice", "LoopInfo", "attach", "bound", "devices", "info", "detach"]

BLOCK_SIZES = (0, 512, 1024, 2048, 4096)
SYS_BLOCK = "/sys/block"
SYS_CLASS_BLOCK = "/sys/class/block"  # partitions too


class LoopInfo(NamedTuple):
    """An attached loop device, as the kernel reports it now."""

    number: int
    path: str  #: ``/dev/loopN``
    backing_file: str  #: the full path, as the kernel sees it
    offset: int
    size_limit: int  #: bytes; 0 for the whole file
    read_only: bool
    autoclear: bool
    partscan: bool
    direct_io: bool
    block_size: int  #: the logical block size, in bytes


if not TYPE_CHECKING:
    LoopInfo = _record(LoopInfo, "velkora.loop")  # noqa: F811 - the fields, as a namedtuple


class LoopDevice(_FdOwner):
    """An attached loop device and the fd this process holds on it.

    ``close()`` closes the fd only: with autoclear the device then goes once
    nothing else holds it (a mount does), without it stays attached.
    ``detach()`` unbinds the file (on a device still mounted the kernel only
    sets autoclear). ``with`` detaches and closes on the way out.
    """

    def __init__(self, owner: _loop.Owner, number: int) -> None:
        # Named before the fd is taken: an interrupt just after leaves an
        # object whose __del__ (its warning names it) finds the name.
        self.number = number
        self.path = f"/dev/loop{number}"
        self._file: _loop.Owner | None = owner
        super().__init__(owner.fileno())

    def close(self) -> None:
        owner, self._file = getattr(self, "_file", None), None
        self._fd = None
        if owner is not None:
            owner.close()

    def detach(self) -> None:
        """Unbinds the backing file (LOOP_CLR_FD), its partitions removed
        first; the fd stays open."""
        _detach_partitions(self.fileno(), self.number)
        _loop.detach(self.fileno())

    def info(self) -> LoopInfo:
        return info(self.number)

    def partitions(self) -> list[str]:
        """The partition devices of this device, in order: those the kernel
        made, or (where it has no parser for the table) velkora did."""
        return _partitions(self.number)

    def __exit__(self, *exc: object) -> None:
        try:
            self.detach()
        except OSError as e:
            if e.errno != errno.ENXIO:  # already detached
                raise
        finally:
            self.close()

    def __repr__(self) -> str:
        state = "closed" if self._fd is None else f"fd={self._fd}"
        return f"<LoopDevice {self.path} {state}>"


def attach(
    file: FileArg,
    *,
    read_only: bool = False,
    offset: int = 0,
    size_limit: int = 0,
    block_size: int = 0,
    partscan: bool = False,
    direct_io: bool = False,
    autoclear: bool = True,
) -> LoopDevice:
    """Binds ``file`` (a path, or an fd or object with ``fileno()``) to a free
    loop device and returns it.

    The file is opened read-write unless ``read_only``; one that cannot be
    opened so raises, never falls back to read-only. ``offset`` and
    ``size_limit`` (bytes, 0 for the rest of the file) select a part of it;
    ``block_size`` is 0 (the default, 512) or 512, 1024, 2048 or 4096.
    """
    for what, value in (("offset", offset), ("size_limit", size_limit), ("block_size", block_size)):
        if not isinstance(value, int):
            raise TypeError(f"{what} must be int, not {type(value).__name__}")
        if value < 0:
            raise ValueError(f"{what} must not be negative, got {value}")
    if block_size not in BLOCK_SIZES:
        raise ValueError(f"block_size must be one of {', '.join(map(str, BLOCK_SIZES))}, got {block_size}")
    target: bytes | int
    name: bytes
    shown: str | bytes | int
    if isinstance(file, (str, bytes, os.PathLike)):
        target, shown = os.fsencode(file), os.fspath(file)
        name = os.path.abspath(target)
    else:
        target = shown = file if isinstance(file, int) else file.fileno()
        try:
            name = os.fsencode(os.readlink(f"/proc/self/fd/{target}"))
        except OSError:
            name = b""
    try:
        is_dir = stat.S_ISDIR(os.stat(target).st_mode)
    except OSError:
        is_dir = False  # the attach names what is wrong
    if is_dir:
        raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), shown)
    # Attached with autoclear whatever was asked, so that a device dropped on
    # the way out (by an interrupt) goes with its fd; cleared last if unwanted.
    flags = (
        _loop.LO_FLAGS_AUTOCLEAR
        | (_loop.LO_FLAGS_READ_ONLY if read_only else 0)
        | (_loop.LO_FLAGS_PARTSCAN if partscan else 0)
        | (_loop.LO_FLAGS_DIRECT_IO if direct_io else 0)
    )
    device = None
    try:
        # In a program whose main thread alone takes signals, Ctrl-C waits
        # for the end of the block and is then raised here, to be undone.
        with _held_signals():
            owner, number = _loop.attach(target, name[: _loop.LO_NAME_SIZE - 1], flags, offset, size_limit, block_size)
            device = LoopDevice(owner, number)
            if partscan:
                _add_partitions(device)
            if not autoclear:
                _loop.set_autoclear(owner, False)
    except BaseException:
        if device is not None:
            if not autoclear:
                try:
                    device.detach()
                except OSError:
                    pass  # the device goes with its fd all the same if autoclear was still on
            else:
                _detach_partitions(device.fileno(), device.number)
            device.close()
        raise
    return device


def _number(device: Device) -> int:
    if isinstance(device, int) and not isinstance(device, bool):
        return device
    if isinstance(device, str):
        name = os.path.basename(os.path.realpath(device))
        if name.startswith("loop") and name[4:].isdigit():
            return int(name[4:])
    raise ValueError(f"not a loop device: {device!r}")


def _read(path: str) -> str:
    with open(path, "rb") as f:
        return os.fsdecode(f.read().rstrip(b"\n"))


def info(device: Device) -> LoopInfo:
    """The loop device ``device`` (``"/dev/loop3"`` or 3) as it is now;
    OSError ENXIO when nothing is attached to it."""
    number = _number(device)
    base = f"{SYS_BLOCK}/loop{number}"
    try:
        loop = {name: _read(f"{base}/loop/{name}") for name in ("backing_file", "offset", "sizelimit")}
        flags = {name: _read(f"{base}/loop/{name}") == "1" for name in ("autoclear", "partscan", "dio")}
        read_only, block_size = _read(f"{base}/ro") == "1", int(_read(f"{base}/queue/logical_block_size"))
    except OSError as e:
        # No loop/ group: nothing attached. ENODEV: the group went while it
        # was read, as the device was torn down.
        if e.errno not in (errno.ENOENT, errno.ENODEV):
            raise
        raise OSError(errno.ENXIO, os.strerror(errno.ENXIO), f"/dev/loop{number}") from None
    return LoopInfo(
        number,
        f"/dev/loop{number}",
        loop["backing_file"],
        int(loop["offset"]),
        int(loop["sizelimit"]),
        read_only,
        flags["autoclear"],
        flags["partscan"],
        flags["dio"],
        block_size,
    )


def devices(backing_file: FileArg | None = None) -> list[LoopInfo]:
    """Every attached loop device, by number; with ``backing_file`` (a path or
    an fd) only those bound to that file, compared by device and inode."""
    wanted = None
    if backing_file is not None:
        st = os.stat(
            backing_file if isinstance(backing_file, (str, bytes, os.PathLike, int)) else backing_file.fileno()
        )
        wanted = (st.st_dev, st.st_ino)
    found = []
    for name in os.listdir(SYS_BLOCK):
        if not (name.startswith("loop") and name[4:].isdigit() and os.path.exists(f"{SYS_BLOCK}/{name}/loop")):
            continue
        number = int(name[4:])
        if wanted is not None:
            try:
                fd = os.open(f"/dev/loop{number}", os.O_RDONLY | os.O_CLOEXEC)
            except OSError as e:
                if e.errno in (errno.ENOENT, errno.ENXIO):
                    continue  # no node, or torn down or removed since it was listed
                raise
            try:
                _, dev, ino = _loop.status(fd)[:3]
            except OSError:
                continue  # detached since it was listed
            finally:
                os.close(fd)
            if (dev, ino) != wanted:
                continue
        try:
            found.append(info(number))
        except OSError:
            continue
    return sorted(found)


def bound(
    file: str | bytes | os.PathLike[str] | os.PathLike[bytes],
    *,
    offset: int = 0,
    size_limit: int = 0,
    read_only: bool = False,
) -> tuple[int, str] | None:
    """A loop device already bound to ``file`` with this offset and size
    limit, open: ``(fd, path)``, or None where there is none.

    mount(8) mounts an image again through the device that holds it: a
    second device would make a second filesystem of the same image (Btrfs
    gives it a temporary fsid), each blind to the other's writes. The device
    is checked on the fd (LOOP_GET_STATUS64: the file's device and inode,
    the offset and the size limit), and while the fd is open autoclear
    cannot free it, so it cannot pass to another file before the caller
    mounts it; the caller closes the fd. Raises OSError EBUSY where a device
    holds the file with the same part but differs in being read-only. Call
    it with signals held: the fd is the caller's once this returns.
    """  # fmt: skip
    st = os.stat(file)
    for existing in devices(file):
        if (existing.offset, existing.size_limit) != (offset, size_limit):
            continue
        try:
            fd = os.open(existing.path, os.O_RDONLY | os.O_CLOEXEC)
        except OSError:
            continue  # gone since it was listed
        try:
            _, dev, ino, now_offset, now_limit, flags = _loop.status(fd)[:6]
        except OSError:
            os.close(fd)
            continue
        if (dev, ino, now_offset, now_limit) != (st.st_dev, st.st_ino, offset, size_limit):
            os.close(fd)  # given to another file meanwhile
            continue
        if bool(flags & _loop.LO_FLAGS_READ_ONLY) != read_only:
            os.close(fd)
            raise OSError(errno.EBUSY, f"{existing.path} holds this file with other flags (read-only or not)",
                          os.fspath(file))  # fmt: skip
        return fd, existing.path
    return None


def detach(device: Device) -> None:
    """Unbinds the loop device ``device`` from its file (LOOP_CLR_FD)."""
    path = f"/dev/loop{_number(device)}"
    fd = os.open(path, os.O_RDONLY | os.O_CLOEXEC)
    try:
        _detach_partitions(fd, _number(device))
        _loop.detach(fd)
    except OSError as e:
        raise OSError(e.errno, e.strerror, path) from None
    finally:
        os.close(fd)


def _partitions(number: int) -> list[str]:
    prefix = f"loop{number}p"
    try:
        names = [
            n for n in os.listdir(f"{SYS_BLOCK}/loop{number}") if n.startswith(prefix) and n[len(prefix) :].isdigit()
        ]
    except FileNotFoundError:
        return []
    return [f"/dev/{n}" for n in sorted(names, key=lambda n: int(n[len(prefix) :]))]


def _add_partitions(device: LoopDevice) -> None:
    """The partitions of device's table, where the kernel made none (it was
    built without the table's parser): read by velkora.blkid and added by
    BLKPG as the kernel adds them, an entry it would leave out (or BLKPG
    refuses) passed over with a warning. Then each partition's /dev node
    is checked (_partition_nodes)."""
    if not _partitions(device.number):
        from velkora import blkid

        table = blkid.probe(device.path)
        sector = int(_read(f"{SYS_BLOCK}/loop{device.number}/queue/logical_block_size"))
        for part in table.partitions if table.pttype is not None else ():
            # An extended partition is a container: the kernel gives it 2
            # sectors of 512 bytes, or one where sectors are larger.
            extended = table.pttype == "dos" and part.type in ("0x5", "0xf", "0x85")
            size = min(part.size, max(1024, sector)) if extended else part.size
            try:
                _loop.add_partition(device.fileno(), part.number, part.start, size)
            except OSError as e:
                import warnings

                warnings.warn(f"{device.path}: partition {part.number} not added: {e.strerror}", stacklevel=3)
    _partition_nodes(device.number)


def _partition_nodes(number: int) -> None:
    """Gives each partition of loop device number a /dev node that is that
    partition: a block device with the number sysfs gives. A missing node
    is made (a static /dev, no devtmpfs); one that is anything else (left
    by an earlier device, whose number another device may have now) is
    replaced, through a new node renamed over it. OSError naming the node
    where it can be neither made nor replaced."""
    for path in _partitions(number):
        major, minor = _read(f"{SYS_CLASS_BLOCK}/{os.path.basename(path)}/dev").split(":")
        wanted = os.makedev(int(major), int(minor))
        try:
            st = os.lstat(path)
        except FileNotFoundError:
            st = None
        if st is not None and stat.S_ISBLK(st.st_mode) and st.st_rdev == wanted:
            continue
        made = path if st is None else f"{os.path.dirname(path)}/.{os.path.basename(path)}.{os.getpid()}"
        try:
            if made != path:
                try:
                    os.unlink(made)  # this process's own, left by an interrupt
                except FileNotFoundError:
                    pass
            os.mknod(made, 0o660 | stat.S_IFBLK, wanted)
            if made != path:
                try:
                    os.rename(made, path)
                except BaseException:
                    os.unlink(made)
                    raise
        except FileExistsError:
            if made == path:  # devtmpfs made it meanwhile: checked again
                _partition_nodes(number)
                return
            raise
        except OSError as e:
            raise OSError(e.errno, f"{path} is not this partition's node and cannot be made so: {e.strerror}",
                          path) from None  # fmt: skip


def _del_partition(fd: int, part: int) -> None:
    """BLKPG_DEL_PARTITION, retried for up to half a second while the
    partition is open: a prober (udev's blkid, another process's scan of
    every device) holds one for a moment only."""
    import time

    for wait in range(50):
        try:
            return _loop.del_partition(fd, part)
        except OSError as e:
            if e.errno != errno.EBUSY or wait == 49:
                raise
        time.sleep(0.01)


def _detach_partitions(fd: int, number: int) -> None:
    """Removes the partitions of loop device number (open as fd) before it
    is detached, and the /dev nodes that outlive them: nodes velkora made
    where no devtmpfs does, each checked to be a block device with the
    partition's own number. A partition that stays in use (mounted) is left
    to the kernel."""
    for path in _partitions(number):
        name = os.path.basename(path)
        try:
            dev = _read(f"{SYS_CLASS_BLOCK}/{name}/dev")
            part = int(_read(f"{SYS_CLASS_BLOCK}/{name}/partition"))
            _del_partition(fd, part)
        except (OSError, ValueError):
            continue
        major, minor = map(int, dev.split(":"))
        try:
            st = os.lstat(path)
        except FileNotFoundError:
            continue
        if stat.S_ISBLK(st.st_mode) and st.st_rdev == os.makedev(major, minor):
            try:
                os.unlink(path)
            except FileNotFoundError:
                pass  # devtmpfs took it meanwhile

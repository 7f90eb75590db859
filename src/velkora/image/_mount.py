"""A disk image mounted as one tree: its root at the target, each partition
whose type names a place mounted there, then the image's own fstab, all
of it undone in reverse on the way out; and commands run in such a tree
in a mount namespace of their own (:func:`run`, in ``_run``).

Every place is looked up inside the image (openat2(2) with
RESOLVE_IN_ROOT, as ``fstab.mount_all(root=)`` looks them up) and each
mount is made detached and attached onto the fd found, so that no link
or ``..`` in the image leads a mount, or a directory made for one, out
of it."""

from __future__ import annotations

import errno
import os

from velkora._resources import Guard
from velkora._resources import held_signals as _held_signals
from velkora.image._types import PLACES

TYPE_CHECKING = False
if TYPE_CHECKING:
    import subprocess
    from typing import Any, NamedTuple, Sequence, Union

    from velkora.fstab._table import Fstab
    from velkora.image._types import Dissected, Partition
    from velkora.loop import LoopDevice

    PathArg = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]
else:
    from velkora._base import record as _record

    NamedTuple = object

__all__ = ["Mounted", "mounted", "run"]


class Mounted(NamedTuple):
    """An image mounted by :func:`mounted`."""

    target: str  #: where its root is, an absolute path
    device: str  #: the loop device it is attached to
    mounts: tuple[tuple[str, str], ...]  #: (designator, or "fstab", mount point) of each mount, in order made


if not TYPE_CHECKING:
    Mounted = _record(Mounted, "velkora.image")  # noqa: F811 - the fields, as a namedtuple

# The partitions mounted after the root, in systemd-dissect's order (the
# ESP last: where it goes depends on the others).
ORDER = ("usr", "home", "srv", "var", "tmp", "xbootldr")
# The kernel's own filesystems: a system mounts them for itself, and its
# fstab's entries for them are no part of the image's tree.
KERNEL_FILESYSTEMS = frozenset(
    "apparmorfs autofs binfmt_misc bpf cgroup cgroup2 configfs debugfs devpts devtmpfs efivarfs fusectl "
    "hugetlbfs mqueue nfsd nsfs proc pstore rpc_pipefs securityfs selinuxfs sysfs tracefs".split()
)
_DIRECTORY = os.O_PATH | os.O_DIRECTORY | os.O_CLOEXEC


def _close(fd: int) -> int:
    if fd >= 0:
        os.close(fd)
    return -1


def refused(dissected: Dissected) -> None:
    """OSError EOPNOTSUPP naming the verity partitions of an image, which
    are not mounted yet: their data partitions are never mounted unchecked."""
    verity = [f"{p.designator} ({p.number})" for p in dissected.partitions if "verity" in p.designator]
    if verity:
        raise OSError(errno.EOPNOTSUPP, f"verity partitions are not supported yet: {', '.join(verity)}",
                      dissected.path)  # fmt: skip


def in_use(path: str) -> None:
    """OSError EBUSY where a loop device bound to the image already is in
    use (mounted, in any namespace: it cannot be opened exclusively), as
    after ``velkora image mount``: a second device would make a second
    filesystem of the same image, each blind to the other's writes."""
    from velkora import loop

    for device in loop.devices(path):
        try:
            fd = os.open(device.path, os.O_RDONLY | os.O_EXCL | os.O_CLOEXEC)
        except OSError as e:
            if e.errno == errno.EBUSY:
                raise OSError(errno.EBUSY, f"the image is in use through {device.path} already", path) from None
            continue  # detached meanwhile
        os.close(fd)


def run(path: PathArg, argv: Sequence[PathArg], *, read_only: bool = False,
        **chroot_options: Any) -> subprocess.CompletedProcess[bytes]:  # fmt: skip
    """Runs ``argv`` inside the disk image at path, mounted as
    :func:`mounted` mounts it (its fstab too; everything read-only with
    ``read_only``) in a mount namespace of its own, through
    :func:`velkora.chroot.run`, whose options (``binds``, ``env``,
    ``capture_output``, ``check``, ``timeout`` ...) are passed on; returns
    its :class:`subprocess.CompletedProcess`. Nothing of the image is seen
    outside, and nothing is left mounted or attached when it returns,
    raises, is interrupted or the caller is killed. Errors, the command's
    CalledProcessError and TimeoutExpired among them, are raised here; a
    read-only image without /etc/resolv.conf gets no host's one, unless
    ``resolv_conf`` asks."""
    from velkora.image._run import run as run_in

    command = [os.fspath(a) for a in argv]
    if not command:
        raise ValueError("argv must name a command")
    done: subprocess.CompletedProcess[bytes] = run_in(mounted, path, command, read_only, chroot_options)
    return done


class mounted(Guard):  # noqa: N801 - used like a function: `with image.mounted(...)`
    """``with image.mounted(path, target) as m:`` attaches the disk image at
    path once and mounts it at target as systemd-dissect --mount does; on
    the way out (an exception or Ctrl-C too) unmounts it all in reverse and
    detaches the loop device. ``m`` is a :class:`Mounted`.

    The root partition at target (``mkdir`` makes target where missing;
    it stays), then ``/usr``, ``/home``, ``/srv``, ``/var``, ``/var/tmp``,
    XBOOTLDR at ``/boot`` and the ESP at ``/efi`` where the root has it,
    else at ``/boot`` where that is empty and no XBOOTLDR is there, else
    at ``/efi``; every mount nodev, nothing checked or grown. A missing
    mount point is made inside the image (with ``read_only``, FileNotFoundError
    naming it). With ``fstab``, the image's own /etc/fstab is mounted as
    ``fstab.mount_all(root=target)`` mounts it, passing over entries for
    places mounted already, ``noauto`` and swap entries and the kernel's
    filesystems (proc, sysfs, devpts, ...); its tags are looked up among
    the image's own partitions, never the machine's, and an entry naming
    a device that is none of them is refused (OSError ENODEV).
    ``read_only`` attaches the image read-only and mounts everything
    read-only; a partition with the GPT read-only flag is mounted read-only.

    OSError naming the fault: EBUSY where the image is mounted already
    through another loop device, EOPNOTSUPP for verity partitions, ENODEV
    ``unknown filesystem type 'vfat'`` for a partition whose filesystem
    the kernel lacks, EBUSY on the way out where another mount covers one
    made here (it stays, as do the image's mounts it sits on; the rest is
    undone, the device left to go with its last mount); ValueError where
    the image has no root partition.
    """

    def __init__(self, path: PathArg, target: PathArg, *, read_only: bool = False, fstab: bool = True,
                 mkdir: bool = False) -> None:  # fmt: skip
        self.path = os.fsdecode(os.fspath(path))
        # Absolute from the start: a chdir in the block must not move the exit.
        self.target = os.path.abspath(os.fsdecode(os.fspath(target)))
        self.read_only, self.fstab, self.mkdir = read_only, fstab, mkdir
        self._device: LoopDevice | None = None
        self._made: list[Any] = []  # RootedMount and MountedSet, in the order made
        self._mounts: list[tuple[str, str]] = []

    def __repr__(self) -> str:
        state = f"on {self._device.path}" if self._device is not None else "not mounted"
        return f"<velkora.image.mounted {self.path!r} at {self.target!r} {state}>"

    if TYPE_CHECKING:  # Guard's, in C

        def __enter__(self) -> Mounted: ...

    def _enter(self) -> Mounted:
        if self._device is not None:
            raise ValueError("this image is mounted already")
        from velkora import loop
        from velkora.image._dissect import dissect

        dissected = dissect(self.path)
        refused(dissected)
        by_designator = {p.designator: p for p in dissected.partitions}
        root = by_designator["root"]  # dissect raises where there is none
        in_use(self.path)
        if self.mkdir and not os.path.lexists(self.target):
            os.makedirs(self.target, 0o755, exist_ok=True)
        at = -1
        try:  # every fd closed whatever comes: one left open would keep its mount busy
            with _held_signals():
                at = os.open(self.target, _DIRECTORY)
                self._device = loop.attach(self.path, read_only=self.read_only, partscan=root.number is not None)
            self._mount(root, at, self.target)
        finally:
            _close(at)
        top = -1
        try:
            with _held_signals():
                top = os.open(self.target, _DIRECTORY)  # the image's own root now
            for designator in ORDER:
                if designator in by_designator:
                    self._mount_at(top, by_designator[designator], PLACES[designator])
            if "esp" in by_designator:
                self._mount_at(top, by_designator["esp"], self._esp_place(top, "xbootldr" in by_designator))
        finally:
            _close(top)
        if self.fstab:
            self._mount_fstab()
        return Mounted(self.target, self._device.path, tuple(self._mounts))

    def _esp_place(self, top: int, xbootldr: bool) -> str:
        """Where systemd-dissect puts the ESP: /efi where the root has it,
        else /boot where it is empty and XBOOTLDR has not taken it, else /efi."""
        from velkora.fstab._root import _resolve

        for place in ("/efi", "/boot"):
            fd = -1
            try:
                with _held_signals():
                    fd = _resolve(top, place, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
                if place == "/efi" or not xbootldr and not os.listdir(fd):
                    return place
            except (FileNotFoundError, NotADirectoryError):
                continue
            finally:
                _close(fd)
        return "/efi"

    def _mount_at(self, top: int, partition: Partition, place: str) -> None:
        """partition mounted at place inside the image, made where missing."""
        from velkora.fstab._root import host_path, target_fd

        shown = os.path.join(self.target, place.lstrip("/"))
        at = -1
        try:
            try:
                with _held_signals():
                    at = target_fd(top, place, None if self.read_only else 0o755)
            except FileNotFoundError:
                why = "the image is read-only" if self.read_only else "it could not be made"
                raise FileNotFoundError(errno.ENOENT, f"mount point {place} missing in the image ({why})",
                                        shown) from None  # fmt: skip
            except OSError as e:
                raise OSError(e.errno, f"mount point {place} cannot be made in the image: {e.strerror}",
                              shown) from None  # fmt: skip
            self._mount(partition, at, host_path(at))
        finally:
            _close(at)

    def _mount(self, partition: Partition, at: int, shown: str) -> None:
        """partition's filesystem mounted onto the fd at (shown in errors),
        and recorded as made at once."""
        from velkora.fstab._root import _new_tree, attach
        from velkora.options import parse

        assert self._device is not None
        if partition.fstype is None:
            raise OSError(errno.EINVAL, f"no filesystem found on partition {partition.number} "
                          f"({partition.designator})", shown)  # fmt: skip
        device = self._device.path if partition.number is None else f"{self._device.path}p{partition.number}"
        words = "nodev,ro" if self.read_only or partition.read_only else "nodev"
        parsed = parse(words)
        with _held_signals():
            tree = _new_tree(device, partition.fstype, parsed, shown)
            made = attach(tree, at, 0)
            self._made.append(made)
            self._mounts.append((partition.designator, made.point))

    def _mount_fstab(self) -> None:
        """The image's /etc/fstab, as mount -a mounts it at boot, less what
        has no place here."""
        from velkora.fstab import mount_all
        from velkora.fstab._table import read_inside

        try:
            with _held_signals():  # its fds closed before an interrupt: one left would keep the root busy
                table = read_inside(self.target)
        except FileNotFoundError:
            return
        wanted = self._fstab_entries(table)
        if not len(wanted):
            return
        with _held_signals():  # made and recorded at once; mount_all undoes its own on an interrupt
            done = mount_all(wanted, root=self.target)
            self._made.append(done)
            self._mounts.extend(("fstab", entry.target) for entry in done.mounted)

    def _fstab_entries(self, table: Fstab) -> Fstab:
        """The entries to mount: not the kernel's filesystems, nor those for
        a place a partition was mounted at (the root's "/" among them); each
        nodev, and read-only where the image is."""
        from velkora.fstab import Fstab
        from velkora.fstab._root import _resolve, host_path

        taken = {point for _, point in self._mounts}
        extra = ",nodev,ro" if self.read_only else ",nodev"
        kept = []
        top = at = -1
        try:
            with _held_signals():
                top = os.open(self.target, _DIRECTORY)
            for entry in table:
                if entry.fstype in KERNEL_FILESYSTEMS:
                    continue
                try:
                    with _held_signals():
                        at = _resolve(top, entry.target)
                    if host_path(at) in taken:
                        continue
                except OSError:
                    pass  # made by X-mount.mkdir, or an error mount_all names
                finally:
                    at = _close(at)
                kept.append(entry._replace(options=(entry.options or "defaults") + extra))
        finally:
            _close(top)
        return Fstab([own for own in map(self._own_source, kept) if own is not None])

    def _own_source(self, entry: Any) -> Any | None:
        """entry with its tag (UUID=, LABEL=, PARTUUID=, PARTLABEL=, or their
        /dev/disk/by-* links) made the image's own partition holding it: the
        machine may have a filesystem with the same tag (an image cloned
        from it), and none of the machine's is ever mounted in the image.
        OSError ENODEV where no partition of the image holds it, or where
        the entry names a device under /dev: the machine's, not the image's
        (None, the entry passed over, where it says nofail); ENOTUNIQ where
        two of the image's partitions hold the tag. Entries never
        mounted (noauto, swap) and binds are left as they are."""
        from velkora import _sources
        from velkora.blkid import _same, _split, tags_of
        from velkora.fstab._mount import _is_bind, _wanted

        source = entry.source
        if not _wanted(entry, None, None) or _is_bind(entry):
            return entry
        dev = source.startswith("/") and os.path.normpath(source).startswith("/dev/")
        if not _sources.is_tag(source) and not dev:
            return entry
        try:
            key, value = _split(source)
        except ValueError:
            why = f"{source}: a device of the machine's, not of the image"
        else:
            held = [d for d in self._own_devices() if _same(tags_of(d).get(key) or "", value, key)]
            if len(held) > 1:  # a partition copied whole: which one is meant is no one's guess
                raise OSError(errno.ENOTUNIQ, f"held by more than one partition of the image: {', '.join(held)}",
                              source)  # fmt: skip
            if held:
                return entry._replace(source=held[0])
            why = f"no partition of the image has {key}={value}"
        if "nofail" in entry.options.split(","):
            return None
        raise OSError(errno.ENODEV, why, entry.target)

    def _own_devices(self) -> list[str]:
        """The image's loop device and each of its partitions' devices."""
        assert self._device is not None
        name = os.path.basename(self._device.path)
        try:
            held = os.listdir(f"/sys/block/{name}")
            numbers = sorted(int(n[len(name) + 1 :]) for n in held if n.startswith(name + "p"))
        except (OSError, ValueError):
            numbers = []
        return [f"{self._device.path}p{n}" for n in numbers] + [self._device.path]

    def _undo(self) -> None:
        self._close()

    def _leave(self, again: bool) -> None:
        self._close()

    def _close(self) -> None:
        """Everything made unmounted, the last first, then the device
        detached; the first failure raised once the rest was tried."""
        failure: OSError | None = None
        with _held_signals():  # to the end, whatever comes meanwhile
            while self._made:
                try:
                    self._made[-1].__exit__(None, None, None)
                except OSError as e:
                    failure = failure or e
                del self._made[-1]
            self._mounts = []
            device, self._device = self._device, None
            if device is not None:
                try:
                    device.__exit__(None, None, None)
                except OSError as e:
                    failure = failure or e
        if failure is not None:
            raise failure

    def _release(self) -> Mounted:
        """Leaves the image mounted for good, as ``velkora image mount`` does:
        the device's fd closed (autoclear: it goes with its last mount),
        nothing undone later."""
        assert self._device is not None
        with _held_signals():
            done = Mounted(self.target, self._device.path, tuple(self._mounts))
            self._device.close()
            self._device, self._made, self._mounts = None, [], []
        return done

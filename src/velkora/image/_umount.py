"""What ``velkora image umount DIR`` undoes: every mount at and below DIR,
children first, and the loop device of the image mounted at DIR, as
``systemd-dissect --umount`` does."""

from __future__ import annotations

import os
import re

from velkora._resources import held_signals as _held_signals

_LOOP = re.compile(r"loop(\d+)(?:p\d+)?")


def _device_name(major: int | None, minor: int | None) -> str:
    """The kernel's name of a block device (loop3, loop3p1), by its number:
    a mount's source is whatever its maker named (systemd-dissect's
    /proc/self/fd/3), its device numbers are the kernel's."""
    if major is None or minor is None:
        return ""
    return os.path.basename(os.path.realpath(f"/sys/dev/block/{major}:{minor}"))


def unmount(target: str | os.PathLike[str]) -> tuple[list[str], list[str]]:
    """Unmounts every mount at and below target, children first, then
    detaches the loop devices behind the mounts at target itself (an image
    mounted there, or a partition of one): only those, and only those set
    to go with their last mount (as image mount and systemd-dissect --mount
    attach them; one attached by losetup is its owner's), each held open from
    before the unmounting, so that it cannot go and its number pass to
    another's file meanwhile; one that another still holds open is left to
    go with it (autoclear). Returns (mount points unmounted, devices
    detached). OSError EINVAL where target is no mount point or no loop
    device is behind its mount (nothing is unmounted then), EBUSY naming
    the holders of a mount still in use."""
    import errno

    from velkora import _loop, _mounts
    from velkora._holders import busy
    from velkora.loop import _detach_partitions
    from velkora.mountinfo import mounts_below

    top = os.path.realpath(target)
    below = mounts_below(top, "mountinfo")  # children first
    if not any(m.mount_point == top for m in below):
        raise OSError(errno.EINVAL, "not a mount point", os.fspath(target))
    if not any(_LOOP.fullmatch(_device_name(m.major, m.minor)) for m in below if m.mount_point == top):
        # Another's tree (a tmpfs, the host's disk): nothing of it is undone here.
        raise OSError(errno.EINVAL, "not an image mount: no loop device behind it", os.fspath(target))
    held: dict[int, int] = {}
    gone: list[str] = []
    detached: list[str] = []
    try:
        with _held_signals():
            for m in below:
                found = _LOOP.fullmatch(_device_name(m.major, m.minor)) if m.mount_point == top else None
                if found and int(found.group(1)) not in held:
                    try:
                        held[int(found.group(1))] = os.open(f"/dev/loop{found.group(1)}", os.O_RDONLY | os.O_CLOEXEC)
                    except OSError:
                        pass  # gone, or no node: nothing to detach
        for m in below:
            if m.mount_point is None:
                continue
            with _held_signals():
                try:
                    _mounts.umount(m.mount_point, 0)
                except OSError as e:
                    raise busy(e, m.mount_point) from None
                gone.append(m.mount_point)
        with _held_signals():
            for number, fd in sorted(held.items()):
                try:
                    if not _loop.status(fd)[5] & _loop.LO_FLAGS_AUTOCLEAR:
                        continue  # attached by another (losetup), who detaches it: only its mounts were ours
                    _detach_partitions(fd, number)
                    _loop.detach(fd)
                    detached.append(f"/dev/loop{number}")
                except OSError:
                    pass  # detached meanwhile, or still held by another: autoclear
    finally:
        with _held_signals():
            for fd in held.values():
                os.close(fd)
    return gone, detached

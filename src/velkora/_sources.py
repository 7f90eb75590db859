"""What velkora.mounted and mount_all share around the mount calls,
which velkora.mount.mount makes exactly as asked: a mount's source found
as mount(8) finds it (a tag, ``UUID=...``, resolved to its device, a
filesystem type probed for ``auto``, a partition of an image file located
by its table, the loop words of an option string), a mount's ids, and an
unmount whose EBUSY names the processes that hold the mount."""

from __future__ import annotations

import errno
import os
import stat
from contextvars import ContextVar

from velkora import _mounts

_TAGS = ("UUID=", "LABEL=", "PARTUUID=", "PARTLABEL=")
# Inside resolving_once: each tag's device, or the error looking it up raised.
_RESOLVED: ContextVar[dict[str, str | Exception] | None] = ContextVar("velkora._sources._RESOLVED", default=None)


def is_tag(source: str) -> bool:
    return source.startswith(_TAGS)


class resolving_once:  # noqa: N801 - a context manager used like a function
    """Within the block, in this thread, device_of looks each tag up once
    and gives the same device, or raises the same error, again: mount -a
    asks of one entry whether it is mounted already and then mounts it,
    and both name the one device one lookup found."""

    def __enter__(self) -> None:
        self._token = _RESOLVED.set({})

    def __exit__(self, *exc: object) -> None:
        _RESOLVED.reset(self._token)


def device_of(tag: str) -> str:
    from velkora import blkid

    found = _RESOLVED.get()
    if found is None:
        return blkid.resolve(tag)
    if tag not in found:
        try:
            found[tag] = blkid.resolve(tag)
        except (OSError, ValueError) as e:
            found[tag] = e
    device = found[tag]
    if isinstance(device, Exception):
        raise device.with_traceback(None)
    return device


def fstype_of(source: str, offset: int = 0) -> str:
    """The filesystem type source holds (from offset), for ``-t auto``:
    OSError where source is missing or holds none velkora knows, or holds
    swap."""
    from velkora import blkid

    if not os.path.exists(source):
        raise FileNotFoundError(errno.ENOENT, os.strerror(errno.ENOENT), source)
    found = blkid.probe(source, offset=offset).type
    if found is None or found == "swap":
        what = "swap space, not a filesystem" if found else "no filesystem type found (give one with -t)"
        raise OSError(errno.EINVAL, what, source)
    return found


def partition_span(image: str, number: int, offset: int = 0) -> tuple[int, int]:
    """(offset, size) in bytes of partition number of the table in image
    (from offset), for ``partition=N``; OSError ENXIO where it has none."""
    from velkora import blkid

    found = blkid.probe(image, offset=offset)
    for part in found.partitions:
        if part.number == number:
            return offset + part.start, part.size
    if found.pttype is None:
        where = "the image holds no partition table"
    elif not found.partitions:
        where = f"the image's {found.pttype} table holds no partitions"
    else:
        numbers = [str(part.number) for part in found.partitions]
        where = (
            f"the image's {found.pttype} table holds partition{'s' if len(numbers) > 1 else ''} {', '.join(numbers)}"
        )
    raise OSError(errno.ENXIO, f"no partition {number}: {where}", image)


def umount(path: str, flags: int) -> None:
    """umount2(2); its EBUSY names the processes that hold the mount."""
    try:
        _mounts.umount(path, flags)
    except OSError as e:
        from velkora._holders import busy

        raise busy(e, path) from None


def is_regular_file(source: str) -> bool:
    try:
        return stat.S_ISREG(os.stat(source).st_mode)
    except (OSError, ValueError):
        return False


def unique_id(path: str) -> int | None:
    """The 64-bit id of the mount at ``path``, never used again (Linux 6.8+),
    or None."""
    try:
        return _mounts.mount_id(path, unique=True)
    except OSError:
        return None


def mount_id(path: str) -> int | None:
    """The id of the mount that holds ``path`` now, or None. Opens nothing,
    so an interrupt here leaves nothing behind."""
    from velkora import mountinfo

    try:
        found = _mounts.mount_id(path)
        # Where statx does not say (before Linux 5.8, some emulators), the table does.
        return found if found is not None else mountinfo.mount_at(path, "mountinfo").id
    except OSError:
        return None


def loop_request(words: tuple[str, ...]) -> dict[str, int] | None:
    """loop.attach's keywords from the loop words among ``words``, or None."""
    request: dict[str, int] | None = None
    for word in words:
        name, has_value, value = word.partition("=")
        if name == "loop":
            if has_value:
                raise ValueError(f"mount option {word!r}: velkora takes a free loop device; write 'loop'")
            request = request or {}
        elif name in ("offset", "sizelimit", "partition"):
            try:
                number = int(value, 0)
            except ValueError:
                raise ValueError(f"mount option {word!r} is no number of bytes") from None
            request = request or {}
            request["size_limit" if name == "sizelimit" else name] = number
    return request

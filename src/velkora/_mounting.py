"""What mounted() and mount_all(root=) share below the mount calls: an
unmount whose EBUSY names the holders, a mount's ids, the loop words of an
option string."""

from __future__ import annotations

import os
import stat

from velkora import _mounts


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
    from velkora import _mounts

    try:
        return _mounts.mount_id(path, unique=True)
    except OSError:
        return None


def mount_id(path: str) -> int | None:
    """The id of the mount that holds ``path`` now, or None. Opens nothing,
    so an interrupt here leaves nothing behind."""
    from velkora import _mounts, mountinfo

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

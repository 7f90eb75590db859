"""The records of the mount table and of its changes, shared by
velkora.mountinfo and its watch: importing no other module of the package
but the native table's and the record maker."""

from __future__ import annotations

import errno

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import NamedTuple
else:
    # The records are namedtuples made at run time from the classes below:
    # the same type typing.NamedTuple makes, without importing typing (a
    # command that reads the table starts faster). They are velkora.mountinfo's.
    from velkora._base import record as _record

    NamedTuple = object


class Mount(NamedTuple):
    """One mount, as the kernel reports it; a field the source cannot give is None.

    Names (``root``, ``mount_point``, ``fs_type``, ``source``, ``options``)
    are the names themselves, mountinfo's octal escapes undone.
    ``super_options`` is the filesystem's own text as both mountinfo and
    statmount give it: a filesystem escapes in it what would break its list
    (an overlay's ``lowerdir=/lo\\040wer`` for a space), and that text is
    kept, so both routes give the same record.
    """

    id: int  #: the mount's id, as mountinfo shows it (reused once the mount is gone)
    parent_id: int  #: its parent's id (its own for the root of the namespace)
    major: int | None  #: the superblock's device number
    minor: int | None
    root: str | None  #: the directory of the filesystem that is mounted
    mount_point: str | None  #: where, relative to the caller's root
    fs_type: str | None  #: "tmpfs", or "fuse.sshfs" with a subtype
    source: str | None  #: what was mounted ("/dev/vdb1", "tmpfs", ...)
    options: str | None  #: the mount's options: "rw,nosuid,nodev,relatime"
    super_options: str | None  #: the superblock's: "rw,size=64k,mode=701", escapes kept (see below)
    propagation: tuple[str, ...]  #: ("shared:1",), ("master:2", "propagate_from:1"), ("unbindable",) or ()


if not TYPE_CHECKING:
    Mount = _record(Mount, "velkora.mountinfo")  # noqa: F811 - the class's fields, as a namedtuple


class MountEvent(NamedTuple):
    """A change of the table: ``kind`` is "attach", "detach" or "move";
    ``mount`` the mount as it is now (for a detach, as it was last seen)."""

    kind: str
    mount: Mount


if not TYPE_CHECKING:
    MountEvent = _record(MountEvent, "velkora.mountinfo")  # noqa: F811 - the class's fields, as a namedtuple


# Errors from listmount/statmount that mean "use mountinfo": a kernel without
# them, or a seccomp profile that refuses calls it does not know.
_FALL_BACK = (errno.ENOSYS, errno.EPERM, errno.EACCES)


def _within(point: str, path: str) -> bool:
    return point == path or path == "/" or point.startswith(path.rstrip("/") + "/")


def joined_options(m: Mount) -> str:
    """The mount's options and the superblock's own, joined as findmnt joins
    them: one read-only word, ``ro`` where the mount or the superblock is."""
    words = [m.options] if m.options else []
    extra = m.super_options or ""
    read_only = False
    for word in ("rw", "ro"):
        if extra == word or extra.startswith(word + ","):
            read_only = word == "ro"
            extra = extra[len(word) + 1 :]
    if read_only and words and (words[0] == "rw" or words[0].startswith("rw,")):
        words[0] = "ro" + words[0][2:]
    return ",".join(words + ([extra] if extra else []))

"""Block devices by what they hold, without udev: :func:`probe` reads a
device's or image's filesystem and partition table, :func:`resolve` finds
the device a ``UUID=``, ``LABEL=``, ``PARTUUID=`` or ``PARTLABEL=`` tag
names.

::

    from velkora import blkid

    blkid.probe("disk.img")       # Probe(type=None, ..., pttype='gpt', partitions=(...))
    blkid.resolve("UUID=0b1e...")  # '/dev/loop3p2'

The values are those ``blkid -p -o export`` prints (lower-case UUIDs, a
FAT serial as ``B549-43AD``) and the partitions those ``sfdisk -J`` lists,
with GPT GUIDs in lower case, the form ``PARTUUID=`` tags take, and MBR
types as ``0x83``. A device is opened ``O_RDONLY | O_CLOEXEC`` (never
exclusively) and at most 1 MiB of it is read.
"""

from __future__ import annotations

import errno
import os
import stat

from velkora import _superblocks as _sb

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import NamedTuple, Optional, Tuple

    PathArg = str | bytes | os.PathLike[str] | os.PathLike[bytes]
    # A device holding a tag: its path, its probe, its Btrfs (device id,
    # count of devices) and the sequence number of the disk read.
    _Held = Tuple[str, "Probe", Optional[Tuple[int, int]], Optional[int]]
else:
    from velkora._base import record as _record

    NamedTuple = object


__all__ = ["Partition", "Probe", "TAGS", "devices", "probe", "resolve", "tags_of"]

#: The tags :func:`resolve` takes, and the /dev/disk directory udev keeps for each.
TAGS = {"UUID": "by-uuid", "LABEL": "by-label", "PARTUUID": "by-partuuid", "PARTLABEL": "by-partlabel"}
_LIMIT = 1 << 20  # the most read of one device
_BLKSSZGET = 0x1268
SYS_BLOCK = "/sys/class/block"


class Partition(NamedTuple):
    """An entry of a partition table; ``start`` and ``size`` in bytes."""

    number: int  #: 1, 2, ...; an MBR's logical partitions from 5
    start: int
    size: int
    type: str  #: the GPT type GUID, or the MBR type: "0x83"
    uuid: str | None  #: the PARTUUID: the GPT entry's GUID, or "0a1b2c3d-02"
    name: str | None  #: the GPT entry's name (PARTLABEL)


class Probe(NamedTuple):
    """What a device holds: a filesystem, or a partition table, or neither."""

    type: str | None  #: "btrfs", "ext2", "ext3", "ext4", "xfs", "vfat", "swap", or None
    uuid: str | None
    uuid_sub: str | None  #: a Btrfs device's own UUID
    label: str | None
    pttype: str | None  #: "gpt" or "dos"
    ptuuid: str | None
    partitions: tuple[Partition, ...]


if not TYPE_CHECKING:
    Partition = _record(Partition, "velkora.blkid")  # noqa: F811 - the fields, as a namedtuple
    Probe = _record(Probe, "velkora.blkid")  # noqa: F811 - the fields, as a namedtuple


def _sector_size(fd: int) -> int:
    import fcntl

    raw = fcntl.ioctl(fd, _BLKSSZGET, b"\0\0\0\0")
    return int.from_bytes(raw, "little")


def probe(path: PathArg, *, offset: int = 0) -> Probe:
    """What the block device or image file at ``path`` holds, from
    ``offset`` bytes in. A damaged, cut short or unknown superblock gives
    ``type`` None; a path that is neither a regular file nor a block device
    raises (OSError), as does one that cannot be opened. A partition table
    entry the kernel would not add (no size, past the end of the disk, over
    another entry) is left out with a warning naming it."""
    if not isinstance(offset, int) or isinstance(offset, bool):
        raise TypeError(f"offset must be int, not {type(offset).__name__}")
    if offset < 0:
        raise ValueError(f"offset must not be negative, got {offset}")
    fd = os.open(path, os.O_RDONLY | os.O_CLOEXEC | os.O_NONBLOCK | os.O_NOCTTY)
    try:
        found, bad = _probe_fd(fd, offset, os.fspath(path))
    finally:
        os.close(fd)
    _left_out(os.fsdecode(os.fspath(path)), found, bad)
    return found


# The entries left out that are named one by one; a hostile table may hold
# thousands, and the rest are counted in one more warning.
_NAMED = 8


def _left_out(path: str, found: Probe, bad: list[tuple[int, str]]) -> None:
    """A warning for each table entry left out, to probe's caller."""
    if bad:
        import warnings

        for number, reason in bad[:_NAMED]:
            warnings.warn(f"{path}: partition {number} of the {found.pttype} table left out: {reason}", stacklevel=3)
        if len(bad) > _NAMED:
            more = len(bad) - _NAMED
            warnings.warn(f"{path}: {more} more entr{'y' if more == 1 else 'ies'} of the {found.pttype} table left out",
                          stacklevel=3)  # fmt: skip


def _probe_fd(fd: int, offset: int, path: str | bytes) -> tuple[Probe, list[tuple[int, str]]]:
    """What the device or file open as fd holds, and the table entries left out."""
    st = os.fstat(fd)
    if stat.S_ISBLK(st.st_mode):
        sectors: tuple[int, ...] = (_sector_size(fd),)
        size = os.lseek(fd, 0, os.SEEK_END)
    elif stat.S_ISREG(st.st_mode):
        sectors = (512, 4096)  # an image says nothing of its sectors: GPT's header tells
        size = st.st_size
    else:
        raise OSError(errno.ENOTBLK, "neither a block device nor a regular file", path)
    budget = [_LIMIT]

    def read(at: int, length: int) -> bytes:
        length = max(0, min(length, budget[0]))
        budget[0] -= length
        return os.pread(fd, length, offset + at) if length else b""

    return _probe(read, sectors, max(0, size - offset))


def _probe(read: _sb.Read, sectors: tuple[int, ...], size: int) -> tuple[Probe, list[tuple[int, str]]]:
    head = read(0, _sb.HEAD)
    for reader in _sb.FILESYSTEMS:
        found = reader(head, read)
        if found is not None:
            return Probe(found["type"], found["uuid"], found["uuid_sub"], found["label"], None, None, ()), []
    for sector in sectors:
        table = _sb.gpt(head, read, sector, size)
        if table is not None:
            return _table("gpt", table), table[2]
    table = _sb.dos(head, read, sectors[0], size)
    if table is not None:
        return _table("dos", table), table[2]
    return Probe(None, None, None, None, None, None, ()), []


def _table(kind: str, table: tuple[str, list[_sb.Entry], list[tuple[int, str]]]) -> Probe:
    return Probe(None, None, None, None, kind, table[0], tuple(Partition(*e[:6]) for e in table[1]))


def _read(path: str) -> str | None:
    try:
        with open(path, "rb") as f:
            return f.read().decode().strip()
    except OSError:
        return None


def devices() -> list[str]:
    """The block devices sysfs lists that hold something to read (a size
    above 0: an unattached loop device is left out), as /dev paths, each
    whole device followed by its partitions."""
    try:
        names = os.listdir(SYS_BLOCK)
    except FileNotFoundError:
        return []
    found = []
    for name in names:
        size = _read(f"{SYS_BLOCK}/{name}/size")
        if size is None or size == "0":
            continue
        parent = os.path.basename(os.path.dirname(os.path.realpath(f"{SYS_BLOCK}/{name}")))
        number = _read(f"{SYS_BLOCK}/{name}/partition")
        whole = parent if number is not None else name
        found.append((_natural(whole), int(number or 0), f"/dev/{name}"))
    return [path for *_, path in sorted(found)]


def _natural(name: str) -> tuple[str, int]:
    stem = name.rstrip("0123456789")
    return stem, int(name[len(stem) :] or -1)


def _split(tag: str) -> tuple[str, str]:
    for key, directory in TAGS.items():
        for prefix in (f"{key}=", f"/dev/disk/{directory}/"):
            if tag.startswith(prefix) and len(tag) > len(prefix):
                value = tag[len(prefix) :]
                if prefix.startswith("/dev/"):
                    value = _unhex(value)
                elif len(value) >= 2 and value[0] == value[-1] and value[0] in "\"'":
                    value = value[1:-1]
                return key, value
    raise ValueError(f"not a tag: {tag!r} (UUID=, LABEL=, PARTUUID=, PARTLABEL= or /dev/disk/by-*/)")


def _unhex(name: str) -> str:
    """udev's link names: "\\x2f" for a / (or anything unsafe) in a label."""
    out, i = [], 0
    while i < len(name):
        if name.startswith("\\x", i) and i + 4 <= len(name):
            try:
                out.append(chr(int(name[i + 2 : i + 4], 16)))
                i += 4
                continue
            except ValueError:
                pass
        out.append(name[i])
        i += 1
    return "".join(out)


def _same(a: str, b: str, key: str) -> bool:
    return a.lower() == b.lower() if key.endswith("UUID") else a == b


def tags_of(device: str) -> dict[str, str]:
    """The tags device holds: those of UUID, LABEL, PARTUUID and PARTLABEL
    it has (the last two from the table of the disk it is a partition of);
    {} where it cannot be read."""
    found: dict[str, str | None] = {}
    try:
        held = _quiet_probe(device)
        found.update(UUID=held.uuid, LABEL=held.label)
        name = os.path.basename(os.path.realpath(device))
        number = _read(f"{SYS_BLOCK}/{name}/partition")
        if number is not None:
            parent = os.path.basename(os.path.dirname(os.path.realpath(f"{SYS_BLOCK}/{name}")))
            for p in _quiet_probe(f"/dev/{parent}").partitions:
                if p.number == int(number):
                    found.update(PARTUUID=p.uuid, PARTLABEL=p.name)
    except (OSError, ValueError):
        pass
    return {key: value for key, value in found.items() if value is not None}


def _quiet_probe(path: str) -> Probe:
    fd = os.open(path, os.O_RDONLY | os.O_CLOEXEC | os.O_NONBLOCK | os.O_NOCTTY)
    try:
        return _probe_fd(fd, 0, path)[0]
    finally:
        os.close(fd)


class _Stale(Exception):
    """A /dev node that is not the device sysfs names by it."""


class _Changed(Exception):
    """A disk given to another file (a loop device reused) while it was read."""


_BLKGETDISKSEQ = 0x80081280  # _IOR(0x12, 128, __u64)


def _open_checked(name: str) -> int:
    """/dev/name opened for reading, once the node is seen to be the device
    sysfs calls name: a block device whose number sysfs gives to name
    (/sys/dev/block/MAJ:MIN leads to it). The node is looked at first
    through an O_PATH fd, which runs no driver's open and follows no link,
    and then opened through that fd, so the file opened is the one checked:
    a link, a FIFO or a character device left at the name is never opened.
    _Stale where the node is another device or none."""
    path = f"/dev/{name}"
    flags = os.O_RDONLY | os.O_CLOEXEC | os.O_NONBLOCK | os.O_NOCTTY
    pinned = os.open(path, os.O_PATH | os.O_NOFOLLOW | os.O_CLOEXEC)
    try:
        st = os.fstat(pinned)
        if not stat.S_ISBLK(st.st_mode):
            raise _Stale(path)
        try:
            owner = os.readlink(f"/sys/dev/block/{os.major(st.st_rdev)}:{os.minor(st.st_rdev)}")
        except FileNotFoundError:
            owner = ""  # a number no device has now
        if os.path.basename(owner) != name:
            raise _Stale(path)
        try:
            return os.open(f"/proc/self/fd/{pinned}", flags)
        except FileNotFoundError:  # no /proc: the node opened again, seen to be the one checked
            fd = os.open(path, flags | os.O_NOFOLLOW)
            again = os.fstat(fd)
            if (again.st_dev, again.st_ino) != (st.st_dev, st.st_ino):
                os.close(fd)
                raise _Stale(path) from None
            return fd
    finally:
        os.close(pinned)


def _diskseq(fd: int) -> int | None:
    """The kernel's number for the disk's present medium (a loop device's
    file): a partition gives its disk's. None where the kernel has none."""
    import fcntl

    try:
        return int.from_bytes(fcntl.ioctl(fd, _BLKGETDISKSEQ, bytes(8)), "little")
    except OSError:
        return None


def _checked_probe(name: str) -> tuple[Probe, int | None, tuple[int, int] | None]:
    """What the device sysfs calls name holds, read through a checked node
    (_open_checked), with the disk's sequence number and, of a Btrfs
    device, its device id and its filesystem's count of devices."""
    fd = _open_checked(name)
    try:
        found = _probe_fd(fd, 0, f"/dev/{name}")[0]
        member = _sb.btrfs_member(os.pread(fd, 4096, 65536), found.uuid) if found.type == "btrfs" else None
        return found, _diskseq(fd), member
    finally:
        os.close(fd)


def _probe_listed(path: str) -> Probe:
    """probe() of a device devices() lists, through its checked node
    (_open_checked): OSError ESTALE where the node at path is not that
    device (one left by another), so that what is shown as a device's is
    that device's."""
    try:
        fd = _open_checked(path[len("/dev/") :])
    except _Stale:
        raise OSError(errno.ESTALE, "not the device sysfs names by it", path) from None
    try:
        found, bad = _probe_fd(fd, 0, path)
    finally:
        os.close(fd)
    _left_out(path, found, bad)
    return found


def _partition_holds(name: str, entry: Partition, seq: int | None) -> None:
    """Whether the partition sysfs calls name is the table's entry, read
    from its disk whose sequence number was seq: its node checked
    (_open_checked), its disk still that medium (_Changed where the loop
    device was given to another file meanwhile), its start and size those
    of the entry (of an extended partition, which the kernel adds small,
    its start); _Stale where the kernel's partition is not the table's."""
    fd = _open_checked(name)
    try:
        if seq is not None and _diskseq(fd) != seq:
            raise _Changed(name)
        rdev = os.fstat(fd).st_rdev
        sysfs = f"/sys/dev/block/{os.major(rdev)}:{os.minor(rdev)}"
        start, size = (int(_read(f"{sysfs}/{what}") or -1) * 512 for what in ("start", "size"))
        if start != entry.start or (size != entry.size and entry.type not in ("0x5", "0xf", "0x85")):
            raise _Stale(f"/dev/{name}")
    finally:
        os.close(fd)


def _holders(key: str, value: str) -> tuple[list[_Held], list[str]]:
    """Every device that holds key=value, by a probe of each through a
    checked node (each device probed once: a partition's tags come from
    its disk's table), with the probe that found it (of the filesystem
    tags), its Btrfs membership and the sequence number of the disk read,
    and the nodes passed over as not the device's. _Changed where a disk was given another medium meanwhile."""
    part = key.startswith("PART")
    held: list[_Held] = []
    stale: list[str] = []
    tables: dict[str, tuple[Probe, int | None] | None] = {}
    empty = Probe(None, None, None, None, None, None, ())
    for path in devices():
        name = path[len("/dev/") :]
        try:
            if part:
                number = _read(f"{SYS_BLOCK}/{name}/partition")
                if number is None:
                    continue
                parent = os.path.basename(os.path.dirname(os.path.realpath(f"{SYS_BLOCK}/{name}")))
                if parent not in tables:
                    tables[parent] = None
                    try:
                        table, seq, _ = _checked_probe(parent)
                        tables[parent] = table, seq
                    except _Stale as e:
                        stale.append(str(e))
                    except (OSError, ValueError):
                        pass
                known = tables[parent]
                entry = next((p for p in known[0].partitions if p.number == int(number)), None) if known else None
                found = getattr(entry, "uuid" if key == "PARTUUID" else "name", None)
                if entry is None or known is None or found is None or not _same(found, value, key):
                    continue
                # The node given is checked too, as the entry's span on that
                # very disk. Two partitions are never one filesystem.
                _partition_holds(name, entry, known[1])
                held.append((path, empty, None, known[1]))
            else:
                probed, seq, member = _checked_probe(name)
                found = probed.uuid if key == "UUID" else probed.label
                if found is None or not _same(found, value, key):
                    continue
                held.append((path, probed, member, seq))
        except _Stale as e:
            stale.append(str(e))
        except (OSError, ValueError):
            continue  # no medium, gone since listed, not to be read
    return held, stale


def _unchanged(path: str, seq: int | None) -> None:
    """_Changed where the device at path is no longer the medium read with
    sequence number seq (a loop device given another file since)."""
    try:
        fd = _open_checked(path[len("/dev/") :])
        try:
            now = _diskseq(fd)
        finally:
            os.close(fd)
    except (OSError, _Stale):
        raise _Changed(path) from None
    if now != seq:
        raise _Changed(path)


def _one_filesystem(held: list[_Held]) -> bool:
    """Whether the devices are one filesystem: one device, or the devices
    of one Btrfs: one UUID, each its own UUID_SUB and device id, all giving
    one count of devices, and no more of them than that count (two Btrfs
    each made with one device and the same UUID are two filesystems)."""
    if len(held) == 1:
        return True
    probes = [p for _, p, _, _ in held]
    members = [m for _, _, m, _ in held if m is not None]
    counts = {count for _, count in members}
    return (
        all(p.type == "btrfs" and p.uuid is not None and p.uuid == probes[0].uuid for p in probes)
        and len(members) == len(held)
        and len({p.uuid_sub for p in probes} - {None}) == len(held)
        and len({devid for devid, _ in members}) == len(held)
        and len(counts) == 1
        and len(held) <= counts.pop()
    )


def resolve(tag: str) -> str:
    """The device node that ``tag`` names: ``"UUID=..."``, ``"LABEL=..."``,
    ``"PARTUUID=..."``, ``"PARTLABEL=..."`` or a ``/dev/disk/by-*/`` path.

    Every block device sysfs lists is probed, loop devices and their
    partitions too, each through its /dev node once the node is seen to be
    that device (a node left by another device is passed over, never
    given; a link, FIFO or character device there is never opened). A
    partition is given only while its disk holds the medium whose table
    was read, with the entry's start and size. A /dev/disk link only names
    the tag: it is not taken on trust. Of a Btrfs filesystem on several
    devices (one UUID, distinct UUID_SUBs and device ids, no more than its
    count of devices), one is given. Raises
    OSError ENOTUNIQ ("held by more than one filesystem: DEV1, DEV2",
    every device, sorted; the tag as filename) where more than one
    filesystem holds the tag (a clone of a disk beside it),
    FileNotFoundError naming the tag when no device holds it, ValueError
    for what is not a tag."""
    if isinstance(tag, bytes):
        tag = os.fsdecode(tag)
    key, value = _split(tag)
    for _ in range(3):  # a loop device given another file while it was read: read again
        try:
            held, stale = _holders(key, value)
            if held and _one_filesystem(held):
                _unchanged(held[0][0], held[0][3])  # the one given, still what was read
            break
        except _Changed:
            continue
    else:
        raise OSError(errno.EAGAIN, "the devices changed while they were read", tag)
    if not held:
        why = f" ({', '.join(sorted(stale))} passed over: not the device sysfs names)" if stale else ""
        raise FileNotFoundError(errno.ENOENT, "no device holds it" + why, tag)
    if not _one_filesystem(held):
        names = ", ".join(sorted(path for path, *_ in held))
        raise OSError(errno.ENOTUNIQ, f"held by more than one filesystem: {names}", tag)
    return held[0][0]

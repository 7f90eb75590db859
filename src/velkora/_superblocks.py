"""What a device's first blocks say: the filesystems and partition tables
velkora.blkid knows, read from bytes already in memory (no I/O here but the
``read(offset, size)`` the caller hands in). Each reader returns None for
anything that is not its own format, damaged or cut short, never raising."""

from __future__ import annotations

import binascii
import struct

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Callable, Dict, Optional, Tuple

    Read = Callable[[int, int], bytes]
    Found = Dict[str, Optional[str]]
    # number, start, size, type, uuid, name, and the attributes: a GPT
    # entry's 64 bits, an MBR entry's boot indicator (0x80: bootable).
    Entry = Tuple[int, int, int, str, Optional[str], Optional[str], int]
    Bad = Tuple[int, str]

# How much of a device is read at once first: every superblock looked for
# lies within it (Btrfs's at 64 KiB, the swap signature at 64 KiB - 10).
HEAD = 69632


def _uuid(raw: bytes) -> str | None:
    if len(raw) != 16 or raw == bytes(16):
        return None
    h = raw.hex()
    return f"{h[:8]}-{h[8:12]}-{h[12:16]}-{h[16:20]}-{h[20:]}"


def _guid(raw: bytes) -> str:
    """A GUID as GPT stores it: the first three fields little-endian."""
    a, b, c = struct.unpack_from("<IHH", raw)
    rest = raw[8:16].hex()
    return f"{a:08x}-{b:04x}-{c:04x}-{rest[:4]}-{rest[4:]}"


def _text(raw: bytes) -> str | None:
    """A label field: up to its first NUL, trailing blanks dropped; a byte
    that is no UTF-8 kept as os.fsdecode keeps it (a lone surrogate), so
    that the label is the bytes a tag in an fstab names and a command can
    show them as \\xNN."""
    raw = raw.split(b"\0", 1)[0].rstrip(b" \t\n")
    return raw.decode("utf-8", "surrogateescape") if raw else None


def _found(fstype: str, uuid: str | None, label: str | None, uuid_sub: str | None = None) -> Found:
    return {"type": fstype, "uuid": uuid, "label": label, "uuid_sub": uuid_sub}


# ext2/3/4 features: what each older kind knows; anything more is ext4's.
_HAS_JOURNAL = 0x4
_JOURNAL_DEV = 0x8
_EXT2_INCOMPAT, _EXT3_INCOMPAT, _EXT23_RO_COMPAT = 0x12, 0x16, 0x7


def ext(head: bytes, read: Read) -> Found | None:
    sb = head[1024:2048]
    if len(sb) < 1024 or sb[0x38:0x3A] != b"\x53\xef":
        return None
    compat, incompat, ro_compat = struct.unpack_from("<III", sb, 0x5C)
    if incompat & _JOURNAL_DEV:
        return None  # an external journal holds no filesystem
    if compat & _HAS_JOURNAL:
        older = "ext3" if not (incompat & ~_EXT3_INCOMPAT or ro_compat & ~_EXT23_RO_COMPAT) else None
    else:
        older = "ext2" if not (incompat & ~_EXT2_INCOMPAT or ro_compat & ~_EXT23_RO_COMPAT) else None
    return _found(older or "ext4", _uuid(sb[0x68:0x78]), _text(sb[0x78:0x88]))


def xfs(head: bytes, read: Read) -> Found | None:
    if head[:4] != b"XFSB" or len(head) < 512:
        return None
    (blocksize,) = struct.unpack_from(">I", head, 4)
    (agcount,) = struct.unpack_from(">I", head, 88)
    (sectsize,) = struct.unpack_from(">H", head, 102)
    if not (512 <= blocksize <= 65536 and blocksize & (blocksize - 1) == 0) or agcount == 0:
        return None
    if not (512 <= sectsize <= 32768 and sectsize & (sectsize - 1) == 0):
        return None
    return _found("xfs", _uuid(head[32:48]), _text(head[108:120]))


def btrfs(head: bytes, read: Read) -> Found | None:
    sb = head[65536:69632]
    if len(sb) < 4096 or sb[0x40:0x48] != b"_BHRfS_M":
        return None
    return _found("btrfs", _uuid(sb[0x20:0x30]), _text(sb[0x12B:0x22B]), _uuid(sb[0x10B:0x11B]))


def btrfs_member(sb: bytes, uuid: str | None) -> tuple[int, int] | None:
    """A Btrfs superblock's (device id, the filesystem's count of devices),
    where sb is one of the filesystem uuid; None otherwise."""
    if len(sb) < 4096 or sb[0x40:0x48] != b"_BHRfS_M" or _uuid(sb[0x20:0x30]) != uuid:
        return None
    (count,) = struct.unpack_from("<Q", sb, 0x88)
    (devid,) = struct.unpack_from("<Q", sb, 0xC9)
    return devid, count


def swap(head: bytes, read: Read) -> Found | None:
    for page in (4096, 8192, 16384, 65536):
        magic = head[page - 10 : page]
        if magic == b"SWAPSPACE2":
            return _found("swap", _uuid(head[1036:1052]), _text(head[1052:1068]))
        if magic == b"SWAP-SPACE":
            return _found("swap", None, None)
    return None


def _fat_label(raw: bytes) -> str | None:
    label = raw.rstrip(b" \0")
    if not label or label == b"NO NAME":
        return None
    if label[:1] == b"\x05":  # a first byte 0xE5, which would mark a deleted entry
        label = b"\xe5" + label[1:]
    return label.decode("latin-1")


def _volume_entry(directory: bytes) -> str | None:
    """The label entry of a FAT root directory, if it has one."""
    for at in range(0, len(directory) - 31, 32):
        entry = directory[at : at + 32]
        if entry[0] == 0:
            break
        if entry[0] != 0xE5 and entry[11] & 0x1F == 0x08:  # a volume id, not a long name
            return _fat_label(entry[:11])
    return None


def vfat(head: bytes, read: Read) -> Found | None:
    b = head[:512]
    if len(b) < 512 or b[510:512] != b"\x55\xaa":
        return None
    sector, per_cluster, reserved, fats, roots = struct.unpack_from("<HBHBH", b, 11)
    media = b[21]
    if sector not in (512, 1024, 2048, 4096) or per_cluster == 0 or per_cluster & (per_cluster - 1):
        return None
    if reserved == 0 or fats == 0 or not (media == 0xF0 or media >= 0xF8):
        return None
    (fat16_size,) = struct.unpack_from("<H", b, 22)
    if b[82:87] == b"FAT32" and fat16_size == 0:
        fat_size, root_cluster = struct.unpack_from("<I4xI", b, 36)
        serial, boot_label = b[67:71], b[71:82]
        data = (reserved + fats * fat_size) * sector
        root = (
            read(data + (root_cluster - 2) * per_cluster * sector, per_cluster * sector) if root_cluster >= 2 else b""
        )
    elif b[54:57] == b"FAT" and fat16_size:
        serial, boot_label = b[39:43], b[43:54]
        root = read((reserved + fats * fat16_size) * sector, min(roots * 32, 1 << 18))
    else:
        return None
    label = _volume_entry(root)
    if label is None:
        label = _fat_label(boot_label)
    uuid = serial[::-1].hex().upper()
    return _found("vfat", f"{uuid[:4]}-{uuid[4:]}", label)


# The order blkid looks in: a filesystem that leaves the others' places
# alone is found first.
FILESYSTEMS = (btrfs, xfs, ext, swap, vfat)


def _gpt_header(raw: bytes, lba: int) -> tuple[int, int, int, int, str] | None:
    """A GPT header read at lba, checked (its signature, its CRC, its own
    place): (the entries' LBA, count, entry size, the entries' CRC, the
    disk GUID), or None."""
    if raw[:8] != b"EFI PART" or len(raw) < 92:
        return None
    size, crc = struct.unpack_from("<II", raw, 12)
    if not 92 <= size <= len(raw) or binascii.crc32(raw[:16] + bytes(4) + raw[20:size]) != crc:
        return None
    (mine,) = struct.unpack_from("<Q", raw, 24)
    entries_lba, count, entry_size = struct.unpack_from("<QII", raw, 72)
    if mine != lba or entry_size < 128 or entry_size % 8 or count > 4096:
        return None
    return entries_lba, count, entry_size, struct.unpack_from("<I", raw, 88)[0], _guid(raw[56:72])


def gpt(head: bytes, read: Read, sector: int, size: int) -> tuple[str, list[Entry], list[Bad]] | None:
    """The GPT of a disk of size bytes: the primary header and entries at
    LBA 1, or where either fails its CRC, the backup at the last LBA, as
    blkid and sfdisk read it. Entries the kernel would not add are given
    apart, each with the reason."""
    last = size // sector - 1
    for lba in (1, last) if last > 1 else (1,):
        at = lba * sector
        raw = head[at : at + 512] if at + 512 <= len(head) else read(at, 512)
        header = _gpt_header(raw, lba)
        if header is None:
            continue
        entries_lba, count, entry_size, entries_crc, disk = header
        at, length = entries_lba * sector, count * entry_size
        table = head[at : at + length] if at + length <= len(head) else read(at, length)
        if len(table) != length or binascii.crc32(table) != entries_crc:
            continue
        found: list[Entry] = []
        for number in range(count):
            e = table[number * entry_size : number * entry_size + 128]
            if e[:16] == bytes(16):
                continue
            first, end, attributes = struct.unpack_from("<QQQ", e, 32)
            name = e[56:128].decode("utf-16-le", "replace").split("\0", 1)[0]
            found.append((number + 1, first * sector, (end - first + 1) * sector, _guid(e[:16]), _guid(e[16:32]),
                          name or None, attributes))  # fmt: skip
        good, bad = checked(found, size, ())
        return disk, good, bad
    return None


def checked(found: list[Entry], size: int, containers: tuple[int, ...]) -> tuple[list[Entry], list[Bad]]:
    """found split into the entries the kernel adds and those it leaves out
    (number, reason): one with no size, one past the end of the disk, one
    that overlaps an entry added before it. The containers (an MBR's
    extended partition, by number) take 1 KiB of their start only, as the
    kernel adds them."""
    good: list[Entry] = []
    bad: list[Bad] = []
    taken: list[tuple[int, int, int]] = []
    for entry in found:
        number, start, length = entry[:3]
        if length <= 0:
            bad.append((number, "its end lies before its start"))
            continue
        if start + length > size:
            bad.append((number, "it ends past the end of the disk"))
            continue
        end = start + (min(length, 1024) if number in containers else length)
        other = next((n for n, s, e in taken if start < e and s < end), None)
        if other is not None:
            bad.append((number, f"it overlaps partition {other}"))
            continue
        taken.append((number, start, end))
        good.append(entry)
    return good, bad


_EXTENDED = (0x05, 0x0F, 0x85)


def _dos_entries(sector0: bytes) -> list[tuple[int, int, int]]:
    return [struct.unpack_from("<4xB3xII", sector0, 446 + 16 * i) for i in range(4)]


def _boot(sector0: bytes, i: int) -> int:
    return sector0[446 + 16 * i]


def dos(head: bytes, read: Read, sector: int, size: int) -> tuple[str, list[Entry], list[Bad]] | None:
    b = head[:512]
    if len(b) < 512 or b[510:512] != b"\x55\xaa":
        return None
    if any(b[446 + 16 * i] not in (0, 0x80) for i in range(4)):
        return None
    entries = _dos_entries(b)
    if not any(kind for kind, _, _ in entries) or any(kind == 0xEE for kind, _, _ in entries):
        return None  # empty, or GPT's protective record
    (disk,) = struct.unpack_from("<I", b, 440)
    ptuuid = f"{disk:08x}"
    found: list[Entry] = []
    for number, (kind, start, sectors) in enumerate(entries, 1):
        if kind and sectors:
            found.append((number, start * sector, sectors * sector, f"0x{kind:x}", f"{ptuuid}-{number:02x}", None,
                          _boot(b, number - 1)))  # fmt: skip
    containers = tuple(n for n, (kind, _, sectors) in enumerate(entries, 1) if kind in _EXTENDED and sectors)
    if containers:
        base = here = entries[containers[0] - 1][1]
        number = 5
        seen: set[int] = set()  # set[int]() is no call before Python 3.9
        # A chain of logical partitions, each record naming the next: each
        # record is read once, so a chain that leads back lists nothing twice.
        while here not in seen and len(seen) < 256:
            seen.add(here)
            ebr = read(here * sector, 512)
            if len(ebr) < 512 or ebr[510:512] != b"\x55\xaa":
                break
            (kind, start, sectors), (next_kind, next_start, _), *_ = _dos_entries(ebr)
            if kind and sectors:
                uuid = f"{ptuuid}-{number:02x}"
                found.append(
                    (number, (here + start) * sector, sectors * sector, f"0x{kind:x}", uuid, None, _boot(ebr, 0))
                )
                number += 1
            if next_kind not in _EXTENDED or not next_start:
                break
            here = base + next_start
    good, bad = checked(found, size, containers)
    return ptuuid, good, bad

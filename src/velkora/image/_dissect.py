"""What each partition of a disk image is for, read from its partition
table and its filesystems' superblocks, as systemd-dissect finds it: the
file is read where it is (nothing attached, no partition device needed)."""

from __future__ import annotations

import errno
import os
import stat

from velkora import _superblocks as _sb
from velkora.image import _types

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Optional, Tuple

    from velkora.image import Dissected, Partition

    # A partition chosen: (designator, its entry, architecture, read only,
    # growfs, its uuid kept).
    _Chosen = Tuple[str, _sb.Entry, Optional[str], bool, bool, bool]
    PathArg = str | bytes | os.PathLike[str] | os.PathLike[bytes]

# GPT attribute bits: never mounted automatically, read-only, to be grown
# to the partition's size on first mount.
NO_AUTO, READ_ONLY, GROWFS = 1 << 63, 1 << 60, 1 << 59
# The designators whose partitions come in versions (A/B): the newest label wins.
_VERSIONED = frozenset(("root", "usr", "root-verity", "usr-verity", "root-verity-sig", "usr-verity-sig"))
_LIMIT = 1 << 20  # the most read of one partition


def dissect(path: PathArg) -> Dissected:
    """The partitions of the disk image (or block device) at path, each with
    what it is for, as ``systemd-dissect IMAGE`` lists them. ValueError
    where the image has no root partition (naming what it has) or two roots
    of one version; OSError where it cannot be read."""
    return read(path)[0]


def read(path: PathArg) -> tuple[Dissected, dict[int, tuple[int, int]]]:
    """dissect(path), and where each listed partition lies: its number's
    (start, size) in bytes, for attaching it."""
    from velkora.image import Dissected

    name = os.fsdecode(os.fspath(path))
    fd = os.open(path, os.O_RDONLY | os.O_CLOEXEC | os.O_NONBLOCK | os.O_NOCTTY)
    try:
        st = os.fstat(fd)
        if stat.S_ISBLK(st.st_mode):
            size = os.lseek(fd, 0, os.SEEK_END)
            from velkora.blkid import _sector_size

            sectors: tuple[int, ...] = (_sector_size(fd),)
        elif stat.S_ISREG(st.st_mode):
            size, sectors = st.st_size, (512, 4096)
        else:
            raise OSError(errno.ENOTBLK, "neither a block device nor a regular file", name)
        partitions, extents = _partitions(fd, name, size, sectors)
    finally:
        os.close(fd)
    return Dissected(name, size, partitions), extents


def _reader(fd: int, start: int, size: int) -> _sb.Read:
    budget = [_LIMIT]

    def read(at: int, length: int) -> bytes:
        length = max(0, min(length, budget[0], size - at))
        budget[0] -= length
        return os.pread(fd, length, start + at) if length else b""

    return read


def _fstype(fd: int, start: int, size: int) -> str | None:
    read = _reader(fd, start, size)
    head = read(0, _sb.HEAD)
    for reader in _sb.FILESYSTEMS:
        found = reader(head, read)
        if found is not None:
            return found["type"]
    return None


def _partitions(
    fd: int, name: str, size: int, sectors: tuple[int, ...]
) -> tuple[tuple[Partition, ...], dict[int, tuple[int, int]]]:
    from velkora.image import Partition

    read = _reader(fd, 0, size)
    head = read(0, _sb.HEAD)
    for reader in _sb.FILESYSTEMS:
        found = reader(head, read)
        if found is not None:  # a bare filesystem: the root, the whole image
            return (Partition("root", None, None, None, found["type"], None, False, False),), {}
    for sector in sectors:
        table = _sb.gpt(head, read, sector, size)
        if table is not None:
            chosen = _from_gpt(name, table[1])
            break
    else:
        table = _sb.dos(head, read, sectors[0], size)
        if table is None:
            raise ValueError(f"{name}: neither a partition table nor a filesystem")
        chosen = _from_dos(name, table[1])
    if not any(designator == "root" for designator, *_ in chosen):
        found_names = ", ".join(f"{d} (partition {e[0]})" for d, e, *_ in chosen) or "nothing"
        raise ValueError(f"{name}: no root partition; found {found_names}")
    order = {designator: i for i, designator in enumerate(_types.DESIGNATORS)}
    chosen.sort(key=lambda c: order[c[0]])
    partitions = []
    extents = {}
    for designator, entry, architecture, read_only, growfs, keep_uuid in chosen:
        number, start, length, _, uuid, label = entry[:6]
        extents[number] = (start, length)
        fstype = _fstype(fd, start, length)
        partitions.append(Partition(designator, number, uuid if keep_uuid else None, label, fstype, architecture,
                                    read_only, growfs))  # fmt: skip
    return tuple(partitions), extents


def _from_gpt(name: str, entries: list[_sb.Entry]) -> list[_Chosen]:
    preferred = _types.preferred()
    best: dict[tuple[str, int], _sb.Entry] = {}
    generic: list[_sb.Entry] = []
    for entry in entries:
        kind, attributes = entry[3], entry[6]
        if kind == _types.LINUX_GENERIC:
            if not attributes & NO_AUTO:
                generic.append(entry)
            continue
        designator, architecture = _types.TYPES.get(kind, (None, None))
        if designator is None or attributes & NO_AUTO and designator != "esp":
            continue
        rank = preferred.index(architecture) if architecture in preferred else len(preferred)
        held = best.get((designator, rank))
        if held is None:
            best[(designator, rank)] = entry
        elif designator in _VERSIONED:
            newer = strverscmp_improved(entry[5] or "", held[5] or "")
            if newer == 0:
                raise ValueError(f"{name}: partitions {held[0]} and {entry[0]} are both {designator} "
                                 f"of version {entry[5] or '(no label)'!r}: neither is newer")  # fmt: skip
            if newer > 0:
                best[(designator, rank)] = entry
    chosen: list[_Chosen] = []
    for base in ("root", "usr"):
        ranks = [rank for designator, rank in best if designator == base]
        if not ranks:
            continue
        rank = min(ranks)
        for designator in (base, f"{base}-verity", f"{base}-verity-sig"):
            entry = best.get((designator, rank))
            if entry is not None:
                chosen.append(_marked(designator, entry, _types.TYPES[entry[3]][1]))
    for (designator, _), entry in best.items():
        if designator not in _VERSIONED:
            chosen.append(_marked(designator, entry, None))
    if not any(c[0] in ("root", "usr") for c in chosen) and len(generic) == 1:
        chosen.append(_marked("root", generic[0], None))
    return chosen


def _marked(designator: str, entry: _sb.Entry, architecture: str | None) -> _Chosen:
    attributes = entry[6]
    if designator == "esp" or designator.endswith(("-verity", "-verity-sig")):
        return designator, entry, architecture, False, False, True
    return designator, entry, architecture, bool(attributes & READ_ONLY), bool(attributes & GROWFS), True


def _from_dos(name: str, entries: list[_sb.Entry]) -> list[_Chosen]:
    chosen: list[_Chosen] = []
    roots = [e for e in entries if e[3] == _types.MBR_LINUX and e[6] == 0x80]
    if len(roots) == 1:
        chosen.append(("root", roots[0], None, False, False, False))
    boot = [e for e in entries if e[3] == _types.MBR_XBOOTLDR]
    if boot:
        chosen.append(("xbootldr", boot[0], None, False, False, False))
    return chosen


def _is_version_char(c: str) -> bool:
    return c.isascii() and c.isalnum() or c in "~-^."


def strverscmp_improved(a: str, b: str) -> int:
    """How version a compares with b, as systemd orders versions: -1 older,
    0 the same, 1 newer. Each string is read as segments: runs of digits
    (compared as numbers, leading zeros dropped; a number is newer than
    letters), runs of letters (compared as text; a longer run with the same
    start is newer), and the separators between them: a segment after "~"
    is older than anything, even the end ("1.0~rc1" < "1.0"); otherwise the
    string with more segments is newer; "-" (a release) is older than
    anything else there ("1-9" < "1.1"), "^" (a patch) older than "." and a
    segment, and "." older than a segment right away ("1.a" < "1a").
    Characters that are no letter, digit or separator are passed over."""
    if not a or not b:
        return (a > b) - (a < b)
    i = j = 0
    while True:
        while i < len(a) and not _is_version_char(a[i]):
            i += 1
        while j < len(b) and not _is_version_char(b[j]):
            j += 1
        ca, cb = a[i : i + 1], b[j : j + 1]
        if ca == "~" or cb == "~":
            if (ca != "~") != (cb != "~"):
                return 1 if ca != "~" else -1
            i, j = i + 1, j + 1
        if i >= len(a) or j >= len(b):
            ra, rb = a[i:], b[j:]
            return (ra > rb) - (ra < rb)
        for sep in "-^.":
            ca, cb = a[i], b[j]
            if ca == sep or cb == sep:
                if (ca != sep) != (cb != sep):
                    return 1 if ca != sep else -1
                i, j = i + 1, j + 1
                if i >= len(a) or j >= len(b):
                    break
        ea, eb = i, j
        if a[i : i + 1].isdigit() and a[i].isascii() or b[j : j + 1].isdigit() and b[j].isascii():
            while ea < len(a) and a[ea] in "0123456789":
                ea += 1
            while eb < len(b) and b[eb] in "0123456789":
                eb += 1
            if (ea > i) != (eb > j):
                return 1 if ea > i else -1
            na, nb = a[i:ea].lstrip("0"), b[j:eb].lstrip("0")
            if len(na) != len(nb):
                return 1 if len(na) > len(nb) else -1
            if na != nb:
                return 1 if na > nb else -1
        else:
            while ea < len(a) and a[ea].isascii() and a[ea].isalpha():
                ea += 1
            while eb < len(b) and b[eb].isascii() and b[eb].isalpha():
                eb += 1
            sa, sb = a[i:ea], b[j:eb]
            n = min(len(sa), len(sb))
            if sa[:n] != sb[:n]:
                return 1 if sa[:n] > sb[:n] else -1
            if len(sa) != len(sb):
                return 1 if len(sa) > len(sb) else -1
        i, j = ea, eb

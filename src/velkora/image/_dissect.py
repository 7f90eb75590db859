"""What each partition of a disk image is for, read from its partition
table and its filesystems' superblocks, as systemd-dissect finds it: the
file is read where it is (nothing attached, no partition device needed)."""

from __future__ import annotations

import errno
import os
import stat

from velkora import _superblocks as _sb
from velkora.image._types import DESIGNATORS, LINUX_GENERIC, MBR_LINUX, MBR_XBOOTLDR, TYPES, Dissected, Partition
from velkora.image._types import preferred as _preferred

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Optional, Tuple

    # A partition chosen: (designator, its entry, architecture, read only, growfs).
    _Chosen = Tuple[str, _sb.Entry, Optional[str], bool, bool]
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
    return located(path)[0]


def located(path: PathArg) -> tuple[Dissected, dict[int, tuple[int, int]]]:
    """dissect(path), and where each listed partition lies: its number's
    (start, size) in bytes, for attaching it."""
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
    read = _reader(fd, 0, size)
    head = read(0, _sb.HEAD)
    for reader in _sb.FILESYSTEMS:
        found = reader(head, read)
        if found is not None and found["type"] != "swap":  # a bare filesystem: the root, the whole image
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
    if not any(designator in ("root", "usr") for designator, *_ in chosen):
        raise ValueError(f"{name}: no root partition; found " + _listed(chosen))
    chosen = _signed(fd, name, chosen)
    order = {designator: i for i, designator in enumerate(DESIGNATORS)}
    chosen.sort(key=lambda c: order[c[0]])
    partitions = []
    extents = {}
    for designator, entry, architecture, read_only, growfs in chosen:
        number, start, length, _, uuid, label = entry[:6]
        extents[number] = (start, length)
        fstype = _FIXED.get(designator.partition("-")[2]) or _fstype(fd, start, length)
        partitions.append(Partition(designator, number, uuid, label, fstype, architecture, read_only, growfs))
    return tuple(partitions), extents


# The contents of verity partitions, as blkid names them.
_FIXED = {"verity": "DM_verity_hash", "verity-sig": "verity_hash_signature"}


def root(found: Dissected) -> Partition:
    """The root partition of found; ValueError naming what there is where
    it has none (an image of a usr alone)."""
    for partition in found.partitions:
        if partition.designator == "root":
            return partition
    what = ", ".join(f"{p.designator} (partition {p.number})" for p in found.partitions)
    raise ValueError(f"{found.path}: no root partition; found {what}")


def _listed(chosen: list[_Chosen]) -> str:
    return ", ".join(f"{designator} (partition {entry[0]})" for designator, entry, *_ in chosen) or "nothing"


def _signed(fd: int, name: str, chosen: list[_Chosen]) -> list[_Chosen]:
    """chosen with each root or usr whose verity hash is signed made
    read-only (it is only mounted through verity), once the signature is
    seen to be one: a JSON object whose rootHash is the data and hash
    partitions' UUIDs, one after the other, as systemd writes it."""
    by = {c[0]: c for c in chosen}
    for base in ("root", "usr"):
        signature = by.get(f"{base}-verity-sig")
        if signature is None:
            continue
        data, hashes = by[base][1], by[f"{base}-verity"][1]
        number, start, length = signature[1][:3]
        read = _reader(fd, start, length)
        raw = read(0, 65536)  # a signature is a few KiB, NULs after it
        if b"\0" not in raw:
            raw += read(65536, _LIMIT)
        raw = raw.split(b"\0", 1)[0]
        import json

        try:
            found = json.loads(raw)
            root_hash = found["rootHash"]
            fine = isinstance(root_hash, str) and isinstance(found["signature"], str) and len(root_hash) >= 64
        except (ValueError, KeyError, TypeError):
            fine = False
        if not fine:
            raise ValueError(f"{name}: partition {number} is no {base} verity signature")
        halves = (str(data[4]).replace("-", ""), str(hashes[4]).replace("-", ""))
        if (root_hash[:32].lower(), root_hash[-32:].lower()) != halves:
            raise ValueError(f"{name}: the root hash of partition {number} names neither partition "
                             f"{data[0]} ({base}) nor {hashes[0]} ({base}-verity)")  # fmt: skip
        chosen = [(c[0], c[1], c[2], True, False) if c[0] == base else c for c in chosen]
    return chosen


def _from_gpt(name: str, entries: list[_sb.Entry]) -> list[_Chosen]:
    """The partitions a GPT's entries give, by designator: of root and usr
    (and their verity kinds) those of the architecture this machine
    prefers, the newest by label where there are several; of the others
    the first of each."""
    preferred = _preferred()
    other = len(preferred)  # the rank of every architecture not preferred
    best: dict[tuple[str, int], _sb.Entry] = {}
    generic: list[_sb.Entry] = []
    for entry in entries:
        kind, attributes = entry[3], entry[6]
        designator, architecture = TYPES.get(kind, (None, None))
        if kind == LINUX_GENERIC:
            designator = "generic"
        if designator is None or attributes & NO_AUTO and designator != "esp":
            continue
        if designator == "generic":
            generic.append(entry)
            continue
        rank = preferred.index(architecture) if architecture in preferred else other
        held = best.get((designator, rank))
        if held is None:
            best[(designator, rank)] = entry
        elif designator in _VERSIONED:
            # No label is older than any.
            newer = (entry[5] is not None) - (held[5] is not None) or strverscmp_improved(entry[5] or "", held[5] or "")
            if newer == 0 and entry[3] == held[3]:
                raise ValueError(f"{name}: partitions {held[0]} and {entry[0]} are both {designator} "
                                 f"of version {entry[5] or '(no label)'!r}: neither is newer")  # fmt: skip
            if newer > 0:
                best[(designator, rank)] = entry
    chosen: list[_Chosen] = []
    # The root's architecture is the usr's too; an image without a root
    # (a usr alone) is taken by its usr's.
    roots = [rank for designator, rank in best if designator == "root"]
    usrs = [rank for designator, rank in best if designator == "usr"]
    rank = min(roots or usrs or [-1])
    for base in ("root", "usr"):
        kinds = {d: best.get((d, rank)) for d in (base, f"{base}-verity", f"{base}-verity-sig")}
        for designator, kept in kinds.items():
            if kept is not None:
                chosen.append(_marked(designator, kept, TYPES[kept[3]][1]))
        _complete(name, base, kinds)
    _one_verity(name, {c[0]: c[1] for c in chosen})
    system, usr = (next((c for c in chosen if c[0] == d), None) for d in ("root", "usr"))
    if system and usr and system[2] != usr[2]:
        raise ValueError(f"{name}: the root (partition {system[1][0]}) is for {system[2]}, the usr (partition "
                         f"{usr[1][0]}) for {usr[2]}")  # fmt: skip
    for (designator, _), entry in best.items():
        if designator not in _VERSIONED:
            chosen.append(_marked(designator, entry, None))
    if not roots and not usrs and generic:
        if len(generic) > 1:
            raise ValueError(f"{name}: no root partition, and partitions {generic[0][0]} and {generic[1][0]} are "
                             "both Linux filesystems of no kind: neither is the root")  # fmt: skip
        root_entry = generic[0]
        chosen.append(_marked("root", root_entry[:5] + (None, root_entry[6]), None))  # its label is not a version
    return chosen


def _one_verity(name: str, by: dict[str, _sb.Entry]) -> None:
    """A root under verity needs its usr under verity too (a writable usr
    would undo it); both under verity need a signature each, for without
    a root hash it is not known which hash is the one given."""
    hashes = by.get("root-verity")
    if hashes is None or "usr" not in by:
        return
    if "usr-verity" not in by:
        raise ValueError(f"{name}: the root has a verity hash (partition {hashes[0]}), the usr (partition "
                         f"{by['usr'][0]}) none")  # fmt: skip
    if "root-verity-sig" not in by or "usr-verity-sig" not in by:
        raise ValueError(f"{name}: partitions {hashes[0]} and {by['usr-verity'][0]} are both verity hashes, "
                         "not both signed: neither root hash is known")  # fmt: skip


def _complete(name: str, base: str, held: dict[str, _sb.Entry | None]) -> None:
    """A verity hash partition needs its data partition, a signature its
    hash partition."""
    data, hashes, signature = held.get(base), held.get(f"{base}-verity"), held.get(f"{base}-verity-sig")
    if signature is not None and hashes is None:
        raise ValueError(f"{name}: partition {signature[0]}, a {base} verity signature, has no {base}-verity partition")
    if hashes is not None and data is None:
        raise ValueError(f"{name}: partition {hashes[0]}, a {base} verity hash, has no {base} partition")


def _marked(designator: str, entry: _sb.Entry, architecture: str | None) -> _Chosen:
    attributes = entry[6]
    if designator in ("esp", "swap"):  # neither flag is theirs
        return designator, entry, architecture, False, False
    if designator.endswith(("-verity", "-verity-sig")):  # never written
        return designator, entry, architecture, True, False
    read_only = bool(attributes & READ_ONLY)
    # A filesystem mounted read-only is not grown.
    return designator, entry, architecture, read_only, bool(attributes & GROWFS) and not read_only


def _from_dos(name: str, entries: list[_sb.Entry]) -> list[_Chosen]:
    """An MBR's root: its one Linux partition marked bootable (an MBR has
    no partition UUIDs to give, nor labels); and the first extended boot
    loader partition."""
    roots = [e for e in entries if e[3] == MBR_LINUX and e[6] == 0x80]
    if len(roots) > 1:
        raise ValueError(f"{name}: partitions {roots[0][0]} and {roots[1][0]} are both bootable Linux partitions: "
                         "neither is the root")  # fmt: skip
    boot = [e for e in entries if e[3] == MBR_XBOOTLDR]
    return [(designator, found[0][:4] + (None, None, found[0][6]), None, False, False)
            for designator, found in (("root", roots), ("xbootldr", boot)) if found]  # fmt: skip


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
        for sep in "-^.":  # the end of a string counts as no separator
            ca, cb = a[i : i + 1], b[j : j + 1]
            if ca == sep or cb == sep:
                if (ca != sep) != (cb != sep):
                    return 1 if ca != sep else -1
                i, j = i + 1, j + 1
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

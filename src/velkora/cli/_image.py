"""The velkora command's ``image list``: what each partition of a disk
image is for, as ``systemd-dissect IMAGE`` prints it (its table, without
the NODE column: nothing is attached), or as JSON with systemd-dissect's
field names."""

from __future__ import annotations

import os

from velkora.cli._common import Failure, _fail, _json, shown

TYPE_CHECKING = False
if TYPE_CHECKING:
    import argparse

    from velkora.image import Dissected, Partition

HEADER: tuple[str, ...] = ("RW", "DESIGNATOR", "PARTITION UUID", "PARTITION LABEL", "FSTYPE", "ARCHITECTURE",
                           "VERITY", "GROWFS", "PARTNO")  # fmt: skip


def verity(found: Dissected, partition: Partition) -> str | None:
    """systemd-dissect's VERITY column: for a root or usr partition of a
    table whether its verity hash is signed ("signed": dissect took the
    signature for one), or not ("no": nothing gives its root hash); None
    for other partitions and for a bare filesystem."""
    if partition.designator not in ("root", "usr") or partition.number is None:
        return None
    return "signed" if any(p.designator == f"{partition.designator}-verity-sig" for p in found.partitions) else "no"


def _size(size: int) -> str:
    """A size as systemd writes one: 1024-based, one decimal cut off (51.0M)."""
    for power, unit in zip(range(6, 0, -1), "EPTGMK"):
        factor = 1024**power
        if size >= factor:
            return f"{size // factor}.{size * 10 // factor % 10}{unit}"
    return f"{size}B"


def rows(found: Dissected) -> list[dict[str, object]]:
    """Each partition as systemd-dissect --json gives it, its node left out."""
    return [{"rw": "ro" if p.read_only else "rw", "designator": p.designator, "partition_uuid": p.uuid,
             "partition_label": p.label, "fstype": p.fstype, "architecture": p.architecture,
             "verity": verity(found, p), "growfs": p.growfs, "partno": p.number}
            for p in found.partitions]  # fmt: skip


def cmd_list(args: argparse.Namespace) -> int:
    from velkora.image import dissect

    try:
        found = dissect(args.image)
    except OSError as e:
        raise _fail(f"image list {shown(args.image)}", e) from None
    except ValueError as e:
        raise Failure(f"image list: {e}") from None
    if args.json:
        print(_json({"name": os.path.basename(found.path), "size": found.size, "mounts": rows(found)}))
        return 0
    table = [HEADER]
    for fields in rows(found):
        cells = []
        for value in fields.values():
            if isinstance(value, bool):
                value = "yes" if value else "no"
            cells.append("-" if value is None else shown(str(value)))
        table.append(tuple(cells))
    widths = [max(len(row[i]) for row in table) for i in range(len(HEADER))]
    print(f"      Name: {shown(os.path.basename(found.path))}\n      Size: {_size(found.size)}\n")
    for row in table:
        line = " ".join(cell.ljust(width) for cell, width in zip(row[:-1], widths))
        print(f"{line} {row[-1].rjust(widths[-1])}")
    return 0

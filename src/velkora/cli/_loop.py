"""The velkora command's ``loop``: ``attach`` and ``detach`` as losetup
makes them, ``list`` as losetup lists."""

from __future__ import annotations

import sys

from velkora.cli._common import Failure, _fail, _json, shown

TYPE_CHECKING = False
if TYPE_CHECKING:
    import argparse


def cmd_loop_attach(args: argparse.Namespace) -> None:
    from velkora import loop

    device = None
    try:
        device = loop.attach(args.file, read_only=args.read_only, offset=args.offset, size_limit=args.sizelimit,
                             block_size=args.sector_size, partscan=args.partscan, direct_io=args.direct_io,
                             autoclear=False)  # fmt: skip
        print(device.path, flush=True)
    except OSError as e:
        raise _fail(f"loop attach {args.file}", e) from None
    except ValueError as e:
        raise Failure(f"loop attach {args.file}: {e}") from None
    except BaseException:
        if device is not None:  # interrupted before the device was named: take it back
            device.detach()
        raise
    finally:
        if device is not None:
            device.close()


def cmd_loop_detach(args: argparse.Namespace) -> None:
    from velkora import loop

    failures = []
    for device in args.devices:
        try:
            loop.detach(device)
        except (OSError, ValueError) as e:
            failures.append(_fail(f"loop detach {device}", e) if isinstance(e, OSError) else f"loop detach: {e}")
    if failures:
        for failure in failures[:-1]:
            print(f"velkora: {shown(str(failure))}", file=sys.stderr)
        raise Failure(str(failures[-1]))


LOOP_COLUMNS = ("NAME", "BACK-FILE", "OFFSET", "SIZELIMIT", "RO", "AUTOCLEAR", "PARTSCAN", "DIO", "LOG-SEC")


def cmd_loop_list(args: argparse.Namespace) -> None:
    from velkora import loop

    found = loop.devices()
    values = [(d.path, d.backing_file, d.offset, d.size_limit, d.read_only, d.autoclear, d.partscan, d.direct_io,
               d.block_size) for d in found]  # fmt: skip
    if args.json:
        keys = [column.lower() for column in LOOP_COLUMNS]
        print(_json({"loopdevices": [dict(zip(keys, row)) for row in values]}))
        return
    rows = [LOOP_COLUMNS] + [
        tuple(str(int(v)) if isinstance(v, bool) else shown(v) if isinstance(v, str) else str(v) for v in row)
        for row in values
    ]
    widths = [max(len(row[i]) for row in rows) for i in range(len(LOOP_COLUMNS))]
    # Numbers to the right, as losetup aligns them; the names to the left.
    right = [not isinstance(v, str) for v in values[0]] if values else [False] * len(LOOP_COLUMNS)
    for row in rows:
        cells = [cell.rjust(width) if r else cell.ljust(width) for cell, width, r in zip(row, widths, right)]
        print(" ".join(cells).rstrip())

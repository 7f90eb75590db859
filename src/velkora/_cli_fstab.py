"""The velkora command's fstab parts: ``fstab verify``, ``fstab generate``,
``mount -a``, ``mount TARGET`` looked up in fstab, ``umount -a``."""

from __future__ import annotations

import sys

from velkora._cli_common import Failure, _fail

TYPE_CHECKING = False
if TYPE_CHECKING:
    import argparse

    from velkora.fstab import Entry, Fstab


def _read(path: str) -> Fstab:
    from velkora import fstab

    try:
        return fstab.read(path)
    except OSError as e:
        raise _fail(f"fstab {path}", e) from None


def cmd_verify(args: argparse.Namespace) -> int:
    """findmnt --verify's report: each entry's target, then its problems;
    exit 1 where there is an error."""
    from velkora import fstab

    table = _read(args.file)
    problems = fstab.verify(table, root=args.root)
    errors = warnings = parse = 0
    shown = None
    for p in problems:
        if p.target is None:
            parse += 1
            print(f"velkora: {args.file}: parse error at line {p.line} -- ignored", file=sys.stderr)
            continue
        if (p.line, p.target) != shown:
            shown = (p.line, p.target)
            print(p.target)
        print(f"   [{'E' if p.level == 'error' else 'W'}] {p.message}")
        errors += p.level == "error"
        warnings += p.level == "warning"
    print(f"\n{parse} parse errors, {errors} errors, {warnings} warnings", file=sys.stderr)
    return 1 if errors or parse else 0


def cmd_generate(args: argparse.Namespace) -> int:
    """genfstab's output for ROOT, on stdout."""
    from velkora import fstab

    try:
        table = fstab.generate(args.root, tags=None if args.tag == "none" else args.tag)
    except OSError as e:
        raise _fail(f"fstab generate {args.root}", e) from None
    except ValueError as e:
        raise Failure(f"fstab generate: {e}") from None
    sys.stdout.write(str(table))
    return 0


def mount_all(args: argparse.Namespace) -> None:
    from velkora import fstab

    table = _read(args.fstab)
    try:
        fstab.mount_all(table, prefix=args.target_prefix, types=args.type, options=args.test_opts)
    except OSError as e:
        raise _fail(f"mount {e.filename or args.fstab}", e) from None
    except ValueError as e:
        raise Failure(f"mount -a: {e}") from None


def lookup(args: argparse.Namespace, name: str) -> Entry:
    """The fstab entry for ``mount NAME``: by target, else by source."""
    import os

    table = _read(args.fstab)
    entry = table.find(target=os.path.abspath(name) if name.startswith((".", "/")) else name)
    if entry is None:
        entry = table.find(source=name)
    if entry is None:
        raise Failure(f"mount {name}: can't find in {args.fstab}")
    return entry


def umount_all(args: argparse.Namespace) -> None:
    """What fstab lists and is mounted, children first."""
    from velkora import unmount
    from velkora._cli_common import _is_mount_point, shown
    from velkora._fstab_mount import _ordered

    failures = []
    for entry in reversed(_ordered([e for e in _read(args.fstab) if e.fstype != "swap"])):
        if not _is_mount_point(entry.target) or entry.target == "/":
            continue
        try:
            unmount(entry.target, lazy=args.lazy)
        except OSError as e:
            failures.append(str(_fail(f"umount {entry.target}", e)))
    for failure in failures[:-1]:
        print(f"velkora: {shown(failure)}", file=sys.stderr)
    if failures:
        raise Failure(failures[-1])

"""The velkora command's fstab parts: ``fstab verify``, ``fstab generate``,
``mount -a``, ``mount TARGET`` looked up in fstab, ``umount -a``."""

from __future__ import annotations

import sys

from velkora.cli._common import Failure, _fail, shown

TYPE_CHECKING = False
if TYPE_CHECKING:
    import argparse

    from velkora.fstab import Entry, Fstab


def _read(path: str | None, root: str | None = None) -> Fstab:
    """The fstab at path (a host path); without one, root's own (looked up
    inside root) or /etc/fstab."""
    from velkora import fstab

    try:
        if path is None and root is not None:
            from velkora.fstab._table import read_inside

            return read_inside(root)
        return fstab.read(path or "/etc/fstab")
    except OSError as e:
        raise _failure(f"fstab {e.filename or path or '/etc/fstab'}", e) from None


def _failure(what: str, e: OSError) -> Failure:
    """_fail's line, escaped whole: the kernel's reason quotes the entry's
    own words ("Unknown parameter 'WORD'")."""
    return Failure(shown(str(_fail(what, e))))


def _counted(n: int, word: str) -> str:
    return f"{n} {word}" if n == 1 else f"{n} {word}s"


def _parse_errors(table: Fstab, name: str) -> None:
    """mount(8)'s words for each line that is no entry."""
    for number, _ in table.malformed():
        print(f"velkora: {shown(name)}: parse error at line {number} -- ignored", file=sys.stderr)


def cmd_verify(args: argparse.Namespace) -> int:
    """findmnt --verify's report: each entry's target, then its problems;
    exit 1 where there is an error."""
    from velkora import fstab

    root = args.root if args.root not in ("/", "") else None
    table = _read(args.file, root)
    name = table.path or args.file
    problems = fstab.verify(table, root=args.root)
    errors = warnings = parse = 0
    last = None
    for p in problems:
        if p.target is None:
            parse += 1
            print(f"velkora: {shown(name)}: parse error at line {p.line} -- ignored", file=sys.stderr)
            continue
        if (p.line, p.target) != last:
            last = (p.line, p.target)
            print(shown(p.target))
        print(f"   [{'E' if p.level == 'error' else 'W'}] {shown(p.message)}")
        errors += p.level == "error"
        warnings += p.level == "warning"
    if not (parse or errors or warnings):
        print("Success, no errors or warnings detected")
        return 0
    summary = ", ".join((_counted(parse, "parse error"), _counted(errors, "error"), _counted(warnings, "warning")))
    print(f"\n{summary}", file=sys.stderr)
    return 1 if errors or parse else 0


def cmd_generate(args: argparse.Namespace) -> int:
    """genfstab's output for ROOT, on stdout."""
    from velkora import fstab

    try:
        table = fstab.generate(args.root, tags=None if args.tag == "none" else args.tag)
    except OSError as e:
        raise _failure(f"fstab generate {args.root}", e) from None
    except ValueError as e:
        raise Failure(shown(f"fstab generate: {e}")) from None
    sys.stdout.write(str(table))
    return 0


def mount_all(args: argparse.Namespace) -> int:
    """mount -a: a ``nofail`` entry that failed is passed over silently
    only where its device does not exist; any other failure of one is
    printed, and the status is 1, as mount(8) reports it."""
    import errno

    from velkora import fstab

    if args.root is not None and args.target_prefix is not None:
        raise Failure("mount -a: --root and --target-prefix do not go together")
    table = _read(args.fstab, args.root)
    _parse_errors(table, table.path or args.fstab or "/etc/fstab")
    try:
        done = fstab.mount_all(
            table, prefix=args.target_prefix, root=args.root, types=args.type, options=args.test_opts
        )
    except OSError as e:
        raise _failure(f"mount {e.filename or table.path or '/etc/fstab'}", e) from None
    except ValueError as e:
        raise Failure(shown(f"mount -a: {e}")) from None
    said = [(entry, err) for entry, err in zip(done.failed, done.errors) if err.errno != errno.ENOENT]
    for entry, err in said:
        print(f"velkora: {_failure(f'mount {err.filename or entry.target}', err)}", file=sys.stderr)
    return 1 if said else 0


def lookup(args: argparse.Namespace, name: str) -> Entry:
    """The fstab entry for ``mount NAME``: by target, else by source."""
    import os

    table = _read(args.fstab)
    entry = table.find(target=os.path.abspath(name) if name.startswith((".", "/")) else name)
    if entry is None:
        entry = table.find(source=name)
    if entry is None:
        raise Failure(f"mount {shown(name)}: can't find in {shown(args.fstab or '/etc/fstab')}")
    return entry


def umount_all(args: argparse.Namespace) -> None:
    """What fstab lists and is mounted, children first."""
    from velkora import unmount
    from velkora._mount8 import is_mount_point as _is_mount_point
    from velkora.fstab import unmount_order

    failures = []
    for entry in unmount_order(_read(args.fstab)):
        if not _is_mount_point(entry.target) or entry.target == "/":
            continue
        try:
            unmount(entry.target, lazy=args.lazy)
        except OSError as e:
            failures.append(str(_failure(f"umount {entry.target}", e)))
    for failure in failures[:-1]:
        print(f"velkora: {shown(failure)}", file=sys.stderr)
    if failures:
        raise Failure(failures[-1])

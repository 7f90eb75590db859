"""The ``velkora`` command: the mount table, mounting and unmounting, loop
devices and the table's changes, from the shell.

    velkora list [PATH] [--json] [--pid PID] [--via ROUTE]
    velkora mount [-t TYPE] [-o OPTIONS] SOURCE TARGET
    velkora umount [-l] [-R] TARGET
    velkora loop attach|detach|list ...
    velkora watch [--json]

Exit status: 0 on success, 1 when an operation fails (one line on stderr,
``velkora: mount /srv/pool: Permission denied``), 2 for a usage error, 130
after Ctrl-C, which leaves nothing mounted or attached by the command.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
from typing import Callable, Iterator, List, Sequence, Tuple

from velkora.mountinfo import Mount, _within

# A mount and the mounts below it.
Node = Tuple[Mount, List["Node"]]

# Exit statuses.
FAILED, USAGE, INTERRUPTED = 1, 2, 130


class Failure(Exception):
    """An operation that failed: its one line for stderr."""


def _fail(what: str, e: OSError) -> Failure:
    reason = e.strerror or str(e)
    return Failure(f"{what}: {reason}")


# ---------------------------------------------------------------------------
# velkora list


def _shown(text: str | None) -> str:
    """A field for a line of text: control characters and bytes that are no
    UTF-8 as \\x escapes, as findmnt writes them, so that one mount is one line."""
    if text is None:
        return ""
    out = []
    for c in text:
        code = ord(c)
        if code < 0x20 or code == 0x7F:
            out.append(f"\\x{code:02x}")
        elif 0xDC80 <= code <= 0xDCFF:  # a byte os.fsdecode could not decode
            out.append(f"\\x{code - 0xDC00:02x}")
        else:
            out.append(c)
    return "".join(out)


def _options(m: Mount) -> str:
    """The mount's options and the superblock's own, joined as findmnt joins
    them: the superblock's read-only word is the mount's to say."""
    words = [m.options] if m.options else []
    extra = m.super_options or ""
    for word in ("rw", "ro"):
        if extra == word:
            extra = ""
        elif extra.startswith(word + ","):
            extra = extra[len(word) + 1 :]
    return ",".join(words + ([extra] if extra else []))


def _source(m: Mount) -> str:
    """The source, with the mounted directory in brackets where it is not the
    filesystem's root (a bind mount, a Btrfs subvolume), as findmnt shows it."""
    source = m.source or ""
    if m.root not in (None, "/"):
        source += f"[{m.root}]"
    return source


def _forest(table: list[Mount], top: Mount | None, path: str = "/") -> list[Node]:
    """The table (in tree order) as nested (mount, children) pairs; with top
    (the mount that holds path), only top and its subtree at or under path."""
    ids = {m.id for m in table}
    nodes: dict[int, Node] = {}
    roots: list[Node] = []
    for m in table:
        node: Node = (m, [])
        parent = nodes.get(m.parent_id) if m.parent_id != m.id and m.parent_id in ids else None
        (parent[1] if parent is not None else roots).append(node)
        nodes.setdefault(m.id, node)
    if top is None:
        return roots
    # The mount that holds PATH, and of what is below it only what is at or
    # under PATH (the whole subtree where PATH is the mount point).
    node = nodes.get(top.id, (top, []))
    return [
        (top, [child for child in node[1] if child[0].mount_point is not None and _within(child[0].mount_point, path)])
    ]


def _lines(
    forest: list[Node], glyphs: tuple[str, str, str, str], prefix: str = "", top: bool = True
) -> Iterator[tuple[str, Mount]]:
    """Each mount with the tree's drawing before its target."""
    branch, last, through, space = glyphs
    for i, (m, children) in enumerate(forest):
        end = i == len(forest) - 1
        yield ("" if top else prefix + (last if end else branch)), m
        child_prefix = "" if top else prefix + (space if end else through)
        yield from _lines(children, glyphs, child_prefix, False)


def _glyphs() -> tuple[str, str, str, str]:
    """findmnt's tree lines where the output's encoding has them, else ASCII."""
    fancy = ("├─", "└─", "│ ", "  ")
    try:
        "".join(fancy).encode(sys.stdout.encoding or "ascii")
    except (UnicodeEncodeError, LookupError):
        return ("|-", "`-", "| ", "  ")
    return fancy


def _json_tree(forest: list[Node]) -> list[dict[str, object]]:
    out = []
    for m, children in forest:
        node: dict[str, object] = {"target": m.mount_point, "source": _source(m), "fstype": m.fs_type,
                                   "options": _options(m)}  # fmt: skip
        if children:
            node["children"] = _json_tree(children)
        out.append(node)
    return out


def cmd_list(args: argparse.Namespace) -> None:
    from velkora.mountinfo import mount_at, mounts

    try:
        table = mounts(args.via, pid=args.pid)
        top = mount_at(args.path, args.via, pid=args.pid) if args.path is not None else None
    except OSError as e:
        raise _fail(f"list {args.path or ''}".rstrip() if args.pid is None else f"list --pid {args.pid}", e) from None
    path = args.path or "/"
    where = os.path.normpath(os.path.join("/", path)) if args.pid is not None else os.path.realpath(path)
    forest = _forest(table, top, where)
    if args.json:
        print(json.dumps({"filesystems": _json_tree(forest)}, indent=2))
        return
    rows = [(drawing + _shown(m.mount_point), _shown(_source(m)), _shown(m.fs_type), _shown(_options(m)))
            for drawing, m in _lines(forest, _glyphs())]  # fmt: skip
    header = ("TARGET", "SOURCE", "FSTYPE", "OPTIONS")
    widths = [max(len(row[i]) for row in [header, *rows]) for i in range(3)]
    for row in [header, *rows]:
        print(" ".join(cell.ljust(width) for cell, width in zip(row, widths)) + " " + row[3])


# ---------------------------------------------------------------------------
# velkora mount / umount

# --make-* shortcuts: the propagation words mount(8) takes.
PROPAGATION = ("shared", "slave", "private", "unbindable", "rshared", "rslave", "rprivate", "runbindable")


def cmd_mount(args: argparse.Namespace) -> None:
    import velkora.mount as classic
    from velkora import mounted
    from velkora.flags import MS
    from velkora.options import parse

    make = [word for word in PROPAGATION if getattr(args, "make_" + word)]
    paths = args.paths
    if make:
        if len(paths) != 1 or args.bind or args.rbind or args.move:
            raise argparse.ArgumentError(None, "--make-* takes one TARGET and nothing else")
        target = paths[0]
        try:
            for word in make:
                classic.mount("none", target, "", int(parse(word).propagation))
        except OSError as e:
            raise _fail(f"mount {target}", e) from None
        return
    if len(paths) != 2:
        raise argparse.ArgumentError(None, "mount needs SOURCE and TARGET")
    source, target = paths
    try:
        options = parse(args.options or "")
    except ValueError as e:
        raise Failure(f"mount {target}: {e}") from None
    flags = int(options.flags)
    if args.bind or args.rbind:
        flags |= int(MS.BIND) | (int(MS.REC) if args.rbind else 0)
    if args.move:
        flags |= int(MS.MOVE)
    fstype = args.type if args.type is not None else ("" if flags & (MS.BIND | MS.MOVE | MS.REMOUNT) else "btrfs")
    try:
        if flags & (MS.MOVE | MS.REMOUNT):
            # Nothing new to undo: one call, as mount(8) makes it.
            classic.mount(source, target, fstype, flags, options.data)
            if options.propagation:
                classic.mount("none", target, "", int(options.propagation))
            return
        block = mounted(source, target, fstype, flags, options=args.options or "")
        block.__enter__()  # an interrupt while it mounts leaves nothing mounted; then it stays
    except (OSError, ValueError) as e:
        raise (_fail(f"mount {target}", e) if isinstance(e, OSError) else Failure(f"mount {target}: {e}")) from None


def cmd_umount(args: argparse.Namespace) -> None:
    import velkora.mount as classic

    flags = classic.MNT_DETACH if args.lazy else 0
    try:
        if args.recursive and not args.lazy:  # a lazy unmount takes the tree along by itself
            from velkora.mountinfo import mounts_below

            targets = [m.mount_point for m in mounts_below(args.target) if m.mount_point is not None]
            for target in targets or [args.target]:
                classic.umount(target, flags)
        else:
            classic.umount(args.target, flags)
    except OSError as e:
        raise _fail(f"umount {args.target}", e) from None


# ---------------------------------------------------------------------------
# velkora loop


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
            print(f"velkora: {failure}", file=sys.stderr)
        raise Failure(str(failures[-1]))


LOOP_COLUMNS = ("NAME", "BACK-FILE", "OFFSET", "SIZELIMIT", "RO", "AUTOCLEAR", "PARTSCAN", "DIO", "LOG-SEC")


def cmd_loop_list(args: argparse.Namespace) -> None:
    from velkora import loop

    found = loop.devices()
    values = [(d.path, d.backing_file, d.offset, d.size_limit, d.read_only, d.autoclear, d.partscan, d.direct_io,
               d.block_size) for d in found]  # fmt: skip
    if args.json:
        keys = [column.lower() for column in LOOP_COLUMNS]
        print(json.dumps({"loopdevices": [dict(zip(keys, row)) for row in values]}, indent=2))
        return
    rows = [LOOP_COLUMNS] + [
        tuple(str(int(v)) if isinstance(v, bool) else _shown(v) if isinstance(v, str) else str(v) for v in row)
        for row in values
    ]
    widths = [max(len(row[i]) for row in rows) for i in range(len(LOOP_COLUMNS))]
    for row in rows:
        print(" ".join(cell.ljust(width) for cell, width in zip(row, widths)).rstrip())


# ---------------------------------------------------------------------------
# velkora watch


def cmd_watch(args: argparse.Namespace) -> None:
    from velkora.mountinfo import watch

    try:
        changes = watch(args.via)
    except OSError as e:
        raise _fail("watch", e) from None
    with changes:
        for event in changes:
            m = event.mount
            if args.json:
                line = json.dumps({"action": event.kind, "target": m.mount_point, "source": _source(m),
                                   "fstype": m.fs_type, "options": _options(m)})  # fmt: skip
            else:
                line = " ".join([event.kind, _shown(m.mount_point), _shown(_source(m)), _shown(m.fs_type)])
            print(line, flush=True)


# ---------------------------------------------------------------------------
# The parser


def _size(text: str) -> int:
    """A byte count: an integer, in any base Python reads (0x...)."""
    try:
        value = int(text, 0)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number of bytes: {text!r}") from None
    return value


def _pid(text: str) -> int:
    if not text.isdigit() or int(text) <= 0:
        raise argparse.ArgumentTypeError(f"not a process id: {text!r}")
    return int(text)


def _command(
    commands: argparse._SubParsersAction,  # type: ignore[type-arg]
    name: str,
    run: Callable[[argparse.Namespace], None],
    summary: str,
    example: str,
) -> argparse.ArgumentParser:
    parser: argparse.ArgumentParser = commands.add_parser(
        name, help=summary, description=summary, epilog=f"example:\n  {example}",
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )  # fmt: skip
    parser.set_defaults(run=run)
    return parser


def parser() -> argparse.ArgumentParser:
    from velkora import __version__

    top = argparse.ArgumentParser(
        prog="velkora",
        description="Linux mounts: the mount table, mounting, loop devices and the table's changes.",
        epilog="example:\n  velkora list /srv",
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    top.add_argument("--version", action="version", version=f"velkora {__version__}")
    commands = top.add_subparsers(dest="command", metavar="COMMAND")
    commands.required = True

    p = _command(commands, "list", cmd_list, "the mount table as a tree, as findmnt draws it",
                 "velkora list /srv --json")  # fmt: skip
    p.add_argument("path", nargs="?", metavar="PATH", help="only the mount that holds PATH and the mounts under PATH")
    p.add_argument("--json", action="store_true", help="findmnt -J's shape")
    p.add_argument("--pid", type=_pid, help="the mount namespace of process PID")
    p.add_argument("--via", choices=("statmount", "mountinfo"), help="read through this route")

    p = _command(commands, "mount", cmd_mount, "mount a filesystem, mount(8)'s way",
                 "velkora mount -o subvol=home,noatime disk.img /srv/home")  # fmt: skip
    p.add_argument("-t", "--types", dest="type", metavar="TYPE", help="the filesystem type (default: btrfs)")
    p.add_argument("-o", "--options", metavar="OPTIONS", help="mount options as fstab writes them")
    p.add_argument("--bind", action="store_true", help="bind SOURCE on TARGET")
    p.add_argument("--rbind", action="store_true", help="bind SOURCE and every mount below it on TARGET")
    p.add_argument("--move", action="store_true", help="move the mount at SOURCE to TARGET")
    for word in PROPAGATION:
        p.add_argument(f"--make-{word}", action="store_true", help=f"make TARGET {word}")
    p.add_argument("paths", nargs="+", metavar="SOURCE TARGET", help="what to mount where (TARGET alone for --make-*)")

    p = _command(commands, "umount", cmd_umount, "unmount a filesystem", "velkora umount -R /srv/pool")
    p.add_argument("-l", "--lazy", action="store_true", help="detach now, clean up once no longer busy")
    p.add_argument("-R", "--recursive", action="store_true", help="the whole tree below TARGET, children first")
    p.add_argument("target", metavar="TARGET")

    p = _command(commands, "loop", lambda args: None, "loop devices: attach, detach, list",
                 "velkora loop attach -r disk.img")  # fmt: skip
    loops = p.add_subparsers(dest="loop_command", metavar="COMMAND")
    loops.required = True
    a = _command(loops, "attach", cmd_loop_attach, "attach FILE to a free loop device and print its name",
                 "velkora loop attach --offset 1048576 -P disk.img")  # fmt: skip
    a.add_argument("-r", "--read-only", action="store_true", help="a read-only device")
    a.add_argument("-o", "--offset", type=_size, default=0, help="start N bytes into the file")
    a.add_argument("--sizelimit", type=_size, default=0, help="at most N bytes of the file")
    a.add_argument("-P", "--partscan", action="store_true", help="have the kernel scan for partitions")
    a.add_argument("--direct-io", action="store_true", help="bypass the page cache of the file")
    a.add_argument("-b", "--sector-size", type=_size, default=0, help="the logical block size, in bytes")
    a.add_argument("file", metavar="FILE")
    d = _command(loops, "detach", cmd_loop_detach, "detach loop devices", "velkora loop detach /dev/loop3")
    d.add_argument("devices", nargs="+", metavar="DEVICE")
    lst = _command(loops, "list", cmd_loop_list, "the attached loop devices", "velkora loop list --json")
    lst.add_argument("--json", action="store_true", help="losetup -J's shape")

    p = _command(commands, "watch", cmd_watch, "print each mount attached, detached or moved, until Ctrl-C",
                 "velkora watch --json | jq .target")  # fmt: skip
    p.add_argument("--json", action="store_true", help="one JSON object a line")
    p.add_argument("--via", choices=("fanotify", "mountinfo"), help="watch through this route")
    return top


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command; returns the exit status."""
    try:
        top = parser()
        args = top.parse_args(argv)
        try:
            args.run(args)
        except argparse.ArgumentError as e:
            top.error(str(e))
        sys.stdout.flush()
    except Failure as e:
        print(f"velkora: {e}", file=sys.stderr)
        return FAILED
    except KeyboardInterrupt:
        return INTERRUPTED
    except BrokenPipeError:
        # The reader went away (| head): say nothing more, as a filter does.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return FAILED
    return 0

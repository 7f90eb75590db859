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
import errno
import os
import sys

from velkora.mountinfo import Mount, _within

TYPE_CHECKING = False
if TYPE_CHECKING:  # the command starts without typing's import
    from typing import Callable, Iterator, List, Sequence, Tuple

    # A mount and the mounts below it.
    Node = Tuple[Mount, List["Node"]]

# Exit statuses.
FAILED, USAGE, INTERRUPTED = 1, 2, 130


class Failure(Exception):
    """An operation that failed: its one line for stderr."""


def _fail(what: str, e: OSError) -> Failure:
    reason = e.strerror or str(e)
    if e.errno in (errno.EPERM, errno.EACCES) and os.geteuid() != 0:
        reason += f" (velkora {what.split()[0]} needs root)"
    return Failure(f"{what}: {reason}")


def _json(value: object) -> str:
    import json

    return json.dumps(value, indent=2)


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
    """findmnt's tree lines where the locale's codeset is UTF-8 and the
    output's encoding has them, else ASCII (as findmnt, also where Python's
    UTF-8 mode makes the output UTF-8 under LC_ALL=C)."""
    fancy, plain = ("├─", "└─", "│ ", "  "), ("|-", "`-", "| ", "  ")
    try:
        from locale import CODESET, nl_langinfo

        if nl_langinfo(CODESET).replace("-", "").upper() != "UTF8":
            return plain
        "".join(fancy).encode(sys.stdout.encoding or "ascii")
    except (UnicodeEncodeError, LookupError, ImportError):
        return plain
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
        print(_json({"filesystems": _json_tree(forest)}))
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


def _usage(message: str) -> argparse.ArgumentError:
    """A usage error: main prints it under the subcommand's own usage."""
    return argparse.ArgumentError(None, message)


def _is_mount_point(path: str) -> bool:
    from velkora.mountinfo import mount_at

    try:
        return mount_at(path).mount_point == os.path.realpath(path)
    except OSError:
        return False


def _mount_failed(target: str, e: OSError) -> Failure:
    """What a refused mount or remount says: the path that failed (the
    missing source, or the target), and "not mounted" for a target that is
    no mount point where one is needed."""
    if e.errno == errno.EINVAL and e.strerror == os.strerror(errno.EINVAL) and not _is_mount_point(target):
        e = OSError(e.errno, "not mounted", target)
    return _fail(f"mount {e.filename or target}", e)


def cmd_mount(args: argparse.Namespace) -> None:
    import velkora.mount as classic
    from velkora.flags import MS
    from velkora.options import parse

    make = [word for word in PROPAGATION if getattr(args, "make_" + word)]
    paths = [path for path in (args.source, args.target) if path is not None]
    try:
        options = parse(args.options or "")
    except ValueError as e:
        raise Failure(f"mount {paths[-1]}: {e}") from None
    bind = args.bind or args.rbind or bool(options.flags & MS.BIND)
    if make:
        if len(paths) != 1 or bind or args.move or args.options:
            raise _usage("--make-* takes one TARGET and nothing else")
        target = paths[0]
        try:
            for word in make:
                classic.mount("none", target, "", int(parse(word).propagation))
        except OSError as e:
            raise _mount_failed(target, e) from None
        return
    if args.move and bind:
        raise _usage("--move and a bind (--bind, --rbind, -o bind) exclude each other")
    if options.flags & MS.REMOUNT:
        # mount(8)'s remount: TARGET alone (a SOURCE before it is ignored).
        if args.move:
            raise _usage("-o remount takes TARGET, and no --move")
        from velkora._vfs import remount

        target = paths[-1]
        words = args.options + (",bind" if args.bind or args.rbind else "")
        try:
            remount(target, words)
        except OSError as e:
            raise _mount_failed(target, e) from None
        except ValueError as e:
            raise Failure(f"mount {target}: {e}") from None
        return
    if len(paths) != 2:
        raise _usage("mount needs SOURCE and TARGET")
    source, target = paths
    flags = int(options.flags)
    if args.bind or args.rbind:
        flags |= int(MS.BIND) | (int(MS.REC) if args.rbind else 0)
    if args.move:
        flags |= int(MS.MOVE)
    fstype = args.type if args.type is not None else ("" if flags & (MS.BIND | MS.MOVE) else "btrfs")
    try:
        if flags & MS.MOVE:
            # Nothing new to undo: one call, as mount(8) makes it.
            classic.mount(source, target, fstype, flags, options.data)
            if options.propagation:
                classic.mount("none", target, "", int(options.propagation))
            return
        from velkora.contexts import mounted

        block = mounted(source, target, fstype, flags, options=args.options or "")
        block.__enter__()  # an interrupt while it mounts leaves nothing mounted; then it stays
    except OSError as e:
        raise _mount_failed(target, e) from None
    except ValueError as e:
        raise Failure(f"mount {target}: {e}") from None


def _umount_failed(target: str, e: OSError) -> Failure:
    """umount(8)'s words: "not mounted" for a path that is no mount point,
    "target is busy" for a mount in use."""
    if e.errno == errno.EINVAL and not _is_mount_point(target):
        e = OSError(e.errno, "not mounted")
    elif e.errno == errno.EBUSY:
        e = OSError(e.errno, "target is busy")
    return _fail(f"umount {target}", e)


def cmd_umount(args: argparse.Namespace) -> None:
    import velkora.mount as classic

    flags = classic.MNT_DETACH if args.lazy else 0
    target = args.target
    try:
        if args.recursive and not args.lazy:  # a lazy unmount takes the tree along by itself
            from velkora.mountinfo import mounts_below

            if not _is_mount_point(target):
                os.stat(target)  # a missing path says so; else it is a directory with nothing mounted on it
                raise OSError(errno.EINVAL, "not mounted")
            for m in mounts_below(target):
                if m.mount_point is not None:
                    target = m.mount_point
                    classic.umount(target, flags)
        else:
            classic.umount(target, flags)
    except OSError as e:
        raise _umount_failed(target, e) from None


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
        print(_json({"loopdevices": [dict(zip(keys, row)) for row in values]}))
        return
    rows = [LOOP_COLUMNS] + [
        tuple(str(int(v)) if isinstance(v, bool) else _shown(v) if isinstance(v, str) else str(v) for v in row)
        for row in values
    ]
    widths = [max(len(row[i]) for row in rows) for i in range(len(LOOP_COLUMNS))]
    # Numbers to the right, as losetup aligns them; the names to the left.
    right = [not isinstance(v, str) for v in values[0]] if values else [False] * len(LOOP_COLUMNS)
    for row in rows:
        cells = [cell.rjust(width) if r else cell.ljust(width) for cell, width, r in zip(row, widths, right)]
        print(" ".join(cells).rstrip())


# ---------------------------------------------------------------------------
# velkora watch


def cmd_watch(args: argparse.Namespace) -> None:
    from velkora.mountinfo import watch

    try:
        changes = watch(args.via)
    except OSError as e:
        raise _fail("watch", e) from None
    import json

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


# losetup's size suffixes: K and KiB are 1024, KB 1000, and so on to E.
_SUFFIXES = "KMGTPE"


def _size(text: str) -> int:
    """A byte count, as losetup reads one: an integer (in any base Python
    reads: 0x...) with an optional suffix (512K, 1MiB, 4MB), 0 to 2**64-1."""
    import re

    found = re.fullmatch(r"(.*?[0-9a-fA-F])([KMGTPE])(iB|B)?", text, re.IGNORECASE)
    number, unit, kind = found.groups() if found and not re.fullmatch(r"0[xX][0-9a-fA-F]+", text) else (text, "", "")
    try:
        value = int(number, 0)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number of bytes: {text!r}") from None
    if unit:
        value *= (1000 if kind and kind.upper() == "B" else 1024) ** (_SUFFIXES.index(unit.upper()) + 1)
    if not 0 <= value < 1 << 64:
        raise argparse.ArgumentTypeError(f"not a number of bytes from 0 to 2**64-1: {text!r}")
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
    parser.set_defaults(run=run, parser=parser)
    return parser


class _Version(argparse.Action):
    """--version: the package's version, looked up only when asked for."""

    def __call__(self, parser: argparse.ArgumentParser, *args: object) -> None:
        from velkora import __version__

        print(f"velkora {__version__}")
        parser.exit()


def parser() -> argparse.ArgumentParser:
    top = argparse.ArgumentParser(
        prog="velkora",
        description="Linux mounts: the mount table, mounting, loop devices and the table's changes.",
        epilog="example:\n  velkora list /srv",
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    top.add_argument("--version", action=_Version, nargs=0, help="show the version and exit")
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
    p.add_argument("source", nargs="?", metavar="SOURCE", help="what to mount (left out for --make-* and -o remount)")
    p.add_argument("target", metavar="TARGET", help="where to mount it")

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
            args.parser.error(str(e))
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

"""The ``velkora`` command: the mount table, mounting and unmounting, loop
devices, the table's changes, commands inside a root, what block devices
hold, fstab files, Btrfs subvolumes and disk images, from the shell.

    velkora list [PATH] [--json] [--pid PID] [--via ROUTE]
    velkora mount [-t TYPE] [-o OPTIONS] [--bind|--rbind|--move] SOURCE TARGET
    velkora mount [-o OPTIONS] SOURCE|TARGET
    velkora mount --make-shared|--make-slave|--make-private|--make-unbindable TARGET
    velkora mount --make-rshared|--make-rslave|--make-rprivate|--make-runbindable TARGET
    velkora mount -a [--fstab FILE] [--root DIR|--target-prefix DIR] [-t TYPES] [-O OPTIONS]
    velkora umount [-l] [-R] TARGET
    velkora umount -a [-l] [--fstab FILE]
    velkora loop attach [-r] [-o OFFSET] [--sizelimit SIZE] [-P] [--direct-io] [-b SIZE] FILE
    velkora loop detach DEVICE...
    velkora loop list [--json]
    velkora watch [--json] [--via ROUTE]
    velkora chroot [--bind SRC:DST]... [--ro-bind SRC:DST]... [--dev host|minimal] [--no-resolv-conf]
                   ROOT [COMMAND...]
    velkora holders PATH [--json]
    velkora blkid [-o full|export] [--json] [DEVICE...]
    velkora fstab verify [--root ROOT] [FILE]
    velkora fstab generate [-t TAG] ROOT
    velkora subvolume list [-a] [-p] [-c] [-g] [-u] [-q] [-R] [-o] [--json] PATH
    velkora subvolume show PATH
    velkora subvolume create PATH...
    velkora subvolume snapshot [-r] [--recursive] SOURCE DEST
    velkora subvolume delete [-R|--recursive] PATH...
    velkora subvolume get-default PATH
    velkora subvolume set-default [ID] PATH
    velkora subvolume ro [-f|--force] PATH [true|false]
    velkora image list [--json] IMAGE
    velkora image mount [-r] [--no-fstab] [--mkdir] IMAGE DIR
    velkora image umount DIR
    velkora image run [-r] IMAGE [COMMAND...]

Exit status: 0 on success, 1 when an operation fails (one line on stderr,
``velkora: mount /srv/pool: Permission denied``), 2 for a usage error, 130
after Ctrl-C, which leaves nothing mounted or attached by the command;
``chroot`` exits with its command's status, ``blkid`` 2 where nothing was
found, ``fstab verify`` 1 where the file has an error.

The parser and every command's arguments are here; each command family
runs in a module of its own (cli._mount: mount and umount; cli._show: list
and watch; cli._loop; cli._root: chroot and holders; cli._blkid;
cli._fstab: fstab, mount -a, umount -a; cli._subvolume; cli._image: image list;
cli._image_mount: image mount, umount and run), imported only when that command
runs, so that a run imports what its command needs and nothing more.
"""

from __future__ import annotations

import os
import sys

from velkora.cli._common import FAILED, INTERRUPTED, PROPAGATION, Failure, UsageError, shown

TYPE_CHECKING = False
if TYPE_CHECKING:  # the command starts without typing's import
    import argparse
    from typing import NoReturn, Sequence


# losetup's size suffixes: K and KiB are 1024, KB 1000, and so on to E.
_SUFFIXES = "KMGTPE"


def _size(text: str) -> int:
    """A byte count, as losetup reads one: an integer (in any base Python
    reads: 0x...) with an optional suffix (512K, 1MiB, 4MB), 0 to 2**64-1."""
    import argparse
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


def _is_pid(text: str) -> bool:
    return text.isdigit() and int(text) > 0


def _pid(text: str) -> int:
    if not _is_pid(text):
        import argparse

        raise argparse.ArgumentTypeError(f"not a process id: {text!r}")
    return int(text)


def _subvolume_id(text: str) -> int:
    if not text.isdigit() or not 0 < int(text) < 1 << 64:
        import argparse

        raise argparse.ArgumentTypeError(f"not a subvolume id: {text!r}")
    return int(text)


def _formatter(prog: str) -> argparse.HelpFormatter:
    """argparse's help layout, as wide as the terminal (COLUMNS, else the
    output's size, else 80) as argparse finds it, without importing shutil."""
    import argparse

    try:
        columns = int(os.environ["COLUMNS"])
    except (KeyError, ValueError):
        try:
            columns = os.get_terminal_size(sys.__stdout__.fileno() if sys.__stdout__ else 1).columns
        except (ValueError, OSError):
            columns = 80
    return argparse.RawDescriptionHelpFormatter(prog, width=max(columns - 2, 11))


def _command(
    commands: argparse._SubParsersAction,  # type: ignore[type-arg]
    name: str,
    run: str,
    summary: str,
    example: str,
) -> argparse.ArgumentParser:
    """A subcommand's parser; run names the function that runs it, in the
    module of the command's package that has it ("_mount.cmd_mount")."""
    parser: argparse.ArgumentParser = commands.add_parser(
        name, help=summary, description=summary, epilog=f"example:\n  {example}", formatter_class=_formatter,
    )  # fmt: skip
    parser.set_defaults(run=run, parser=parser)
    return parser


# Each command's arguments are here, not in its part's module: --help (the
# whole parser) would otherwise import every part, and with each part the
# library modules it imports.


def _list_arguments(p: argparse.ArgumentParser) -> None:
    p.add_argument("path", nargs="?", metavar="PATH", help="only the mount that holds PATH and the mounts under PATH")
    p.add_argument("--json", action="store_true", help="findmnt -J's shape")
    p.add_argument("--pid", type=_pid, help="the mount namespace of process PID")
    p.add_argument("--via", choices=("statmount", "mountinfo"), help="read through this route")


def _mount_arguments(p: argparse.ArgumentParser) -> None:
    p.add_argument("-t", "--types", dest="type", metavar="TYPE", help="the filesystem type (default: auto, probed)")
    p.add_argument("-o", "--options", metavar="OPTIONS", help="mount options as fstab writes them")
    p.add_argument("--bind", action="store_true", help="bind SOURCE on TARGET")
    p.add_argument("--rbind", action="store_true", help="bind SOURCE and every mount below it on TARGET")
    p.add_argument("--move", action="store_true", help="move the mount at SOURCE to TARGET")
    for word in PROPAGATION:
        p.add_argument(f"--make-{word}", action="store_true", help=f"make TARGET {word}")
    p.add_argument("source", nargs="?", metavar="SOURCE",
                   help="what to mount: a device, an image, UUID=, LABEL=, PARTUUID=, PARTLABEL= "
                        "(left out for --make-* and -o remount)")  # fmt: skip
    p.add_argument("target", nargs="?", metavar="TARGET",
                   help="where to mount it; alone, SOURCE or TARGET looked up in fstab")  # fmt: skip
    p.add_argument("-a", "--all", action="store_true", help="mount every entry of fstab, as mount -a")
    p.add_argument("--fstab", metavar="FILE", help="the fstab to read (default: /etc/fstab, with --root ROOT's)")
    p.add_argument("--target-prefix", metavar="DIR", help="with -a: every target under DIR")
    p.add_argument("--root", metavar="DIR",
                   help="with -a: mount the fstab of the system installed at DIR, every path inside it")  # fmt: skip
    p.add_argument("-O", "--test-opts", metavar="OPTIONS", help="with -a: only entries with these option words")


def _umount_arguments(p: argparse.ArgumentParser) -> None:
    p.add_argument("-l", "--lazy", action="store_true", help="detach now, clean up once no longer busy")
    p.add_argument("-R", "--recursive", action="store_true", help="the whole tree below TARGET, children first")
    p.add_argument("-a", "--all", action="store_true", help="unmount what fstab lists, children first")
    p.add_argument("--fstab", metavar="FILE", default="/etc/fstab", help="the fstab to read (default: /etc/fstab)")
    p.add_argument("target", nargs="?", metavar="TARGET")


def _fstab_arguments(p: argparse.ArgumentParser) -> None:
    actions = p.add_subparsers(dest="fstab_command", metavar="COMMAND")
    actions.required = True
    v = _command(actions, "verify", "_fstab.cmd_verify", "check an fstab as findmnt --verify does",
                 "velkora fstab verify /mnt/etc/fstab")  # fmt: skip
    v.add_argument("--root", default="/", help="where the fstab's paths are (a root being built)")
    v.add_argument("file", nargs="?", metavar="FILE", help="the fstab (default: /etc/fstab, ROOT's with --root)")
    g = _command(actions, "generate", "_fstab.cmd_generate", "an fstab for the mounts below ROOT, as genfstab",
                 "velkora fstab generate /mnt >> /mnt/etc/fstab")  # fmt: skip
    g.add_argument("-t", "--tag", default="UUID", choices=("UUID", "LABEL", "PARTUUID", "PARTLABEL", "none"),
                   help="what names each source (default: UUID; none: the device)")  # fmt: skip
    g.add_argument("root", metavar="ROOT")


def _loop_arguments(p: argparse.ArgumentParser) -> None:
    loops = p.add_subparsers(dest="loop_command", metavar="COMMAND")
    loops.required = True
    a = _command(loops, "attach", "_loop.cmd_loop_attach", "attach FILE to a free loop device and print its name",
                 "velkora loop attach --offset 1MiB -P disk.img")  # fmt: skip
    a.add_argument("-r", "--read-only", action="store_true", help="a read-only device")
    a.add_argument("-o", "--offset", type=_size, default=0, help="start N bytes into the file (512K, 1MiB ...)")
    a.add_argument("--sizelimit", type=_size, default=0, help="at most N bytes of the file")
    a.add_argument("-P", "--partscan", action="store_true", help="partition devices from the table")
    a.add_argument("--direct-io", action="store_true", help="bypass the page cache of the file")
    a.add_argument("-b", "--sector-size", type=_size, default=0, help="the logical block size, in bytes")
    a.add_argument("file", metavar="FILE")
    d = _command(loops, "detach", "_loop.cmd_loop_detach", "detach loop devices", "velkora loop detach /dev/loop3")
    d.add_argument("devices", nargs="+", metavar="DEVICE")
    lst = _command(loops, "list", "_loop.cmd_loop_list", "the attached loop devices", "velkora loop list --json")
    lst.add_argument("--json", action="store_true", help="losetup -J's shape")


def _watch_arguments(p: argparse.ArgumentParser) -> None:
    p.add_argument("--json", action="store_true", help="one JSON object a line")
    p.add_argument("--via", choices=("fanotify", "mountinfo"), help="watch through this route")


def _chroot_arguments(p: argparse.ArgumentParser) -> None:
    p.add_argument("--bind", action="append", default=[], metavar="SRC:DST", help="bind the host's SRC at DST")
    p.add_argument("--ro-bind", action="append", default=[], metavar="SRC:DST", help="the same, read-only")
    p.add_argument("--dev", choices=("host", "minimal"), default="host",
                   help="/dev: the host's devtmpfs, or a tmpfs with a few devices (default: host)")  # fmt: skip
    p.add_argument("--no-resolv-conf", dest="resolv_conf", action="store_false",
                   help="leave the root's /etc/resolv.conf as it is")  # fmt: skip
    p.add_argument("root", metavar="ROOT")
    p.add_argument("command", nargs="...", metavar="COMMAND", help="what to run (default: $SHELL, else /bin/sh)")


def _holders_arguments(p: argparse.ArgumentParser) -> None:
    p.add_argument("path", metavar="PATH")
    p.add_argument("--json", action="store_true", help="a JSON list of objects")


def _blkid_arguments(p: argparse.ArgumentParser) -> None:
    p.add_argument("-o", "--output", choices=("full", "export"), default="full",
                   help="full: one line a device; export: KEY=value lines (default: full)")  # fmt: skip
    p.add_argument("--json", action="store_true", help="a JSON list of objects, partitions included")
    p.add_argument("devices", nargs="*", metavar="DEVICE", help="devices or image files (default: every block device)")


def _subvolume_arguments(p: argparse.ArgumentParser) -> None:
    subs = p.add_subparsers(dest="subvolume_command", metavar="COMMAND")
    subs.required = True
    lst = _command(subs, "list", "_subvolume.cmd_list", "the subvolumes, as btrfs subvolume list prints them",
                   "velkora subvolume list -p -u /srv/pool")  # fmt: skip
    for flag, what in (("-a", "every path from the top level, <FS_TREE>/ before those not below PATH's subvolume"),
                       ("-p", "the parent's id"), ("-c", "the generation it was made in"),
                       ("-g", "the generation (always printed)"), ("-u", "the UUID"),
                       ("-q", "the UUID of the subvolume it is a snapshot of"),
                       ("-R", "the UUID it was received from"),
                       ("-o", "only the subvolumes right below PATH's subvolume")):  # fmt: skip
        lst.add_argument(flag, action="store_true", dest=flag[1] if flag != "-R" else "received", help=what)
    lst.add_argument("--json", action="store_true", help='{"subvolumes": [...]}, each with the record\'s fields')
    lst.add_argument("path", metavar="PATH", help="a path on the filesystem")
    show = _command(subs, "show", "_subvolume.cmd_show", "a subvolume's fields, as btrfs subvolume show prints them",
                    "velkora subvolume show /srv/pool/@home")  # fmt: skip
    show.add_argument("path", metavar="PATH")
    c = _command(subs, "create", "_subvolume.cmd_create", "make empty subvolumes",
                 "velkora subvolume create /srv/pool/@ /srv/pool/@home")  # fmt: skip
    c.add_argument("paths", nargs="+", metavar="PATH")
    s = _command(subs, "snapshot", "_subvolume.cmd_snapshot", "snapshot the subvolume SOURCE at DEST",
                 "velkora subvolume snapshot -r /srv/pool/@ /srv/pool/@snapshots/1")  # fmt: skip
    s.add_argument("-r", dest="read_only", action="store_true", help="a read-only snapshot")
    s.add_argument("--recursive", action="store_true", help="the subvolumes nested in SOURCE too")
    s.add_argument("source", metavar="SOURCE")
    s.add_argument("dest", metavar="DEST")
    d = _command(subs, "delete", "_subvolume.cmd_delete", "delete subvolumes (none mounted, none with a mount inside)",
                 "velkora subvolume delete -R /srv/pool/@snapshots/1")  # fmt: skip
    d.add_argument("-R", "--recursive", action="store_true", help="the subvolumes nested in each too, deepest first")
    d.add_argument("paths", nargs="+", metavar="PATH")
    g = _command(subs, "get-default", "_subvolume.cmd_get_default", "the default subvolume",
                 "velkora subvolume get-default /srv/pool")  # fmt: skip
    g.add_argument("path", metavar="PATH")
    sd = _command(subs, "set-default", "_subvolume.cmd_set_default",
                  "make the subvolume at PATH, or the subvolume ID of PATH's filesystem, the default",
                  "velkora subvolume set-default 256 /srv/pool")  # fmt: skip
    sd.add_argument("id", nargs="?", type=_subvolume_id, metavar="ID", help="a subvolume's id (5: the top level)")
    sd.add_argument("path", metavar="PATH")
    ro = _command(subs, "ro", "_subvolume.cmd_ro", "print or set a subvolume's read-only flag",
                  "velkora subvolume ro /srv/pool/@snapshots/1 true")  # fmt: skip
    ro.add_argument("-f", "--force", action="store_true",
                    help="make a received subvolume writable, clearing its received UUID")  # fmt: skip
    ro.add_argument("path", metavar="PATH")
    ro.add_argument("value", nargs="?", choices=("true", "false"), metavar="true|false")


def _image_arguments(p: argparse.ArgumentParser) -> None:
    images = p.add_subparsers(dest="image_command", metavar="COMMAND")
    images.required = True
    lst = _command(images, "list", "_image.cmd_list", "what each partition of IMAGE is for, as systemd-dissect says",
                   "velkora image list --json disk.img")  # fmt: skip
    lst.add_argument("--json", action="store_true", help="an object with the image's name, size and partitions")
    lst.add_argument("image", metavar="IMAGE", help="a disk image or block device")
    m = _command(images, "mount", "_image_mount.mount",
                 "mount IMAGE at DIR: its root, its partitions by type, its fstab (left mounted)",
                 "velkora image mount -r disk.img /mnt")  # fmt: skip
    m.add_argument("-r", "--read-only", action="store_true", help="every mount and the loop device read-only")
    m.add_argument("--no-fstab", dest="fstab", action="store_false", help="leave the image's /etc/fstab unmounted")
    m.add_argument("--mkdir", action="store_true", help="make DIR if it is missing")
    m.add_argument("image", metavar="IMAGE")
    m.add_argument("dir", metavar="DIR")
    u = _command(images, "umount", "_image_mount.umount", "unmount all under DIR, detach the image's loop device",
                 "velkora image umount /mnt")  # fmt: skip
    u.add_argument("dir", metavar="DIR")
    r = _command(images, "run", "_image_mount.run", "run a command inside IMAGE, mounted in a namespace of its own",
                 "velkora image run -r disk.img cat /etc/os-release")  # fmt: skip
    r.add_argument("-r", "--read-only", action="store_true", help="every mount and the loop device read-only")
    r.add_argument("image", metavar="IMAGE")
    r.add_argument("command", nargs="...", metavar="COMMAND", help="what to run (default: $SHELL, else /bin/sh)")


# Each command: what runs it, its summary, an example, and its arguments.
COMMANDS = {
    "list": ("_show.cmd_list", "the mount table as a tree, as findmnt draws it", "velkora list /srv --json",
             _list_arguments),
    "mount": ("_mount.cmd_mount", "mount a filesystem, mount(8)'s way",
              "velkora mount -o subvol=home,noatime disk.img /srv/home", _mount_arguments),
    "umount": ("_mount.cmd_umount", "unmount a filesystem", "velkora umount -R /srv/pool", _umount_arguments),
    "loop": ("", "loop devices: attach, detach, list", "velkora loop attach -r disk.img", _loop_arguments),
    "watch": ("_show.cmd_watch", "print each mount attached, detached or moved, until Ctrl-C",
              "velkora watch --json | jq .target", _watch_arguments),
    "chroot": ("_root.cmd_chroot", "run a command inside ROOT, in a mount namespace of its own",
               "velkora chroot --bind /var/cache/apt:/var/cache/apt ./root apt-get update", _chroot_arguments),
    "holders": ("_root.cmd_holders", "the processes using the mount that holds PATH",
                "velkora holders /mnt/img", _holders_arguments),
    "fstab": ("", "fstab files: verify, generate", "velkora fstab verify /etc/fstab", _fstab_arguments),
    "blkid": ("_blkid.cmd_blkid", "what block devices and images hold, as blkid -p prints it",
              "velkora blkid -o export /dev/loop0", _blkid_arguments),
    "subvolume": ("", "Btrfs subvolumes: list, show, create, snapshot, delete, the default, read-only",
                  "velkora subvolume list -a /srv/pool", _subvolume_arguments),
    "image": ("", "disk images: list their partitions, mount them, run commands inside",
              "velkora image list disk.img", _image_arguments),
}  # fmt: skip


def parser(only: str | None = None) -> argparse.ArgumentParser:
    """The command's parser; with only, that command's alone (what a run
    needs: the others cost start-up time)."""
    import argparse

    class Version(argparse.Action):
        """--version: the package's version, looked up only when asked for."""

        def __call__(self, parser: argparse.ArgumentParser, *args: object) -> None:
            from velkora import __version__

            print(f"velkora {__version__}")
            parser.exit()

    class Parser(argparse.ArgumentParser):
        """A parser whose errors reach the terminal escaped: argparse quotes
        some words as given ("ambiguous option: --make-r=WORD"), control
        characters and all."""

        def error(self, message: str) -> NoReturn:
            super().error(shown(message))

    top = Parser(
        prog="velkora",
        description="Linux mounts: the mount table, mounting, loop devices and the table's changes.",
        epilog="example:\n  velkora list /srv",
        formatter_class=_formatter,
    )
    top.add_argument("--version", action=Version, nargs=0, help="show the version and exit")
    commands = top.add_subparsers(dest="command", metavar="COMMAND")
    commands.required = True
    for name, (run, summary, example, arguments) in COMMANDS.items():
        if only is None or only == name:
            arguments(_command(commands, name, run, summary, example))
    return top


def _quick_list(given: list[str]) -> dict[str, object] | None:
    """The arguments of ``velkora list ...`` read without argparse (whose
    import is most of the command's start-up) where they are plain: the
    options of _list_arguments written out whole, each at most once. Else
    (--help, a bad value, anything else) None, for argparse to read."""
    if given[:1] != ["list"]:
        return None
    found: dict[str, object] = {"run": "_show.cmd_list", "path": None, "json": False, "pid": None, "via": None}
    words = iter(given[1:])
    for word in words:
        name, has_value, value = word.partition("=")
        if word == "--json":
            found["json"] = True
            continue
        if name in ("--pid", "--via"):
            value = value if has_value else next(words, "")
            if name == "--pid" and _is_pid(value):
                found["pid"] = int(value)
            elif name == "--via" and value in ("statmount", "mountinfo"):
                found["via"] = value
            else:
                return None
        elif word.startswith("-") or found["path"] is not None:
            return None
        else:
            found["path"] = word
    return found


# velkora subvolume list's flags: each the argument it sets.
_LIST_FLAGS = {"a": "a", "p": "p", "c": "c", "g": "g", "u": "u", "q": "q", "R": "received", "o": "o"}


def _quick_subvolume_list(given: list[str]) -> dict[str, object] | None:
    """The same for ``velkora subvolume list``: its flags, alone or run
    together (-apu), --json and one PATH; else None."""
    if given[:2] != ["subvolume", "list"]:
        return None
    found: dict[str, object] = {"run": "_subvolume.cmd_list", "path": None, "json": False}
    found.update(dict.fromkeys(_LIST_FLAGS.values(), False))
    for word in given[2:]:
        if word == "--json":
            found["json"] = True
        elif word[:1] == "-" and word[1:2] != "-" and len(word) > 1 and all(c in _LIST_FLAGS for c in word[1:]):
            found.update(dict.fromkeys((_LIST_FLAGS[c] for c in word[1:]), True))
        elif word[:1] == "-" or found["path"] is not None:
            return None
        else:
            found["path"] = word
    return found if found["path"] is not None else None


def _quick_image_list(given: list[str]) -> dict[str, object] | None:
    """The same for ``velkora image list [--json] IMAGE``; else None."""
    if given[:2] != ["image", "list"]:
        return None
    found: dict[str, object] = {"run": "_image.cmd_list", "image": None, "json": False}
    for word in given[2:]:
        if word == "--json" and not found["json"]:
            found["json"] = True
        elif word[:1] == "-" or found["image"] is not None:
            return None
        else:
            found["image"] = word
    return found if found["image"] is not None else None


def _run(args: argparse.Namespace) -> int:
    """Runs the command; its exit status (0 where it has none of its own)."""
    module, _, function = args.run.partition(".")
    status = getattr(__import__(f"velkora.cli.{module}", fromlist=[function]), function)(args)
    return status or 0


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command; returns the exit status."""
    try:
        given = sys.argv[1:] if argv is None else list(argv)
        if given == ["--version"]:  # what argparse's --version does, without building the parser
            from velkora import __version__

            print(f"velkora {__version__}")
            sys.exit(0)  # as the parser exits for --version and --help, not a status returned
        quick = _quick_list(given) or _quick_subvolume_list(given) or _quick_image_list(given)
        if quick is not None:
            from types import SimpleNamespace

            _run(SimpleNamespace(**quick))  # type: ignore[arg-type]
            sys.stdout.flush()
            return 0
        # "velkora COMMAND ...": that command's parser alone; anything else
        # (--help, --version, a wrong command) the whole parser.
        top = parser(given[0] if given and given[0] in COMMANDS else None)
        args, extra = top.parse_known_args(given)
        if extra:
            # Words none of the subcommand's arguments took: an error under
            # that subcommand's usage (the innermost parser that ran), not
            # the top-level one.
            getattr(args, "parser", top).error(shown("unrecognized arguments: " + " ".join(extra)))
        try:
            status = _run(args)
        except UsageError as e:
            args.parser.error(shown(str(e)))
        sys.stdout.flush()
        return status
    except Failure as e:  # what it names shown escaped (shown() again changes nothing)
        print(f"velkora: {shown(str(e))}", file=sys.stderr)
        return FAILED
    except KeyboardInterrupt:
        return INTERRUPTED
    except BrokenPipeError:
        # The reader went away (| head): say nothing more, as a filter does.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return FAILED

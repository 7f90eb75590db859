"""The velkora command's ``subvolume``: ``list``, ``show`` and
``get-default`` print what btrfs-progs 6.2 prints (names escaped, where
btrfs-progs writes them raw), the others change subvolumes through
velkora.btrfs and print nothing."""

from __future__ import annotations

import errno
import os
import sys

from velkora.cli._common import Failure, _fail, _json, shown

TYPE_CHECKING = False
if TYPE_CHECKING:
    import argparse

TOP = 5  # the top level's id (BTRFS_FS_TREE_OBJECTID)


def _failed(what: str, path: str, e: OSError) -> Failure:
    """The failure's line, naming path; and the path the error names where
    that is another (the mount point that makes a delete busy, a snapshot's
    missing source)."""
    named = os.fsdecode(e.filename) if e.filename is not None else path
    if named != path and e.strerror:
        e = OSError(e.errno, f"{e.strerror} ({named})")
    return _fail(f"subvolume {what} {path}", e)


def _name(text: str) -> str:
    """shown(text), without its per-character loop for the common name."""
    return text if text.isprintable() else shown(text)


def _is_subvolume(path: str) -> None:
    from velkora import btrfs

    if not btrfs.is_subvolume(path):
        raise OSError(errno.EINVAL, "Not a Btrfs subvolume", path)


def _listing(path: str) -> tuple[list[tuple], dict[int, str]]:  # type: ignore[type-arg]
    """The filesystem's subvolumes as velkora._btrfs's rows (id, parent_id,
    dir_id, name, dir_path, uuid, parent_uuid, received_uuid, generation,
    ctransid, otransid, ...) in id order, and each one's path by id: from
    the tree of tree roots as root, without the records a listing of
    10,000 would spend a third of its time making; as an ordinary user,
    from velkora.btrfs.subvolumes' records (paths from path)."""
    from velkora import _btrfs, btrfs

    try:
        rows = _btrfs.roots(path)
    except PermissionError:
        subs = btrfs.subvolumes(path)
        return [(*s[:3], None, None, *s[4:]) for s in subs], {s.id: s.path for s in subs}
    return rows, btrfs._full_paths(rows)


def _paths(rows: list[tuple], paths: dict[int, str], top: int, every: bool, only: bool) -> list[str]:  # type: ignore[type-arg]
    """Each subvolume's path as btrfs subvolume list prints it for a PATH in
    the subvolume top: by default, those below top from top, the others from
    the top level; with -a (every) all from the top level, "<FS_TREE>/"
    before each whose parent is not top; with -o (only) from the top level."""
    if every:
        return [paths[row[0]] if row[1] == top else f"<FS_TREE>/{paths[row[0]]}" for row in rows]
    if only or top == TOP or top not in paths:  # a user's listing lacks top: paths from PATH already
        return [paths[row[0]] for row in rows]
    from velkora import btrfs

    cut = len(paths[top]) + 1
    below = {row[0] for row in btrfs._below(rows, top)}
    return [paths[row[0]][cut:] if row[0] in below else paths[row[0]] for row in rows]


# list's columns after ID and gen, in btrfs-progs' order: the flag that asks
# for each (None: always), its words, and the field of a row it shows.
_COLUMNS = (("c", "cgen %d ", 10), ("p", "parent %d ", 1), (None, "top level %d ", 1))
_UUIDS = (("q", "parent_uuid %-36s ", 6), ("received", "received_uuid %-36s ", 7), ("u", "uuid %-36s ", 5))


def cmd_list(args: argparse.Namespace) -> None:
    from velkora import _btrfs

    try:
        if args.json:
            from velkora import btrfs

            subs = btrfs.subvolumes(args.path)
        else:
            rows, paths = _listing(args.path)
        top = _btrfs.subvolume_id(args.path)
    except OSError as e:
        raise _failed("list", args.path, e) from None
    only = args.o and not args.a  # -a wins where both are given, as in btrfs-progs
    if args.json:
        print(_json({"subvolumes": [s._asdict() for s in subs if not only or s.parent_id == top]}))
        return
    if only:
        rows = [row for row in rows if row[1] == top]
    asked = [(words, field) for flag, words, field in _COLUMNS if flag is None or getattr(args, flag)]
    uuids = [(words, field) for flag, words, field in _UUIDS if getattr(args, flag)]
    line = "ID %d gen %d " + "".join(words for words, _ in asked + uuids) + "path %s"
    fields = [0, 8] + [field for _, field in asked]
    out = [
        line % (*[row[i] for i in fields], *[row[i] or "-" for _, i in uuids], _name(path))
        for row, path in zip(rows, _paths(rows, paths, top, args.a, args.o))
    ] if uuids else [
        line % (row[0], row[8], *[row[i] for i in fields[2:]], _name(path))
        for row, path in zip(rows, _paths(rows, paths, top, args.a, args.o))
    ]  # fmt: skip
    if out:
        sys.stdout.write("\n".join(out) + "\n")


def _when(seconds: float | None) -> str:
    """A time as btrfs-progs prints it: local, whole seconds, "-" where unset."""
    if not seconds:
        return "-"
    import time

    return time.strftime("%Y-%m-%d %H:%M:%S %z", time.localtime(int(seconds)))


def cmd_show(args: argparse.Namespace) -> None:
    from velkora import btrfs

    try:
        _is_subvolume(args.path)
        s = btrfs.info(args.path)
        snapshots = [t.path for t in btrfs.subvolumes(args.path) if s.uuid and t.parent_uuid == s.uuid]
    except OSError as e:
        raise _failed("show", args.path, e) from None
    # btrfs-progs 6.2 prints the creation time as the send time of a
    # subvolume never received (it leaves the previous field's text in
    # place); 7.x prints "-", as here.
    fields = [
        ("Name", "<FS_TREE>" if s.id == TOP else _name(s.path.rpartition("/")[2])),
        ("UUID", s.uuid or "-"),
        ("Parent UUID", s.parent_uuid or "-"),
        ("Received UUID", s.received_uuid or "-"),
        ("Creation time", _when(s.otime)),
        ("Subvolume ID", s.id),
        ("Generation", s.generation),
        ("Gen at creation", s.otransid),
        ("Parent ID", s.parent_id),
        ("Top level ID", s.parent_id),
        ("Flags", "readonly" if s.read_only else "-"),
        ("Send transid", s.stransid),
        ("Send time", _when(s.stime)),
        ("Receive transid", s.rtransid),
        ("Receive time", _when(s.rtime)),
    ]
    # Each value at the third tab stop after the tab the line starts with.
    out = ["/" if s.id == TOP else _name(s.path)]
    out += [f"\t{key}: " + "\t" * (3 - (len(key) + 2) // 8) + str(value) for key, value in fields]
    out += ["\tSnapshot(s):"] + [f"\t\t\t\t{_name(path)}" for path in snapshots]
    print("\n".join(out))


def _each(what: str, paths: list[str], act: object) -> None:
    """act(path) for each path, in order; each failure one stderr line, the
    last raised once all were tried."""
    failures = []
    for path in paths:
        try:
            act(path)  # type: ignore[operator]
        except OSError as e:
            failures.append(_failed(what, path, e))
    for failure in failures[:-1]:
        print(f"velkora: {shown(str(failure))}", file=sys.stderr)
    if failures:
        raise failures[-1]


def cmd_create(args: argparse.Namespace) -> None:
    from velkora import btrfs

    _each("create", args.paths, btrfs.create)


def cmd_snapshot(args: argparse.Namespace) -> None:
    from velkora import btrfs

    try:
        btrfs.snapshot(args.source, args.dest, read_only=args.read_only, recursive=args.recursive)
    except OSError as e:
        raise _failed("snapshot", args.dest, e) from None


def cmd_delete(args: argparse.Namespace) -> None:
    from velkora import btrfs

    _each("delete", args.paths, lambda path: btrfs.delete(path, recursive=args.recursive))


def cmd_get_default(args: argparse.Namespace) -> None:
    from velkora import btrfs

    try:
        found = btrfs.get_default(args.path)
        if found == TOP:
            print("ID 5 (FS_TREE)")
            return
        s = next((s for s in btrfs.subvolumes(args.path) if s.id == found), None)
    except OSError as e:
        raise _failed("get-default", args.path, e) from None
    if s is None:
        raise Failure(f"subvolume get-default {args.path}: the default subvolume {found} is not listed")
    print(f"ID {s.id} gen {s.generation} top level {s.parent_id} path {_name(s.path)}")


def cmd_set_default(args: argparse.Namespace) -> None:
    from velkora import btrfs

    try:
        btrfs.set_default(args.path, args.id)
    except OSError as e:
        raise _failed("set-default", args.path, e) from None


def cmd_ro(args: argparse.Namespace) -> None:
    from velkora import btrfs

    try:
        _is_subvolume(args.path)
        if args.value is None:
            print(f"ro={'true' if btrfs.read_only(args.path) else 'false'}")
        else:
            btrfs.set_read_only(args.path, args.value == "true", force=args.force)
    except OSError as e:
        raise _failed("ro", args.path, e) from None

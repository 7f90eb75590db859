"""The velkora command's views of the table: ``list`` as findmnt draws it,
and ``watch``."""

from __future__ import annotations

import os
import sys

from velkora._records import joined_options as _options
from velkora.cli._common import _fail, _json
from velkora.cli._common import shown as _shown
from velkora.mountinfo import Mount

TYPE_CHECKING = False
if TYPE_CHECKING:  # the command starts without typing's import
    import argparse
    from typing import Callable, Iterator, List, Tuple

    # A mount and the mounts below it.
    Node = Tuple[Mount, List["Node"]]


# ---------------------------------------------------------------------------
# velkora list


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
        (
            top,
            [
                child
                for child in node[1]
                if child[0].mount_point is not None and os.path.commonpath((child[0].mount_point, path)) == path
            ],
        )
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
        from _locale import CODESET, nl_langinfo  # the locale module would import re

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
# velkora watch


def cmd_watch(args: argparse.Namespace) -> None:
    from velkora.mountinfo import watch

    try:
        changes = watch(args.via)
    except OSError as e:
        raise _fail("watch", e) from None
    with changes:
        waiting = _interruptible_wait(changes.fileno())
        while True:
            for event in changes.read(0):
                m = event.mount
                if args.json:
                    line = _json({"action": event.kind, "target": m.mount_point, "source": _source(m),
                                  "fstype": m.fs_type, "options": _options(m)}, None)  # fmt: skip
                else:
                    line = " ".join([event.kind, _shown(m.mount_point), _shown(_source(m)), _shown(m.fs_type)])
                print(line, flush=True)
            waiting()


def _interruptible_wait(fd: int) -> Callable[[], object]:
    """A wait for fd that Ctrl-C always ends. A signal that lands after the
    interpreter last looked for one and before poll(2) begins would otherwise
    wait with it, unseen, for the next change: its handler's wakeup fd,
    polled along, makes the wait return at once, and the handler then runs."""
    import select
    import signal

    wake, woken = os.pipe()
    for end in (wake, woken):
        os.set_blocking(end, False)
    signal.set_wakeup_fd(woken)
    poller = select.poll()
    poller.register(fd, select.POLLIN)
    poller.register(wake, select.POLLIN)

    def wait() -> object:
        poller.poll()
        try:
            return os.read(wake, 512)
        except BlockingIOError:
            return b""

    return wait

"""The mount table of this namespace for the tests, read from
/proc/self/mountinfo here, independently of velkora.mountinfo (which the
tests check against it and against the kernel)."""

from __future__ import annotations

import errno
import os
import re
import subprocess
from typing import Any, Callable, Dict, TypeVar

import velkora.mount as vm

Mount = Dict[str, Any]


def _unescaped(field: str) -> str:
    """mountinfo's octal escapes (\\040 for a space) undone, bytes that are no
    UTF-8 as os.fsdecode gives them."""
    raw = re.sub(rb"\\([0-7]{3})", lambda m: bytes([int(m[1], 8)]), os.fsencode(field))
    return os.fsdecode(raw)


def _table() -> list[Mount]:
    """Every line of /proc/self/mountinfo, in its own order, with its ids."""
    with open("/proc/self/mountinfo", "rb") as f:
        lines = f.read().decode("utf-8", "surrogateescape").splitlines()
    table = []
    for line in lines:
        fields = line.split(" ")
        rest = fields.index("-", 6)
        table.append({
            "id": int(fields[0]),
            "parent": int(fields[1]),
            "root": _unescaped(fields[3]),
            "target": _unescaped(fields[4]),
            "options": set(fields[5].split(",")),
            "fstype": _unescaped(fields[rest + 1]),
            "source": _unescaped(fields[rest + 2]),
            "super": set(fields[rest + 3].split(",")),
        })  # fmt: skip
    return table


def mounts() -> list[Mount]:
    """One dict per mount, parents first: root, target, options, fstype, source, super."""
    table = _table()
    ids = {m["id"] for m in table}
    children: dict[int, list[Mount]] = {}
    roots = []
    for m in table:
        if m["parent"] in ids and m["parent"] != m["id"]:
            children.setdefault(m["parent"], []).append(m)
        else:
            roots.append(m)
    ordered: list[Mount] = []
    pending = list(reversed(roots))
    while pending:
        m = pending.pop()
        ordered.append(m)
        pending.extend(reversed(children.get(m["id"], [])))
    return [{key: m[key] for key in ("root", "target", "options", "fstype", "source", "super")} for m in ordered]


def mount_at(path: object) -> Mount | None:
    """The topmost mount on ``path``, or None."""
    found = [m for m in mounts() if m["target"] == str(path)]
    return found[-1] if found else None


def detach(target: str) -> None:
    """Lazily unmount ``target``, which a detached parent may have taken along."""
    try:
        vm.umount(target, vm.MNT_DETACH)
    except UnicodeEncodeError:  # a name that is no UTF-8: umount(8) takes its bytes
        subprocess.run([b"umount", b"--lazy", os.fsencode(target)], check=True)
    except OSError as e:
        if e.errno != errno.EINVAL:
            raise


def unmount_all_below(path: object) -> None:
    """Detach whatever tests left mounted at or below ``path``, the last made first."""
    top = str(path).rstrip("/")
    for m in reversed(mounts()):
        if m["target"] == top or m["target"].startswith(top + "/"):
            detach(m["target"])


def take_id(wanted: int, at: os.PathLike[str], fill: os.PathLike[str]) -> bool:
    """Mounts a tmpfs named "theirs" at ``at`` holding mount id ``wanted``,
    freed a moment ago: the kernel gives the lowest free id, so the holes
    below it are filled first, with tmpfs under ``fill``. Whether it got it
    (another process on the machine may take the id first)."""
    for _ in range(64):
        subprocess.run(["mount", "-t", "tmpfs", "theirs", os.fspath(at)], check=True)
        if id_at(at) == wanted:
            return True
        subprocess.run(["umount", os.fspath(at)], check=True)
        hole = os.path.join(fill, str(len(os.listdir(fill))))
        os.mkdir(hole)
        subprocess.run(["mount", "-t", "tmpfs", "fill", hole], check=True)
    return False


def id_at(path: object) -> int | None:
    """The id of the topmost mount on ``path``, or None."""
    found = [m["id"] for m in _table() if m["target"] == str(path)]
    return found[-1] if found else None


T = TypeVar("T")


def taken_over(make: Callable[[], T], made_at: os.PathLike[str], at: os.PathLike[str], fill: os.PathLike[str],
               undo: Callable[[T], object], tries: int = 8) -> T:  # fmt: skip
    """What make() gives, once the mount it made at ``made_at`` has been
    unmounted (as by another) and a tmpfs "theirs" at ``at`` has its id
    (take_id). A process elsewhere on the machine may take the freed id
    first: then undo() and all again, up to ``tries`` times."""
    for _ in range(tries):
        made = make()
        wanted = id_at(made_at)
        subprocess.run(["umount", os.fspath(made_at)], check=True)
        if wanted is not None and take_id(wanted, at, fill):
            return made
        undo(made)
    raise AssertionError(f"no freed mount id could be taken in {tries} tries: others on the machine took them")

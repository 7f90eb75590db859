"""The mount table of this namespace, read from /proc/self/mountinfo."""

from __future__ import annotations

import errno
import os
import re
from typing import Any, Dict

import velkora.mount as vm

Mount = Dict[str, Any]


def mounts() -> list[Mount]:
    """One dict per mountinfo line: root, target, options, fstype, source, super."""
    table = []
    with open("/proc/self/mountinfo") as f:
        for line in f:
            left, right = line.split(" - ")
            fields = left.split()
            fstype, source, super_opts = right.split()
            table.append(
                {
                    "root": _unescape(fields[3]),
                    "target": _unescape(fields[4]),
                    "options": set(fields[5].split(",")),
                    "fstype": fstype,
                    "source": _unescape(source),
                    "super": set(super_opts.split(",")),
                }
            )
    return table


def _unescape(field: str) -> str:
    # The kernel writes space, tab, newline and backslash as octal escapes.
    raw = re.sub(rb"\\([0-7]{3})", lambda o: bytes([int(o[1], 8)]), os.fsencode(field))
    return os.fsdecode(raw)


def mount_at(path: object) -> Mount | None:
    """The topmost mount on ``path``, or None."""
    found = [m for m in mounts() if m["target"] == str(path)]
    return found[-1] if found else None


def detach(target: str) -> None:
    """Lazily unmount ``target``, which a detached parent may have taken along."""
    try:
        vm.umount(target, vm.MNT_DETACH)
    except OSError as e:
        if e.errno != errno.EINVAL:
            raise


def unmount_all_below(path: object) -> None:
    """Detach whatever tests left mounted at or below ``path``."""
    prefix = str(path)
    for m in reversed(mounts()):
        if m["target"] == prefix or m["target"].startswith(prefix + "/"):
            detach(m["target"])

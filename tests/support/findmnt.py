"""findmnt's reading of an fstab file: the oracle velkora.fstab's reading
and checking are judged by."""

from __future__ import annotations

import json
import os
import subprocess
from typing import Any


def findmnt_entries(path: str | os.PathLike[str]) -> list[tuple[Any, ...]]:
    out = subprocess.run(["findmnt", "--tab-file", str(path), "-J", "-o", "SOURCE,TARGET,FSTYPE,OPTIONS,FREQ,PASSNO"],
                         capture_output=True, text=True).stdout  # fmt: skip
    found = json.loads(out)["filesystems"] if out.strip() else []
    return [(m["source"], m["target"], m["fstype"], m["options"] or "", m["freq"], m["passno"]) for m in found]


def findmnt_verify(path: str | os.PathLike[str]) -> tuple[list[tuple[Any, ...]], list[int]]:
    """findmnt --verify's problems: (line's target, level, message), and the
    lines of parse errors."""
    run = subprocess.run(["findmnt", "--verify", "--tab-file", str(path)], capture_output=True, text=True)
    found: list[tuple[Any, ...]] = []
    target = None
    for line in run.stdout.splitlines():
        if line.startswith("   [") and line[4] in "EW":
            found.append((target, {"E": "error", "W": "warning"}[line[4]], line[7:]))
        elif line and not line.startswith(" "):
            target = line
    parse = [int(line.split("at line ")[1].split()[0]) for line in run.stderr.splitlines() if "at line " in line]
    return found, parse


def same_as_findmnt(path: str | os.PathLike[str]) -> Any:
    from velkora import fstab

    """read(path)'s entries and malformed lines against findmnt's reading of
    the whole file (2.38 passes over a bad line, later ones stop at it)."""
    table = fstab.read(path)
    theirs, parse = findmnt_entries(path), findmnt_verify(path)[1]
    ours, bad = [tuple(e) for e in table], [n for n, _ in table.malformed()]
    assert parse == bad[: len(parse)] and ours[: len(theirs)] == theirs
    if parse == bad:
        assert ours == theirs
    return table

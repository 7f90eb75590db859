"""findmnt's reading of an fstab file: the oracle velkora.fstab's reading
and checking are judged by.

What each util-linux reads alike: only a newline ends a line, only space
and tab split fields, one carriage return just before the newline is
dropped, any other (a second one, one inside or after the fields) is a
field's character or, past the sixth field, makes the line a parse error.
2.38 reports each bad line and goes on. 2.41 (Debian 13) reports the first
bad line and then dies of SIGSEGV, listing nothing: where it does, the
entries are judged on a copy with the lines velkora calls malformed made
bare comments (line numbers kept), which findmnt reads through.
"""

from __future__ import annotations

import json
import os
import subprocess
from typing import Any

COLUMNS = "SOURCE,TARGET,FSTYPE,OPTIONS,FREQ,PASSNO"


def findmnt(*args: str | os.PathLike[str]) -> subprocess.CompletedProcess[str]:
    """findmnt run with none of the sanitizer's preloading: a findmnt built
    without it aborts under LD_PRELOAD=libasan."""
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS")}
    return subprocess.run(["findmnt", *map(str, args)], capture_output=True, text=True, env=env)


def crashes(run: subprocess.CompletedProcess[str]) -> bool:
    """Whether findmnt died of a signal (2.41 after a parse error)."""
    return run.returncode < 0


def findmnt_entries(path: str | os.PathLike[str]) -> list[tuple[Any, ...]]:
    run = findmnt("--tab-file", path, "-J", "-o", COLUMNS)
    assert not crashes(run), f"findmnt died of signal {-run.returncode}: {run.stderr}"
    found = json.loads(run.stdout)["filesystems"] if run.stdout.strip() else []
    return [(m["source"], m["target"], m["fstype"], m["options"] or "", m["freq"], m["passno"]) for m in found]


def findmnt_verify(path: str | os.PathLike[str]) -> tuple[list[tuple[Any, ...]], list[int]]:
    """findmnt --verify's problems: (line's target, level, message), and the
    lines of parse errors (only the first where findmnt crashes on it)."""
    run = findmnt("--verify", "--tab-file", path)
    found: list[tuple[Any, ...]] = []
    target = None
    for line in run.stdout.splitlines():
        if line.startswith("   [") and line[4] in "EW":
            found.append((target, {"E": "error", "W": "warning"}[line[4]], line[7:]))
        elif line and not line.startswith(" "):
            target = line
    parse = [int(line.split("at line ")[1].split()[0]) for line in run.stderr.splitlines() if "at line " in line]
    assert not crashes(run) or (not found and len(parse) == 1), run.stderr
    return found, parse


def commented(path: str | os.PathLike[str], lines: list[int]) -> str:
    """A copy of path (next to it) with those lines made bare comments (a
    NUL would still break a line made a comment by a leading #)."""
    with open(path, "rb") as f:
        text = f.read().split(b"\n")
    copy = f"{path}.kept"
    with open(copy, "wb") as f:
        f.write(b"\n".join(b"#" if n in lines else line for n, line in enumerate(text, 1)))
    return copy


def same_as_findmnt(path: str | os.PathLike[str]) -> Any:
    """read(path)'s entries and malformed lines against findmnt's reading of
    the whole file; where findmnt crashes at the first bad line, each bad
    line in turn and the entries of the file with them made comments."""
    from velkora import fstab

    table = fstab.read(path)
    ours, bad = [tuple(e) for e in table], [n for n, _ in table.malformed()]
    if not crashes(findmnt("--tab-file", path, "-J", "-o", COLUMNS)):
        assert (findmnt_verify(path)[1], ours) == (bad, findmnt_entries(path))
        return table
    # Each bad line is the first findmnt meets once those before it are
    # comments; with all of them comments it reads the entries through.
    for i, n in enumerate(bad):
        assert findmnt_verify(commented(path, bad[:i]))[1] == [n]
    kept = commented(path, bad)
    assert (findmnt_verify(kept)[1], ours) == ([], findmnt_entries(kept))
    return table

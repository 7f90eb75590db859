"""A recording stand-in for the kernel: a preloaded library replaces mount(2)
and umount2(2) in a child interpreter, records what they receive and answers
with a scripted errno (see programs/interposer.c), and programs/worker.py
runs calls there."""

from __future__ import annotations

import json
import os
import select
import subprocess
import sys
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Sequence, Tuple

from support import PROGRAMS

ANSWER_TIMEOUT = 60  # seconds; valgrind makes a call slow, a hang makes it endless

Call = Tuple[Any, ...]  # ("mount", source, target, fstype, flags, data), ("umount2", target, flags), ...


def build_interposer(out: Path) -> Path:
    """Compiles interposer.c into the preload library ``out``."""
    cc = os.environ.get("CC", "cc")
    source = PROGRAMS / "interposer.c"
    subprocess.run([cc, "-shared", "-fPIC", "-O1", "-Wall", "-o", str(out), str(source), "-ldl"], check=True)
    return out


@dataclass
class Reply:
    """What one call did: its outcome and the system calls that reached the stand-in."""

    exc: str | None  # the exception's type name, or None
    value: str | None  # repr of the result when there was no exception
    errno: int | None = None
    strerror: str | None = None
    filename: str | None = None
    message: str | None = None
    calls: list[Call] = field(default_factory=list)
    gil: list[bool] = field(default_factory=list)  # whether each call held the GIL

    @classmethod
    def parse(cls, raw: dict[str, Any]) -> Reply:
        reply = cls(**{k: v for k, v in raw.items() if k != "calls"})
        for line in raw["calls"]:
            fn, *fields = line.split(" ")
            kinds = FIELDS.get(fn)
            if kinds is None:
                reply.calls.append((fn, *map(_text, fields)))
                reply.gil.append(False)
                continue
            *values, gil = fields
            assert len(values) == len(kinds), line
            reply.calls.append((fn, *(_text(v) if k == "s" else int(v) for k, v in zip(kinds, values))))
            reply.gil.append(gil == "1")
        return reply


# Each recorded call's fields before the GIL flag: s a text (hex, "-" for
# NULL), anything else a number.
FIELDS = {
    "mount": "sssus",
    "umount2": "si",
    "fsopen": "su",
    "fspick": "isu",
    "open_tree": "isu",
    "fsconfig": "iussi",
    "fsmount": "iuu",
    "move_mount": "isisu",
    "mount_setattr": "isuuuuuu",
}


def _text(field: str) -> bytes | None:
    return None if field == "-" else bytes.fromhex(field[1:])


class Double:
    """An interpreter whose mount() and umount2() only record and answer."""

    def __init__(self, library: Path, log: Path, wrapper: Sequence[str] = (), **env: str) -> None:
        # Anything already preloaded (a sanitizer runtime) must stay first.
        preload = " ".join(filter(None, [os.environ.get("LD_PRELOAD"), str(library)]))
        self.env = dict(os.environ, LD_PRELOAD=preload, VK_LOG=str(log), **env)
        self.log = log
        self.wrapper = list(wrapper)  # a command to run the interpreter under
        self.proc: subprocess.Popen[str] | None = None

    def program(self, name: str, *args: str, timeout: float = 60, **env: object) -> Any:
        """Runs programs/NAME.py with ``args`` in a fresh interposed interpreter; returns its stdout as JSON."""
        run = subprocess.run(
            [sys.executable, str(PROGRAMS / f"{name}.py"), *args],
            env={**self.env, "VK_LOG": os.devnull, **{k: str(v) for k, v in env.items()}},
            capture_output=True,
            text=True,
            timeout=timeout,
        )
        assert run.returncode == 0, run.stderr
        return json.loads(run.stdout)

    def _start(self) -> subprocess.Popen[str]:
        self.log.write_text("")
        self.proc = subprocess.Popen(
            [*self.wrapper, sys.executable, str(PROGRAMS / "worker.py")],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            env=self.env,
            text=True,
        )
        return self.proc

    def __call__(self, expr: str, errno: int = 0, delay_ms: int = 0) -> Reply:
        proc = self.proc if self.proc is not None and self.proc.poll() is None else self._start()
        assert proc.stdin is not None and proc.stdout is not None
        request = {"expr": expr, "errno": errno, "delay_ms": delay_ms}
        proc.stdin.write(json.dumps(request) + "\n")
        proc.stdin.flush()
        # One answer line per request, so nothing waits in the reader's buffer.
        if not select.select([proc.stdout], [], [], ANSWER_TIMEOUT)[0]:
            proc.kill()
            self.close()
            raise AssertionError(f"no answer in {ANSWER_TIMEOUT} s to {expr!r}")
        line = proc.stdout.readline()
        if not line:
            code = self.close()
            raise AssertionError(f"the interpreter died (exit {code}) running {expr!r}")
        return Reply.parse(json.loads(line))

    def close(self) -> int | None:
        """Ends the interpreter; returns its exit status."""
        if self.proc is None:
            return None
        assert self.proc.stdin is not None and self.proc.stdout is not None
        self.proc.stdin.close()
        code = self.proc.wait()
        self.proc.stdout.close()
        self.proc = None
        return code

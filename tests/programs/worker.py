"""Runs calls of velkora.mount for the tests, under the preloaded interposer.

Reads one JSON request a line from stdin and answers one JSON line on stdout:
request  {"expr": <Python expression>, "errno": int, "delay_ms": int}
answer   {"exc": name or null, "errno", "strerror", "filename", "message",
          "value": repr or null, "calls": [log lines of the interposer]}
The expression sees the modules as ``m`` (velkora.mount), ``f``
(velkora.fsmount), ``t`` (velkora._mounts), ``lo`` (velkora._loop) and ``g``
(velkora._guard), and ``c`` and ``d``, an
FsContext and a DetachedMount owning an fd of /dev/null, which only the
stand-in sees.
"""

import json
import os
import sys
from typing import Any, Dict, List

import velkora._chroot as ch
import velkora._guard as g
import velkora._loop as lo
import velkora._mounts as t
import velkora.fsmount as f
import velkora.mount as m

LOG = os.environ["VK_LOG"]


def take_calls() -> List[str]:
    with open(LOG, "r+") as f:
        lines = f.read().splitlines()
        f.truncate(0)
    return lines


def main() -> None:
    from velkora import DetachedMount, FsContext

    null = os.open(os.devnull, os.O_RDONLY | os.O_CLOEXEC)
    namespace: Dict[str, Any] = {
        "m": m,
        "f": f,
        "t": t,
        "g": g,
        "lo": lo,
        "ch": ch,
        "c": FsContext(null),
        "d": DetachedMount(os.dup(null)),
    }
    for line in sys.stdin:
        req = json.loads(line)
        os.environ["VK_ERRNO"] = str(req.get("errno", 0))
        os.environ["VK_DELAY_MS"] = str(req.get("delay_ms", 0))
        out: Dict[str, Any] = {"exc": None, "value": None}
        try:
            out["value"] = repr(eval(req["expr"], namespace))
        except BaseException as e:  # noqa: BLE001 - every outcome is reported
            out.update(
                exc=type(e).__name__,
                errno=getattr(e, "errno", None),
                strerror=getattr(e, "strerror", None),
                filename=getattr(e, "filename", None),
                message=str(e),
            )
        out["calls"] = take_calls()
        sys.stdout.write(json.dumps(out) + "\n")
        sys.stdout.flush()


if __name__ == "__main__":
    main()

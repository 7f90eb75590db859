"""Makes and closes argv[1] user namespaces with velkora.userns (maps: the
caller's own, as _idmap.caller_maps gives them, so that a caller with
subordinate ids runs newuidmap and newgidmap each time), each under one
SIGINT at a random moment of it, sent to the main thread (argv[2] ==
"main") or to the process, which may take it in its second thread and
run the handler wherever the main thread is ("process"). Prints
{"interrupted", "fds": [before, after], "children", "unraisable"} as
JSON: "children" the processes this one has (none may be left)."""

import json
import os
import random
import signal
import sys
import threading
from typing import List

import velkora
from velkora import _idmap

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))  # run as a script
from support.sigtimer import Interrupts, SigintTimer, quiet_unraisable, usual_time  # noqa: E402

cycles, to = int(sys.argv[1]), sys.argv[2]
uids, gids = _idmap.caller_maps()


def cycle() -> None:
    with velkora.userns(uids, gids):
        pass


def children() -> List[str]:
    found = []
    for task in os.listdir("/proc/self/task"):
        with open(f"/proc/self/task/{task}/children") as f:
            found += f.read().split()
    return found


# A namespace an interrupt dropped between userns()'s return and the with
# block is collected, and closed, by its owner: no fault of velkora's.
unraisable = quiet_unraisable()
interrupts = Interrupts()
threading.Thread(target=threading.Event().wait, daemon=True).start()  # a second thread
timer = SigintTimer(threading.get_native_id() if to == "main" else None)
span, chance = usual_time(cycle, 11), random.Random(40)
before = len(os.listdir("/proc/self/fd"))
interrupted = 0
for n in range(1, cycles + 1):
    timer.arm(chance.randrange(1, span))
    try:
        interrupts.run(cycle)
    except KeyboardInterrupt:
        interrupted += 1
    interrupts.wait(n)
signal.signal(signal.SIGINT, signal.SIG_IGN)
timer.close()
report = {"interrupted": interrupted, "fds": [before, len(os.listdir("/proc/self/fd"))], "children": children()}
print(json.dumps({**report, "unraisable": unraisable}))

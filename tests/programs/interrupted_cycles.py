"""Runs argv[3] cycles on argv[2], each under one SIGINT at a random moment
of it, sent by a POSIX timer (so that neither the GIL nor a sleeping
thread's wake-up delays it): to the main thread (argv[4] == "main"), or to
the process, which may take it in either of its two threads ("process"). A
cycle is argv[1]: "attach", a loop device attached to the file argv[2] and
closed, or "mounted", a `mounted` block entering and leaving a tmpfs on
argv[2] (with options, its propagation set by a second call). Prints
{"interrupted", "caller", "ours", "fds": [before, after], "devices",
"unraisable"} as
JSON, "caller" being the mounts left by the interpreter in the caller's
frame (see below), "ours" those left by velkora: a block whose __enter__
undid its work (or was interrupted doing so) with the mount still there."""

import json
import os
import random
import signal
import sys
import threading
import time
import traceback
from typing import List

from velkora import loop, mounted

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))  # run as a script
from support.sigtimer import Interrupts, SigintTimer, quiet_unraisable, usual_time  # noqa: E402
from velkora.mount import umount

what, path, cycles, to = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]


class watched(mounted):  # noqa: N801 - as mounted
    """A mounted block that records whether Guard.__enter__ ran its undo."""

    undone = False

    def _undo(self) -> None:
        self.undone = True
        super()._undo()


block = None


def cycle() -> None:
    global block
    if what == "attach":
        loop.attach(path).close()
    else:
        block = watched("velkora-interrupted", path, "tmpfs", options="nosuid,size=64k,private,nofail")
        with block:
            pass


# A device an interrupt dropped on its way out of attach() is collected open
# by design, and an interrupt may land in its __del__ (reported as
# unraisable; printing that report makes Debian's debug interpreter abort):
# neither says anything here, and its Owner closes the fd all the same. Any
# other unraisable error is a fault, kept for the report.
unraisable = quiet_unraisable()
interrupts = Interrupts()
threading.Thread(target=threading.Event().wait, daemon=True).start()  # a second thread
timer = SigintTimer(threading.get_native_id() if to == "main" else None)
# The median of 21 cycles (the kernel makes a loop device on first use).
span, chance = usual_time(cycle, 21), random.Random(20)
before = len(os.listdir("/proc/self/fd"))
interrupted = caller = ours = 0
for n in range(1, cycles + 1):
    timer.arm(chance.randrange(1, span))
    try:
        interrupts.run(cycle)
    except KeyboardInterrupt as e:
        interrupted += 1
        # The interpreter can take an interrupt in the caller's frame between
        # __enter__'s return and the with block's start, or (3.8, 3.9) between
        # the block's end and the call of __exit__, which then never runs
        # (bpo-29988): a hole in the caller's frame, not in velkora's.
        # Counted, and the mount it left undone here. Where __enter__ (C)
        # undid its work and the mount is still there, it is velkora's.
        frames = traceback.extract_tb(e.__traceback__)
        if what == "mounted" and os.path.ismount(path):
            if block is not None and not block.undone and frames[-2].name == "cycle":
                caller += 1
            else:
                ours += 1
            umount(path)
    interrupts.wait(n)
signal.signal(signal.SIGINT, signal.SIG_IGN)
timer.close()
fds = [before, len(os.listdir("/proc/self/fd"))]
# The devices still bound to the file while this process lives (an fd kept
# open anywhere, or a device bound without autoclear, would show here). A
# process beside this one that looks at loop devices (a prober, a list)
# may hold one for a moment after this one let go: autoclear frees it at
# that last close, so a device is given a second to go.
devices: List[str] = []
deadline = time.monotonic() + 1
while what == "attach":
    devices = [d.path for d in loop.devices(path)]
    if not devices or time.monotonic() > deadline:
        break
    time.sleep(0.02)
report = {"interrupted": interrupted, "caller": caller, "ours": ours, "fds": fds, "devices": devices}
print(json.dumps({**report, "unraisable": unraisable}))

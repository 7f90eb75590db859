"""Runs argv[3] cycles of argv[1] on the busybox root argv[2], each under
one SIGINT at a random moment of it, sent by a POSIX timer: "root", a
chroot.Root set up and closed; "run", chroot.run of a command; "userns",
the same with userns=True. Each binds
the directory argv[4] where the root has no place for it. After each cycle it checks, through the
kernel's own tables, for a mount left under the root (/proc/self/mountinfo
read directly), a place left in the root's tree, an fd left open
(/proc/self/fd) and a child left unreaped, and keeps the exception the
cycle raised. Prints {"interrupted", "caller", "faults", "unexpected"} as
JSON: "caller" the cycles whose interrupt came in this file's own frame
between the with block and Root's __enter__ or __exit__ (the
interpreter's, not velkora's), "faults" the first of what was left."""

import json
import os
import random
import signal
import sys
import traceback
from typing import List, Optional

from velkora import chroot

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))  # run as a script
from support.sigtimer import Interrupts, SigintTimer, usual_time  # noqa: E402

what, root, cycles, scratch = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]
block: Optional[chroot.Root] = None


def cycle() -> None:
    global block
    if what == "root":
        block = chroot.Root(root, dev="minimal", binds=[(scratch, "/mnt/x")])
        with block:
            pass
    else:
        chroot.run(root, ["true"], userns=what == "userns", binds=[(scratch, "/mnt/x")], capture_output=True)


def tree() -> List[str]:
    return sorted(os.path.relpath(os.path.join(d, n), root) for d, ds, fs in os.walk(root) for n in ds + fs)


def mounted() -> List[str]:
    with open("/proc/self/mountinfo") as f:
        points = [line.split()[4] for line in f]
    return [p for p in points if p == root or p.startswith(root + "/")]


def unreaped() -> bool:
    try:
        return os.waitpid(-1, os.WNOHANG) != (0, 0)
    except ChildProcessError:
        return False


interrupts = Interrupts()
timer = SigintTimer()  # to the process: one thread here
before_tree, before_fds, before_mounts = tree(), sorted(os.listdir("/proc/self/fd")), mounted()
span, chance = usual_time(cycle, 11), random.Random(37)
interrupted = caller = 0
faults: List[str] = []
unexpected: List[str] = []
for n in range(1, cycles + 1):
    timer.arm(chance.randrange(1, span + span // 4))
    try:
        interrupts.run(cycle)
    except KeyboardInterrupt as e:
        interrupted += 1
        frames = traceback.extract_tb(e.__traceback__)
        if block is not None and block._before is not None and frames[-1].name == "cycle":
            caller += 1  # the interpreter's hole between the with and Root
            block.close()
    except BaseException as e:  # noqa: BLE001 - every other kind is a fault to report
        unexpected.append(repr(e))
    interrupts.wait(n)
    fds = sorted(os.listdir("/proc/self/fd"))
    left = {"mounts": mounted() != before_mounts, "tree": tree() != before_tree, "fds": fds != before_fds,
            "unreaped": unreaped()}  # fmt: skip
    if any(left.values()):
        faults.append(f"cycle {n}: {left}")
        break
signal.signal(signal.SIGINT, signal.SIG_IGN)
timer.close()
print(json.dumps({"interrupted": interrupted, "caller": caller, "faults": faults[:5], "unexpected": unexpected[:5]}))

"""Runs argv[3] cycles on argv[2] while another thread sends one SIGINT a
cycle at a random moment of it: to the main thread (argv[4] == "main"), or
to the process, which may take it in either thread ("process"). A cycle is
argv[1]: "attach", a loop device attached to the file argv[2] and closed, or
"mounted", a `mounted` block entering and leaving a tmpfs on argv[2] (with
options, its propagation set by a second call). Prints {"interrupted",
"fds": [before, after]} as JSON."""

import json
import os
import random
import signal
import sys
import threading
import time
import warnings

from velkora import loop, mounted

armed, received, go = False, 0, threading.Event()
what, path, cycles, to = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]


def interrupt(signum: int, frame: object) -> None:
    global received
    received += 1
    # Raised only while a cycle may be running, so that the loop around it
    # never breaks off.
    if armed:
        raise KeyboardInterrupt


def sender() -> None:
    chance, main = random.Random(20), threading.main_thread().ident
    assert main is not None
    while go.wait():
        go.clear()
        time.sleep(chance.uniform(0, 0.0002))  # a cycle takes about that long
        if to == "main":
            signal.pthread_kill(main, signal.SIGINT)
        else:
            os.kill(os.getpid(), signal.SIGINT)


def cycle() -> None:
    if what == "attach":
        loop.attach(path).close()
    else:
        with mounted("velkora-interrupted", path, "tmpfs", options="nosuid,size=64k,private,nofail"):
            pass


# A device an interrupt dropped on its way out of attach() is collected open
# by design, and an interrupt may land in its __del__ (reported as
# unraisable; printing that report makes Debian's debug interpreter abort):
# neither says anything here, and its Owner closes the fd all the same.
warnings.simplefilter("ignore", ResourceWarning)
sys.unraisablehook = lambda unraisable: None
signal.signal(signal.SIGINT, interrupt)
threading.Thread(target=sender, daemon=True).start()
before = len(os.listdir("/proc/self/fd"))
interrupted = 0
for n in range(1, cycles + 1):
    go.set()
    try:
        armed = True
        cycle()
        armed = False
    except KeyboardInterrupt:
        armed = False
        interrupted += 1
    while received < n:  # this cycle's signal, wherever it landed
        time.sleep(0.0001)
signal.signal(signal.SIGINT, signal.SIG_IGN)
print(json.dumps({"interrupted": interrupted, "fds": [before, len(os.listdir("/proc/self/fd"))]}))

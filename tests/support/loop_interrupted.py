"""Attaches argv[1] to a loop device and closes it, argv[2] times, while the
test sends SIGINT at random moments; with argv[3] == "threaded" an idle
thread runs too, so a signal may land outside the main thread. Prints
{"interrupted", "fds": [before, after]} as JSON."""

import json
import os
import signal
import sys
import threading

from velkora import loop

armed = False


def interrupt(signum: int, frame: object) -> None:
    # Raised only while an attach may be running, so that the loop around it
    # never breaks off.
    if armed:
        raise KeyboardInterrupt


signal.signal(signal.SIGINT, interrupt)
if sys.argv[3] == "threaded":
    threading.Thread(target=threading.Event().wait, daemon=True).start()
before = len(os.listdir("/proc/self/fd"))
print("ready", flush=True)
interrupted = 0
for _ in range(int(sys.argv[2])):
    try:
        armed = True
        loop.attach(sys.argv[1]).close()
        armed = False
    except KeyboardInterrupt:
        armed = False
        interrupted += 1
signal.signal(signal.SIGINT, signal.SIG_IGN)
print(json.dumps({"interrupted": interrupted, "fds": [before, len(os.listdir("/proc/self/fd"))]}), flush=True)

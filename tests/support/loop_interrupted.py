"""Attaches argv[1] to a loop device and closes it, argv[2] times, while
another thread sends one SIGINT a cycle at a random moment of it: to the
main thread (argv[3] == "main"), or to the process, which may take it in
either thread ("process"). Prints {"interrupted", "fds": [before, after]}
as JSON."""

import json
import os
import random
import signal
import sys
import threading
import time

from velkora import loop

armed, received, go = False, 0, threading.Event()


def interrupt(signum: int, frame: object) -> None:
    global received
    received += 1
    # Raised only while an attach may be running, so that the loop around it
    # never breaks off.
    if armed:
        raise KeyboardInterrupt


def sender() -> None:
    chance, main = random.Random(20), threading.main_thread().ident
    assert main is not None
    while go.wait():
        go.clear()
        time.sleep(chance.uniform(0, 0.0002))  # an attach and close take about that long
        if sys.argv[3] == "main":
            signal.pthread_kill(main, signal.SIGINT)
        else:
            os.kill(os.getpid(), signal.SIGINT)


signal.signal(signal.SIGINT, interrupt)
threading.Thread(target=sender, daemon=True).start()
before = len(os.listdir("/proc/self/fd"))
interrupted = 0
for cycle in range(1, int(sys.argv[2]) + 1):
    go.set()
    try:
        armed = True
        loop.attach(sys.argv[1]).close()
        armed = False
    except KeyboardInterrupt:
        armed = False
        interrupted += 1
    while received < cycle:  # this cycle's signal, wherever it landed
        time.sleep(0.0001)
signal.signal(signal.SIGINT, signal.SIG_IGN)
print(json.dumps({"interrupted": interrupted, "fds": [before, len(os.listdir("/proc/self/fd"))]}))

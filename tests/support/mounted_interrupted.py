"""Enters and leaves `mounted` blocks (a tmpfs with options, its propagation
set by a second call) on argv[1], argv[2] times, while another thread sends
the main thread one SIGINT a cycle, at a random moment of it. Prints
{"interrupted": n} as JSON."""

import json
import random
import signal
import sys
import threading
import time

from velkora import mounted

armed, received, go = False, 0, threading.Event()


def interrupt(signum: int, frame: object) -> None:
    global received
    received += 1
    # Raised only while a block may be entered or left, so that the loop
    # around it never breaks off.
    if armed:
        raise KeyboardInterrupt


def sender() -> None:
    chance, main = random.Random(21), threading.main_thread().ident
    assert main is not None
    while go.wait():
        go.clear()
        time.sleep(chance.uniform(0, 0.0003))  # a cycle takes about that long
        signal.pthread_kill(main, signal.SIGINT)


signal.signal(signal.SIGINT, interrupt)
threading.Thread(target=sender, daemon=True).start()
interrupted = 0
for cycle in range(1, int(sys.argv[2]) + 1):
    go.set()
    try:
        armed = True
        with mounted("velkora-interrupted", sys.argv[1], "tmpfs", options="nosuid,size=64k,private,nofail"):
            pass
        armed = False
    except KeyboardInterrupt:
        armed = False
        interrupted += 1
    while received < cycle:  # this cycle's signal, wherever it landed
        time.sleep(0.0001)
signal.signal(signal.SIGINT, signal.SIG_IGN)
print(json.dumps({"interrupted": interrupted}))

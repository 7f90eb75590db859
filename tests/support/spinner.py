"""How far another thread spins while this one sleeps, and while it makes the
call given as argv[1] (which the stand-in makes block): {"alone", "during"}."""

import json
import sys
import threading
import time

import velkora.mount as m

spins, stop = 0, False


def spin() -> None:
    global spins
    while not stop:
        spins += 1


threading.Thread(target=spin).start()
time.sleep(0.05)
start = spins
time.sleep(0.2)
alone = spins - start
start = spins
eval(sys.argv[1], {"m": m})
during = spins - start
stop = True
print(json.dumps({"alone": alone, "during": during}))

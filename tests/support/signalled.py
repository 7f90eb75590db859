"""A SIGALRM arrives 0.2 s into the blocking call given as argv[1]; its handler
raises when argv[2] is "raise". Prints [outcome, seconds]."""

import json
import signal
import sys
import time
from types import FrameType
from typing import Optional

import velkora.mount as m


class Stop(Exception):
    pass


def handler(signum: int, frame: Optional[FrameType]) -> None:
    if sys.argv[2] == "raise":
        raise Stop


signal.signal(signal.SIGALRM, handler)
signal.setitimer(signal.ITIMER_REAL, 0.2)
start = time.monotonic()
try:
    eval(sys.argv[1], {"m": m})
    outcome = "returned"
except BaseException as e:  # noqa: BLE001 - the outcome is what is reported
    outcome = type(e).__name__
print(json.dumps([outcome, time.monotonic() - start]))

"""A POSIX timer that sends SIGINT (as Ctrl-C would) at a chosen moment, for
the interrupted-cycles programs: neither the GIL nor a sleeping thread's
wake-up delays it."""

import ctypes
import signal
import time
from typing import Optional


class SigEvent(ctypes.Structure):  # struct sigevent, 64 bytes
    _fields_ = [("value", ctypes.c_void_p), ("signo", ctypes.c_int), ("notify", ctypes.c_int),
                ("tid", ctypes.c_int), ("pad", ctypes.c_int * 11)]  # fmt: skip


class ITimerSpec(ctypes.Structure):
    _fields_ = [("interval", ctypes.c_long * 2), ("value", ctypes.c_long * 2)]


class SigintTimer:
    """SIGINT to the process (SIGEV_SIGNAL), or to the thread ``tid``
    (SIGEV_THREAD_ID), ``arm(ns)`` nanoseconds after it is armed."""

    def __init__(self, tid: Optional[int] = None) -> None:
        self._libc = ctypes.CDLL(None, use_errno=True)
        event = SigEvent(signo=signal.SIGINT, notify=0 if tid is None else 4, tid=tid or 0)
        self._timer = ctypes.c_void_p()
        if self._libc.timer_create(time.CLOCK_MONOTONIC, ctypes.byref(event), ctypes.byref(self._timer)) != 0:
            raise OSError(ctypes.get_errno(), "timer_create")

    def arm(self, ns: int) -> None:
        due = ITimerSpec(value=(0, ns))
        self._libc.timer_settime(self._timer, 0, ctypes.byref(due), None)

    def close(self) -> None:
        self._libc.timer_delete(self._timer)

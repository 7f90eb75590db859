"""A POSIX timer that sends SIGINT (as Ctrl-C would) at a chosen moment, for
the interrupted-cycles programs: neither the GIL nor a sleeping thread's
wake-up delays it. With the handler those programs take the signal with,
and their quiet unraisable hook."""

import ctypes
import signal
import sys
import time
import warnings
from typing import Callable, List, Optional


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


class Interrupts:
    """SIGINT's handler, installed when made: it counts every signal, and
    raises KeyboardInterrupt only while ``armed`` (while a cycle may be
    running), so that the loop around the cycles never breaks off."""

    def __init__(self) -> None:
        self.armed = False
        self.received = 0
        signal.signal(signal.SIGINT, self._interrupt)

    def _interrupt(self, signum: int, frame: object) -> None:
        self.received += 1
        if self.armed:
            raise KeyboardInterrupt

    def run(self, cycle: Callable[[], object]) -> None:
        """cycle(), armed while it runs."""
        self.armed = True
        try:
            cycle()
        finally:
            self.armed = False

    def wait(self, n: int) -> None:
        """Until the n-th signal has come (a cycle's, if it came after it)."""
        while self.received < n:
            time.sleep(0.0001)


def usual_time(cycle: Callable[[], object], runs: int) -> int:
    """A cycle's usual time in nanoseconds (2 at the least), for the timer's
    random moments: the median of runs (odd) cycles, since the first ones
    can take far longer."""
    durations = []
    for _ in range(runs):
        start = time.perf_counter_ns()
        cycle()
        durations.append(time.perf_counter_ns() - start)
    return max(2, sorted(durations)[runs // 2])


def quiet_unraisable() -> List[str]:
    """Silences ResourceWarning, and the KeyboardInterrupts reported as
    unraisable (printing that report makes Debian's debug interpreter
    abort); returns the list that every other unraisable error's repr is
    added to, a fault to report."""
    warnings.simplefilter("ignore", ResourceWarning)
    unraisable: List[str] = []

    def hook(report: "sys.UnraisableHookArgs") -> None:
        if not isinstance(report.exc_value, KeyboardInterrupt):
            unraisable.append(repr(report.exc_value))

    sys.unraisablehook = hook
    return unraisable

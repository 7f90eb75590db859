"""Each call given as an argument, made while the stand-in holds it blocked:
how far another thread spins meanwhile, how long a storm of threads making
it takes, and what a signal arriving during it does (a retried call blocks only the first
time). Prints, per call,
{"alone": [spins], "during": [spins], "storm": [seconds, log lines, control
seconds], "signal": {handler: [outcome, seconds, calls made]}} as JSON."""

import json
import os
import signal
import sys
import tempfile
import threading
import time
from types import FrameType
from typing import Any, Callable, Dict, List, Optional

import velkora.fsmount as f
import velkora.mount as m

NAMES = {"m": m, "f": f}
THREADS, ROUNDS, STORM_DELAY_MS = 4, 5, 40


class Stop(Exception):
    pass


def blocked(ms: int, log: str = os.devnull) -> None:
    os.environ["VK_DELAY_MS"], os.environ["VK_LOG"] = str(ms), log


def spinning(calls: List[str], rounds: int = 3) -> Dict[str, Dict[str, List[int]]]:
    """How far a spinning thread gets while this one makes each call, blocked
    0.1 s, and, just before, while it sleeps as long: the control, measured
    in the same conditions (a loaded machine slows both alike). A few rounds
    of each pair, interleaved."""
    spins, stop = [0], [False]

    def spin() -> None:
        while not stop[0]:
            spins[0] += 1

    spinner = threading.Thread(target=spin)
    spinner.start()
    time.sleep(0.05)
    got: Dict[str, Dict[str, List[int]]] = {call: {"alone": [], "during": []} for call in calls}
    for _ in range(rounds):
        for call in calls:
            start = spins[0]
            time.sleep(0.1)
            got[call]["alone"].append(spins[0] - start)
            blocked(100)
            start = spins[0]
            eval(call, NAMES)
            got[call]["during"].append(spins[0] - start)
    stop[0] = True
    spinner.join()
    return got


def storm(call: str, log: str) -> List[Any]:
    """How long THREADS threads making the call ROUNDS times each take, and
    how long the same threads take to sleep as long in Python (which frees
    the GIL): the control, measured just before in the same conditions."""
    blocked(STORM_DELAY_MS, log)

    def rounds(work: Callable[[], object]) -> float:
        def run() -> None:
            for _ in range(ROUNDS):
                work()

        threads = [threading.Thread(target=run) for _ in range(THREADS)]
        start = time.monotonic()
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        return time.monotonic() - start

    control = rounds(lambda: time.sleep(STORM_DELAY_MS / 1000))
    elapsed = rounds(lambda: eval(call, NAMES))
    with open(log) as lines:
        return [elapsed, lines.read().splitlines(), control]


def interrupted(call: str, handler: str, log: str) -> List[Any]:
    def on_alarm(signum: int, frame: Optional[FrameType]) -> None:
        signal.setitimer(signal.ITIMER_REAL, 0)
        if handler == "raise":
            raise Stop

    signal.signal(signal.SIGALRM, on_alarm)
    blocked(10000, log)
    os.environ["VK_DELAY_ONCE"] = "1"  # a call retried after EINTR does not block again
    # Every 0.05 s until the handler runs: on a loaded machine the first may
    # come while the call is still on its way to the blocking sleep, which
    # would then be waited out whole.
    signal.setitimer(signal.ITIMER_REAL, 0.05, 0.05)
    start = time.monotonic()
    try:
        try:
            eval(call, NAMES)
            outcome = "returned"
        except BaseException as e:  # noqa: BLE001 - the outcome is what is reported
            outcome = type(e).__name__
    except Stop as late:  # the handler ran only after the call had raised its own error
        outcome = f"{type(late.__context__).__name__}, then Stop"
    elapsed = time.monotonic() - start
    del os.environ["VK_DELAY_ONCE"]
    with open(log) as lines:
        return [outcome, elapsed, len(lines.read().splitlines())]


def main() -> None:
    results: Dict[str, Any] = spinning(sys.argv[1:])
    with tempfile.TemporaryDirectory() as place:
        for n, call in enumerate(sys.argv[1:]):
            got = results[call]
            got["storm"] = storm(call, os.path.join(place, f"storm{n}"))
            got["signal"] = {h: interrupted(call, h, os.path.join(place, f"{h}{n}")) for h in ("raise", "return")}
    print(json.dumps(results))


if __name__ == "__main__":
    main()

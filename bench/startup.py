"""How long a command takes from start to exit: ``velkora list`` against
the interpreter doing nothing (``python -c pass``) and ``findmnt``, each
run in turn and timed whole, the median of many runs."""

import os
import statistics
import subprocess
import sys
import time
from pathlib import Path

SCRIPT = Path(sys.executable).parent / "velkora"


def commands():
    velkora = [str(SCRIPT)] if SCRIPT.exists() else [sys.executable, "-m", "velkora"]
    return {
        "velkora list": [*velkora, "list"],
        "python -c pass": [sys.executable, "-c", "pass"],
        "findmnt": ["findmnt"],
    }


def wall_s(argv):
    start = time.perf_counter()
    subprocess.run(argv, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return time.perf_counter() - start


def startup(rounds, runs=10):
    """Median wall seconds of each command, interleaved run by run."""
    argvs = commands()
    for argv in argvs.values():
        wall_s(argv)  # warm the page cache
    samples = {name: [] for name in argvs}
    for _ in range(rounds * runs):
        for name, argv in argvs.items():
            samples[name].append(wall_s(argv))
    return {name: statistics.median(values) for name, values in samples.items()}


def report(figures):
    out = ["start-up: wall time of the whole command (median)"]
    base = figures["python -c pass"]
    for name, seconds in figures.items():
        out.append(f"  {name:26}{seconds * 1000:>9.1f} ms{seconds / base:>8.2f}x python -c pass")
    return out


if __name__ == "__main__":
    os.environ.setdefault("LC_ALL", "C.UTF-8")
    print("\n".join(report(startup(int(sys.argv[1]) if len(sys.argv) > 1 else 3))))

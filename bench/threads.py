"""How the argument handling scales with threads: each thread makes a failing
call (umount2 of a plain directory, refused with EINVAL before anything
changes) as fast as it can, with 1 and with 2 threads.

    sudo python bench/threads.py [--seconds S]

Prints calls per second for each thread count and the 2-thread/1-thread
ratio. With the GIL, only the system call itself runs in parallel; on a
free-threaded interpreter the argument parsing and the exception do too.
"""

import argparse
import sys
import sysconfig
import tempfile
import threading
import time

import velkora.mount as m


def calls_per_second(threads: int, seconds: float, target: str) -> float:
    counts = [0] * threads
    start = threading.Barrier(threads + 1)
    deadline = 0.0

    def work(slot: int) -> None:
        start.wait()
        done = 0
        while time.monotonic() < deadline:
            for _ in range(1000):
                try:
                    m.umount(target)
                except OSError:
                    pass
            done += 1000
        counts[slot] = done

    pool = [threading.Thread(target=work, args=(i,)) for i in range(threads)]
    for t in pool:
        t.start()
    began = time.monotonic()
    deadline = began + seconds
    start.wait()
    for t in pool:
        t.join()
    return sum(counts) / (time.monotonic() - began)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seconds", type=float, default=2.0)
    args = parser.parse_args()
    build = "free-threaded" if sysconfig.get_config_var("Py_GIL_DISABLED") else "with the GIL"
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    with tempfile.TemporaryDirectory() as target:
        try:
            m.umount(target)
        except OSError as e:
            refused = e.strerror
        rates = {n: calls_per_second(n, args.seconds, target) for n in (1, 2)}
    print(f"Python {sys.version.split()[0]} {build} (GIL enabled: {gil}), failing umount ({refused}):")
    for n, rate in rates.items():
        print(f"  {n} thread{'s' if n > 1 else ' '}  {rate:12,.0f} calls/s")
    print(f"  2 threads / 1 thread: {rates[2] / rates[1]:.2f}")


if __name__ == "__main__":
    main()

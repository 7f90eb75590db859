"""What making a user namespace costs: velkora.userns() as root (one line,
and a range of 65,536 ids) and as an ordinary user mapping its own ids
(uid 65534, in a forked child), against unshare(1) making one with its own
map (``unshare --user --map-root-user true``, a whole process, timed from
this interpreter). Each figure is the median over the rounds of the mean
of a batch of calls, the contenders interleaved in every round; the bound
the project holds userns() to is 5 ms."""

import json
import os
import statistics
import subprocess
import sys
import time

BOUND_MS = 5.0
BATCH = 50


def batch_ns(fn, n=BATCH):
    start = time.perf_counter_ns()
    for _ in range(n):
        fn()
    return (time.perf_counter_ns() - start) / n


def as_user_ns(maps, uid=65534):
    """batch_ns of userns(maps) in a child that became uid (dumpable again,
    as a process started by exec is)."""
    import ctypes

    import velkora

    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:
        try:
            os.close(read_end)
            os.setgroups([])
            os.setgid(uid)
            os.setuid(uid)
            ctypes.CDLL(None).prctl(4, 1, 0, 0, 0)  # PR_SET_DUMPABLE
            figure = batch_ns(lambda: velkora.userns(*maps).close())
            os.write(write_end, json.dumps(figure).encode())
        finally:
            os._exit(0)
    os.close(write_end)
    with os.fdopen(read_end) as f:
        got = f.read()
    os.waitpid(pid, 0)
    return json.loads(got) if got else float("nan")


def contenders():
    import velkora

    def tool(*argv):
        return lambda: batch_ns(lambda: subprocess.run(argv, check=True), n=10)

    return {
        "velkora.userns(), root, 0 0 1": lambda: batch_ns(lambda: velkora.userns([(0, 0, 1)]).close()),
        "velkora.userns(), root, 65,536 ids": lambda: batch_ns(lambda: velkora.userns("b:0:100000:65536").close()),
        "velkora.userns(), uid 65534, own ids": lambda: as_user_ns(([(0, 65534, 1)], [(0, 65534, 1)])),
        "unshare --user --map-root-user true": tool("unshare", "--user", "--map-root-user", "true"),
    }


def namespaced(rounds):
    """Median nanoseconds per namespace of each contender."""
    runners = contenders()
    for fn in runners.values():
        fn()  # warm up
    samples = {name: [] for name in runners}
    for _ in range(rounds):
        for name, fn in runners.items():
            samples[name].append(fn())
    return {name: statistics.median(values) for name, values in samples.items()}


def report(figures):
    out = [f"a user namespace made (wall time per namespace, median; bound for userns(): {BOUND_MS:g} ms)"]
    base = figures.get("unshare --user --map-root-user true")
    for name, ns in figures.items():
        ratio = f"{ns / base:>8.2f}x unshare" if base else ""
        out.append(f"  {name:38}{ns / 1e6:>9.3f} ms{ratio}")
    return out


if __name__ == "__main__":
    print("\n".join(report(namespaced(int(sys.argv[1]) if len(sys.argv) > 1 else 3))))

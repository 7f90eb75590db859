"""What a mount or an unmount costs through velkora, against C, a ctypes recipe
and mount(8), the same for a detached clone attached and unmounted again
(open_tree, move_mount) and for a loop device attached and detached (against
C and losetup(8)), how blocking calls share the interpreter, and what
reading the mount table costs at 10, 1,000 and 10,000 extra mounts (against
psutil, findmnt -J and C), how fast the velkora command starts (against
python -c pass and findmnt: startup.py), and what a command run inside a
root costs (against bubblewrap, arch-chroot and chroot: rooted.py; in a
user namespace against bwrap), what making a user namespace costs (against
unshare(1): namespaced.py), what probing an image costs (against libblkid
in C and blkid -p: probed.py), what finding each partition of a disk image
costs (against systemd-dissect: dissected.py), mounting one whole
(against systemd-dissect --mount: imaged.py), reading a 1,000-entry fstab
(against libmount in C: parsed.py), and
Btrfs subvolumes with 10,000 snapshots (against libbtrfsutil and
btrfs-progs: subvolumed.py).

    sudo python bench/run.py [--rounds N] [--json]

Needs root, cc, valgrind, libblkid-dev and libmount-dev; runs in a private mount namespace of its own.
Times are medians over the rounds, with the contenders interleaved in every
round (for the mount table: CPU time of the calling thread, the best of a few
calls per round, since wall time on a shared machine swings by 2x);
instruction counts come from callgrind with a preloaded stand-in for
the kernel, so they count user space alone. It prints figures and asserts
nothing.
"""

import argparse
import json
import os
import platform
import re
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
INTERPOSER = HERE.parent / "tests" / "programs" / "interposer.c"
MS_BIND = 4096
CONTENDERS = ["C", "velkora", "ctypes", "mount(8)"]


def build(work):
    ccaller, interposer = work / "ccaller", work / "libinterposer.so"
    subprocess.run(["cc", "-O2", "-o", str(ccaller), str(HERE / "ccaller.c")], check=True)
    subprocess.run(["cc", "-O2", "-o", str(work / "table"), str(HERE / "table.c")], check=True)
    subprocess.run(["cc", "-O2", "-shared", "-fPIC", "-o", str(interposer), str(INTERPOSER), "-ldl"], check=True)
    return str(ccaller), str(interposer)


def per_call_ns(fn, n):
    start = time.perf_counter_ns()
    for _ in range(n):
        fn()
    return (time.perf_counter_ns() - start) / n


def wall_clock(ccaller, work, rounds):
    """Bind mount + unmount cycles and failing unmounts, in nanoseconds per operation."""
    import ctypes_fsmount as cf
    import ctypes_mount as c

    import velkora.fsmount as f
    import velkora.mount as m
    from velkora import loop

    src, dst, plain = (str(work / name) for name in ("src", "dst", "plain"))
    for d in (src, dst, plain):
        os.makedirs(d, exist_ok=True)
    image = str(work / "image")
    with open(image, "wb") as sparse:
        sparse.truncate(16 << 20)

    def losetup_cycle():
        # losetup takes the next device where another process took the free
        # one first (EBUSY), but not where that one was torn down (ENXIO):
        # beside another run's tight attach cycle on the same lowest device,
        # five in a row have failed so.
        for _ in range(100):
            device = subprocess.run(["losetup", "--find", "--show", image], capture_output=True, text=True)
            if device.returncode == 0:
                break
        else:
            raise RuntimeError(f"losetup: {device.stderr.strip()}")
        tool("losetup", "--detach", device.stdout.strip())

    def loop_cycle():
        with loop.attach(image):
            pass

    def quietly(fn, *args):
        try:
            fn(*args)
        except OSError:
            pass

    def tool(*argv, check=True):
        subprocess.run(argv, check=check, capture_output=True)

    def c_caller(*argv):
        def run(n):
            done = subprocess.run([ccaller, *argv, str(n)], capture_output=True, text=True)
            if done.returncode != 0:  # its own words, not only its status
                raise RuntimeError(done.stderr.strip() or f"ccaller {argv[0]}: exit status {done.returncode}")
            return float(done.stdout)

        return run

    def in_python(fn):
        return lambda n: per_call_ns(fn, n)

    def clone_cycle(api, umount):
        def cycle():
            fd = api.open_tree(-100, src, 1 | 0o2000000)
            try:
                api.move_mount(fd, "", -100, dst, 4)
            finally:
                os.close(fd)
            umount(dst)

        return cycle

    cases = {
        "bind mount + unmount": {
            "C": (c_caller("bind", src, dst), 1000),
            "velkora": (in_python(lambda: (m.mount(src, dst, "", MS_BIND), m.umount(dst))), 1000),
            "ctypes": (in_python(lambda: (c.mount(src, dst, "", MS_BIND), c.umount(dst))), 1000),
            "mount(8)": (in_python(lambda: (tool("mount", "--bind", src, dst), tool("umount", dst))), 10),
        },
        "clone + attach + unmount": {
            "C": (c_caller("clone", src, dst), 1000),
            "velkora": (in_python(clone_cycle(f, m.umount)), 1000),
            "ctypes": (in_python(clone_cycle(cf, c.umount)), 1000),
            "mount(8)": (in_python(lambda: (tool("mount", "--bind", src, dst), tool("umount", dst))), 10),
        },
        "loop attach + detach": {
            "C": (c_caller("loop", image), 1000),
            "velkora": (in_python(loop_cycle), 1000),
            "mount(8)": (in_python(losetup_cycle), 10),  # losetup(8), in mount(8)'s column
        },
        "failing unmount (EINVAL)": {
            "C": (c_caller("fail", plain), 20000),
            "velkora": (in_python(lambda: quietly(m.umount, plain)), 20000),
            "ctypes": (in_python(lambda: quietly(c.umount, plain)), 20000),
            "mount(8)": (in_python(lambda: tool("umount", plain, check=False)), 10),
        },
    }
    results = {}
    for case, contenders in cases.items():
        samples = {name: [] for name in contenders}
        for r in range(rounds + 1):  # round 0 warms up and is dropped
            order = CONTENDERS[r % 4 :] + CONTENDERS[: r % 4]
            for name in order:
                if name not in contenders:
                    continue
                measure, n = contenders[name]
                ns = measure(n)
                if r:
                    samples[name].append(ns)
        results[case] = {name: statistics.median(s) for name, s in samples.items()}
    return results


TABLE_SIZES = (10, 1000, 10000)
TABLE_CONTENDERS = [
    "mounts()", "mounts('statmount')", "mounts('mountinfo')", "mount_at(path)", "mounts_below(path)",
    "psutil", "findmnt -J", "C statmount", "C mountinfo", "read mountinfo (bytes)",
]  # fmt: skip


def best_cpu_ns(fn, calls):
    """The least CPU time of the calling thread that one of ``calls`` calls took."""
    best = float("inf")
    for _ in range(calls):
        start = time.thread_time_ns()
        fn()
        best = min(best, time.thread_time_ns() - start)
    return best


def children_cpu_ns(argv, calls):
    """The same for a program: the least CPU time (user and system) a run took."""
    import resource

    best = float("inf")
    for _ in range(calls):
        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        subprocess.run(argv, check=True, capture_output=True)
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
        best = min(best, (after.ru_utime - before.ru_utime + after.ru_stime - before.ru_stime) * 1e9)
    return best


def read_bytes():
    with open("/proc/self/mountinfo", "rb") as f:
        return f.read()


def table_contenders(work, many, calls, psutil):
    """Each contender: a function giving its CPU nanoseconds for one listing."""
    from velkora.mountinfo import mount_at, mounts, mounts_below

    def c(route):
        run = subprocess.run([str(work / "table"), route, str(calls)], check=True, capture_output=True)
        return float(run.stdout)

    contenders = {
        "mounts()": lambda: best_cpu_ns(mounts, calls),
        "mounts('statmount')": lambda: best_cpu_ns(lambda: mounts("statmount"), calls),
        "mounts('mountinfo')": lambda: best_cpu_ns(lambda: mounts("mountinfo"), calls),
        "mount_at(path)": lambda: best_cpu_ns(lambda: mount_at(many / "0"), calls),
        "mounts_below(path)": lambda: best_cpu_ns(lambda: mounts_below(many), calls),
        "findmnt -J": lambda: children_cpu_ns(["findmnt", "-J"], calls),
        "C statmount": lambda: c("statmount"),
        "C mountinfo": lambda: c("mountinfo"),
        "read mountinfo (bytes)": lambda: best_cpu_ns(read_bytes, calls),
    }
    if psutil is not None:
        contenders["psutil"] = lambda: best_cpu_ns(lambda: psutil.disk_partitions(all=True), calls)
    return contenders


def mount_table(work, rounds):
    """CPU nanoseconds of one listing of the table by each contender, with
    10, 1,000 and 10,000 extra bind mounts in this namespace."""
    import velkora.mount as m
    from velkora.mountinfo import mounts

    try:
        import psutil
    except ImportError:
        psutil = None
        print("bench: psutil is not installed (the bench group has it): its column is left out", file=sys.stderr)
    many = work / "many"
    many.mkdir()
    results = {}
    for size in TABLE_SIZES:
        m.mount("velkora-bench", str(many), "tmpfs")
        try:
            for n in range(size):
                os.mkdir(many / str(n))
                m.mount(str(work), str(many / str(n)), "", MS_BIND)
            contenders = table_contenders(work, many, 5, psutil)
            samples = {name: [] for name in contenders}
            names = list(contenders)
            for r in range(rounds + 1):  # round 0 warms up and is dropped
                for name in names[r % len(names) :] + names[: r % len(names)]:
                    ns = contenders[name]()
                    if r:
                        samples[name].append(ns)
            results[size] = {"mounts": len(mounts()), **{name: statistics.median(s) for name, s in samples.items()}}
        finally:
            m.umount(str(many), 2)  # MNT_DETACH: the whole tree at once
    return results


def table_ratios(table):
    """The ratios the mount table is held to."""
    mid, big = table[1000], table[10000]
    out = {
        "mounts() / psutil at 1,000": mid["mounts()"] / mid["psutil"] if "psutil" in mid else None,
        "mounts('statmount') / C statmount at 1,000": mid["mounts('statmount')"] / mid["C statmount"],
        "mounts('mountinfo') / C mountinfo at 1,000": mid["mounts('mountinfo')"] / mid["C mountinfo"],
        "mount_at(path) / mounts() at 1,000": mid["mount_at(path)"] / mid["mounts()"],
        "mounts_below(path) / mounts() at 1,000": mid["mounts_below(path)"] / mid["mounts()"],
    }
    for name in ("mounts()", "mounts('statmount')", "mounts('mountinfo')", "C statmount", "read mountinfo (bytes)"):
        out[f"{name} at 10,000 / at 1,000"] = big[name] / mid[name]
    return out


def stand_in(interposer, **extra):
    """The environment of an interpreter whose mount() and umount2() only answer."""
    env = dict(os.environ, LD_PRELOAD=interposer, VELKORA_BENCH_LIBC=interposer, PYTHONPATH=str(HERE), **extra)
    env.pop("VK_LOG", None)  # record nothing: only the calls' own cost counts
    return env


def callgrind(argv, env):
    with tempfile.NamedTemporaryFile(suffix=".out") as out:
        subprocess.run(
            ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out.name}", *argv],
            check=True,
            capture_output=True,
            env=env,
        )
        text = Path(out.name).read_text()
    return int(re.search(r"^(?:summary|totals): (\d+)", text, re.M)[1])


def instructions(ccaller, interposer):
    """User-space instructions per call, and instructions spent importing."""
    env = stand_in(interposer, PYTHONHASHSEED="0")
    # The C caller's mode, the same call's arguments for the Python
    # contenders, and the modules they come from (velkora's, ctypes').
    calls = {
        "mount": ("'/dev/vdb', '/mnt/data', 'btrfs', 0, ''", "velkora.mount", "ctypes_mount"),
        "umount": ("'/mnt/data', 0", "velkora.mount", "ctypes_mount"),
        "open_tree": ("-100, '/mnt/data', 1 | 0o2000000", "velkora.fsmount", "ctypes_fsmount"),
        "move_mount": ("3, '', -100, '/mnt/data', 4", "velkora.fsmount", "ctypes_fsmount"),
    }
    lo, hi = 1000, 11000
    per_call = {}
    for call, (args, ours, theirs) in calls.items():

        def count(n, module, call=call, args=args):
            if module is None:
                return callgrind([ccaller, call, str(n)], env)
            loop = f"import {module} as w\nf = w.{call}\nfor _ in range({n}): f({args})"
            return callgrind([sys.executable, "-c", loop], env)

        own = {}
        for label, module in (("C", None), ("velkora", ours), ("ctypes", theirs)):
            own[label] = (count(hi, module) - count(lo, module)) / (hi - lo)
        per_call[call] = {
            "C": own["C"],
            "velkora": own["velkora"] - own["C"],
            "ctypes": own["ctypes"] - own["C"],
        }

    snippets = {
        "nothing": "pass",
        "velkora": "import velkora",
        "velkora+mount": "import velkora\nimport velkora.mount",
        "velkora.mount": "import velkora.mount",
        "ctypes": "import ctypes",
        "ctypes+util": "import ctypes, ctypes.util",
    }
    for code in snippets.values():  # byte-code caches written before counting
        subprocess.run([sys.executable, "-c", code], check=True, env=env)
    imp = {k: callgrind([sys.executable, "-c", code], env) for k, code in snippets.items()}
    imports = {
        "extension load (import velkora.mount after import velkora)": imp["velkora+mount"] - imp["velkora"],
        "import ctypes": imp["ctypes"] - imp["nothing"],
        "import velkora.mount, whole": imp["velkora.mount"] - imp["nothing"],
        "import ctypes, ctypes.util": imp["ctypes+util"] - imp["nothing"],
    }
    return per_call, imports


CONCURRENT = """
import json, sys, threading, time
import ctypes_mount as c
import velkora.mount as m
out = {}
for name, fn in (("velkora", m.mount), ("ctypes", c.mount)):
    out[name] = {}
    for n in (1, 2, 4, 8, 16):
        threads = [threading.Thread(target=fn, args=("/dev/vdb", "/mnt/data")) for _ in range(n)]
        start = time.perf_counter()
        for t in threads: t.start()
        for t in threads: t.join()
        out[name][n] = (time.perf_counter() - start) * 1000
print(json.dumps(out))
"""


def concurrency(interposer):
    """N threads, each in one 100 ms blocking call: wall milliseconds against N."""
    env = stand_in(interposer, VK_DELAY_MS="100")
    run = subprocess.run([sys.executable, "-c", CONCURRENT], check=True, capture_output=True, text=True, env=env)
    return json.loads(run.stdout)


def machine():
    cpu = next((line.split(":", 1)[1].strip() for line in open("/proc/cpuinfo") if line.startswith("model name")), "?")
    return {
        "cpu": cpu,
        "cores": os.cpu_count(),
        "kernel": platform.release(),
        "python": platform.python_version(),
    }


def report(figures):
    out = [
        "machine: {cpu}, {cores} cores, Linux {kernel}, CPython {python}".format(**figures["machine"]),
        f"rounds: {figures['rounds']} (medians)",
        "",
        f"{'time per operation':28}" + "".join(f"{name:>22}" for name in CONTENDERS),
    ]
    for case, row in figures["wall_clock_ns"].items():
        ratio = figures["ratios"]["wall_clock_to_C"][case]
        cells = [f"{row['C'] / 1000:.2f} us"] + [
            f"{row[n] / 1000:.2f} us ({ratio[n]:.2f}x)" if n in row else "-" for n in CONTENDERS[1:]
        ]
        out.append(f"{case:28}" + "".join(f"{cell:>22}" for cell in cells))
    heading = f"{'user-space instructions/call':28}{'C caller':>14}{'velkora':>14}{'ctypes':>14}{'velkora/ctypes':>16}"
    out += ["", heading]
    for call, row in figures["instructions_per_call"].items():
        out.append(
            f"{call:28}{row['C']:>14,.0f}{row['velkora']:>14,.0f}{row['ctypes']:>14,.0f}"
            f"{figures['ratios']['instructions_velkora_to_ctypes'][call]:>16.3f}"
        )
    out.append("  (velkora and ctypes: less the C caller's own count)")
    imp = figures["import_instructions"]
    out += ["", "import cost (instructions)"]
    for name, value in imp.items():
        out.append(f"  {name:58}{value:>14,}")
    ratios = figures["ratios"]
    whole = ratios["import_velkora_mount_to_import_ctypes_util"]
    out.append(f"  extension load / import ctypes: {ratios['extension_load_to_import_ctypes']:.3f}")
    out.append(f"  import velkora.mount / import ctypes, ctypes.util: {whole:.3f}")
    out += ["", "N threads, each in one 100 ms blocking call: wall time"]
    out.append(f"  {'N':>4}" + "".join(f"{name:>14}" for name in figures["concurrency_ms"]))
    for n in next(iter(figures["concurrency_ms"].values())):
        out.append(f"  {n:>4}" + "".join(f"{row[n]:>11.1f} ms" for row in figures["concurrency_ms"].values()))
    table = figures["mount_table_ns"]
    out += ["", "mount table: CPU time of the calling thread per listing (best of a few calls, medians)"]
    out.append(f"  {'extra mounts':26}" + "".join(f"{size:>14,}" for size in table))
    out.append(f"  {'(mounts in the table)':26}" + "".join(f"{row['mounts']:>14,}" for row in table.values()))
    for name in TABLE_CONTENDERS:
        if all(name in row for row in table.values()):
            out.append(f"  {name:26}" + "".join(f"{row[name] / 1e6:>11.3f} ms" for row in table.values()))
    for name, value in figures["ratios"]["mount_table"].items():
        out.append(f"  {name:48}{'-' if value is None else f'{value:.3f}':>8}")
    from dissected import report as dissected_report
    from imaged import report as imaged_report
    from namespaced import report as namespaced_report
    from parsed import report as parsed_report
    from probed import report as probed_report
    from rooted import report as rooted_report
    from startup import report as startup_report
    from subvolumed import report as subvolumed_report

    out += ["", *startup_report(figures["startup_s"])]
    out += ["", *namespaced_report(figures["userns_ns"])]
    out += ["", *rooted_report(figures["rooted_s"], figures.get("rooted_userns_s"))]
    out += ["", *imaged_report(figures["imaged_s"])]
    out += ["", *probed_report(figures["probe_ns"])]
    out += ["", *dissected_report(figures["dissect"])]
    out += ["", *parsed_report(figures["fstab_ns"])]
    out += ["", *subvolumed_report(figures["btrfs_ns"])]
    return "\n".join(out)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=9)
    parser.add_argument("--json", action="store_true", help="print the figures as JSON")
    args = parser.parse_args()
    if os.geteuid() != 0:
        sys.exit("bench: needs root to mount")
    if os.environ.get("VELKORA_BENCH_NAMESPACE") != "1":
        # Re-run in a private mount namespace: the host's mount table is left alone.
        env = dict(os.environ, VELKORA_BENCH_NAMESPACE="1")
        cmd = ["unshare", "--mount", "--propagation", "private", sys.executable, *sys.argv]
        sys.exit(subprocess.run(cmd, env=env).returncode)
    sys.path.insert(0, str(HERE))
    with tempfile.TemporaryDirectory(prefix="velkora-bench-") as tmp:
        work = Path(tmp)
        ccaller, interposer = build(work)
        print("bench: wall clock ...", file=sys.stderr)
        wall = wall_clock(ccaller, work, args.rounds)
        print("bench: callgrind ...", file=sys.stderr)
        per_call, imports = instructions(ccaller, interposer)
        print("bench: concurrency ...", file=sys.stderr)
        threads = concurrency(interposer)
        print("bench: mount table ...", file=sys.stderr)
        table = mount_table(work, args.rounds)
        print("bench: start-up ...", file=sys.stderr)
        from startup import startup

        started = startup(args.rounds)
        print("bench: a command inside a root ...", file=sys.stderr)
        from rooted import rooted, rooted_userns

        inside = rooted(args.rounds)
        print("bench: user namespaces ...", file=sys.stderr)
        from namespaced import namespaced

        namespaces = namespaced(args.rounds)
        inside_userns = rooted_userns(args.rounds)
        print("bench: a disk image mounted whole ...", file=sys.stderr)
        from imaged import imaged

        images = imaged(args.rounds)
        print("bench: probing images ...", file=sys.stderr)
        from probed import probed

        probes = probed(args.rounds)
        print("bench: dissecting an image ...", file=sys.stderr)
        from dissected import dissected

        dissects = dissected(args.rounds)
        print("bench: reading an fstab ...", file=sys.stderr)
        from parsed import parsed

        fstabs = parsed(args.rounds)
        print("bench: Btrfs subvolumes (10,000 snapshots made first) ...", file=sys.stderr)
        from subvolumed import subvolumed

        subvolumes = subvolumed(args.rounds)
    load, ctypes_import, whole, ctypes_util = imports.values()
    figures = {
        "machine": machine(),
        "rounds": args.rounds,
        "wall_clock_ns": wall,
        "instructions_per_call": per_call,
        "import_instructions": imports,
        "concurrency_ms": threads,
        "mount_table_ns": table,
        "startup_s": started,
        "rooted_s": inside,
        "userns_ns": namespaces,
        "rooted_userns_s": inside_userns,
        "imaged_s": images,
        "probe_ns": probes,
        "dissect": dissects,
        "fstab_ns": fstabs,
        "btrfs_ns": subvolumes,
        "ratios": {
            "velkora_list_to_python_pass": started["velkora list"] / started["python -c pass"],
            "mount_table": table_ratios(table),
            "wall_clock_to_C": {case: {n: v / row["C"] for n, v in row.items()} for case, row in wall.items()},
            "instructions_velkora_to_ctypes": {call: row["velkora"] / row["ctypes"] for call, row in per_call.items()},
            "extension_load_to_import_ctypes": load / ctypes_import,
            "import_velkora_mount_to_import_ctypes_util": whole / ctypes_util,
        },
    }
    print(json.dumps(figures, indent=2) if args.json else report(figures))


if __name__ == "__main__":
    main()

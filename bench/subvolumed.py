"""What Btrfs subvolume calls cost through velkora.btrfs against libbtrfsutil
(Debian's python3-btrfsutil, run by the system's python3 in a process of
its own: subvolume_calls.py) and btrfs-progs, on a filesystem with 10,000
snapshots made once: listing (as root and as an ordinary user), the
``velkora subvolume list`` command against ``btrfs subvolume list`` as whole
processes, a snapshot, info() and a recursive delete of 150 nested
subvolumes. Medians of interleaved rounds; needs root (it mounts, in the
bench's private mount namespace)."""

import json
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
SYSTEM_PYTHON = "/usr/bin/python3"
SNAPSHOTS = int(os.environ.get("VELKORA_BENCH_SNAPSHOTS", "10000"))
VELKORA = Path(sys.executable).parent / "velkora"
# Each row: the op of subvolume_calls.py, calls per round, and whether it runs as the ordinary user.
ROWS = {
    "subvolumes() / SubvolumeIterator(info=True)": ("list", 3, False),
    "the same as an ordinary user": ("list", 3, True),
    "snapshot() / create_snapshot()": ("snapshot", 20, False),
    "info() / subvolume_info()": ("info", 200, False),
    "delete(recursive) of 150 nested / delete_subvolume(recursive)": ("delete", 1, False),
}


def has_btrfsutil():
    found = subprocess.run([SYSTEM_PYTHON, "-c", "import btrfsutil"], capture_output=True)
    return found.returncode == 0


def filesystem(work):
    """A Btrfs image with SNAPSHOTS snapshots of one subvolume, mounted at
    work/top: (the mount point, seconds the snapshots took)."""
    from velkora import btrfs, loop

    image, top = work / "btrfs.img", work / "top"
    os.chmod(work, 0o711)  # the ordinary user's rows reach top
    with open(image, "wb") as f:
        f.truncate(4 << 30)  # sparse
    subprocess.run(["mkfs.btrfs", "-q", str(image)], check=True, capture_output=True)
    attached = loop.attach(image)
    top.mkdir()
    subprocess.run(["mount", "-t", "btrfs", attached.path, str(top)], check=True)
    attached.close()  # autoclear: the device goes with the mount
    os.chmod(top, 0o755)
    btrfs.create(top / "src")
    (top / "src" / "file").write_text("a file in each snapshot")
    (top / "snaps").mkdir()
    start = time.perf_counter()
    for i in range(SNAPSHOTS):
        btrfs.snapshot(top / "src", top / "snaps" / str(i))
    return top, time.perf_counter() - start


def calls(who, op, path, n, as_user):
    python = SYSTEM_PYTHON if who == "btrfsutil" else sys.executable
    argv = [python, str(HERE / "subvolume_calls.py"), who, op, str(path), str(n)] + ["--user"] * as_user
    done = subprocess.run(argv, capture_output=True, text=True)
    if done.returncode:
        raise RuntimeError(f"{who} {op}: {done.stderr.strip()}")
    return json.loads(done.stdout)


def wall_s(argv):
    start = time.perf_counter()
    subprocess.run(argv, check=True, stdout=subprocess.DEVNULL)
    return time.perf_counter() - start


def subvolumed(rounds):
    """{row: (velkora ns, baseline ns)}, and the seconds the snapshots took."""
    if not has_btrfsutil():
        print("bench: python3-btrfsutil is missing (apt-get install python3-btrfsutil): no Btrfs rows", file=sys.stderr)
        return {}
    with tempfile.TemporaryDirectory(prefix="velkora-btrfs-bench-") as tmp:
        top, made_s = filesystem(Path(tmp))
        try:
            velkora = [str(VELKORA)] if VELKORA.exists() else [sys.executable, "-m", "velkora"]
            commands = {"velkora": [*velkora, "subvolume", "list", str(top)],
                        "btrfs": ["btrfs", "subvolume", "list", str(top)]}  # fmt: skip
            samples = {row: ([], []) for row in [*ROWS, "velkora subvolume list / btrfs subvolume list"]}
            for r in range(rounds + 1):  # round 0 warms up and is dropped
                for row, (op, n, as_user) in ROWS.items():
                    path = top if op != "info" else top / "snaps" / str(SNAPSHOTS // 2)
                    order = ("velkora", "btrfsutil") if r % 2 else ("btrfsutil", "velkora")
                    got = {who: calls(who, op, path, n, as_user) for who in order}
                    if r:
                        samples[row][0].append(got["velkora"])
                        samples[row][1].append(got["btrfsutil"])
                for _ in range(5):
                    ours, theirs = wall_s(commands["velkora"]), wall_s(commands["btrfs"])
                    if r:
                        samples["velkora subvolume list / btrfs subvolume list"][0].append(ours * 1e9)
                        samples["velkora subvolume list / btrfs subvolume list"][1].append(theirs * 1e9)
        finally:
            subprocess.run(["umount", str(top)], check=True)
    figures = {row: (statistics.median(a), statistics.median(b)) for row, (a, b) in samples.items()}
    return {"snapshots": SNAPSHOTS, "made_s": made_s, "rows": figures}


def report(figures):
    if not figures:
        return ["Btrfs subvolumes: not measured (python3-btrfsutil is missing)"]
    out = [f"Btrfs subvolumes, {figures['snapshots']:,} snapshots (made in {figures['made_s']:.0f} s; medians)"]
    for row, (ours, theirs) in figures["rows"].items():
        out.append(f"  {row:64}{ours / 1e6:>10.3f} ms{theirs / 1e6:>10.3f} ms{ours / theirs:>8.2f}x")
    return out


if __name__ == "__main__":
    print("\n".join(report(subvolumed(int(sys.argv[1]) if len(sys.argv) > 1 else 3))))

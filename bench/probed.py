"""What probing an image costs: velkora.blkid.probe against libblkid's
blkid_do_safeprobe in C (bench/probe.c) and blkid -p as a subprocess, per
image (each made here by the real mkfs tools and sfdisk), interleaved round
by round, the median of the rounds. Needs cc and libblkid-dev for the C
column; a missing tool leaves its row or column out."""

import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
IMAGES = {
    "ext4": (16, ["mkfs.ext4", "-q"]),
    "xfs": (300, ["mkfs.xfs", "-q"]),
    "btrfs": (120, ["mkfs.btrfs", "-q"]),
    "vfat": (64, ["mkfs.vfat", "-F", "32"]),
    "gpt": (64, ["sfdisk", "-q"]),
}
GPT = "label: gpt\nsize=8M\nsize=16M\nsize=8M\n"


def make_images(work):
    made = {}
    for name, (size, cmd) in IMAGES.items():
        if shutil.which(cmd[0]) is None:
            continue
        path = Path(work) / f"{name}.img"
        with open(path, "wb") as f:
            f.truncate(size << 20)
        subprocess.run([*cmd, str(path)], check=True, capture_output=True, input=GPT if name == "gpt" else "",
                       text=True)  # fmt: skip
        made[name] = str(path)
    return made


def c_probe(work):
    program = Path(work) / "probe"
    try:
        subprocess.run(["cc", "-O2", "-o", str(program), str(HERE / "probe.c"), "-lblkid"], check=True,
                       capture_output=True)  # fmt: skip
    except (OSError, subprocess.CalledProcessError):
        return None
    return str(program)


def probed(rounds, calls=2000):
    """Median nanoseconds per probe: {image: {contender: ns}}; {} without images."""
    from velkora import blkid

    with tempfile.TemporaryDirectory(prefix="velkora-probe-") as work:
        images = make_images(work)
        program = c_probe(work)
        samples = {name: {} for name in images}
        for _ in range(rounds):
            for name, path in images.items():
                row = samples[name]
                start = time.perf_counter_ns()
                for _ in range(calls):
                    blkid.probe(path)
                row.setdefault("velkora", []).append((time.perf_counter_ns() - start) / calls)
                if program is not None:
                    out = subprocess.run([program, str(calls), path], check=True, capture_output=True, text=True)
                    row.setdefault("libblkid (C)", []).append(float(out.stdout))
                if shutil.which("blkid"):
                    start = time.perf_counter_ns()
                    for _ in range(10):
                        subprocess.run(["blkid", "-p", path], stdout=subprocess.DEVNULL, check=False)
                    row.setdefault("blkid -p", []).append((time.perf_counter_ns() - start) / 10)
    return {name: {who: statistics.median(v) for who, v in row.items()} for name, row in samples.items()}


def report(figures):
    if not figures:
        return ["probing an image: no mkfs tools found"]
    out = ["probing an image: per probe, open to close (median); velkora against libblkid in C"]
    for name, row in figures.items():
        base = row.get("libblkid (C)")
        cells = "".join(f"{who} {ns / 1000:>9.1f} us   " for who, ns in row.items())
        ratio = f"velkora {row['velkora'] / base:.2f}x C" if base else ""
        out.append(f"  {name:7}{cells}{ratio}")
    return out


if __name__ == "__main__":
    print("\n".join(report(probed(int(sys.argv[1]) if len(sys.argv) > 1 else 3))))

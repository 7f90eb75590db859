"""What mounting a disk image whole costs: image.mounted entered and left
(in this interpreter, and as the command's image mount + image umount)
against systemd-dissect --mount --fsck=no --growfs=no + --umount, on a
GPT image of three ext4 partitions (root, usr, home) made by
systemd-repart; interleaved run by run, the median of many runs."""

import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path


def three_partitions(work):
    """The image, or None without systemd-repart."""
    if shutil.which("systemd-repart") is None:
        return None
    defs = Path(work) / "defs"
    defs.mkdir()
    for i, kind in enumerate(("root", "usr", "home")):
        (defs / f"{i}.conf").write_text(f"[Partition]\nType={kind}\nFormat=ext4\nSizeMinBytes=16M\nSizeMaxBytes=16M\n")
    disk = Path(work) / "disk.img"
    subprocess.run(["systemd-repart", "--empty=create", "--size=auto", f"--definitions={defs}", "--dry-run=no",
                    "--no-pager", str(disk)], check=True, capture_output=True)  # fmt: skip
    return disk


def contenders(disk, target):
    from velkora import image

    def tool(*argv):
        return lambda: subprocess.run(argv, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def mounted():
        with image.mounted(disk, target):
            pass

    def velkora_commands():
        tool(sys.executable, "-m", "velkora", "image", "mount", str(disk), str(target))()
        tool(sys.executable, "-m", "velkora", "image", "umount", str(target))()

    found = {"velkora image.mounted": mounted, "velkora image mount+umount": velkora_commands}
    if shutil.which("systemd-dissect"):
        mount = tool("systemd-dissect", "--mount", "--fsck=no", "--growfs=no", str(disk), str(target))
        umount = tool("systemd-dissect", "--umount", str(target))
        found["systemd-dissect --mount+--umount"] = lambda: (mount(), umount())
    return found


def wall_s(fn):
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def imaged(rounds, runs=5):
    """Median wall seconds of each contender; {} without systemd-repart."""
    with tempfile.TemporaryDirectory(prefix="velkora-image-") as work:
        disk = three_partitions(work)
        if disk is None:
            return {}
        target = Path(work) / "mnt"
        target.mkdir()
        runners = contenders(disk, target)
        for fn in runners.values():
            fn()  # warm the page cache, and make the mount points
        samples = {name: [] for name in runners}
        for _ in range(rounds * runs):
            for name, fn in runners.items():
                samples[name].append(wall_s(fn))
    return {name: statistics.median(values) for name, values in samples.items()}


def report(figures):
    if not figures:
        return ["a disk image mounted whole: systemd-repart not found (Debian: systemd-repart or systemd)"]
    out = ["a disk image mounted whole (root, usr, home: enter and exit): wall time (median)"]
    base = figures.get("systemd-dissect --mount+--umount")
    for name, seconds in figures.items():
        ratio = f"{seconds / base:>8.2f}x systemd-dissect" if base else ""
        out.append(f"  {name:34}{seconds * 1000:>9.2f} ms{ratio}")
    return out


if __name__ == "__main__":
    if os.environ.get("VELKORA_BENCH_NAMESPACE") != "1":
        env = dict(os.environ, VELKORA_BENCH_NAMESPACE="1")
        cmd = ["unshare", "--mount", "--propagation", "private", sys.executable, *sys.argv]
        sys.exit(subprocess.run(cmd, env=env).returncode)
    print("\n".join(report(imaged(int(sys.argv[1]) if len(sys.argv) > 1 else 3))))

"""What finding each partition of a disk image costs: velkora.image.dissect
in-process, and ``velkora image list`` against ``systemd-dissect IMAGE`` as
whole processes (each started and timed whole, in turn), on a four-partition
GPT image (ESP, root, usr, home) made here by systemd-repart. Needs
systemd-repart and systemd-dissect; without them the rows are left out."""

import os
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

SCRIPT = Path(sys.executable).parent / "velkora"
TIMEOUT = 30  # s: far beyond any run of these here
DEFINITIONS = {
    "esp": "Format=vfat\nSizeMinBytes=33M\nSizeMaxBytes=33M\n",
    "root": "Format=ext4\nSizeMinBytes=16M\nSizeMaxBytes=16M\nMakeDirectories=/usr /home /efi\n",
    "usr": "Format=ext4\nSizeMinBytes=16M\nSizeMaxBytes=16M\n",
    "home": "Format=ext4\nSizeMinBytes=16M\nSizeMaxBytes=16M\n",
}


def make_image(work):
    defs = Path(work) / "defs"
    defs.mkdir()
    for i, (kind, body) in enumerate(DEFINITIONS.items()):
        (defs / f"{i}-{kind}.conf").write_text(f"[Partition]\nType={kind}\n{body}")
    image = str(Path(work) / "four.img")
    subprocess.run(["systemd-repart", "--empty=create", "--size=auto", f"--definitions={defs}", "--dry-run=no",
                    "--no-pager", image], check=True, capture_output=True, stdin=subprocess.DEVNULL)  # fmt: skip
    return image


def wall_s(argv, timeout=None):
    """The wall time of argv, run to its end; TimeoutExpired after timeout s,
    its whole process group killed first (what it forked would hold the
    image's loop device)."""
    start = time.perf_counter()
    null = subprocess.DEVNULL
    with subprocess.Popen(argv, stdin=null, stdout=null, stderr=null, start_new_session=True) as run:
        try:
            run.wait(timeout)
        except subprocess.TimeoutExpired:
            os.killpg(run.pid, signal.SIGKILL)  # not reaped yet: the group is still its own
            run.wait()
            raise
    if run.returncode:
        raise subprocess.CalledProcessError(run.returncode, argv)
    return time.perf_counter() - start


def dissected(rounds, calls=500, runs=10):
    """{"in-process": ns per dissect, "processes": {command: wall s}}; {} without the tools."""
    if not (shutil.which("systemd-repart") and shutil.which("systemd-dissect")):
        return {}
    from velkora import image

    velkora = [str(SCRIPT)] if SCRIPT.exists() else [sys.executable, "-m", "velkora"]
    with tempfile.TemporaryDirectory(prefix="velkora-dissect-") as work:
        path = make_image(work)
        argvs = {
            "velkora image list": [*velkora, "image", "list", path],
            "systemd-dissect": ["systemd-dissect", path],
            "python -c pass": [sys.executable, "-c", "pass"],
        }
        for name in ("velkora image list", "python -c pass"):
            wall_s(argvs[name])  # warm the page cache
        # systemd-dissect that cannot attach here (a root without udev), or
        # that hangs on its own loop device's lock (seen with systemd 257 in a
        # bare root): no column.
        try:
            wall_s(argvs["systemd-dissect"], TIMEOUT)
        except (subprocess.CalledProcessError, subprocess.TimeoutExpired):
            del argvs["systemd-dissect"]
        inside, whole = [], {name: [] for name in argvs}
        for _ in range(rounds):
            start = time.perf_counter_ns()
            for _ in range(calls):
                image.dissect(path)
            inside.append((time.perf_counter_ns() - start) / calls)
            for _ in range(runs):
                for name, argv in list(argvs.items()):
                    try:
                        whole[name].append(wall_s(argv, TIMEOUT))
                    except subprocess.TimeoutExpired:
                        del argvs[name], whole[name]
    return {"in-process": statistics.median(inside),
            "processes": {name: statistics.median(values) for name, values in whole.items()}}  # fmt: skip


def report(figures):
    if not figures:
        return ["dissecting an image: no systemd-repart or systemd-dissect"]
    processes = figures["processes"]
    base = processes.get("systemd-dissect")
    out = ["dissecting a four-partition GPT image (median)",
           f"  {'image.dissect, in-process':26}{figures['in-process'] / 1e6:>9.3f} ms"]  # fmt: skip
    for name, seconds in processes.items():
        ratio = f"{seconds / base:>8.2f}x systemd-dissect" if base else ""
        out.append(f"  {name:26}{seconds * 1000:>9.1f} ms{ratio}")
    return out


if __name__ == "__main__":
    os.environ.setdefault("LC_ALL", "C.UTF-8")
    print("\n".join(report(dissected(int(sys.argv[1]) if len(sys.argv) > 1 else 3))))

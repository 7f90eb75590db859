"""What running /bin/true inside a root costs: velkora.chroot.run (with the
host's /dev and with a minimal one) against bubblewrap making the same
mounts, arch-chroot (when installed) and a bare chroot(8), each timed whole
from this interpreter, interleaved run by run, the median of many runs. The
root is a static busybox, made here."""

import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path


def busybox_root(work):
    busybox = shutil.which("busybox")
    if busybox is None:
        return None
    root = Path(work) / "root"
    for name in ("bin", "etc", "proc", "sys", "dev", "run", "tmp"):
        (root / name).mkdir(parents=True, exist_ok=True)
    shutil.copy(busybox, root / "bin" / "busybox")
    for name in ("sh", "true", "bash"):
        os.symlink("busybox", root / "bin" / name)
    (root / "etc" / "resolv.conf").touch()
    return root


def contenders(root):
    from velkora import chroot

    def tool(*argv):
        return lambda: subprocess.run(argv, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    found = {
        "velkora chroot.run": lambda: chroot.run(root, ["/bin/true"], check=True),
        "velkora, dev=minimal": lambda: chroot.run(root, ["/bin/true"], dev="minimal", check=True),
    }
    if shutil.which("bwrap"):
        found["bwrap, same mounts"] = tool(
            "bwrap", "--bind", str(root), "/", "--proc", "/proc", "--ro-bind", "/sys", "/sys", "--dev", "/dev",
            "--tmpfs", "/run", "--tmpfs", "/tmp", "--ro-bind", "/etc/resolv.conf", "/etc/resolv.conf", "/bin/true",
        )  # fmt: skip
    if shutil.which("arch-chroot"):
        found["arch-chroot"] = tool("arch-chroot", str(root), "/bin/true")
    found["chroot(8), no mounts"] = tool("chroot", str(root), "/bin/true")
    return found


def wall_s(fn):
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def rooted(rounds, runs=10):
    """Median wall seconds of each contender; {} without busybox."""
    with tempfile.TemporaryDirectory(prefix="velkora-root-") as work:
        root = busybox_root(work)
        if root is None:
            return {}
        runners = contenders(root)
        for fn in runners.values():
            fn()  # warm the page cache
        samples = {name: [] for name in runners}
        for _ in range(rounds * runs):
            for name, fn in runners.items():
                samples[name].append(wall_s(fn))
    return {name: statistics.median(values) for name, values in samples.items()}


def report(figures):
    if not figures:
        return ["a command inside a root: busybox not found (Debian: busybox-static)"]
    out = ["a command inside a root (/bin/true): wall time, from this interpreter (median)"]
    base = figures.get("bwrap, same mounts")
    for name, seconds in figures.items():
        ratio = f"{seconds / base:>8.2f}x bwrap" if base else ""
        out.append(f"  {name:26}{seconds * 1000:>9.2f} ms{ratio}")
    return out


if __name__ == "__main__":
    if os.environ.get("VELKORA_BENCH_NAMESPACE") != "1":
        env = dict(os.environ, VELKORA_BENCH_NAMESPACE="1")
        cmd = ["unshare", "--mount", "--propagation", "private", sys.executable, *sys.argv]
        sys.exit(subprocess.run(cmd, env=env).returncode)
    print("\n".join(report(rooted(int(sys.argv[1]) if len(sys.argv) > 1 else 3))))

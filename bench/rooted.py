"""What running /bin/true inside a root costs: velkora.chroot.run (with the
host's /dev and with a minimal one) against bubblewrap making the same
mounts, arch-chroot (when installed) and a bare chroot(8), each timed whole
from this interpreter, interleaved run by run, the median of many runs. The
root is a static busybox, made here. Then, as an ordinary user without
subordinate ids (uid 65534), chroot.run(userns=True) against bwrap
--unshare-user --unshare-pid making the same mounts."""

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


# The ordinary user the userns row runs as, and the modules it needs imported
# before it drops root: the interpreter may be one it cannot read.
NOBODY = 65534
MODULES = ("fcntl", "json", "select", "selectors", "signal", "subprocess", "velkora._idmap", "velkora.chroot")


def userns_contenders(root):
    from velkora import chroot

    bwrap = [
        "bwrap", "--unshare-user", "--unshare-pid", "--bind", str(root), "/", "--proc", "/proc", "--ro-bind", "/sys",
        "/sys", "--dev", "/dev", "--tmpfs", "/dev/shm", "--tmpfs", "/run", "--tmpfs", "/tmp", "--ro-bind",
        "/etc/resolv.conf", "/etc/resolv.conf", "/bin/true",
    ]  # fmt: skip
    return {
        "chroot.run(userns=True)": lambda: chroot.run(root, ["/bin/true"], userns=True, check=True),
        "bwrap --unshare-user/pid": lambda: subprocess.run(bwrap, check=True, stdout=subprocess.DEVNULL),
    }


def as_nobody(root, rounds, runs):
    """Run in a child, as root at first: the userns row's samples timed as
    uid 65534 without subordinate ids, printed as JSON."""
    import ctypes
    import importlib
    import json

    for name in MODULES:
        importlib.import_module(name)
    os.setgroups([])
    os.setgid(NOBODY)
    os.setuid(NOBODY)
    ctypes.CDLL(None).prctl(4, 1, 0, 0, 0)  # PR_SET_DUMPABLE: its children's /proc files its own again
    runners = userns_contenders(root)
    for fn in runners.values():
        fn()
    samples = {name: [] for name in runners}
    for _ in range(rounds * runs):
        for name, fn in runners.items():
            samples[name].append(wall_s(fn))
    print(json.dumps({name: statistics.median(values) for name, values in samples.items()}))


def rooted_userns(rounds, runs=10):
    """Median wall seconds of the userns contenders as uid 65534; {} without
    busybox or bwrap, or where 65534 has subordinate ids."""
    import json

    if not shutil.which("bwrap") or any(_subordinate(path) for path in ("/etc/subuid", "/etc/subgid")):
        return {}
    with tempfile.TemporaryDirectory(prefix="velkora-root-") as work:
        root = busybox_root(work)
        if root is None:
            return {}
        os.chmod(work, 0o755)
        for top, dirs, files in os.walk(root):
            for name in [top, *(os.path.join(top, n) for n in dirs + files)]:
                os.lchown(name, NOBODY, NOBODY)
        argv = [sys.executable, __file__, "as-nobody", str(root), str(rounds), str(runs)]
        done = subprocess.run(argv, stdout=subprocess.PIPE, check=True)
    return json.loads(done.stdout)


def _subordinate(path):
    import pwd

    names = {str(NOBODY), pwd.getpwuid(NOBODY).pw_name}
    try:
        with open(path) as f:
            return any(line.split(":")[0] in names for line in f)
    except FileNotFoundError:
        return False


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


def report(figures, userns=None):
    if not figures:
        return ["a command inside a root: busybox not found (Debian: busybox-static)"]
    out = ["a command inside a root (/bin/true): wall time, from this interpreter (median)"]
    rows = [(None, figures, "bwrap, same mounts")]
    if userns:
        rows.append(("  as uid 65534 (no subordinate ids), in a user namespace:", userns, "bwrap --unshare-user/pid"))
    for title, found, baseline in rows:
        out += [title] if title else []
        base = found.get(baseline)
        for name, seconds in found.items():
            ratio = f"{seconds / base:>8.2f}x bwrap" if base else ""
            out.append(f"  {name:26}{seconds * 1000:>9.2f} ms{ratio}")
    return out


if __name__ == "__main__":
    if sys.argv[1:2] == ["as-nobody"]:
        sys.exit(as_nobody(sys.argv[2], int(sys.argv[3]), int(sys.argv[4])))
    if os.environ.get("VELKORA_BENCH_NAMESPACE") != "1":
        env = dict(os.environ, VELKORA_BENCH_NAMESPACE="1")
        cmd = ["unshare", "--mount", "--propagation", "private", sys.executable, *sys.argv]
        sys.exit(subprocess.run(cmd, env=env).returncode)
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 3
    print("\n".join(report(rooted(rounds), rooted_userns(rounds))))

"""chroot.run(userns=True) and velkora chroot --userns in a busybox root, as an
ordinary user with and without subordinate ids, and as root: what the
command is and sees inside, whom its files belong to outside, and that
nothing is left on the host, a kill -9 of the caller included."""

from __future__ import annotations

import os
import shutil
import signal
import subprocess
import sys
import time
from contextlib import contextmanager
from pathlib import Path

import pytest

from support import PROGRAMS
from support.mountinfo import mounts
from support.namespace import unavailable
from support.users import run_as, test_user
from velkora import chroot

pytestmark = [pytest.mark.usefixtures("kernel"), pytest.mark.fdmount, pytest.mark.userns]
APPLETS = ("sh", "id", "cat", "touch", "chown", "sleep", "setsid", "echo")
# A program run as the caller: chroot.run(userns=True) of a shell script in
# the root, the directory out bound at /out, then the command's status.
PROGRAM = """
import sys
from velkora import chroot
root, out, script = sys.argv[-3:]
done = chroot.run(root, ["sh", "-c", script], userns=True, binds=[(out, "/out")], env={"PATH": "/bin"})
sys.exit(done.returncode)
"""


def busybox_root(top: Path, uid: int, gid: int) -> Path:
    """A busybox root under top, owned by uid:gid, without the places run()
    mounts on (made and removed again by the namespace's uid 0)."""
    busybox = shutil.which("busybox")
    if busybox is None:
        unavailable("busybox not found (Debian: busybox-static)")
    root = top / "root"
    (root / "bin").mkdir(parents=True)
    (root / "etc").mkdir()
    shutil.copy(busybox, root / "bin" / "busybox")
    for name in APPLETS:
        os.symlink("busybox", root / "bin" / name)
    for path in (root, root / "bin", root / "etc", root / "bin" / "busybox"):
        os.chown(path, uid, gid)
    return root


@contextmanager
def caller_of(kind: str, tmp_path: Path):
    """(user or None for root, a root it owns, a directory out it owns)."""
    if kind == "root":
        out = tmp_path / "out"
        out.mkdir()
        yield None, busybox_root(tmp_path, 0, 0), out
        return
    with test_user(subids=kind == "subids") as user:
        home = Path(user.home)
        out = home / "out"
        out.mkdir()
        os.chown(out, user.uid, user.gid)
        yield user, busybox_root(home, user.uid, user.gid), out


def run(user, argv):
    argv = [sys.executable, *argv]
    return run_as(user, argv) if user else subprocess.run(argv, capture_output=True, text=True)


def tree(path):
    return sorted(os.path.relpath(os.path.join(d, n), path) for d, ds, fs in os.walk(path) for n in ds + fs)


def sleeping(*seconds: int) -> list[str]:
    """The processes that run busybox's sleep for one of these times."""
    wanted = {f"sleep\0{n}\0".encode() for n in seconds}
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                found += [pid] if f.read() in wanted else []
        except OSError:
            pass
    return found


SCRIPT = (
    "id -u > /out/id; id -g >> /out/id; cat /proc/self/uid_map /proc/self/gid_map > /out/maps; "
    "cat /proc/self/mountinfo > /out/table; touch /out/zero; touch /out/one; chown 1:1 /out/one; echo $? > /out/chown; "
    "setsid sleep 7301 </dev/null >/dev/null 2>&1 &"
)


@pytest.mark.parametrize("kind", ["user", "subids", "root"])
def test_run_as_uid_0_of_a_namespace_of_its_own(tmp_path, kind):
    with caller_of(kind, tmp_path) as (user, root, out):
        before, host = tree(root), mounts()
        done = run(user, ["-c", PROGRAM, str(root), str(out), SCRIPT])
        assert done.returncode == 0, done.stderr
        uid, gid, sub = (user.uid, user.gid, user.subuids) if user else (0, 0, None)
        # Inside: uid and gid 0; the caller's ids as 0, its subordinate ids from 1.
        assert (out / "id").read_text().split() == ["0", "0"]
        lines = [[0, uid, 1]] + ([[1, sub[0], sub[1]]] if sub else [])
        got = [list(map(int, line.split())) for line in (out / "maps").read_text().splitlines()]
        assert got == lines + [[0, gid, 1]] + lines[1:]
        # The mounts of run() a user namespace allows: mount point -> type, options, the superblock's options.
        inside = {f[4]: (f[-3], set(f[5].split(",")), f[-1]) for f in map(str.split, (out / "table").open())}
        assert {t: inside[t][0] for t in ("/proc", "/sys", "/dev", "/dev/null", "/dev/pts", "/run", "/tmp")} == {
            "/proc": "proc", "/sys": "sysfs", "/dev": "tmpfs", "/dev/null": "devtmpfs", "/dev/pts": "devpts",
            "/run": "tmpfs", "/tmp": "tmpfs",
        }  # fmt: skip
        assert all("ro" in inside[t][1] for t in inside if t.startswith("/sys") or t == "/etc/resolv.conf")
        assert {"nosuid", "nodev", "noexec"} <= inside["/proc"][1] and "/out" in inside and "/dev/shm" in inside
        # /dev/pts's gid=5 only where mapped (mountinfo shows it as the host's id it is).
        pts = [o for o in inside["/dev/pts"][2].split(",") if o[:4] == "gid="]
        assert pts == ([f"gid={sub[0] + 4}"] if sub else [])
        # Outside: made as uid 0, the caller's; chown to 1, the first subordinate id (refused unmapped).
        assert (os.stat(out / "zero").st_uid, os.stat(out / "zero").st_gid) == (uid, gid)
        owner = (os.stat(out / "one").st_uid, os.stat(out / "one").st_gid)
        chowned = (out / "chown").read_text().strip() == "0"
        assert (owner, chowned) == (((sub[0],) * 2, True) if sub else ((uid, gid), False))
        # Nothing left: the daemon ended with the command, the places removed, no mount outside.
        assert sleeping(7301) == []
        assert tree(root) == before and mounts() == host


def test_kill_9_of_the_caller_leaves_nothing(tmp_path):
    with caller_of("subids", tmp_path) as (user, root, out):
        before, host = tree(root), mounts()
        script = "setsid sleep 7302 </dev/null >/dev/null 2>&1 & touch /out/started; exec sleep 7303"
        argv = [sys.executable, "-c", PROGRAM, str(root), str(out), script]
        env = dict(os.environ, VELKORA_TEST_USER=f"{user.uid}:{user.gid}")
        caller = subprocess.Popen([sys.executable, str(PROGRAMS / "as_user.py"), *argv[1:]], env=env, cwd=user.home)
        try:
            for _ in range(500):
                if (out / "started").exists() and len(sleeping(7302, 7303)) == 2:
                    break
                time.sleep(0.01)
            assert len(sleeping(7302, 7303)) == 2
            # The places, made by the namespace's uid 0: the user's outside.
            owners = {(os.stat(root / name).st_uid, os.stat(root / name).st_gid) for name in ("proc", "run")}
            assert owners == {(user.uid, user.gid)}
        finally:
            caller.send_signal(signal.SIGKILL)
            caller.wait()
        for _ in range(500):
            if not sleeping(7302, 7303) and tree(root) == before:
                break
            time.sleep(0.01)
        assert sleeping(7302, 7303) == [] and tree(root) == before and mounts() == host


@pytest.mark.parametrize("userns", [False, True])
def test_an_interrupt_as_the_init_is_handed_over_leaves_nothing(tmp_path, userns):
    # A handler that raises as spawn() returns (a SIGINT another thread
    # took runs it there): the init it started is ended all the same.
    from velkora import _chroot

    def interrupt(frame, event, arg):
        if event == "c_return" and arg is _chroot.spawn:
            raise KeyboardInterrupt

    with caller_of("root", tmp_path) as (_, root, out):
        before, fds = tree(root), sorted(os.listdir("/proc/self/fd"))
        sys.setprofile(interrupt)
        try:
            with pytest.raises(KeyboardInterrupt):
                chroot.run(root, ["sleep", "7304"], userns=userns, dev="minimal")
        finally:
            sys.setprofile(None)
        assert (sleeping(7304), tree(root), sorted(os.listdir("/proc/self/fd"))) == ([], before, fds)


def test_velkora_chroot_userns(tmp_path):
    with caller_of("user", tmp_path) as (user, root, out):
        before = tree(root)
        # as_user.py's words are the command's (sys.executable is dropped by run()).
        done = run_as(user, [sys.executable, "chroot", "--userns", str(root), "sh", "-c", "id -u; exit 3"])
        assert (done.returncode, done.stdout, done.stderr) == (3, "0\n", "")
        assert tree(root) == before
        # A root the caller may not write in: its refusal, no word of root.
        theirs = busybox_root(Path(user.home) / "theirs", 0, 0)
        done = run_as(user, [sys.executable, "chroot", "--userns", str(theirs), "true"])
        assert (done.returncode, done.stderr) == (1, "velkora: chroot /proc: Permission denied\n")


def test_errors_name_the_fault(tmp_path):
    with pytest.raises(ValueError, match="dev='host'"):
        chroot.run(tmp_path, ["true"], userns=True, dev="host")
    with caller_of("subids", tmp_path) as (user, root, out):
        # A root the caller may not write in: the place named, nothing made.
        theirs = busybox_root(Path(user.home) / "theirs", 0, 0)
        done = run(user, ["-c", PROGRAM, str(theirs), str(out), "true"])
        assert "PermissionError: [Errno 13] Permission denied: '/proc'" in done.stderr
        # newuidmap refusing ids the caller was not given: its word, the init
        # killed and reaped before anything was made.
        before = tree(root)
        stolen = f"from velkora import _idmap\n_idmap.caller_maps = lambda: (((0, {user.uid}, 1), (1, 1, 1)),) * 2\n"
        done = run(user, ["-c", stolen + PROGRAM, str(root), str(out), "true"])
        assert "PermissionError" in done.stderr and f"newuidmap refused 0 {user.uid} 1 1 1 1" in done.stderr
        assert tree(root) == before and tree(out) == []
    with caller_of("user", tmp_path) as (user, root, out):
        # A caller not dumpable (its ids changed since its exec): the maps of
        # its children are root's to write, which is said.
        undumpable = "import ctypes\nctypes.CDLL(None).prctl(4, 0, 0, 0, 0)\n"  # PR_SET_DUMPABLE 0
        done = run(user, ["-c", undumpable + PROGRAM, str(root), str(out), "true"])
        said = f"PermissionError: [Errno 13] Permission denied: writing '0 {user.uid} 1': this process is not dumpable"
        assert said in done.stderr
    # No user namespace to be had (max_user_namespaces 0 in a namespace of
    # its own, where root may set it): the reason said.
    limited = "echo 0 > /proc/sys/user/max_user_namespaces && exec " + " ".join(
        [sys.executable, "-c", repr("from velkora import chroot; chroot.run('/', ['true'], userns=True)")]
    )
    done = subprocess.run(["unshare", "--user", "--map-root-user", "sh", "-c", limited], capture_output=True, text=True)
    said = "no user namespace could be made: clone(CLONE_NEWUSER): No space left on device: user namespaces are"
    assert said + " disabled" in done.stderr, done.stderr

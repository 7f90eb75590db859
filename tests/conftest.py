"""Shared fixtures: a recording stand-in for the kernel, and a private mount
namespace for the tests that mount real filesystems.

The whole test session moves into a mount namespace of its own, with every
mount private, before any test runs, so nothing a test mounts can reach the
host's mount table.  Without root (or namespaces) the kernel tests skip; under
CI=true they fail instead, since a skipped kernel test proves nothing.
"""

import ctypes
import errno
import json
import os
import re
import select
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import velkora.mount as vm

SUPPORT = Path(__file__).parent / "support"
IN_CI = os.environ.get("CI") == "true"

CLONE_NEWNS = 0x00020000
MS_REC = 16384
MS_PRIVATE = 1 << 18

# Why the kernel tests cannot run here, or None once the namespace is ours.
NAMESPACE_PROBLEM = "the mount namespace was not set up"


def _enter_private_namespace():
    if os.geteuid() != 0:
        return "not root: mounting needs CAP_SYS_ADMIN"
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.unshare(CLONE_NEWNS) != 0:
        return "unshare(CLONE_NEWNS) failed: " + os.strerror(ctypes.get_errno())
    # A new namespace inherits shared propagation: make it private first, or
    # mounts made here would still show up in the host's namespace.
    if libc.mount(b"none", b"/", None, MS_REC | MS_PRIVATE, None) != 0:
        return "making / private failed: " + os.strerror(ctypes.get_errno())
    return None


def pytest_configure(config):
    global NAMESPACE_PROBLEM
    NAMESPACE_PROBLEM = _enter_private_namespace()


def unavailable(reason):
    """Skip, or fail under CI, where a skip would hide an untested change."""
    if IN_CI:
        pytest.fail("required in CI: " + reason, pytrace=False)
    pytest.skip(reason)


@pytest.fixture
def kernel():
    """The real kernel, in the session's private mount namespace."""
    if NAMESPACE_PROBLEM:
        unavailable(NAMESPACE_PROBLEM)


# ---------------------------------------------------------------- mountinfo


def mounts():
    """The mount table of this namespace: one dict per /proc/self/mountinfo line."""
    table = []
    with open("/proc/self/mountinfo") as f:
        for line in f:
            left, right = line.split(" - ")
            fields = left.split()
            fstype, source, super_opts = right.split()
            table.append(
                {
                    "root": _unescape(fields[3]),
                    "target": _unescape(fields[4]),
                    "options": set(fields[5].split(",")),
                    "fstype": fstype,
                    "source": _unescape(source),
                    "super": set(super_opts.split(",")),
                }
            )
    return table


def _unescape(field):
    # The kernel writes space, tab, newline and backslash as octal escapes.
    raw = re.sub(rb"\\([0-7]{3})", lambda o: bytes([int(o[1], 8)]), os.fsencode(field))
    return os.fsdecode(raw)


def mount_at(path):
    """The topmost mount on ``path``, or None."""
    found = [m for m in mounts() if m["target"] == str(path)]
    return found[-1] if found else None


def detach(target):
    """Lazily unmount ``target``, which a detached parent may have taken along."""
    try:
        vm.umount(target, vm.MNT_DETACH)
    except OSError as e:
        if e.errno != errno.EINVAL:
            raise


def unmount_all_below(path):
    """Detach whatever tests left mounted at or below ``path``."""
    path = str(path)
    for m in reversed(mounts()):
        if m["target"] == path or m["target"].startswith(path + "/"):
            detach(m["target"])


@pytest.fixture
def place(kernel, tmp_path):
    """A scratch directory whose mounts are all undone afterwards."""
    yield tmp_path
    unmount_all_below(tmp_path)


# ---------------------------------------------------------------- btrfs


def _run(*cmd):
    return subprocess.run(cmd, check=True, capture_output=True, text=True).stdout.strip()


@pytest.fixture(scope="module")
def btrfs_device(tmp_path_factory):
    """A loop device holding a fresh Btrfs filesystem, detached afterwards."""
    if NAMESPACE_PROBLEM:
        unavailable(NAMESPACE_PROBLEM)
    if shutil.which("mkfs.btrfs") is None:
        unavailable("mkfs.btrfs not found (Debian: btrfs-progs)")
    image = tmp_path_factory.mktemp("btrfs") / "image"
    with open(image, "wb") as f:
        f.truncate(256 << 20)  # sparse: costs only what mkfs writes
    _run("mkfs.btrfs", "-q", str(image))
    device = _run("losetup", "--find", "--show", str(image))
    try:
        yield device
    finally:
        for m in reversed(mounts()):
            if m["source"] == device:
                detach(m["target"])
        subprocess.run(["losetup", "--detach", device], check=False)
        image.unlink()


# ---------------------------------------------------------------- the double


@pytest.fixture(scope="session")
def interposer(tmp_path_factory):
    """Builds the preload library that stands in for mount(2) and umount2(2)."""
    cc = os.environ.get("CC", "cc")
    out = tmp_path_factory.mktemp("interposer") / "libvkinterposer.so"
    subprocess.run(
        [cc, "-shared", "-fPIC", "-O1", "-Wall", "-o", str(out), str(SUPPORT / "interposer.c"), "-ldl"],
        check=True,
    )
    return out


class Reply:
    """What one call did: its outcome and the system calls that reached the double."""

    def __init__(self, raw):
        self.__dict__.update(raw)
        self.calls = []
        self.gil = []
        for line in raw["calls"]:
            fn, *fields = line.split(" ")
            if fn == "mount":
                src, tgt, fstype, flags, data, gil = fields
                self.calls.append(("mount", _text(src), _text(tgt), _text(fstype), int(flags), _text(data)))
            elif fn == "umount2":
                tgt, flags, gil = fields
                self.calls.append(("umount2", _text(tgt), int(flags)))
            else:
                gil = "0"
                self.calls.append((fn, *map(_text, fields)))
            self.gil.append(gil == "1")


def _text(field):
    return None if field == "-" else bytes.fromhex(field[1:])


ANSWER_TIMEOUT = 60  # seconds; valgrind makes a call slow, a hang makes it endless


class Double:
    """An interpreter whose mount() and umount2() only record and answer."""

    def __init__(self, library, log, wrapper=(), **env):
        # Anything already preloaded (a sanitizer runtime) must stay first.
        preload = " ".join(filter(None, [os.environ.get("LD_PRELOAD"), str(library)]))
        self.env = dict(os.environ, LD_PRELOAD=preload, VK_LOG=str(log), **env)
        self.log = log
        self.wrapper = list(wrapper)  # a command to run the interpreter under
        self.proc = None

    def script(self, code, *, timeout=60, **env):
        """Runs ``code`` in a fresh interposed interpreter; returns its stdout as JSON."""
        run = subprocess.run(
            [sys.executable, "-c", code],
            env={**self.env, "VK_LOG": os.devnull, **{k: str(v) for k, v in env.items()}},
            capture_output=True,
            text=True,
            timeout=timeout,
        )
        assert run.returncode == 0, run.stderr
        return json.loads(run.stdout)

    def _start(self):
        self.log.write_text("")
        self.proc = subprocess.Popen(
            [*self.wrapper, sys.executable, str(SUPPORT / "worker.py")],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            env=self.env,
            text=True,
        )

    def __call__(self, expr, errno=0, delay_ms=0):
        if self.proc is None or self.proc.poll() is not None:
            self._start()
        request = {"expr": expr, "errno": errno, "delay_ms": delay_ms}
        self.proc.stdin.write(json.dumps(request) + "\n")
        self.proc.stdin.flush()
        # One answer line per request, so nothing waits in the reader's buffer.
        if not select.select([self.proc.stdout], [], [], ANSWER_TIMEOUT)[0]:
            self.proc.kill()
            self.close()
            raise AssertionError(f"no answer in {ANSWER_TIMEOUT} s to {expr!r}")
        line = self.proc.stdout.readline()
        if not line:
            code = self.close()
            raise AssertionError(f"the interpreter died (exit {code}) running {expr!r}")
        return Reply(json.loads(line))

    def close(self):
        """Ends the interpreter; returns its exit status."""
        if self.proc is None:
            return None
        self.proc.stdin.close()
        code = self.proc.wait()
        self.proc.stdout.close()
        self.proc = None
        return code


@pytest.fixture(scope="session")
def double(interposer, tmp_path_factory):
    d = Double(interposer, tmp_path_factory.mktemp("double") / "calls.log")
    yield d
    d.close()

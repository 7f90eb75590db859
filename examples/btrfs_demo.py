"""A Btrfs volume from scratch, driven from Python with velkora.

Needs root and mkfs.btrfs, and no disk of yours: it makes a sparse image file,
formats it, attaches it to a loop device, mounts it with the default filesystem
type, mounts a subvolume through ``data="subvol=..."``, makes a read-only bind
view by remount, shows the mounts as velkora.mountinfo reads them and as the
``velkora list`` command draws them, and then takes it all down again. Every mount is a ``velkora.mounted`` block on one
ExitStack, so a failure or Ctrl-C still unmounts, detaches the loop device
and removes the image; all of it happens in a private mount namespace.

    sudo python3 examples/btrfs_demo.py
"""

import contextlib
import ctypes
import errno
import os
import shutil
import signal
import subprocess
import sys
import tempfile
from typing import Any, NoReturn

import velkora.mount as m
from velkora import loop, mounted
from velkora.flags import MS
from velkora.mountinfo import mounts_below

CLONE_NEWNS = 0x00020000


def step(text: str) -> None:
    print(f"-- {text}", flush=True)


def run(*cmd: str) -> str:
    """A short command's output. Ctrl-C and SIGTERM wait until it has ended:
    a child forked at the moment of the interrupt would otherwise be left
    running, still using the mount that the clean-up is about to unmount."""
    held = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT, signal.SIGTERM})
    try:
        return subprocess.run(cmd, check=True, capture_output=True, text=True).stdout.strip()
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, held)


def enter_private_namespace() -> None:
    """Work on a private copy of the mount table: the host's stays untouched."""
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.unshare(CLONE_NEWNS) != 0:
        code = ctypes.get_errno()
        raise OSError(code, "unshare(CLONE_NEWNS): " + os.strerror(code))
    m.mount("none", "/", "", MS.REC | MS.PRIVATE)


def stop_on_sigterm(signum: int, frame: Any) -> NoReturn:
    raise KeyboardInterrupt


def demo(cleanup: contextlib.ExitStack) -> None:
    enter_private_namespace()
    step("entered a private mount namespace")

    work = tempfile.mkdtemp(prefix="velkora-demo-")
    cleanup.callback(shutil.rmtree, work, ignore_errors=True)
    image = os.path.join(work, "btrfs.img")
    with open(image, "wb") as sparse:
        sparse.truncate(256 << 20)
    step(f"made a sparse 256 MiB image {image}")
    run("mkfs.btrfs", "-q", image)
    step("formatted it with mkfs.btrfs")

    # Detached (and its fd closed) by the stack after every mount on it is gone.
    loop_device = cleanup.enter_context(loop.attach(image))
    device = loop_device.path
    step(f"attached it to {device}")

    top, home, view = (os.path.join(work, name) for name in ("top", "home", "view"))
    for path in (top, home, view):
        os.mkdir(path)

    # Each mount is undone by the stack, last first; the step after it says so.
    cleanup.callback(step, f"umount({top!r})")
    cleanup.enter_context(mounted(device, top))  # the default filesystem type is Btrfs
    step(f"mount({device!r}, {top!r})  # fstype defaults to btrfs")

    run("btrfs", "subvolume", "create", os.path.join(top, "home"))
    with open(os.path.join(top, "home", "hello.txt"), "w") as f:
        f.write("hello from a subvolume\n")
    step("created subvolume 'home' and wrote home/hello.txt")

    cleanup.callback(step, f"umount({home!r})")
    cleanup.enter_context(mounted(device, home, data="subvol=home"))
    with open(os.path.join(home, "hello.txt")) as f:
        step(f"mount({device!r}, {home!r}, data='subvol=home')  -> hello.txt says {f.read().strip()!r}")

    # detach=True: leaving the block unmounts lazily, even while a file is open.
    with mounted(home, view, flags=MS.BIND, detach=True):
        m.mount("none", view, flags=MS.REMOUNT | MS.BIND | MS.RDONLY)
        step(f"bind-mounted {home} on {view}, then remounted it read-only")
        try:
            with open(os.path.join(view, "new.txt"), "w") as f:
                f.write("must not land\n")
        except OSError as e:
            if e.errno != errno.EROFS:
                raise
            step(f"writing through the view fails: {type(e).__name__}: [Errno {e.errno}] {e.strerror}")
        else:
            raise SystemExit("the read-only view accepted a write")
        for below in mounts_below(work):
            step(f"  {below.mount_point}: {below.fs_type} {below.source} root={below.root} ({below.options})")
        held = open(os.path.join(view, "hello.txt"))  # held open across the unmount
    with held:
        step(f"umount({view!r}, MNT_DETACH) while a file was open: still reads {held.read().strip()!r}")

    # The same table from the shell: the velkora command (python -m velkora).
    step(f"velkora list {work}")
    print(run(sys.executable, "-m", "velkora", "list", work), flush=True)


def main() -> int:
    if os.geteuid() != 0:
        print("btrfs_demo: needs root (try: sudo python3 examples/btrfs_demo.py)", file=sys.stderr)
        return 1
    if shutil.which("mkfs.btrfs") is None:
        print("btrfs_demo: mkfs.btrfs not found (Debian: apt-get install btrfs-progs)", file=sys.stderr)
        return 1
    signal.signal(signal.SIGTERM, stop_on_sigterm)
    try:
        with contextlib.ExitStack() as cleanup:
            demo(cleanup)
    except KeyboardInterrupt:
        print("btrfs_demo: interrupted; cleaned up", file=sys.stderr)
        return 130
    step("detached the loop device and removed the image: nothing left behind")
    return 0


if __name__ == "__main__":
    sys.exit(main())

"""Fixtures and hooks: the private mount namespace, scratch places to mount
on, a Btrfs loop device, and the recording stand-in for the kernel. The
helpers behind them live in support/, the programs tests run as processes
of their own in programs/."""

import shutil
import subprocess

import pytest
from hypothesis import settings

from support import headers as headers_
from support import namespace
from support.double import Double, build_interposer
from support.loops import btrfs_copy
from support.mountinfo import detach, mounts, unmount_all_below
from support.namespace import unavailable
from velkora import loop

# Why the kernel tests cannot run here, or None once the namespace is ours.
NAMESPACE_PROBLEM = "the mount namespace was not set up"

# The property tests' depth: "full" is the proof, "quick" a lighter pass for
# the other interpreters and the instrumented builds (--hypothesis-profile).
settings.register_profile("full", max_examples=2000)
settings.register_profile("quick", max_examples=200)
settings.load_profile("full")


def pytest_configure(config):
    global NAMESPACE_PROBLEM
    NAMESPACE_PROBLEM = namespace.enter_private_namespace()


def pytest_collection_modifyitems(items):
    # Every test on the Btrfs loop device mounts a block device; every test
    # on the images the mkfs tools make needs those tools.
    for item in items:
        if "btrfs_device" in getattr(item, "fixturenames", ()):
            item.add_marker(pytest.mark.blockdev)
        if "images" in getattr(item, "fixturenames", ()):
            item.add_marker(pytest.mark.images)


@pytest.fixture
def kernel():
    """The real kernel, in the session's private mount namespace."""
    if NAMESPACE_PROBLEM:
        unavailable(NAMESPACE_PROBLEM)


@pytest.fixture
def place(kernel, tmp_path):
    """A scratch directory whose mounts are all undone afterwards."""
    yield tmp_path
    unmount_all_below(tmp_path)


def _run(*cmd):
    return subprocess.run(cmd, check=True, capture_output=True, text=True).stdout.strip()


@pytest.fixture(scope="session")
def btrfs_master(tmp_path_factory):
    """The session's one Btrfs filesystem, made once (mkfs.btrfs runs once
    a session): an image file labelled "pool" with a subvolume "home" that
    holds hello.txt. Read-only to tests: each takes a copy of its own
    (btrfs_image, or support.loops.btrfs_copy), with a UUID of its own."""
    if NAMESPACE_PROBLEM:
        unavailable(NAMESPACE_PROBLEM)
    if shutil.which("mkfs.btrfs") is None:
        unavailable("mkfs.btrfs not found (Debian: btrfs-progs)")
    work = tmp_path_factory.mktemp("btrfs")
    image, top = work / "image", work / "top"
    with open(image, "wb") as f:
        f.truncate(256 << 20)  # sparse: costs only what mkfs writes
    _run("mkfs.btrfs", "-q", "-L", "pool", str(image))
    with loop.attach(image) as attached:
        top.mkdir()
        _run("mount", "-t", "btrfs", attached.path, str(top))
        try:
            _run("btrfs", "-q", "subvolume", "create", str(top / "home"))
            (top / "home" / "hello.txt").write_text("hello from a subvolume")
        finally:
            _run("umount", str(top))
    return image


@pytest.fixture
def btrfs_image(btrfs_master, tmp_path_factory):
    """The session's Btrfs image for one test: a copy of its own, free to
    change (outside tmp_path, which place may cover), whose UUID no other
    copy shares."""
    return btrfs_copy(btrfs_master, tmp_path_factory.mktemp("image") / "btrfs.img")


@pytest.fixture(scope="session")
def btrfs_device(btrfs_master, tmp_path_factory):
    """A loop device holding a copy of the session's Btrfs image; detached at
    the end of the session."""
    image = btrfs_copy(btrfs_master, tmp_path_factory.mktemp("device") / "btrfs.img")
    attached = loop.attach(image)
    device = attached.path
    try:
        yield device
    finally:
        for m in reversed(mounts()):
            if m["source"] == device:
                detach(m["target"])
        with attached:  # detached and closed
            image.unlink()


@pytest.fixture(scope="session")
def interposer(tmp_path_factory):
    """The preload library that stands in for mount(2) and umount2(2)."""
    return build_interposer(tmp_path_factory.mktemp("interposer") / "libvkinterposer.so")


@pytest.fixture(scope="session")
def double(interposer, tmp_path_factory):
    d = Double(interposer, tmp_path_factory.mktemp("double") / "calls.log")
    yield d
    d.close()


@pytest.fixture(scope="session")
def headers(tmp_path_factory):
    """Every constant of velkora.fsmount, velkora._loop and velkora.flags as the headers define it."""
    import velkora.fsmount as f

    uapi = [name for name in dir(f) if not name.startswith("_") and isinstance(getattr(f, name), int)]
    libc = []
    for cls, (_, includes) in headers_.FLAG_SOURCES.items():
        (libc if includes == headers_.LIBC else uapi).extend(headers_.c_name(cls, n) for n in cls.__members__)
    import velkora._loop as lo

    loop = [name for name in dir(lo) if name.startswith(("LO_", "LOOP_"))]
    groups = {headers_.UAPI: uapi, headers_.LIBC: libc, "#include <linux/loop.h>": loop}
    return headers_.header_values(groups, tmp_path_factory.mktemp("headers"))


@pytest.fixture
def valgrind():
    if shutil.which("valgrind") is None:
        unavailable("valgrind not found (Debian: valgrind)")
    return "valgrind"

"""Over 100,000 calls through every path of every native module: each
failing call raised, no memory growth, no reference count drift on the
arguments (a buffer never released keeps one) or on None."""

import errno
import os
import platform
import sys


def emulated():
    """Whether this runs under qemu-user: the kernel's own architecture differs."""
    try:
        with open("/proc/sys/kernel/arch") as arch:
            return arch.read().strip() != platform.machine()
    except OSError:
        return False


def test_no_leaks_over_100k_calls(double):
    run = double.program("leaks", timeout=300)
    (rss0, refs0, total0), (rss1, refs1, total1) = run["before"], run["after"]
    assert run["calls"] >= 100_000
    rounds = 3500
    good, real, failing, bad = run["per_path"]
    assert real == 9 or run["table_errno"] == errno.ENOSYS  # the mount table's calls too, where the kernel has them
    # Successes raise nothing; every kernel failure and every bad argument does.
    assert run["raised"] == [0, 0, failing * rounds, bad * rounds]
    # ASan's quarantine keeps freed memory; under qemu-user the resident memory
    # is the emulator's, which grows with its own /proc emulation.
    if "libasan" not in os.environ.get("LD_PRELOAD", "") and not emulated():
        assert rss1 - rss0 < 1 << 20
    arguments, none = slice(0, 6), 6
    assert refs1[arguments] == refs0[arguments]
    # The interpreter's own caches move these by a few; one reference lost or
    # kept per call would move them by thousands.
    if sys.version_info < (3, 12):  # None is immortal from 3.12 on
        assert abs(refs1[none] - refs0[none]) < 100
    if total0 != -1:
        assert abs(total1 - total0) < 100

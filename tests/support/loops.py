"""Loop devices as the tests wait for them to go."""

from __future__ import annotations

import os
import time

from velkora import loop


def devices_left(file: str | os.PathLike[str], wait: float = 1.0) -> list[loop.LoopInfo]:
    """The loop devices still bound to ``file`` once ``wait`` seconds have
    passed without them going. A device let go of with autoclear, or
    detached while open elsewhere, is freed at its last close; another
    process on the machine that looks at loop devices (a prober, a list, a
    test run beside this one) may be that last close, a moment later."""
    deadline = time.monotonic() + wait
    while True:
        left = loop.devices(file)
        if not left or time.monotonic() > deadline:
            return left
        time.sleep(0.02)


def btrfs_copy(image: str | os.PathLike[str], to: str | os.PathLike[str]) -> str | os.PathLike[str]:
    """A sparse copy of a Btrfs image (a few MiB, not mkfs's time), given a
    UUID of its own (btrfstune -u): copies attached at once are then
    distinct filesystems, never two holders of one tag."""
    import subprocess

    subprocess.run(["cp", "--sparse=always", os.fspath(image), os.fspath(to)], check=True)
    subprocess.run(["btrfstune", "-f", "-u", os.fspath(to)], check=True, capture_output=True, stdin=subprocess.DEVNULL)
    return to

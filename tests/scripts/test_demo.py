"""The Btrfs demo, end to end: it must work, and leave nothing behind when cut short."""

import os
import re
import shutil
import signal
import subprocess
import sys
from pathlib import Path

import pytest

from support.namespace import unavailable

pytestmark = pytest.mark.blockdev  # the demo mounts Btrfs on a loop device

DEMO = Path(__file__).resolve().parents[2] / "examples" / "btrfs_demo.py"


def _sigint_as_in_a_terminal():
    # A suite started in the background inherits SIGINT ignored, and so would
    # the demo; Ctrl-C at a terminal is what the interruption test stands for.
    signal.signal(signal.SIGINT, signal.SIG_DFL)


@pytest.fixture
def start_demo(kernel):
    if shutil.which("mkfs.btrfs") is None:
        unavailable("mkfs.btrfs not found (Debian: btrfs-progs)")
    started = []

    def start():
        proc = subprocess.Popen(
            [sys.executable, str(DEMO)],
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
            preexec_fn=_sigint_as_in_a_terminal,
        )
        started.append(proc)
        return proc

    yield start
    for proc in started:
        proc.kill()
        proc.wait()


def assert_nothing_left(output):
    work = re.search(r"image (/\S+)/btrfs\.img", output)[1]
    assert not os.path.exists(work)
    assert work not in subprocess.run(["losetup", "--list"], capture_output=True, text=True).stdout


def test_demo_runs_end_to_end(start_demo):
    out, err = start_demo().communicate(timeout=120)
    assert err == ""
    for expected in [
        "fstype defaults to btrfs",
        "hello.txt says 'hello from a subvolume'",
        "OSError: [Errno 30] Read-only file system",
        "MNT_DETACH) while a file was open: still reads",
        "nothing left behind",
    ]:
        assert expected in out
    # velkora list draws the two Btrfs mounts, the subvolume's source with its root.
    assert re.search(r"\n\S*/top +/dev/loop\d+ +btrfs +rw,.*\n\S*/home +/dev/loop\d+\[/home\] +btrfs ", out)
    assert_nothing_left(out)


@pytest.mark.parametrize("signum", [signal.SIGINT, signal.SIGTERM])
def test_demo_cleans_up_when_interrupted(start_demo, signum):
    proc = start_demo()
    seen = ""
    while "mount(" not in seen:  # loop device attached and Btrfs mounted
        line = proc.stdout.readline()
        assert line, "demo ended early: " + proc.stderr.read()
        seen += line
    proc.send_signal(signum)
    out, err = proc.communicate(timeout=60)
    assert proc.returncode == 130 and "interrupted; cleaned up" in err
    assert_nothing_left(seen)

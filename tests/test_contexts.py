"""The context managers: mounts undone on every way out of the block, fds
owned once and closed, and the kernel's reasons on a refused option."""

import contextlib
import copy
import errno
import gc
import os
import pickle
import signal
import subprocess
import sys
import warnings

import pytest

import velkora
from support.double import SUPPORT
from support.mountinfo import mount_at
from velkora import FsContext, mounted


def open_fds():
    return sorted(os.listdir("/proc/self/fd"))


class Boom(Exception):
    pass


@pytest.mark.parametrize("ending", [None, Boom, KeyboardInterrupt])
def test_mounted_unmounts_on_every_way_out(place, ending):
    with pytest.raises(ending) if ending else contextlib.nullcontext():
        with mounted("velkora-cm", place, "tmpfs", data="size=1m") as target:
            assert target == str(place) and mount_at(place)["source"] == "velkora-cm"
            if ending:
                raise ending()
    assert mount_at(place) is None


def test_a_failing_unmount_raises_and_never_detaches_unasked(place):
    with pytest.raises(OSError) as caught:
        with mounted("velkora-busy", place, "tmpfs"):
            busy = open(place / "file", "w")
    assert caught.value.errno == errno.EBUSY
    assert mount_at(place) is not None  # still mounted: nothing was detached behind the caller's back
    busy.close()
    velkora.mount.umount(str(place))
    with mounted("velkora-lazy", place, "tmpfs", detach=True):
        still = open(place / "file", "w")  # busy, but a lazy unmount asked for is done
    assert mount_at(place) is None
    still.close()


@pytest.mark.fdmount
def test_ctrl_c_in_a_child_unmounts_everything(place):
    classic, fd_made = place / "classic", place / "fd"
    classic.mkdir()
    fd_made.mkdir()
    child = subprocess.Popen(
        [sys.executable, str(SUPPORT / "interrupted.py"), str(classic), str(fd_made)], stdout=subprocess.PIPE, text=True
    )
    assert child.stdout is not None and child.stdout.readline() == "mounted\n"
    assert mount_at(classic) is not None and mount_at(fd_made) is not None
    child.send_signal(signal.SIGINT)
    child.communicate(timeout=30)
    assert child.returncode != 0  # the KeyboardInterrupt ended it
    assert mount_at(classic) is None
    assert mount_at(fd_made) is not None  # attached mounts outlive their fds, as the kernel has it
    velkora.mount.umount(str(fd_made))


@pytest.mark.fdmount
def test_an_fd_has_one_owner(kernel):
    context = FsContext.open("tmpfs")
    fd = context.fileno()
    for duplicate in (copy.copy, copy.deepcopy, pickle.dumps):
        with pytest.raises(TypeError):
            duplicate(context)
    context.close()
    context.close()  # closing twice is harmless
    assert context.closed
    with pytest.raises(OSError):
        os.fstat(fd)
    with pytest.raises(ValueError):
        context.fileno()
    with pytest.raises(ValueError):
        context.create()  # no fsconfig on a closed fd, nor on whatever reuses its number


@pytest.mark.fdmount
def test_collected_open_warns_and_closes(kernel):
    context = FsContext.open("tmpfs")
    fd = context.fileno()
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        del context
        gc.collect()
    assert [w.category for w in caught] == [ResourceWarning]
    with pytest.raises(OSError):
        os.fstat(fd)

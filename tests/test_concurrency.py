"""The GIL is free while the kernel works, signals are not lost, and many
threads can mount and unmount at once."""

import threading

import pytest

import velkora.mount as m
from support.mountinfo import mounts

CALLS = ["m.mount('a', 'b')", "m.umount('b', m.MNT_DETACH)"]


@pytest.mark.parametrize("call", CALLS)
def test_other_threads_run_during_a_blocking_call(double, call):
    spins = double.program("spinner", call, VK_DELAY_MS=200)
    # Holding the GIL would leave the spinner a few switch intervals at most.
    assert spins["during"] > spins["alone"] / 4, spins


@pytest.mark.parametrize("call", CALLS)
def test_blocking_calls_overlap(double, call, tmp_path):
    log = tmp_path / "calls.log"
    elapsed = double.program("overlap", call, VK_DELAY_MS=200, VK_LOG=log)
    lines = log.read_text().splitlines()
    assert len(lines) == 8 and all(line.endswith(" 0") for line in lines)  # none held the GIL
    assert elapsed < 0.8  # serialised, they would take 1.6 s


@pytest.mark.parametrize("call", CALLS)
@pytest.mark.parametrize("handler, outcome", [("raise", "Stop"), ("return", "InterruptedError")])
def test_signal_during_a_blocking_call(double, call, handler, outcome, tmp_path):
    log = tmp_path / "calls.log"
    got, elapsed = double.program("signalled", call, handler, VK_DELAY_MS=10000, VK_LOG=log)
    assert got == outcome
    assert elapsed < 5  # cut short, not waited out
    assert len(log.read_text().splitlines()) == 1  # no retry


THREADS, CYCLES = 16, 150


def test_thread_storm_of_bind_mounts(place):
    def churn(n, errors):
        src, dst = place / f"src{n}", place / f"dst{n}"
        src.mkdir()
        dst.mkdir()
        try:
            for _ in range(CYCLES):
                m.mount(str(src), str(dst), flags=m.MS_BIND)
                m.umount(str(dst))
        except OSError as e:
            errors.append(e)

    before = mounts()
    errors = []
    threads = [threading.Thread(target=churn, args=(n, errors)) for n in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    assert mounts() == before

"""Runs `true` in the busybox root argv[1] with SIGCHLD set to SIG_IGN, so
that the kernel reaps the command's init as it ends; then, before the
caller hears of it, gives the init's pid to a process of the caller's own
(ns_last_pid: run in a PID namespace of its own) and interrupts the call.
Prints {"same pid", "alive", "waited"} as JSON: whether that process got
the pid, is alive after the interrupted call, and was waited for."""

import json
import os
import select
import signal
import subprocess
import sys
import time
from typing import Any, Dict

import velkora._chroot_spawn as spawn
from velkora import chroot

signal.signal(signal.SIGCHLD, signal.SIG_IGN)
other: Dict[str, Any] = {}


def exchange(kept: Any, *args: Any) -> Any:
    init = kept.init
    poll = select.poll()
    poll.register(init.pidfd, select.POLLIN)
    poll.poll()
    while os.path.exists(f"/proc/{init.pid}"):  # reaped by the kernel
        time.sleep(0.001)
    with open("/proc/sys/kernel/ns_last_pid", "w") as f:
        f.write(str(init.pid - 1))
    process = subprocess.Popen(["sleep", "20"])
    other.update(pid=process.pid, same=process.pid == init.pid)
    raise KeyboardInterrupt


setattr(spawn, "_exchange", exchange)  # noqa: B010 - the caller's hole, made on purpose
start = time.monotonic()
try:
    chroot.run(sys.argv[1], ["true"])
except KeyboardInterrupt:
    pass
waited = time.monotonic() - start > 10
time.sleep(0.1)
alive = os.path.exists(f"/proc/{other['pid']}")
if alive:
    os.kill(other["pid"], signal.SIGKILL)
print(json.dumps({"same pid": other["same"], "alive": alive, "waited": waited}))

"""A filesystem context with a kernel message queued on it, and Ctrl-C
arriving while a velkora.fsmount call on that context is blocked (by the
stand-in) and fails with EINTR. Prints, as JSON: what the call raised, the
exception it was raised during (if any), and what the context still holds
for a reader afterwards."""

import ctypes
import json
import os
import signal
import threading
import time

import velkora.fsmount as f

# The C library's own syscall(), not the stand-in's: these reach the kernel.
libc = ctypes.CDLL("libc.so.6", use_errno=True)
libc.syscall.restype = ctypes.c_long
FSOPEN, FSCONFIG = 430, 431


def main() -> None:
    fd = libc.syscall(FSOPEN, b"tmpfs", f.FSOPEN_CLOEXEC)
    assert fd >= 0, os.strerror(ctypes.get_errno())
    # A refused parameter: the kernel queues its reason on the context.
    assert libc.syscall(FSCONFIG, fd, f.FSCONFIG_SET_STRING, b"noexce", b"x", 0) < 0
    os.environ["VK_DELAY_MS"], os.environ["VK_DELAY_ONCE"] = "10000", "1"
    done = threading.Event()
    main_thread = threading.get_ident()

    def ctrl_c() -> None:
        # Until the call has ended: the first may come before it blocks.
        while not done.wait(0.05):
            signal.pthread_kill(main_thread, signal.SIGINT)

    helper = threading.Thread(target=ctrl_c)
    helper.start()
    raised, during = "returned", None
    try:
        try:
            f.fsconfig(fd, f.FSCONFIG_SET_STRING, "size", "1m")
        finally:
            done.set()
    except BaseException as e:  # noqa: BLE001 - what was raised is the report
        raised = type(e).__name__
        during = type(e.__context__).__name__ if e.__context__ is not None else None
    try:
        helper.join()
        time.sleep(0.1)  # no Ctrl-C left in flight
    except KeyboardInterrupt:  # one the call left pending, taken only now
        raised += ", then KeyboardInterrupt"
    try:
        left = os.read(fd, 4096).decode()
    except OSError as e:
        left = os.strerror(e.errno or 0)
    print(json.dumps({"raised": raised, "during": during, "left": left}))


if __name__ == "__main__":
    main()

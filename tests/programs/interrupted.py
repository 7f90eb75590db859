"""Mounts a tmpfs on argv[1] with velkora.mounted and, inside the block, an
attached tmpfs from an FsContext on argv[2], says so, and waits for Ctrl-C."""

import signal
import sys
import time

from velkora import FsContext, mounted

# Even where the parent ignores SIGINT (a background job), Ctrl-C must raise here.
signal.signal(signal.SIGINT, signal.default_int_handler)
with mounted("velkora-interrupted", sys.argv[1], "tmpfs"):
    with FsContext.open("tmpfs") as context:
        context.create()
        with context.mount() as mount:
            mount.attach(sys.argv[2])
    print("mounted", flush=True)
    time.sleep(60)

"""As uid 65534: mount a tmpfs on argv[1], then unmount argv[2]; prints each
failure's type, errno and filename."""

import os
import sys
from typing import Callable, List

import velkora.mount as m

os.setgroups([])
os.setgid(65534)
os.setuid(65534)
calls: List[Callable[[], None]] = [lambda: m.mount("tmpfs", sys.argv[1], "tmpfs"), lambda: m.umount(sys.argv[2])]
for call in calls:
    try:
        call()
    except OSError as e:
        print(type(e).__name__, e.errno, e.filename)

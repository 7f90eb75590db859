"""Over 100,000 calls through the success, kernel-failure and argument-failure
paths: resident memory and reference counts before and after, as JSON."""

import gc
import json
import os
import sys
from typing import Callable, List, Tuple

import velkora.mount as m

src, tgt, fstype, data = "/dev/" + "vdb" * 4, "/mnt/" + "\u00e9t\u00e9" * 4, "tmp" + "fs", "size=" + "1m"
bad_calls: List[Callable[[], object]] = [
    lambda: m.mount(src),  # type: ignore[call-arg]
    lambda: m.mount(src, tgt, fstype, 1.0),  # type: ignore[arg-type]
    lambda: m.mount(src, tgt, fstype, 0, data, "extra"),  # type: ignore[call-arg]
    lambda: m.mount(src, tgt, data=data + "\0"),
    lambda: m.mount(src, "\udc80"),
    lambda: m.mount(src, tgt, bogus=data),  # type: ignore[call-arg]
    lambda: m.umount(tgt, 2**31),
    lambda: m.umount(tgt.encode()),  # type: ignore[arg-type]
]


def cycle(n: int) -> int:
    os.environ["VK_ERRNO"] = "0"
    for _ in range(n):
        m.mount(src, tgt, fstype, 7, data)
        m.umount(tgt, 2)
    os.environ["VK_ERRNO"] = "16"
    failing: List[Callable[[], object]] = [lambda: m.mount(src, tgt, fstype, 7, data), lambda: m.umount(tgt)]
    for _ in range(n):
        for call in failing:
            try:
                call()
            except OSError:
                pass
    for _ in range(n):
        for call in bad_calls:
            try:
                call()
            except (TypeError, ValueError, OverflowError):
                pass
    return n * (4 + len(bad_calls))


def snapshot() -> Tuple[int, List[int], int]:
    gc.collect()
    with open("/proc/self/statm") as f:
        rss = int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    refs = [sys.getrefcount(x) for x in (src, tgt, fstype, data, None)]
    total = sys.gettotalrefcount() if hasattr(sys, "gettotalrefcount") else -1
    return rss, refs, total


cycle(2000)
before = snapshot()
calls = cycle(9000)
after = snapshot()
print(json.dumps({"calls": calls, "before": before, "after": after}))

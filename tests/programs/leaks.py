"""Over 100,000 calls of every native module through the success,
kernel-failure and argument-failure paths: resident memory, reference counts
and how many calls raised, before and after, as JSON. The stand-in answers
the mount calls; listmount and statmount reach the kernel."""

import gc
import json
import os
import sys
from typing import Callable, List, Tuple, Type, Union

import velkora._mounts as t
import velkora.fsmount as f
import velkora.mount as m
from velkora.mountinfo import Mount

src, tgt, fstype, data = "/dev/" + "vdb" * 4, "/mnt/" + "\u00e9t\u00e9" * 4, "tmp" + "fs", "size=" + "1m"
blob, buffer = b"blob" * 64, bytearray(b"\0" * 300)
try:
    root, table_errno = t.listmount(count=1)[0], 0
except OSError as e:  # a kernel (or an emulator) without listmount: the rest still runs
    root, table_errno = 0, e.errno or 0
Calls = List[Callable[[], object]]
good: Calls = [
    lambda: m.mount(src, tgt, fstype, 7, data),
    lambda: m.umount(tgt, 2),
    lambda: f.fsopen(fstype),
    lambda: f.fsconfig(3, f.FSCONFIG_SET_STRING, "size", data),
    lambda: f.fsconfig(3, f.FSCONFIG_SET_BINARY, "k", blob),
    lambda: f.fsconfig(3, f.FSCONFIG_SET_BINARY, "k", buffer),
    lambda: f.fsconfig(3, f.FSCONFIG_SET_PATH, "source", src, f.AT_FDCWD),
    lambda: f.move_mount(3, "", f.AT_FDCWD, tgt, f.MOVE_MOUNT_F_EMPTY_PATH),
    lambda: f.mount_setattr(3, "", f.AT_EMPTY_PATH, attr_set=1),
    lambda: f.move_mount(3, "", f.AT_FDCWD, tgt.encode(), f.MOVE_MOUNT_F_EMPTY_PATH),
    lambda: t.mount(src.encode(), tgt, fstype, 7, data),
    lambda: t.umount(tgt + "\udcff", 2),
]
line = b"36 35 98:0 /a\\040b /mnt rw,noatime shared:1 master:2 - ext3 /dev/root rw,errors=continue\n"
real: Calls = [
    lambda: t.listmount(),
    lambda: t.statmount(root),
    lambda: t.table(Mount),
    lambda: t.table(Mount, below="/proc", with_ids=True),
    lambda: t.record(Mount, root),
    lambda: t.read(Mount),
    lambda: t.read(Mount, below="/proc"),
    lambda: t.parse(Mount, line * 3),
    lambda: t.mount_id("/", unique=True),
] if root else []  # fmt: skip
bad: Calls = [
    lambda: m.mount(src),  # type: ignore[call-arg]
    lambda: m.mount(src, tgt, fstype, 1.0),  # type: ignore[arg-type]
    lambda: m.mount(src, tgt, fstype, 0, data, "extra"),  # type: ignore[call-arg]
    lambda: m.mount(src, tgt, data=data + "\0"),
    lambda: m.mount(src, "\udc80"),
    lambda: m.mount(src, tgt, bogus=data),  # type: ignore[call-arg]
    lambda: m.umount(tgt, 2**31),
    lambda: m.umount(tgt.encode()),  # type: ignore[arg-type]
    lambda: f.fsconfig(3, f.FSCONFIG_SET_BINARY, "k", blob, 2),
    lambda: f.fsconfig(3, f.FSCONFIG_SET_BINARY, "k\0", buffer),
    lambda: f.fsconfig(3, f.FSCONFIG_SET_STRING, "size", buffer),
    lambda: t.mount(src, tgt + "\0"),
    lambda: t.umount(tgt, 2**31),
    lambda: f.move_mount(3, "", f.AT_FDCWD, tgt + "\0"),
    lambda: t.statmount(-1),
    lambda: t.listmount(count=0),
    lambda: t.parse(Mount, line + b"x\n"),
    lambda: t.read(Mount, "/proc/self/mount\0info"),
    lambda: t.table(int),
    lambda: t.record(Mount, -1),
]


def run(calls: Calls, errno: int, expected: Union[Type[BaseException], Tuple[Type[BaseException], ...]], n: int) -> int:
    """Makes each call n times; returns how many raised ``expected``."""
    os.environ["VK_ERRNO"] = str(errno)
    raised = 0
    for _ in range(n):
        for call in calls:
            try:
                call()
            except expected:
                raised += 1
    return raised


def cycle(n: int) -> Tuple[int, List[int]]:
    """Every path n times: the number of calls, and how many raised on each path."""
    raised = [
        run(good, 0, OSError, n),
        run(real, 0, OSError, n),
        run(good, 16, OSError, n),
        run(bad, 0, (TypeError, ValueError, OverflowError), n),
    ]
    return n * (2 * len(good) + len(real) + len(bad)), raised


def snapshot() -> Tuple[int, List[int], int]:
    gc.collect()
    with open("/proc/self/statm") as statm:
        rss = int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    refs = [sys.getrefcount(x) for x in (src, tgt, fstype, data, blob, buffer, None)]
    total = sys.gettotalrefcount() if hasattr(sys, "gettotalrefcount") else -1
    return rss, refs, total


cycle(2000)  # warm: caches, and an emulator's translated code, grow no more after this
before = snapshot()
calls, raised = cycle(3500)
after = snapshot()
buffer.append(0)  # a buffer export never released would refuse this
print(json.dumps({"calls": calls, "raised": raised, "per_path": [len(good), len(real), len(good), len(bad)],
                  "table_errno": table_errno, "before": before, "after": after}))  # fmt: skip

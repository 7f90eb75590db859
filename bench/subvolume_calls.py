"""One contender's Btrfs calls, timed in a process of its own: velkora.btrfs
under the bench's interpreter, or libbtrfsutil's binding (Debian's
python3-btrfsutil) under the system's python3, which velkora's process
never imports. Prints the median nanoseconds of one call as JSON.

    python subvolume_calls.py velkora|btrfsutil OP PATH N [--user]

OP: list (every subvolume below PATH, with its fields), info (the
subvolume holding PATH), snapshot (N snapshots of PATH/src into PATH/snaps,
deleted again untimed), delete (a subvolume holding 150 nested ones made
at PATH, untimed, then deleted recursively: N times). With --user, the
calls run as uid 65534, the modules imported first as root (the venv may
be under a directory the user cannot read).
"""

import json
import os
import statistics
import sys
import time

NESTED = (10, 15)  # 10 subvolumes below the one deleted, 15 below each: 150


def contender(name):
    if name == "btrfsutil":
        import btrfsutil

        return {
            "list": lambda path: list(btrfsutil.SubvolumeIterator(path, info=True)),
            "info": btrfsutil.subvolume_info,
            "snapshot": btrfsutil.create_snapshot,
            "delete": lambda path: btrfsutil.delete_subvolume(path, recursive=True),
            "create": btrfsutil.create_subvolume,
        }
    from velkora import btrfs

    return {
        "list": btrfs.subvolumes,
        "info": btrfs.info,
        "snapshot": btrfs.snapshot,
        "delete": lambda path: btrfs.delete(path, recursive=True),
        "create": btrfs.create,
    }


def timed(call, *args):
    start = time.perf_counter_ns()
    call(*args)
    return time.perf_counter_ns() - start


def main():
    who, op, path, n = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
    calls = contender(who)
    if sys.argv[5:] == ["--user"]:
        os.setgroups([])
        os.setgid(65534)
        os.setuid(65534)
    samples = []
    if op in ("list", "info"):
        samples = [timed(calls[op], path) for _ in range(n)]
    elif op == "snapshot":
        made = [f"{path}/snaps/{who}-{os.getpid()}-{i}" for i in range(n)]
        samples = [timed(calls["snapshot"], f"{path}/src", place) for place in made]
        for place in made:
            calls["delete"](place)
    elif op == "delete":
        for i in range(n):
            top = f"{path}/nest-{who}-{os.getpid()}-{i}"
            calls["create"](top)
            for a in range(NESTED[0]):
                calls["create"](f"{top}/{a}")
                for b in range(NESTED[1]):
                    calls["create"](f"{top}/{a}/{b}")
            samples.append(timed(calls["delete"], top))
    print(json.dumps(statistics.median(samples)))


if __name__ == "__main__":
    main()

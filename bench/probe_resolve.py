"""What resolving a tag costs: velkora.blkid.resolve with COUNT loop
devices attached (each an ext4 image of its own, from mkfs.ext4), beside
blkid -p of every device as a subprocess, the median of the rounds. The tag
asked for is held by the last device attached, then by none. Root only; the
devices are detached at the end.

    python bench/probe_resolve.py [COUNT]
"""

import os
import statistics
import subprocess
import sys
import tempfile
import time

from velkora import blkid, loop

ROUNDS = 30


def median(call):
    times = []
    for _ in range(ROUNDS):
        start = time.perf_counter()
        try:
            call()
        except OSError:
            pass
        times.append(time.perf_counter() - start)
    return statistics.median(times) * 1000


def main() -> None:
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 8
    with tempfile.TemporaryDirectory() as work:
        attached = []
        try:
            for n in range(count):
                path = os.path.join(work, f"{n}.img")
                with open(path, "wb") as f:
                    f.truncate(8 << 20)
                subprocess.run(["mkfs.ext4", "-q", "-L", f"bench{os.getpid()}-{n}", path], check=True)
                attached.append(loop.attach(path, read_only=True))
            last = blkid.probe(attached[-1].path).uuid
            listed = len(blkid.devices())
            print(f"{listed} block devices listed, {count} of them this bench's loop devices")
            print(f"resolve UUID= (held)   {median(lambda: blkid.resolve('UUID=' + last)):8.2f} ms")
            print(f"resolve LABEL= (none)  {median(lambda: blkid.resolve('LABEL=nowhere' + str(os.getpid()))):8.2f} ms")
            print(f"resolve PARTUUID= (none) {median(lambda: blkid.resolve('PARTUUID=00000000-01')):6.2f} ms")
        finally:
            for device in attached:
                with device:
                    pass


if __name__ == "__main__":
    main()

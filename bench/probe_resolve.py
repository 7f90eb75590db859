"""What resolving a tag costs: velkora.blkid.resolve with COUNT loop
devices attached (each an ext4 image of its own, from mkfs.ext4) and one
GPT disk of three partitions, the best of 30 rounds. Each tag asked for
is held by one device (the last ext4 one, the last partition), then by
none. Root only; the
devices are detached at the end.

    python bench/probe_resolve.py [COUNT]
"""

import os
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
    return min(times) * 1000  # the best round: what other load on the machine adds is left out


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
            disk = os.path.join(work, "disk.img")
            with open(disk, "wb") as f:
                f.truncate(64 << 20)
            table = "label: gpt\nsize=8M\nsize=8M\nsize=8M\n"
            subprocess.run(["sfdisk", "-q", disk], input=table, text=True, check=True)
            attached.append(loop.attach(disk, read_only=True, partscan=True))
            part = blkid.probe(disk).partitions[-1].uuid
            last = blkid.probe(attached[-2].path).uuid
            listed = len(blkid.devices())
            print(f"{listed} block devices listed: {count} ext4 loop devices and a GPT disk of 3 among them")
            print(f"resolve UUID= (held)   {median(lambda: blkid.resolve('UUID=' + last)):8.2f} ms")
            print(f"resolve LABEL= (none)  {median(lambda: blkid.resolve('LABEL=nowhere' + str(os.getpid()))):8.2f} ms")
            print(f"resolve PARTUUID= (held) {median(lambda: blkid.resolve('PARTUUID=' + part)):6.2f} ms")
            print(f"resolve PARTUUID= (none) {median(lambda: blkid.resolve('PARTUUID=00000000-01')):6.2f} ms")
        finally:
            for device in attached:
                with device:
                    pass


if __name__ == "__main__":
    main()

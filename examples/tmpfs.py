"""Mount a tmpfs from Python, in a private mount namespace, and look at it.

Run as root: python examples/tmpfs.py
"""

import ctypes
import os
import subprocess
import tempfile

import velkora.mount as m

CLONE_NEWNS = 0x00020000
MS_PRIVATE = 1 << 18


def enter_private_namespace() -> None:
    """Leave the host's mount table alone: everything below happens in a copy."""
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.unshare(CLONE_NEWNS) != 0:
        raise OSError(ctypes.get_errno(), "unshare(CLONE_NEWNS)")
    m.mount("none", "/", "", m.MS_REC | MS_PRIVATE)


def main() -> None:
    enter_private_namespace()
    with tempfile.TemporaryDirectory() as target:
        m.mount("velkora-demo", target, "tmpfs", m.MS_NOSUID | m.MS_NODEV, "size=1m,mode=0755")
        print(f"mounted tmpfs on {target}")
        with open(os.path.join(target, "hello"), "w") as f:
            f.write("hello from velkora\n")
        for line in open("/proc/self/mountinfo"):
            if f" {target} " in line:
                print("  " + line.strip())
        subprocess.run(["umount", target], check=True)
        print(f"unmounted {target}")


if __name__ == "__main__":
    main()

"""Low-level mount/umount helpers."""

from typing import Final

MS_RDONLY: Final = 1
MS_NOSUID: Final = 2
MS_NODEV: Final = 4
MS_NOEXEC: Final = 8
MS_REMOUNT: Final = 32
MS_BIND: Final = 4096
MS_REC: Final = 16384
MNT_FORCE: Final = 1
MNT_DETACH: Final = 2
MNT_EXPIRE: Final = 4

def mount(source: str, target: str, fstype: str = "btrfs", flags: int = 0, data: str = "") -> None:
    """Mount a filesystem.

    Calls mount(2). Raises OSError on failure.
    """

def umount(target: str, flags: int = 0) -> None:
    """Unmount a filesystem.

    Calls umount2(2). Raises OSError on failure.
    """

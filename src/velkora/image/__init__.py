"""Disk images whole: what each partition of an image is for, the image
mounted as one tree, and commands run inside it, as systemd-dissect does
by systemd's discoverable partition types.

::

    from velkora import image

    image.dissect("disk.img")   # Dissected(path='disk.img', size=..., partitions=(Partition('root', 2, ...), ...))
    with image.mounted("disk.img", "/mnt") as m:
        ...                      # the root at /mnt, /usr, /home, ... inside it, the image's fstab

:func:`dissect` reads the image where it is: nothing is attached.
"""

from __future__ import annotations

from velkora.image._types import Dissected as Dissected
from velkora.image._types import Partition as Partition

TYPE_CHECKING = False
if TYPE_CHECKING:
    import os

    from velkora.image._mount import Mounted as Mounted  # type: ignore[import-not-found, unused-ignore]
    from velkora.image._mount import mounted as mounted  # type: ignore[import-not-found, unused-ignore]
    from velkora.image._mount import run as run  # type: ignore[import-not-found, unused-ignore]

__all__ = ["Dissected", "Mounted", "Partition", "dissect", "mounted", "run"]


def dissect(path: str | bytes | os.PathLike[str] | os.PathLike[bytes]) -> Dissected:
    """The partitions of the disk image (or block device) at path and what
    each is for, as ``systemd-dissect IMAGE`` lists them: the designator of
    each GPT partition type (every architecture's), the root and usr of the
    architecture this machine prefers only (its own, then x86 on x86-64,
    then any other), of two of one kind the newest by label; an MBR's one
    bootable Linux partition as the root; a bare filesystem as the root.
    ValueError where there is no root (naming what there is) or two roots
    of one version; OSError where it cannot be read."""
    from velkora.image._dissect import dissect as _dissect

    return _dissect(path)


def __getattr__(name: str) -> object:
    # The mount machinery on demand: dissect alone (velkora image list)
    # imports none of it.
    if name in ("mounted", "Mounted", "run"):
        from velkora.image import _mount

        return getattr(_mount, name)
    raise AttributeError(f"module 'velkora.image' has no attribute {name!r}")

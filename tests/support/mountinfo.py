"""The mount table of this namespace for the tests, from velkora.mountinfo
(its own tests check it against the kernel)."""

from __future__ import annotations

import errno
import os
import subprocess
from typing import Any, Dict

import velkora.mount as vm
from velkora import mountinfo

Mount = Dict[str, Any]


def mounts() -> list[Mount]:
    """One dict per mount, parents first: root, target, options, fstype, source, super."""
    return [
        {
            "root": m.root,
            "target": m.mount_point,
            "options": set((m.options or "").split(",")),
            "fstype": m.fs_type,
            "source": m.source,
            "super": set((m.super_options or "").split(",")),
        }
        for m in mountinfo.mounts("mountinfo")
    ]


def mount_at(path: object) -> Mount | None:
    """The topmost mount on ``path``, or None."""
    found = [m for m in mounts() if m["target"] == str(path)]
    return found[-1] if found else None


def detach(target: str) -> None:
    """Lazily unmount ``target``, which a detached parent may have taken along."""
    try:
        vm.umount(target, vm.MNT_DETACH)
    except UnicodeEncodeError:  # a name that is no UTF-8: umount(8) takes its bytes
        subprocess.run([b"umount", b"--lazy", os.fsencode(target)], check=True)
    except OSError as e:
        if e.errno != errno.EINVAL:
            raise


def unmount_all_below(path: object) -> None:
    """Detach whatever tests left mounted at or below ``path``."""
    for m in mountinfo.mounts_below(str(path), "mountinfo"):
        assert m.mount_point is not None
        detach(m.mount_point)

"""An fstab written in place of a file, atomically."""

from __future__ import annotations

import os
import stat
import tempfile


def replace(path: str, text: str) -> None:
    """text in place of the file at path: a new file in the same directory,
    given the old one's mode and owner (0644 and the caller's where there
    was none), written, fsynced and renamed over it; the directory fsynced
    after. A failure leaves the old file as it was and no new one."""
    directory = os.path.dirname(os.path.abspath(path))
    try:
        st = os.stat(path)
        mode, owner = stat.S_IMODE(st.st_mode), (st.st_uid, st.st_gid)
    except FileNotFoundError:
        mode, owner = 0o644, None
    fd, temporary = tempfile.mkstemp(prefix=".fstab.", dir=directory)
    try:
        with open(fd, "w", encoding="utf-8", errors="surrogateescape", newline="") as f:
            f.write(text)
            f.flush()
            os.fchmod(f.fileno(), mode)
            if owner is not None:
                os.fchown(f.fileno(), *owner)
            os.fsync(f.fileno())
        os.replace(temporary, path)
    except BaseException:
        try:
            os.unlink(temporary)
        except FileNotFoundError:
            pass
        raise
    dirfd = os.open(directory, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    try:
        os.fsync(dirfd)
    finally:
        os.close(dirfd)

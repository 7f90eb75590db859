"""Who holds a mount: :func:`holders`, as ``fuser -vm`` finds them, and the
EBUSY of an unmount made to name them."""

from __future__ import annotations

import errno
import os

from velkora import _mounttable as _kernel

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Iterator

# What a process uses the mount for, in the order fuser shows them.
_LINKS = (("cwd", "cwd"), ("root", "root"), ("exe", "exe"))


class Holder(tuple):  # type: ignore[type-arg]
    """A process using a mount: ``pid``, ``name`` (its command name, as in
    /proc/PID/comm) and ``use``: "cwd", "root", "exe", "fd" (an open file)
    or "map" (a mapped file)."""

    __slots__ = ()

    def __new__(cls, pid: int, name: str, use: str) -> Holder:
        return tuple.__new__(cls, (pid, name, use))

    @property
    def pid(self) -> int:
        return self[0]  # type: ignore[no-any-return]

    @property
    def name(self) -> str:
        return self[1]  # type: ignore[no-any-return]

    @property
    def use(self) -> str:
        return self[2]  # type: ignore[no-any-return]

    def __repr__(self) -> str:
        return f"Holder(pid={self.pid}, name={self.name!r}, use={self.use!r})"

    def __str__(self) -> str:
        """As an EBUSY names it: "pid 4242 bash: cwd"."""
        return f"pid {self.pid} {self.name}: {self.use}"


def _mount_of(path: str, unique: bool) -> int | None:
    try:
        return _kernel.mount_id(path, unique=unique)
    except (OSError, ValueError):
        return None


def _uses(proc: str, wanted: int, unique: bool) -> Iterator[str]:
    """What the process at proc (/proc/PID) uses the mount wanted for."""
    for use, link in _LINKS:
        if _mount_of(f"{proc}/{link}", unique) == wanted:
            yield use
    for use, directory in (("fd", "fd"), ("map", "map_files")):
        try:
            names = os.listdir(f"{proc}/{directory}")
        except OSError:
            continue
        if any(_mount_of(f"{proc}/{directory}/{name}", unique) == wanted for name in names):
            yield use


def holders(path: str | bytes | os.PathLike[str] | os.PathLike[bytes]) -> list[Holder]:
    """The processes using the mount that holds ``path``, in every mount
    namespace, as ``fuser -vm`` finds them: their working directory, root,
    executable, an open file or a mapped file on it. Each /proc/PID link is
    compared by the id of the mount it leads to (the unique id where the
    kernel has it, 6.8+), never by path or device, so a bind mount of the
    same filesystem elsewhere is another mount. Sorted by pid, the caller
    itself included; processes that may not be looked into (or that end
    meanwhile) are passed over."""
    where = os.fsdecode(os.fspath(path))
    unique = True
    wanted = _kernel.mount_id(where, unique=True)
    if wanted is None:
        unique, wanted = False, _kernel.mount_id(where)
    if wanted is None:
        raise OSError(errno.ENOSYS, "the kernel names no mount ids", where)
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        proc = f"/proc/{entry}"
        uses = list(_uses(proc, wanted, unique))
        if not uses:
            continue
        try:
            with open(f"{proc}/comm", "rb") as f:
                name = os.fsdecode(f.read().rstrip(b"\n"))
        except OSError:
            continue
        found += [Holder(int(entry), name, use) for use in uses]
    return sorted(found)


def busy(e: OSError, path: str) -> OSError:
    """e, where it is EBUSY from unmounting path, as umount(8) says it, with
    the processes that hold the mount: "target is busy (pid 4242 bash:
    cwd)"."""
    if e.errno != errno.EBUSY:
        return e
    try:
        held = holders(path)
    except OSError:
        held = []
    words = ", ".join(map(str, held))
    return OSError(errno.EBUSY, f"target is busy ({words})" if words else "target is busy", path)

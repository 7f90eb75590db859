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


def _fdinfo_mount(fdinfo: str) -> int | None:
    """The mnt_id line of a /proc/PID/fdinfo/N file."""
    try:
        with open(fdinfo, "rb") as f:
            for line in f:
                if line.startswith(b"mnt_id:"):
                    return int(line[7:])
    except (OSError, ValueError):
        pass
    return None


def _mount_of(path: str, route: str) -> int | None:
    """The id of the mount that holds path: "unique" or "statx" by
    statx(2); "fdinfo" by opening path (O_PATH: nothing is read, no device
    opened) and reading the fd's mnt_id from /proc, for where statx names
    no mount (before 5.8, or under qemu-user, which drops the id)."""
    if route != "fdinfo":
        try:
            return _kernel.mount_id(path, unique=route == "unique")
        except (OSError, ValueError):
            return None
    try:
        fd = os.open(path, os.O_PATH | os.O_CLOEXEC)
    except OSError:
        return None
    try:
        return _fdinfo_mount(f"/proc/self/fdinfo/{fd}")
    finally:
        os.close(fd)


def _uses(proc: str, wanted: int, route: str) -> Iterator[str]:
    """What the process at proc (/proc/PID) uses the mount wanted for."""
    for use, link in _LINKS:
        if _mount_of(f"{proc}/{link}", route) == wanted:
            yield use
    try:
        fds = os.listdir(f"{proc}/fd")
    except OSError:
        fds = []
    if route == "fdinfo":
        held = any(_fdinfo_mount(f"{proc}/fdinfo/{fd}") == wanted for fd in fds)
    else:
        held = any(_mount_of(f"{proc}/fd/{fd}", route) == wanted for fd in fds)
    if held:
        yield "fd"
    try:
        maps = os.listdir(f"{proc}/map_files")
    except OSError:
        maps = []
    if any(_mount_of(f"{proc}/map_files/{name}", route) == wanted for name in maps):
        yield "map"


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
    route, wanted = "unique", _kernel.mount_id(where, unique=True)  # raises for a bad path
    if wanted is None:
        route, wanted = "statx", _kernel.mount_id(where)
    if wanted is None:
        route, wanted = "fdinfo", _mount_of(where, "fdinfo")
    if wanted is None:
        raise OSError(errno.ENOSYS, "the kernel names no mount ids", where)
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        proc = f"/proc/{entry}"
        uses = list(_uses(proc, wanted, route))
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

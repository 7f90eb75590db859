"""Who holds a mount: :func:`holders`, as ``fuser -vm`` finds them, and the
EBUSY of an unmount made to name them."""

from __future__ import annotations

import errno
import os

from velkora import _mounts

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Callable, NamedTuple
else:
    from velkora._base import record as _record

    NamedTuple = object

# What a process uses the mount for, in the order fuser shows them.
_LINKS = (("cwd", "cwd"), ("root", "root"), ("exe", "exe"))


class Holder(NamedTuple):
    """A process using a mount: ``pid``, ``name`` (its command name, as in
    /proc/PID/comm) and ``use``: "cwd", "root", "exe", "fd" (an open file)
    or "map" (a mapped file)."""

    pid: int
    name: str
    use: str

    def __str__(self) -> str:
        """As an EBUSY names it: "pid 4242 bash: cwd"."""
        return f"pid {self.pid} {self.name}: {self.use}"


if not TYPE_CHECKING:
    Holder = _record(Holder, "velkora._holders")  # noqa: F811 - the fields, as a namedtuple


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


def _fdinfo_of(path: str) -> int | None:
    """The id of the mount that holds path, by opening path (O_PATH: nothing
    is read, no device opened) and reading the fd's mnt_id from /proc."""
    try:
        fd = os.open(path, os.O_PATH | os.O_CLOEXEC)
    except OSError:
        return None
    try:
        return _fdinfo_mount(f"/proc/self/fdinfo/{fd}")
    finally:
        os.close(fd)


def _prober(route: str) -> Callable[[str], int | None]:
    """What names the id of the mount that holds a path: "unique" or "statx"
    by statx(2); "fdinfo" by /proc's fdinfo, for where statx names no mount
    (before 5.8, or under qemu-user, which drops the id)."""
    if route == "fdinfo":
        return _fdinfo_of
    mount_id, unique = _mounts.mount_id, route == "unique"

    def probe(path: str) -> int | None:
        try:
            return mount_id(path, unique=unique)
        except (OSError, ValueError):
            return None

    return probe


def _device_field(major: int | None, minor: int | None) -> bytes | None:
    """The device of a superblock as /proc/PID/maps writes it ("08:01")."""
    return None if major is None or minor is None else b"%02x:%02x" % (major, minor)


def _mapped(proc: str, device: bytes | None) -> list[str]:
    """The /proc/PID/map_files names of the file mappings that may be on the
    mount: those whose file is on its superblock (maps gives the device of
    the file's superblock; a mount shows another one only where it stacks
    on other filesystems, overlayfs: every file mapping then, device None).
    One read of maps instead of a statx(2) per mapping, as fuser reads it."""
    try:
        with open(f"{proc}/maps", "rb") as f:
            text = f.read()
    except OSError:
        return []
    if device is not None and b" " + device + b" " not in text:
        return []  # the common case, at the cost of one search
    found = []
    for line in text.splitlines():
        fields = line.split(None, 5)
        # address, perms, offset, dev, inode, path; inode 0 maps no file.
        if len(fields) >= 5 and fields[4] != b"0" and (device is None or fields[3] == device):
            found.append(fields[0].decode())
    return found


def _uses(proc: str, wanted: int, probe: Callable[[str], int | None], device: bytes | None) -> list[str]:
    """What the process at proc (/proc/PID) uses the mount wanted for."""
    uses = [use for use, link in _LINKS if probe(f"{proc}/{link}") == wanted]
    try:
        fds = os.listdir(f"{proc}/fd")
    except OSError:
        fds = []
    if probe is _fdinfo_of:
        where = f"{proc}/fdinfo/"
        held = any(_fdinfo_mount(where + fd) == wanted for fd in fds)
    else:
        where = f"{proc}/fd/"
        held = any(probe(where + fd) == wanted for fd in fds)
    if held:
        uses.append("fd")
    where = f"{proc}/map_files/"
    if any(probe(where + name) == wanted for name in _mapped(proc, device)):
        uses.append("map")
    return uses


def holders(path: str | bytes | os.PathLike[str] | os.PathLike[bytes]) -> list[Holder]:
    """The processes using the mount that holds ``path``, in every mount
    namespace, as ``fuser -vm`` finds them: their working directory, root,
    executable, an open file or a mapped file on it. Each /proc/PID link is
    compared by the id of the mount it leads to (the unique id where the
    kernel has it, 6.8+), never by path or device, so a bind mount of the
    same filesystem elsewhere is another mount. Sorted by pid, the caller
    itself included; processes that may not be looked into (or that end
    meanwhile) are passed over."""
    from velkora.mountinfo import mount_at

    where = os.fsdecode(os.fspath(path))
    route, wanted = "unique", _mounts.mount_id(where, unique=True)  # raises for a bad path
    if wanted is None:
        route, wanted = "statx", _mounts.mount_id(where)
    probe = _prober(route)
    if wanted is None:
        route, probe = "fdinfo", _fdinfo_of
        wanted = probe(where)
    if wanted is None:
        raise OSError(errno.ENOSYS, "the kernel names no mount ids", where)
    try:
        m = mount_at(where)
        device = None if m.fs_type == "overlay" else _device_field(m.major, m.minor)
    except OSError:
        device = None
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        proc = "/proc/" + entry
        uses = _uses(proc, wanted, probe, device)
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
    from velkora._base import shown

    # A process names itself (PR_SET_NAME): its name reaches a terminal escaped.
    words = shown(", ".join(map(str, held)))
    return OSError(errno.EBUSY, f"target is busy ({words})" if words else "target is busy", path)

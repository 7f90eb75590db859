"""The mount table of a mount namespace, as records, and its changes as events.

``mounts()`` reads the caller's table from ``/proc/self/mountinfo`` or from
the kernel's listmount(2) and statmount(2) (Linux 6.8+), both parsed and
built into records natively, parents before children; ``mounts(pid=PID)``
reads another process's. ``mount_at(path)`` is the mount that holds a path
(one statx(2) and one statmount(2) where the kernel has them),
``mounts_below(path)`` the tree below it in the order for unmounting, and
``watch()`` reports mounts attached, detached and moved.
"""

from __future__ import annotations

import errno
import os
from collections import namedtuple

from velkora import _mounttable as _kernel
from velkora._resources import FdOwner

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, AsyncIterator, Iterator, NamedTuple, Union

    # A path as the os module takes one.
    AnyPath = Union[str, bytes, os.PathLike[str], os.PathLike[bytes]]
else:
    # The records are namedtuples made at run time from the classes below:
    # the same type typing.NamedTuple makes, without importing typing (a
    # command that reads the table starts faster).
    NamedTuple = object

    def _record(cls):
        made = namedtuple(cls.__name__, list(cls.__annotations__), module=cls.__module__)
        made.__doc__, made.__annotations__ = cls.__doc__, cls.__annotations__
        return made


__all__ = ["Mount", "MountEvent", "MountWatch", "mounts", "mount_at", "mounts_below", "parse_mountinfo", "watch"]

MOUNTINFO = "/proc/self/mountinfo"


class Mount(NamedTuple):
    """One mount, as the kernel reports it; a field the source cannot give is None.

    Names (``root``, ``mount_point``, ``fs_type``, ``source``, ``options``)
    are the names themselves, mountinfo's octal escapes undone.
    ``super_options`` is the filesystem's own text as both mountinfo and
    statmount give it: a filesystem escapes in it what would break its list
    (an overlay's ``lowerdir=/lo\\040wer`` for a space), and that text is
    kept, so both routes give the same record.
    """

    id: int  #: the mount's id, as mountinfo shows it (reused once the mount is gone)
    parent_id: int  #: its parent's id (its own for the root of the namespace)
    major: int | None  #: the superblock's device number
    minor: int | None
    root: str | None  #: the directory of the filesystem that is mounted
    mount_point: str | None  #: where, relative to the caller's root
    fs_type: str | None  #: "tmpfs", or "fuse.sshfs" with a subtype
    source: str | None  #: what was mounted ("/dev/vdb1", "tmpfs", ...)
    options: str | None  #: the mount's options: "rw,nosuid,nodev,relatime"
    super_options: str | None  #: the superblock's: "rw,size=64k,mode=701", escapes kept (see below)
    propagation: tuple[str, ...]  #: ("shared:1",), ("master:2", "propagate_from:1"), ("unbindable",) or ()


if not TYPE_CHECKING:
    Mount = _record(Mount)  # noqa: F811 - the class's fields, as a namedtuple


# Errors from listmount/statmount that mean "use mountinfo": a kernel without
# them, or a seccomp profile that refuses calls it does not know.
_FALL_BACK = (errno.ENOSYS, errno.EPERM, errno.EACCES)
_VIA = ("statmount", "mountinfo", None)


def parse_mountinfo(data: bytes) -> list[Mount]:
    """The records of a mountinfo text, in its own order.

    Raises ValueError for a line that is not in mountinfo's format.
    """
    return _kernel.parse(Mount, data, False)


def _check(via: str | None, pid: int | None) -> None:
    if via not in _VIA:
        raise ValueError(f"via must be 'statmount', 'mountinfo' or None, not {via!r}")
    if pid is not None and (type(pid) is not int or pid <= 0):
        raise ValueError(f"pid must be a positive int, not {pid!r}")


def _gone(pid: int) -> bool:
    """Whether the process has exited: no /proc/PID, or a zombie's (whose
    namespace is gone before its entry)."""
    try:
        with open(f"/proc/{pid}/stat", "rb") as f:
            state = f.read().rpartition(b")")[2].split()[:1]
    except FileNotFoundError:
        return True
    except OSError:
        return False
    return state in ([b"Z"], [b"X"])


def _process_error(e: OSError, pid: int) -> OSError:
    """An error under /proc/PID from a process that is gone or going, as
    ProcessLookupError."""
    if e.errno in (errno.ENOENT, errno.EINVAL, errno.ESRCH) and _gone(pid):
        return ProcessLookupError(errno.ESRCH, os.strerror(errno.ESRCH), f"/proc/{pid}")
    return e


def _namespace_table(pid: int, via: str | None) -> list[Mount] | None:
    """Another process's table from listmount/statmount with its namespace's
    id, or None where the kernel cannot (mountinfo then)."""
    try:
        ns_id = _kernel.mntns_id(f"/proc/{pid}/ns/mnt")
        return _kernel.table(Mount, ns_id)
    except OSError as e:
        if via == "statmount" or e.errno not in _FALL_BACK + (errno.ENOTTY, errno.EINVAL) or _gone(pid):
            raise _process_error(e, pid) from None
        return None


def mounts(via: str | None = None, *, pid: int | None = None) -> list[Mount]:
    """Every mount of the caller's mount namespace that its root reaches,
    parents before children (siblings by id); with ``pid``, of that
    process's namespace, mount points relative to the namespace's root.

    ``via="mountinfo"`` parses /proc/self/mountinfo (/proc/PID/mountinfo),
    ``via="statmount"`` asks listmount(2) and statmount(2) (Linux 6.8+; for
    another namespace 6.11+). None takes the faster mountinfo for the
    caller's table, falling back to statmount where /proc is not mounted,
    and statmount for another process's (its mountinfo is relative to that
    process's root, which differs for a chrooted process), falling back to
    mountinfo where the kernel lacks or a seccomp filter refuses it.

    Raises ProcessLookupError for a process that does not exist,
    PermissionError for one the caller may not inspect.
    """
    _check(via, pid)
    if pid is None:
        if via == "statmount":
            return _kernel.table(Mount)
        try:
            return _kernel.read(Mount)
        except FileNotFoundError:
            if via == "mountinfo":
                raise
        return _kernel.table(Mount)
    if via != "mountinfo":
        listed = _namespace_table(pid, via)
        if listed is not None:
            return listed
    try:
        table: list[Mount] = _kernel.read(Mount, f"/proc/{pid}/mountinfo")
    except OSError as e:
        raise _process_error(e, pid) from None
    if not table and _gone(pid):  # an exiting process's mountinfo is empty
        raise ProcessLookupError(errno.ESRCH, os.strerror(errno.ESRCH), f"/proc/{pid}")
    return table


def _within(point: str, path: str) -> bool:
    return point == path or path == "/" or point.startswith(path.rstrip("/") + "/")


def _holding(table: list[Mount], target: str, path: AnyPath) -> Mount:
    best: Mount | None = None
    for m in table:
        point = m.mount_point
        if point is not None and _within(target, point):
            if best is None or best.mount_point is None or len(point) >= len(best.mount_point):
                best = m
    if best is None:
        raise FileNotFoundError(errno.ENOENT, "no mount holds this path", os.fspath(path))
    return best


def _must_exist(where: str, path: AnyPath) -> None:
    """FileNotFoundError naming path where nothing is at where; a place the
    caller may not look into is taken as there."""
    try:
        os.stat(where)
    except (FileNotFoundError, NotADirectoryError) as e:
        raise FileNotFoundError(errno.ENOENT, os.strerror(errno.ENOENT), os.fspath(path)) from e
    except OSError:
        pass


def mount_at(path: AnyPath, via: str | None = None, *, pid: int | None = None) -> Mount:
    """The mount that holds ``path`` (the topmost, where mounts are stacked);
    FileNotFoundError where nothing is at ``path``.

    It is the mount that is visible at the path, the one statx(2) names,
    never one hidden under another: for the caller's namespace, one statx(2)
    and one statmount(2) where the kernel has them (6.8+), else statx's id
    looked up in the table; with ``pid``, the path as that process's
    namespace names it, looked up in its table.
    """
    _check(via, pid)
    if pid is not None:
        inside = os.path.normpath(os.path.join("/", os.fsdecode(os.fspath(path))))
        table = mounts(via, pid=pid)
        _must_exist(f"/proc/{pid}/root{inside}", path)
        return _visible(table, f"/proc/{pid}/root{inside}", inside, path)
    target = os.fsdecode(os.path.realpath(path))
    _must_exist(target, path)
    if via != "mountinfo":
        try:
            unique = _kernel.mount_id(target, unique=True)
            if unique is not None:
                found: Mount | None = _kernel.record(Mount, unique)
                if found is not None:
                    return found
        except OSError as e:
            # Where the kernel refuses, the table is searched (unless statmount
            # was asked for).
            if e.errno in (errno.ENOENT, errno.ENOTDIR):
                raise FileNotFoundError(errno.ENOENT, os.strerror(errno.ENOENT), os.fspath(path)) from None
            if e.errno not in _FALL_BACK or via == "statmount":
                raise
    return _visible(mounts(via), target, target, path)


def _visible(table: list[Mount], where: str, target: str, path: AnyPath) -> Mount:
    """The record of the mount statx(2) names at where (through /proc/PID/root
    for another namespace); the longest mount point holding target where the
    kernel does not say (before 5.8)."""
    try:
        shown = _kernel.mount_id(where)
    except (OSError, ValueError):
        shown = None
    for m in table if shown is not None else ():
        if m.id == shown:
            return m
    return _holding(table, target, path)


def mounts_below(path: AnyPath, via: str | None = None) -> list[Mount]:
    """The mounts at or below ``path``, children before parents: the order
    in which to unmount them. Only they are made into records."""
    _check(via, None)
    target = os.fsdecode(os.path.realpath(path))
    table: list[Mount]
    if via == "statmount":
        table = _kernel.table(Mount, below=target)
    else:
        try:
            table = _kernel.read(Mount, below=target)
        except FileNotFoundError:
            if via == "mountinfo":
                raise
            table = _kernel.table(Mount, below=target)
    table.reverse()
    return table


# ---------------------------------------------------------------------------
# Watching the table


class MountEvent(NamedTuple):
    """A change of the table: ``kind`` is "attach", "detach" or "move";
    ``mount`` the mount as it is now (for a detach, as it was last seen)."""

    kind: str
    mount: Mount


if not TYPE_CHECKING:
    MountEvent = _record(MountEvent)  # noqa: F811 - the class's fields, as a namedtuple


# From the kernel's uapi <linux/fanotify.h> (6.15 and later).
_FAN_NONBLOCK = 0x2
_FAN_REPORT_MNT = 0x4000
_FAN_MARK_ADD = 0x1
_FAN_MARK_MNTNS = 0x110
_FAN_MNT_ATTACH = 0x01000000
_FAN_MNT_DETACH = 0x02000000
_FAN_Q_OVERFLOW = 0x4000
_FAN_EVENT_INFO_TYPE_MNT = 7


def _relative(m: Mount, table: dict[int, Mount]) -> tuple[int, str | None]:
    """Where a mount sits: its parent, and its mount point below the parent's."""
    parent = table.get(m.parent_id)
    point = m.mount_point
    if parent is not None and parent is not m and point is not None and parent.mount_point is not None:
        point = point[len(parent.mount_point.rstrip("/")) :]
    return m.parent_id, point


def _diff(
    old: dict[int, Mount], new: dict[int, Mount], old_ids: dict[int, Mount], new_ids: dict[int, Mount]
) -> list[MountEvent]:
    """The events that turn table old into new (both by key). A mount keeps
    its key while it is mounted; a moved one has another parent or another
    place below it (its children, carried along, did not move)."""

    def same(m: Mount, n: Mount | None) -> bool:
        # Under a key the kernel uses again (mountinfo's id), another source
        # or superblock is another mount.
        return n is not None and (m.id, m.major, m.minor, m.root, m.fs_type, m.source) == (
            n.id,
            n.major,
            n.minor,
            n.root,
            n.fs_type,
            n.source,
        )

    events = []
    for key, m in old.items():
        n = new.get(key)
        if n is None or not same(m, n):
            events.append(MountEvent("detach", m))
        elif _relative(m, old_ids) != _relative(n, new_ids):
            events.append(MountEvent("move", n))
    events += [MountEvent("attach", n) for key, n in new.items() if not same(n, old.get(key))]
    return events


class MountWatch(FdOwner):
    """The changes of the caller's mount table: mounts attached, detached and
    moved (not remounts or propagation changes, which neither route sees).

    A context manager that owns its fd: ``fileno()`` for select, selectors or
    asyncio, readable exactly when the table may have changed since the last
    ``read()``; ``close()``, closed on leaving the block. ``read()`` returns
    the events since the last read (``read(0)`` never waits: the call for an
    event loop); iterating yields them one at a time, and ``async for``
    does the same on the running asyncio loop, without threads. Made by
    ``watch()``.
    """

    via: str  #: "fanotify" or "mountinfo"

    def __init__(self, via: str | None = None) -> None:
        if via not in ("fanotify", "mountinfo", None):
            raise ValueError(f"via must be 'fanotify', 'mountinfo' or None, not {via!r}")
        from velkora._resources import held_signals as _held_signals

        self._fd, self.via = None, "mountinfo"
        self._table = -1  # the mountinfo route: the table's own fd, whose POLLPRI the epoll fd turns readable
        self._poller: Any = None  # ... and that epoll fd, as a select.epoll
        self._pending: list[MountEvent] = []  # read but not yet handed out (an async for cancelled)
        if via != "mountinfo":
            try:
                with _held_signals():  # no interrupt between the fd's making and its keeping
                    self._fd, self.via = _kernel.fanotify_init(_FAN_REPORT_MNT | _FAN_NONBLOCK), "fanotify"
                marks = _FAN_MNT_ATTACH | _FAN_MNT_DETACH
                _kernel.fanotify_mark(self.fileno(), _FAN_MARK_ADD | _FAN_MARK_MNTNS, marks, "/proc/self/ns/mnt")
                self._known: dict[int, Mount] = dict(_kernel.table(Mount, 0, True))
                return
            except BaseException as e:
                self.close()
                self.via = "mountinfo"
                if via == "fanotify" or not isinstance(e, OSError) or e.errno not in _FALL_BACK + (errno.EINVAL,):
                    raise
        try:
            with _held_signals():
                self._table = os.open("/proc/self/mountinfo", os.O_RDONLY | os.O_CLOEXEC)
                self._poller = self._epoll()
                self._fd = self._poller.fileno()
            self._known, self._known_ids = self._tables()
        except BaseException:
            self.close()
            raise

    def _epoll(self) -> Any:
        """An epoll fd (close-on-exec) that is readable while the table's fd
        has POLLPRI: what select, selectors and asyncio wait for."""
        import select

        poller = select.epoll()
        try:
            poller.register(self._table, select.EPOLLPRI)
        except BaseException:
            poller.close()
            raise
        return poller

    def _tables(self) -> tuple[dict[int, Mount], dict[int, Mount]]:
        """The table now, keyed by the mounts' ids that are never used again
        where the kernel has them (statmount, 6.8+), else by mountinfo's;
        and by mountinfo's ids."""
        try:
            pairs = _kernel.table(Mount, 0, True)
        except OSError:
            by_id = {m.id: m for m in _kernel.read(Mount)}
            return by_id, by_id
        keyed = dict(pairs)
        return keyed, {m.id: m for m in keyed.values()}

    def fileno(self) -> int:
        """The fd to wait on: readable when the table may have changed since
        the last read() (fanotify's fd; on the mountinfo route an epoll fd
        that turns the table's POLLPRI into readability); ValueError once
        closed."""
        return super().fileno()

    def close(self) -> None:
        """Closes the watch's fds; closing again does nothing."""
        poller, self._poller = getattr(self, "_poller", None), None
        table, self._table = getattr(self, "_table", -1), -1
        if poller is not None:
            self._fd = None
            poller.close()  # its fd is the watch's
        super().close()
        if table >= 0:
            os.close(table)

    def __repr__(self) -> str:
        return f"<MountWatch via={getattr(self, 'via', None)!r} fd={self._fd}>"

    def read(self, timeout: float | None = None) -> list[MountEvent]:
        """The events since the last read; if there are none, waits up to
        ``timeout`` seconds for the first (None: for ever; 0: not at all) and
        returns [] if none came. fileno() is not readable after it until the
        table changes again."""
        import select
        import time

        fd = self.fileno()
        deadline = None if timeout is None else time.monotonic() + timeout
        poller = select.poll()
        poller.register(fd, select.POLLIN)
        while True:
            events, self._pending = self._pending, []
            if self.via == "fanotify":
                events += self._fanotify()
            else:
                # The signal is taken before the table is read: a change after
                # this makes the fd readable again. Then looked for before
                # waiting: a caller's own select() may have taken the signal.
                self._drain()
                events += self._snapshot()
            if events:
                return events
            left = None if deadline is None else deadline - time.monotonic()
            if left is not None and left <= 0:
                return []
            poller.poll(None if left is None else max(1, int(left * 1000 + 0.999)))

    def _drain(self) -> None:
        """Takes the mountinfo fd's pending POLLPRI, so that the epoll fd is
        no longer readable."""
        self._poller.poll(0)

    def __iter__(self) -> Iterator[MountEvent]:
        """The events one at a time, waiting for each; ends when closed."""
        while not self.closed:
            yield from self.read()

    async def __aiter__(self) -> AsyncIterator[MountEvent]:
        """``async for event in watch():`` the events one at a time, waiting
        on the running asyncio loop (a reader on fileno(), no thread); ends
        when closed. Cancelling it loses nothing: events read but not yet
        given are kept for the next read."""
        import asyncio

        loop = asyncio.get_running_loop()
        while not self.closed:
            events = self.read(0)
            if not events:
                ready = loop.create_future()
                fd = self.fileno()

                def wake(ready: asyncio.Future[None] = ready) -> None:
                    if not ready.done():
                        ready.set_result(None)

                loop.add_reader(fd, wake)
                try:
                    await ready
                finally:
                    loop.remove_reader(fd)
                continue
            while events:
                self._pending = events[1:]
                event = events.pop(0)
                yield event
                events, self._pending = self._pending, []

    def _snapshot(self) -> list[MountEvent]:
        new, new_ids = self._tables()
        events = _diff(self._known, new, self._known_ids, new_ids)
        self._known, self._known_ids = new, new_ids
        return events

    def _fanotify(self) -> list[MountEvent]:
        import struct

        changes: list[tuple[int, int]] = []
        overflow = False
        while True:
            try:
                data = os.read(self.fileno(), 65536)
            except BlockingIOError:
                break
            at = 0
            while at + 24 <= len(data):
                length, _, _, meta, mask = struct.unpack_from("=IBBHQ", data, at)
                overflow = overflow or bool(mask & _FAN_Q_OVERFLOW)
                info = at + meta
                while info + 4 <= at + length:
                    kind, _, size = struct.unpack_from("=BBH", data, info)
                    if kind == _FAN_EVENT_INFO_TYPE_MNT and size >= 16:
                        changes.append((mask, struct.unpack_from("=Q", data, info + 8)[0]))
                    info += max(size, 4)
                at += max(length, 24)
        if overflow:
            # Events were lost: what the table now holds against what was known.
            new = dict(_kernel.table(Mount, 0, True))
            old_ids = {m.id: m for m in self._known.values()}
            events = _diff(self._known, new, old_ids, {m.id: m for m in new.values()})
            self._known = new
            return events
        events = []
        for mask, unique in changes:
            found: Mount | None
            try:
                found = _kernel.record(Mount, unique) if mask & _FAN_MNT_ATTACH else None
            except FileNotFoundError:
                found = None  # gone again: its detach follows
            if mask & _FAN_MNT_ATTACH and mask & _FAN_MNT_DETACH:
                if found is not None:
                    self._moved(unique, found)
                    events.append(MountEvent("move", found))
            elif mask & _FAN_MNT_ATTACH:
                if found is not None and self._known.get(unique) != found:
                    self._known[unique] = found
                    events.append(MountEvent("attach", found))
            else:
                last = self._known.pop(unique, None)
                if last is not None:
                    events.append(MountEvent("detach", last))
        return events

    def _moved(self, unique: int, found: Mount) -> None:
        """Records a move, and the new places of the mounts it carried along
        (for which fanotify reports nothing)."""
        before = self._known.get(unique)
        self._known[unique] = found
        if before is None or before.mount_point is None:
            return
        for key, m in list(self._known.items()):
            if key != unique and m.mount_point is not None and _within(m.mount_point, before.mount_point):
                try:
                    now = _kernel.record(Mount, key)
                except FileNotFoundError:
                    continue  # gone: its detach follows
                if now is not None:
                    self._known[key] = now


def watch(via: str | None = None) -> MountWatch:
    """A MountWatch on the caller's mount namespace.

    ``via="fanotify"`` takes fanotify's mount events (Linux 6.15+; a
    ``FAN_MARK_MNTNS`` mark), ``via="mountinfo"`` poll(2) on
    /proc/self/mountinfo and a comparison of tables; None takes fanotify
    where the kernel has it. Nothing is lost: where fanotify's queue
    overflowed, the table is read again and the difference reported.
    """
    return MountWatch(via)

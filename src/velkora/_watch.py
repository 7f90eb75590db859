"""The changes of the caller's mount table, for velkora.mountinfo.watch():
fanotify's mount events (Linux 6.15+) or mountinfo's POLLPRI and a
comparison of tables."""

from __future__ import annotations

import errno
import os

from velkora import _mounts
from velkora._records import _FALL_BACK, Mount, MountEvent, _within
from velkora._resources import FdOwner

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, AsyncIterator, Iterator


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
                    self._fd, self.via = _mounts.fanotify_init(_FAN_REPORT_MNT | _FAN_NONBLOCK), "fanotify"
                marks = _FAN_MNT_ATTACH | _FAN_MNT_DETACH
                _mounts.fanotify_mark(self.fileno(), _FAN_MARK_ADD | _FAN_MARK_MNTNS, marks, "/proc/self/ns/mnt")
                self._known: dict[int, Mount] = dict(_mounts.table(Mount, 0, True))
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
            pairs = _mounts.table(Mount, 0, True)
        except OSError:
            by_id = {m.id: m for m in _mounts.read(Mount)}
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
            new = dict(_mounts.table(Mount, 0, True))
            old_ids = {m.id: m for m in self._known.values()}
            events = _diff(self._known, new, old_ids, {m.id: m for m in new.values()})
            self._known = new
            return events
        events = []
        for mask, unique in changes:
            found: Mount | None
            try:
                found = _mounts.record(Mount, unique) if mask & _FAN_MNT_ATTACH else None
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
                    now = _mounts.record(Mount, key)
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

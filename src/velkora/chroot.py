"""Commands run inside a root, as arch-chroot runs them, and roots set up in
place for the caller to work in.

- :func:`run` starts a command with a root as its ``/``, in a mount namespace
  of its own: ``/proc``, ``/sys``, ``/dev`` (with ``/dev/pts`` and
  ``/dev/shm``), ``/run``, ``/tmp``, the host's ``resolv.conf`` and the
  caller's binds mounted there, none of it seen outside.
- :class:`Root` makes the same mounts under the root in the caller's own
  namespace, runs commands chrooted into it, and takes every mount made under
  it down again on the way out.

Every place a mount goes is looked up inside the root (openat2(2) with
``RESOLVE_IN_ROOT``): a symbolic link or ``..`` in the root's tree is followed
as the root's own processes would follow it, never out of it. Mount points
the root lacks are made, and removed again afterwards. Commands run in a PID
namespace of their own and everything they start dies with them.
"""

from __future__ import annotations

import errno
import os

from velkora import _chroot, _mounts, fsmount
from velkora._chroot_spawn import PATH, _warn
from velkora._chroot_spawn import Kept as _Kept
from velkora._chroot_spawn import start as _start
from velkora._holders import busy as _busy
from velkora._resources import Guard
from velkora._resources import held_signals as _held_signals

TYPE_CHECKING = False
if TYPE_CHECKING:
    import subprocess
    from typing import Any, Callable, Iterable, Mapping, Sequence, Tuple, Union

    AnyPath = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]
    Binds = Iterable[Tuple[AnyPath, AnyPath]]
    Step = Tuple[int, bytes, "bytes | None", Tuple[Tuple[bytes, "bytes | None"], ...], int, bool, int]
    # A path inside the root, whether a directory, and whether a link there
    # is left for its step to follow.
    Place = Tuple[bytes, bool, bool]
    Map = Tuple[int, int, int]  # a line of /proc/PID/uid_map: inside, outside, count

__all__ = ["run", "Root", "PATH"]

# The steps' mount attributes, from velkora.fsmount (MOUNT_ATTR_*).
_RDONLY, _NOSUID, _NODEV = fsmount.MOUNT_ATTR_RDONLY, fsmount.MOUNT_ATTR_NOSUID, fsmount.MOUNT_ATTR_NODEV
_NOEXEC, _STRICTATIME = fsmount.MOUNT_ATTR_NOEXEC, fsmount.MOUNT_ATTR_STRICTATIME
_DETACH = _mounts.MNT_DETACH
# What clone(2) answers where user namespaces are forbidden, or used up.
_REFUSED = (errno.EPERM, errno.ENOSPC, errno.EUSERS, errno.EINVAL)
_HARMLESS = _NOSUID | _NODEV | _NOEXEC
# The host's devices that dev="minimal" binds in, and its links, as
# bubblewrap makes them.
_DEVICES = ("null", "zero", "full", "random", "urandom", "tty")
_DEV_LINKS = (("fd", "/proc/self/fd"), ("stdin", "/proc/self/fd/0"), ("stdout", "/proc/self/fd/1"),
              ("stderr", "/proc/self/fd/2"), ("ptmx", "pts/ptmx"))  # fmt: skip


def _step(kind: int, target: str, source: str | None = None, params: tuple[tuple[str, str | None], ...] = (),
          attr: int = 0, recursive: bool = False, mode: int = 0) -> Step:  # fmt: skip
    encoded = tuple((key.encode(), None if value is None else value.encode()) for key, value in params)
    return (kind, os.fsencode(target), None if source is None else os.fsencode(source), encoded, attr, recursive, mode)


def _fs(fstype: str, target: str, attr: int, **params: str | None) -> Step:
    return _step(_chroot.KIND_FS, target, fstype, tuple(params.items()), attr)


def _inside(target: AnyPath) -> str:
    """A target as a path inside the root: absolute, normalised."""
    path = os.path.normpath(os.path.join("/", os.fsdecode(os.fspath(target))))
    if path == "/":
        raise ValueError("a bind's target must be below the root, not the root itself")
    return path


def _plan(binds: Binds, ro_binds: Binds, dev: str, resolv_conf: bool,
          gids: Sequence[Map] | None = None) -> tuple[tuple[Step, ...], tuple[Place, ...]]:  # fmt: skip
    """The steps, and the places in the root's own tree they need: what
    run() and Root make; in a user namespace whose gid map is gids where
    given."""
    if dev not in ("host", "minimal"):
        raise ValueError(f"dev must be 'host' or 'minimal', not {dev!r}")
    # Each named as arch-chroot names it (the source mountinfo shows).
    steps = [_fs("proc", "/proc", _HARMLESS, source="proc")]
    if gids is None:
        steps.append(_fs("sysfs", "/sys", _RDONLY | _HARMLESS, source="sys"))
    else:  # a sysfs is the network namespace's owner's to mount: the host's, bound
        steps.append(_step(_chroot.KIND_BIND, "/sys", "/sys", attr=_RDONLY | _HARMLESS, recursive=True))
    needed = [(b"/proc", True, False), (b"/sys", True, False), (b"/dev", True, False)]
    if dev == "host":
        steps.append(_fs("devtmpfs", "/dev", _NOSUID, source="udev", mode="0755"))
    else:
        steps.append(_fs("tmpfs", "/dev", _NOSUID, source="dev", mode="0755"))
        for name in _DEVICES:
            steps.append(_step(_chroot.KIND_FILE, f"/dev/{name}", mode=0o666))
            steps.append(_step(_chroot.KIND_BIND, f"/dev/{name}", f"/dev/{name}"))
        steps += [_step(_chroot.KIND_LINK, f"/dev/{name}", text) for name, text in _DEV_LINKS]
        steps += [_step(_chroot.KIND_DIR, f"/dev/{name}", mode=0o755) for name in ("pts", "shm")]
    pts: dict[str, str | None] = {"source": "devpts", "newinstance": None, "ptmxmode": "0666", "mode": "0620"}
    if gids is None or any(inside <= 5 < inside + count for inside, _, count in gids):
        pts["gid"] = "5"  # tty, where the namespace has it: devpts refuses an unmapped gid
    steps.append(_fs("devpts", "/dev/pts", _NOSUID | _NOEXEC, **pts))
    steps.append(_fs("tmpfs", "/dev/shm", _NOSUID | _NODEV, source="shm", mode="1777"))
    steps.append(_fs("tmpfs", "/run", _NOSUID | _NODEV, source="run", mode="0755"))
    steps.append(_fs("tmpfs", "/tmp", _NOSUID | _NODEV | _STRICTATIME, source="tmp", mode="1777"))
    needed += [(b"/run", True, False), (b"/tmp", True, False)]
    if resolv_conf and os.path.exists("/etc/resolv.conf"):
        # A link there (systemd-resolved's, into /run) is followed inside the
        # root once /run is mounted, as arch-chroot follows it.
        steps.append(_step(_chroot.KIND_RESOLV, "/etc/resolv.conf", "/etc/resolv.conf", attr=_RDONLY))
        needed.append((b"/etc/resolv.conf", False, True))
    for pairs, attr in ((binds, 0), (ro_binds, _RDONLY)):
        for source, target in pairs:
            host = os.path.abspath(os.fsdecode(os.fspath(source)))
            if not os.path.exists(host):
                raise FileNotFoundError(errno.ENOENT, os.strerror(errno.ENOENT), host)
            place = _inside(target)
            steps.append(_step(_chroot.KIND_BIND, place, host, attr=attr, recursive=True))
            needed.append((os.fsencode(place), os.path.isdir(host), False))
    return tuple(steps), tuple(needed)


def run(root: AnyPath, argv: Sequence[AnyPath], *, userns: bool = False, binds: Binds = (), ro_binds: Binds = (),
        dev: str | None = None, resolv_conf: bool = True, env: Mapping[str, str] | None = None, cwd: AnyPath = "/",
        input: bytes | None = None, capture_output: bool = False, check: bool = False,
        timeout: float | None = None) -> subprocess.CompletedProcess[bytes]:  # fmt: skip
    """Runs ``argv`` with ``root`` as its ``/``, in a new mount namespace of
    its own, and returns a :class:`subprocess.CompletedProcess`.

    The namespace is private: nothing mounted in it reaches the caller or the
    host, nothing the host mounts later reaches it, and it ends with its last
    process. It holds ``/proc`` (nosuid, nodev, noexec), ``/sys`` (read-only),
    ``/dev`` (``dev="host"``, the default without ``userns``: a devtmpfs, as
    arch-chroot mounts it; ``"minimal"``: a tmpfs with the host's null,
    zero, full, random, urandom and tty bound in, as bubblewrap makes it),
    a new ``/dev/pts`` instance,
    ``/dev/shm``, ``/run`` and ``/tmp`` (tmpfs), the host's
    ``/etc/resolv.conf`` read-only (``resolv_conf``), then ``binds`` and
    ``ro_binds`` (``(source, target)`` pairs; read-only recursively). Every
    target is looked up inside the root; missing ones are made (a directory,
    or an empty file for a file's bind) and removed again afterwards (left
    where another command or :class:`Root` uses the root then), those
    below ``/run`` and ``/tmp`` on their tmpfs (as bubblewrap makes them). A
    link at ``/etc/resolv.conf`` is followed inside the root once ``/run``
    is mounted (what it names made there where missing); where it leads
    nowhere the host's file can go, it is passed over with a
    RuntimeWarning.

    The command starts in a PID namespace of its own (``/proc`` is that
    namespace's), under a small init that passes on the signals sent to it:
    every process the command starts dies when it ends, when the call is
    interrupted or times out, and when the calling thread dies
    (PR_SET_PDEATHSIG), ``kill -9`` included; the places made in the root
    are removed then too. ``env`` defaults to the caller's with ``PATH``
    set to :data:`PATH`; ``cwd`` is inside the root; ``input``,
    ``capture_output`` (bytes), ``check`` and ``timeout`` are as
    :func:`subprocess.run` has them. OSError naming what failed where the
    command could not be started.

    With ``userns``, the caller needs no privilege: the command runs as
    uid 0 of a new user namespace (its PID namespace's owner) in which the
    caller's uid and gid are 0 and its subordinate ids (``/etc/subuid``,
    ``/etc/subgid``) follow from 1, mapped through newuidmap and newgidmap;
    a caller without subordinate ids is mapped alone (root: 0 as 0, and its
    subordinate ranges where it has some). ``/sys`` is then the host's,
    bound read-only (a sysfs is not the namespace's to mount), ``dev``
    defaults to ``"minimal"`` (``"host"`` raises ValueError: a devtmpfs
    cannot be mounted there) and ``/dev/pts`` has ``gid=5`` only where gid 5
    is mapped. The places made in the root are made by the namespace's
    uid 0: the root must be one the caller may write in where they are
    missing. OSError where no user namespace can be made (saying why), or
    where newuidmap or newgidmap is missing or refuses (naming it). It is no
    sandbox: with every capability in its namespace the command may remount
    ``/sys`` and ``ro_binds`` read-write (they are made there, so nothing
    locks them) and reach the caller's tree outside the root (chroot(2),
    ``/proc/1/root``), where it has the caller's rights.
    """
    gids: tuple[Map, ...] | None = None
    maps: Callable[[int], None] | None = None
    if userns:
        from velkora import _idmap

        if dev == "host":
            raise ValueError("dev='host' needs root: a devtmpfs cannot be mounted in a user namespace")
        uids, gids = _idmap.caller_maps()

        def write(pid: int) -> None:  # with the init waiting, in its user namespace
            _idmap.write_maps(pid, uids, gids)

        maps = write
    steps, needed = _plan(binds, ro_binds, dev or ("minimal" if userns else "host"), resolv_conf, gids)
    with _Kept() as kept:
        with _held_signals():
            fd = os.open(root, os.O_PATH | os.O_DIRECTORY | os.O_CLOEXEC)
            kept.fds.append(fd)
        path = os.fsdecode(os.path.realpath(root))
        try:
            done = _start(fd, path, steps, needed, argv, env, cwd, input, capture_output, check, timeout, True, maps)
        except OSError as e:
            if userns:
                _userns_error(e, path)
            raise
    return done


def _userns_error(e: OSError, path: str) -> None:
    """Raises what e means where run(userns=True) failed with it, if more
    than it says: the clone refused (which names the root alone), or the
    maps refused to a caller whose /proc files are root's."""
    from velkora import _idmap

    if e.errno in _REFUSED and e.filename == path and e.filename2 is None:
        raise OSError(e.errno, _idmap._clone_refused(e), path) from None
    if e.errno in (errno.EACCES, errno.EPERM) and _idmap._undumpable():
        raise type(e)(e.errno, f"{e.strerror}: {_idmap.UNDUMPABLE}", e.filename) from None


# ---------------------------------------------------------------------------
# A root set up in the caller's namespace.


def _share(root: str) -> int:
    """An fd of the root's directory, locked shared (flock) as every command
    and Root of velkora's locks it while it may use places in its tree; -1
    where its filesystem has no such locks."""
    import fcntl

    lock = os.open(root, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    try:
        fcntl.flock(lock, fcntl.LOCK_SH)
    except OSError:
        os.close(lock)
        return -1
    return lock


def _alone(lock: int) -> bool:
    """Whether no other command or Root holds the root (its lock can be had
    exclusive): removing a directory another namespace has a mount on takes
    that mount away, under its command."""
    import fcntl

    try:
        if lock >= 0:
            fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        return False
    return True


class Root(Guard):
    """The mounts :func:`run` makes, made under ``root`` in the caller's own
    mount namespace, for as long as the ``with`` block (or until
    :meth:`close`).

    The root is bound onto itself where no other mount namespace sees what
    is made under it: the bare root first, made private at once, then a
    private clone of the root with the mounts it already had on top of
    that, then the mounts of :func:`run` there. Only the bare self-bind,
    attached under a shared parent, has copies in the parent's peer and
    slave namespaces, with nothing under them, and they go with it (it is
    detached last, so that a process there that went into it never keeps
    it bound here).
    :meth:`run` runs commands chrooted into it. On the way out, on an
    exception or Ctrl-C too, every mount under the root that was not there
    on entry is unmounted, children first (those its commands made
    included), and the places made for them are removed; a mount still in
    use raises OSError EBUSY naming its holders, and a second :meth:`close`
    finishes the job.
    """

    def __init__(self, root: AnyPath, *, binds: Binds = (), ro_binds: Binds = (), dev: str = "host",
                 resolv_conf: bool = True) -> None:  # fmt: skip
        self.root = os.path.realpath(os.fsdecode(os.fspath(root)))
        self._steps, self._needed = _plan(binds, ro_binds, dev, resolv_conf)
        self._fd: int | None = None
        self._lock = -1  # the root's directory, locked shared while it is used
        self._before: set[int] | None = None
        self._made: tuple[tuple[bytes, int, int, int], ...] = ()  # path, device, inode

    def __repr__(self) -> str:
        return f"<velkora.chroot.Root {self.root!r} {'open' if self._before is not None else 'closed'}>"

    def _below(self) -> list[Any]:
        from velkora.mountinfo import mounts_below

        return mounts_below(self.root)

    def _enter(self) -> Root:
        if self._before is not None:
            raise ValueError("this Root is set up already")
        before = {m.id for m in self._below()}
        with _held_signals():  # made and kept in one go: an interrupt comes before or after
            lock = _share(self.root)
            try:
                fd, made, warned = _chroot.setup_root(os.fsencode(self.root), self._needed, self._steps, lock)
            except BaseException:
                if lock >= 0:
                    os.close(lock)
                raise
            self._fd, self._lock, self._made, self._before = fd, lock, made, before
        _warn(self._steps, warned, 3)
        return self

    def _undo(self) -> None:
        self.close()

    def _leave(self, again: bool) -> None:
        self.close()

    def run(self, argv: Sequence[AnyPath], *, env: Mapping[str, str] | None = None, cwd: AnyPath = "/",
            input: bytes | None = None, capture_output: bool = False, check: bool = False,
            timeout: float | None = None) -> subprocess.CompletedProcess[bytes]:  # fmt: skip
        """Runs argv chrooted into the root, as :func:`run` does, in a PID
        namespace of its own but the caller's mount namespace: its mounts are
        the Root's, and ``/proc`` the Root's, which shows the caller's PID
        namespace."""
        if self._fd is None:
            raise ValueError("this Root is not set up")
        return _start(self._fd, self.root, (), (), argv, env, cwd, input, capture_output, check, timeout, False)

    def close(self) -> None:
        """Unmounts what was mounted under the root since it was set up,
        leaves first, and removes the places made for it. OSError EBUSY naming
        the holders of a mount still in use; what could go has gone, and
        close() may be called again."""
        if self._before is None:
            return
        with _held_signals():  # to the end, whatever comes meanwhile
            fd, self._fd = self._fd, None
            if fd is not None:  # an fd on the root's mount would keep it busy
                os.close(fd)
            self._unmount(self._before)
            lock, self._lock = self._lock, -1
            if self._made and _alone(lock):  # in the root's own tree, which the mounts covered
                fd = os.open(self.root, os.O_PATH | os.O_DIRECTORY | os.O_CLOEXEC)
                try:
                    _chroot.unplace(fd, self._made)
                finally:
                    os.close(fd)
            if lock >= 0:
                os.close(lock)
            self._before, self._made = None, ()

    def _unmount(self, before: set[int]) -> None:
        for _ in range(len(self._below()) + 1):
            below = [m for m in self._below() if m.id not in before]
            if not below:
                break
            parents = {m.parent_id for m in below}
            ids = {m.id for m in below}
            failed: OSError | None = None
            gone = 0
            for m in below:
                if m.id in parents:
                    continue
                # The bare self-bind, last: its copies in the peers and
                # slaves of the root's parent are the only ones, and a
                # process there that has gone into one (its cwd) must not
                # keep it here. Detached (MNT_DETACH), as nothing of this
                # namespace holds it: the tree above it has gone.
                bare = m.mount_point == self.root and m.parent_id not in ids
                try:
                    _mounts.umount(m.mount_point, _DETACH if bare else 0)
                    gone += 1
                except OSError as e:
                    failed = failed or _busy(e, m.mount_point)
            if failed is not None and not gone:
                raise failed

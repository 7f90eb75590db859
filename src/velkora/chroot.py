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
the root lacks are made, and removed again afterwards.
"""

from __future__ import annotations

import errno
import os

from velkora import _chroot
from velkora import _mounttable as _kernel
from velkora._holders import busy as _busy
from velkora._resources import Guard
from velkora._resources import held_signals as _held_signals

TYPE_CHECKING = False
if TYPE_CHECKING:
    import subprocess
    from typing import Any, Iterable, Mapping, Sequence, Tuple, Union

    AnyPath = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]
    Binds = Iterable[Tuple[AnyPath, AnyPath]]
    Step = Tuple[int, bytes, "bytes | None", Tuple[Tuple[bytes, "bytes | None"], ...], int, bool, int]
    Place = Tuple[str, bool]  # a path inside the root, and whether a directory

__all__ = ["run", "Root"]

# The PATH a command inside the root gets when the caller's environment is
# passed on: the caller's own names places of the host.
PATH = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"

# MOUNT_ATTR_* (linux/mount.h).
_RDONLY, _NOSUID, _NODEV, _NOEXEC, _STRICTATIME = 0x1, 0x2, 0x4, 0x8, 0x20
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


def _plan(
    binds: Binds, ro_binds: Binds, dev: str, resolv_conf: bool
) -> tuple[tuple[Step, ...], list[tuple[str, bool]]]:
    """The steps, and the places in the root's own tree they need (each a
    path and whether a directory): what run() and Root make."""
    if dev not in ("host", "minimal"):
        raise ValueError(f"dev must be 'host' or 'minimal', not {dev!r}")
    # Each named as arch-chroot names it (the source mountinfo shows).
    steps = [_fs("proc", "/proc", _HARMLESS, source="proc"), _fs("sysfs", "/sys", _RDONLY | _HARMLESS, source="sys")]
    needed = [("/proc", True), ("/sys", True), ("/dev", True)]
    if dev == "host":
        steps.append(_fs("devtmpfs", "/dev", _NOSUID, source="udev", mode="0755"))
    else:
        steps.append(_fs("tmpfs", "/dev", _NOSUID, source="dev", mode="0755"))
        for name in _DEVICES:
            steps.append(_step(_chroot.KIND_FILE, f"/dev/{name}", mode=0o666))
            steps.append(_step(_chroot.KIND_BIND, f"/dev/{name}", f"/dev/{name}"))
        steps += [_step(_chroot.KIND_LINK, f"/dev/{name}", text) for name, text in _DEV_LINKS]
        steps += [_step(_chroot.KIND_DIR, f"/dev/{name}", mode=0o755) for name in ("pts", "shm")]
    pts = {"source": "devpts", "newinstance": None, "ptmxmode": "0666", "mode": "0620", "gid": "5"}
    steps.append(_fs("devpts", "/dev/pts", _NOSUID | _NOEXEC, **pts))
    steps.append(_fs("tmpfs", "/dev/shm", _NOSUID | _NODEV, source="shm", mode="1777"))
    steps.append(_fs("tmpfs", "/run", _NOSUID | _NODEV, source="run", mode="0755"))
    steps.append(_fs("tmpfs", "/tmp", _NOSUID | _NODEV | _STRICTATIME, source="tmp", mode="1777"))
    needed += [("/run", True), ("/tmp", True)]
    if resolv_conf and os.path.exists("/etc/resolv.conf"):
        steps.append(_step(_chroot.KIND_BIND, "/etc/resolv.conf", "/etc/resolv.conf", attr=_RDONLY))
        needed.append(("/etc/resolv.conf", False))
    for pairs, attr in ((binds, 0), (ro_binds, _RDONLY)):
        for source, target in pairs:
            host = os.path.abspath(os.fsdecode(os.fspath(source)))
            if not os.path.exists(host):
                raise FileNotFoundError(errno.ENOENT, os.strerror(errno.ENOENT), host)
            place = _inside(target)
            steps.append(_step(_chroot.KIND_BIND, place, host, attr=attr, recursive=True))
            needed.append((place, os.path.isdir(host)))
    return tuple(steps), needed


# ---------------------------------------------------------------------------
# Places made in the root's tree, and removed again.


def _parent(root: int, path: str) -> int:
    return _chroot.resolve(root, os.path.dirname(path), os.O_PATH | os.O_DIRECTORY)


def _make(root: int, path: str, directory: bool, made: list[str]) -> None:
    """Makes path inside the root where it is missing, with the directories
    above it; appends what it made to made, outermost first. OSError ENOENT
    where there is no place for it inside the root (a dangling link)."""
    parts = [part for part in path.split("/") if part]
    top = os.fstat(root)
    for n in range(1, len(parts) + 1):
        prefix = "/" + "/".join(parts[:n])
        try:
            fd = _chroot.resolve(root, prefix, os.O_PATH)
        except FileNotFoundError:
            pass
        else:
            st = os.fstat(fd)
            os.close(fd)
            if (st.st_dev, st.st_ino) == (top.st_dev, top.st_ino):
                # A link to the root itself ("/", "../.."): a mount there would
                # cover the whole root.
                raise OSError(errno.EINVAL, "it leads to the root itself", prefix)
            continue
        parent = _parent(root, prefix)
        try:
            if n == len(parts) and not directory:
                flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC
                os.close(os.open(parts[n - 1], flags, 0o644, dir_fd=parent))
            else:
                os.mkdir(parts[n - 1], 0o755, dir_fd=parent)
        except FileExistsError:
            # A link that leads nowhere inside the root: nothing is made.
            raise OSError(errno.ENOENT, "no place for it inside the root", prefix) from None
        finally:
            os.close(parent)
        made.append(prefix)


def _remove(root: int, made: list[str]) -> None:
    """Removes what _make made, innermost first, where it is still as made:
    an empty directory, an empty file."""
    import stat

    for path in reversed(made):
        try:
            parent = _parent(root, path)
        except OSError:
            continue
        try:
            name = os.path.basename(path)
            st = os.stat(name, dir_fd=parent, follow_symlinks=False)
            if stat.S_ISDIR(st.st_mode):
                os.rmdir(name, dir_fd=parent)
            elif stat.S_ISREG(st.st_mode) and st.st_size == 0:
                os.unlink(name, dir_fd=parent)
        except OSError:
            pass  # in use, or no longer as made: left
        finally:
            os.close(parent)
    made.clear()


# ---------------------------------------------------------------------------
# A command started in the root, and its end awaited.


def _environment(env: Mapping[str, str] | None) -> list[bytes]:
    if env is None:
        env = dict(os.environ, PATH=PATH)
    return [os.fsencode(key) + b"=" + os.fsencode(value) for key, value in env.items()]


def _exit_code(status: int) -> int:
    return -os.WTERMSIG(status) if os.WIFSIGNALED(status) else os.WEXITSTATUS(status)


def _reap(pid: int) -> int:
    return _exit_code(os.waitpid(pid, 0)[1])


def _kill(pid: int) -> None:
    import signal

    try:
        os.kill(pid, signal.SIGKILL)
    except ProcessLookupError:
        pass
    _reap(pid)


def _exchange(pid: int, stdin: int | None, out: int | None, err: int | None, data: bytes | None,
              timeout: float | None) -> tuple[bytes, bytes, int]:  # fmt: skip
    """Writes data to stdin, reads out and err to their ends, then waits for
    pid: (output, error output, exit status). TimeoutExpired past timeout."""
    import selectors
    import subprocess
    import time

    deadline = None if timeout is None else time.monotonic() + timeout
    got: dict[int, list[bytes]] = {fd: [] for fd in (out, err) if fd is not None}
    view = memoryview(data or b"")
    with selectors.DefaultSelector() as selector:
        if stdin is not None:
            if view:
                os.set_blocking(stdin, False)
                selector.register(stdin, selectors.EVENT_WRITE)
            else:
                os.close(stdin)
        for fd in got:
            selector.register(fd, selectors.EVENT_READ)
        while selector.get_map():
            left = None if deadline is None else deadline - time.monotonic()
            if left is not None and left <= 0:
                raise subprocess.TimeoutExpired([], timeout or 0)
            for key, _ in selector.select(left):
                fd = key.fd
                if fd == stdin:
                    try:
                        view = view[os.write(fd, view[:65536]) :]
                    except BrokenPipeError:
                        view = view[:0]
                    if not view:
                        selector.unregister(fd)
                        os.close(fd)
                    continue
                chunk = os.read(fd, 65536)
                if chunk:
                    got[fd].append(chunk)
                else:
                    selector.unregister(fd)
    while True:
        done, status = os.waitpid(pid, os.WNOHANG if deadline is not None else 0)
        if done:
            break
        if deadline is not None and time.monotonic() >= deadline:
            raise subprocess.TimeoutExpired([], timeout or 0)
        time.sleep(0.001)
    output = b"".join(got[out]) if out is not None else b""
    errors = b"".join(got[err]) if err is not None else b""
    return output, errors, _exit_code(status)


def _start(root: int, path: str, steps: tuple[Step, ...], argv: Sequence[AnyPath], env: Mapping[str, str] | None,
           cwd: AnyPath, input: bytes | None, capture_output: bool, check: bool, timeout: float | None,
           new_namespace: bool) -> subprocess.CompletedProcess[bytes]:  # fmt: skip
    import subprocess

    args = [os.fsencode(os.fspath(a)) for a in argv]
    if not args:
        raise ValueError("argv must name a command")
    environment = _environment(env)
    where = os.fsencode(os.fspath(cwd))
    ends: list[int] = []  # every pipe end, closed at the end
    try:
        with _held_signals():  # no interrupt between the pipes, the child and their keeping
            stdin = out = err = None
            child = [-1, -1, -1]
            if input is not None:
                child[0], stdin = os.pipe()
                ends += [child[0], stdin]
            if capture_output:
                out, child[1] = os.pipe()
                err, child[2] = os.pipe()
                ends += [out, child[1], err, child[2]]
            fds = (child[0], child[1], child[2])
            pid = _chroot.spawn(root, os.fsencode(path), steps, args, environment, where, fds, new_namespace)
        for fd in child:
            if fd >= 0:
                os.close(fd)
                ends.remove(fd)
        if stdin is not None:
            ends.remove(stdin)  # _exchange closes it
        try:
            output, errors, code = _exchange(pid, stdin, out, err, input, timeout)
        except subprocess.TimeoutExpired:
            _kill(pid)
            raise subprocess.TimeoutExpired(list(argv), timeout or 0) from None
        except BaseException:
            _kill(pid)  # an interrupt: the command goes with the caller
            raise
    finally:
        for fd in ends:
            os.close(fd)
    kept_out = output if capture_output else None
    kept_err = errors if capture_output else None
    if check and code != 0:
        raise subprocess.CalledProcessError(code, list(argv), kept_out, kept_err)
    return subprocess.CompletedProcess(list(argv), code, kept_out, kept_err)


def run(root: AnyPath, argv: Sequence[AnyPath], *, binds: Binds = (), ro_binds: Binds = (), dev: str = "host",
        resolv_conf: bool = True, env: Mapping[str, str] | None = None, cwd: AnyPath = "/",
        input: bytes | None = None, capture_output: bool = False, check: bool = False,
        timeout: float | None = None) -> subprocess.CompletedProcess[bytes]:  # fmt: skip
    """Runs ``argv`` with ``root`` as its ``/``, in a new mount namespace of
    its own, and returns a :class:`subprocess.CompletedProcess`.

    The namespace is private: nothing mounted in it reaches the caller or the
    host, nothing the host mounts later reaches it, and it ends with its last
    process. It holds ``/proc`` (nosuid, nodev, noexec), ``/sys`` (read-only),
    ``/dev`` (``dev="host"``: a devtmpfs, as arch-chroot mounts it;
    ``"minimal"``: a tmpfs with the host's null, zero, full, random, urandom
    and tty bound in, as bubblewrap makes it), a new ``/dev/pts`` instance,
    ``/dev/shm``, ``/run`` and ``/tmp`` (tmpfs), the host's
    ``/etc/resolv.conf`` read-only (``resolv_conf``), then ``binds`` and
    ``ro_binds`` (``(source, target)`` pairs; read-only recursively). Every
    target is looked up inside the root; missing ones are made (a directory,
    or an empty file for a file's bind) and removed again afterwards.

    The command dies with the calling thread (PR_SET_PDEATHSIG), and with
    the call on an interrupt. ``env`` defaults to the caller's with ``PATH``
    set to :data:`PATH`; ``cwd`` is inside the root; ``input``,
    ``capture_output`` (bytes), ``check`` and ``timeout`` are as
    :func:`subprocess.run` has them. OSError naming what failed where the
    command could not be started.
    """
    steps, needed = _plan(binds, ro_binds, dev, resolv_conf)
    made: list[str] = []
    fd = os.open(root, os.O_PATH | os.O_DIRECTORY | os.O_CLOEXEC)
    try:
        for place, directory in needed:
            _make(fd, place, directory, made)
        return _start(
            fd, os.fsdecode(os.path.realpath(root)), steps, argv, env, cwd, input, capture_output, check, timeout, True
        )
    finally:
        try:
            _remove(fd, made)
        finally:
            os.close(fd)


# ---------------------------------------------------------------------------
# A root set up in the caller's namespace.

# fsmount's flags (linux/mount.h).
_OPEN_TREE_CLONE, _AT_RECURSIVE, _MOVE_MOUNT_F_EMPTY_PATH, _AT_EMPTY_PATH = 1, 0x8000, 0x4, 0x1000
_MS_PRIVATE = 1 << 18


class Root(Guard):
    """The mounts :func:`run` makes, made under ``root`` in the caller's own
    mount namespace, for as long as the ``with`` block (or until
    :meth:`close`).

    The root is first bound onto itself and made private, recursively, so
    that nothing mounted under it propagates anywhere. :meth:`run` runs
    commands chrooted into it. On the way out, on an exception or Ctrl-C
    too, every mount under the root that was not there on entry is
    unmounted, children first (those its commands made included), and the
    places made for them are removed; a mount still in use raises OSError
    EBUSY naming its holders, and a second :meth:`close` finishes the job.
    """

    def __init__(self, root: AnyPath, *, binds: Binds = (), ro_binds: Binds = (), dev: str = "host",
                 resolv_conf: bool = True) -> None:  # fmt: skip
        self.root = os.path.realpath(os.fsdecode(os.fspath(root)))
        self._steps, self._needed = _plan(binds, ro_binds, dev, resolv_conf)
        self._fd: int | None = None
        self._before: set[int] | None = None
        self._made: list[str] = []

    def __repr__(self) -> str:
        return f"<velkora.chroot.Root {self.root!r} {'open' if self._before is not None else 'closed'}>"

    def _below(self) -> list[Any]:
        from velkora.mountinfo import mounts_below

        return mounts_below(self.root)

    def _enter(self) -> Root:
        import velkora.fsmount as fs

        if self._before is not None:
            raise ValueError("this Root is set up already")
        self._before = {m.id for m in self._below()}
        with _held_signals():
            tree = fs.open_tree(fs.AT_FDCWD, self.root, _OPEN_TREE_CLONE | _AT_RECURSIVE)
            try:
                fs.move_mount(tree, "", fs.AT_FDCWD, self.root, _MOVE_MOUNT_F_EMPTY_PATH)
            finally:
                os.close(tree)
        fs.mount_setattr(fs.AT_FDCWD, self.root, _AT_RECURSIVE, propagation=_MS_PRIVATE)
        self._fd = os.open(self.root, os.O_PATH | os.O_DIRECTORY | os.O_CLOEXEC)
        for place, directory in self._needed:
            _make(self._fd, place, directory, self._made)
        _chroot.setup(self._fd, self._steps)
        return self

    def _undo(self) -> None:
        self.close()

    def _leave(self, again: bool) -> None:
        self.close()

    def run(self, argv: Sequence[AnyPath], *, env: Mapping[str, str] | None = None, cwd: AnyPath = "/",
            input: bytes | None = None, capture_output: bool = False, check: bool = False,
            timeout: float | None = None) -> subprocess.CompletedProcess[bytes]:  # fmt: skip
        """Runs argv chrooted into the root, as :func:`run` does, in the
        caller's namespace (its mounts are the Root's)."""
        if self._fd is None:
            raise ValueError("this Root is not set up")
        return _start(self._fd, self.root, (), argv, env, cwd, input, capture_output, check, timeout, False)

    def close(self) -> None:
        """Unmounts what was mounted under the root since it was set up,
        leaves first, and removes the places made for it. OSError EBUSY naming
        the holders of a mount still in use; what could go has gone, and
        close() may be called again."""
        if self._before is None:
            return
        if self._fd is not None:  # an fd on the root's mount would keep it busy
            os.close(self._fd)
            self._fd = None
        before = self._before
        for _ in range(len(self._below()) + 1):
            below = [m for m in self._below() if m.id not in before]
            if not below:
                break
            parents = {m.parent_id for m in below}
            failed: OSError | None = None
            gone = 0
            for m in below:
                if m.id in parents:
                    continue
                try:
                    _kernel.umount(m.mount_point, 0)
                    gone += 1
                except OSError as e:
                    failed = failed or _busy(e, m.mount_point)
            if failed is not None and not gone:
                raise failed
        if self._made:  # in the root's own tree, which the mounts covered
            fd = os.open(self.root, os.O_PATH | os.O_DIRECTORY | os.O_CLOEXEC)
            try:
                _remove(fd, self._made)
            finally:
                os.close(fd)
        self._before = None

"""A command run in a disk image mounted in a mount namespace of its own:
what velkora.image.run does.

The image is mounted by a child of the caller, forked for it, that has
unshared its mount namespace (private, so that nothing propagates out)
and runs the command through velkora.chroot.run, whose own namespace is
a copy of that one. The child dies with the calling thread
(PR_SET_PDEATHSIG): after a ``kill -9`` of the caller the kernel ends the
namespace with its last process, takes its mounts with it, and the loop
device (autoclear, its fd the child's) goes with its last mount. Nothing
of it is ever in the caller's namespace.

Only the calling thread goes on in the child. What the child needs is
imported before the fork (a module another thread was importing would
stay locked in the child), but a lock of the caller's own that another
thread holds at the fork (logging's, a buffered stream's) stays held in
the child: a caller with other threads that the child's work could wait
on should not call image.run from them (Python 3.12 warns of any fork
in a process with threads, DeprecationWarning).
"""

from __future__ import annotations

import os
import sys

from velkora._resources import Guard
from velkora._resources import held_signals as _held_signals

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, Callable, Union

    PathArg = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]

# Where the child mounts the image: one directory for every run, kept, as
# each run's mount is in a namespace of its own.
PLACES = ("/run/velkora/image", "/tmp/.velkora-image")
_CLONE_NEWNS = 0x00020000


class _Child(Guard):
    """The forked child that mounts the image, and the read end of the pipe
    it sends its result on. Leaving closes the pipe, interrupts a child
    still running (it undoes what it made) and reaps it, once."""

    def __init__(self) -> None:
        self.pid = -1
        self.fd = -1
        self.status: int | None = None

    def _enter(self) -> _Child:
        return self

    def reap(self) -> int:
        with _held_signals():
            if self.status is None and self.pid > 0:
                self.status = os.waitpid(self.pid, 0)[1]
            return self.status or 0

    def _undo(self) -> None:
        self._leave(False)

    def _leave(self, again: bool) -> None:
        import signal

        with _held_signals():
            fd, self.fd = self.fd, -1
            if fd >= 0:
                os.close(fd)  # a child still writing its result gets EPIPE
            if self.pid > 0 and self.status is None:
                os.kill(self.pid, signal.SIGINT)  # not reaped: the pid is still its own
                self.reap()


def run(mounter: Any, path: PathArg, argv: list[Any] | None, read_only: bool, options: dict[str, Any]) -> Any:
    """velkora.image.run(), mounter its mounted (velkora.image._mount's,
    which imports this module); argv None for the shell the image has."""
    import pickle

    _imported()
    name = os.path.abspath(os.fsdecode(os.fspath(path)))
    for stream in (sys.stdout, sys.stderr):
        if stream is not None:
            stream.flush()  # else the child's copy of the buffer could be written too
    parent = os.getpid()
    with _Child() as child:
        held = _held_signals()
        with held:
            child.fd, writer = os.pipe()
            try:
                pid = os.fork()
                if pid == 0:
                    _child(writer, held.old, parent, lambda: _inside(mounter, name, argv, read_only, options))
                child.pid = pid
            finally:
                os.close(writer)
        chunks = []
        while True:
            chunk = os.read(child.fd, 1 << 16)
            if not chunk:
                break
            chunks.append(chunk)
        status = child.reap()
    if not chunks:
        raise ChildProcessError(f"the process that mounts {name} ended with status {status}, before it could say why")
    ok, value = pickle.loads(b"".join(chunks))
    if ok:
        return value
    raise value


def _imported() -> None:
    """Every module the child uses imported here, before the fork: a module
    another thread of the caller is importing at that moment has its lock
    held for good in the child, which would wait on it forever."""
    import pickle  # noqa: F401
    import signal  # noqa: F401

    import velkora.chroot  # noqa: F401
    import velkora.fstab._mount  # noqa: F401
    import velkora.fstab._root  # noqa: F401
    import velkora.fstab._table  # noqa: F401
    import velkora.image._dissect  # noqa: F401
    import velkora.loop  # noqa: F401
    import velkora.options  # noqa: F401
    from velkora import _chroot, _mounts, flags  # noqa: F401


def _child(writer: int, mask: Any, parent: int, work: Callable[[], Any]) -> None:
    """The forked child: does work, sends what it returned or raised on
    writer, and never returns."""
    code = 1
    try:
        import pickle
        import signal

        from velkora import _chroot

        _chroot.set_pdeathsig(signal.SIGKILL)
        if os.getppid() == parent:  # else the caller has gone already
            try:
                if mask is not None:
                    signal.pthread_sigmask(signal.SIG_SETMASK, mask)  # a Ctrl-C that waited is raised here
                word: tuple[bool, Any] = (True, work())
            except BaseException as e:  # noqa: BLE001 - every one is the caller's to see
                word = (False, e)
            signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT, signal.SIGTERM})
            try:
                data = pickle.dumps(word)
            except Exception:  # noqa: BLE001 - an error that cannot be pickled, told as text
                data = pickle.dumps((False, RuntimeError(f"{type(word[1]).__name__}: {word[1]}")))
            view = memoryview(data)
            while view:
                view = view[os.write(writer, view) :]
            code = 0
    finally:
        os._exit(code)


def _unshare() -> None:
    """A mount namespace of this process's own, private: nothing mounted in
    it reaches another."""
    from velkora import _chroot, _mounts
    from velkora.flags import MS

    _chroot.unshare(_CLONE_NEWNS)
    _mounts.mount("none", "/", "", int(MS.REC | MS.PRIVATE))


def _inside(mounter: Any, path: str, argv: list[Any] | None, read_only: bool, options: dict[str, Any]) -> Any:
    from velkora import chroot

    _unshare()
    place = _place()
    with mounter(path, place, read_only=read_only) as done:
        if argv is None:
            # $SHELL where the image has it, else /bin/sh, as arch-chroot starts.
            shell = os.environ.get("SHELL", "")
            argv = [shell if shell.startswith("/") and _has(done.target, shell) else "/bin/sh"]
        if read_only and "resolv_conf" not in options and not _has(done.target, "/etc/resolv.conf"):
            options = dict(options, resolv_conf=False)  # no place to bind the host's: the image's DNS is its own
        return chroot.run(done.target, argv, **options)


def _has(root: str, path: str) -> bool:
    """Whether path is there inside root, as its own processes see it."""
    from velkora.fstab._root import _resolve

    top = os.open(root, os.O_PATH | os.O_DIRECTORY | os.O_CLOEXEC)
    try:
        os.close(_resolve(top, path))
        return True
    except OSError:
        return False
    finally:
        os.close(top)


def _place() -> str:
    """The directory to mount the image on, made where missing."""
    failure: OSError | None = None
    for place in PLACES:
        try:
            os.makedirs(place, 0o700, exist_ok=True)
            return place
        except OSError as e:
            failure = failure or e
    assert failure is not None
    raise failure

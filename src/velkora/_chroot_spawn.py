"""A command started inside a root for velkora.chroot, in a PID namespace of
its own, and its end awaited: its pipes fed and read, its init's end
waited for on a pidfd, never by polling, and every child reaped once."""

from __future__ import annotations

import os
import sys

from velkora import _chroot
from velkora._resources import Guard
from velkora._resources import held_signals as _held_signals

TYPE_CHECKING = False
if TYPE_CHECKING:
    import subprocess
    from typing import Any, Callable, Mapping, Sequence, Union

    AnyPath = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]

# The PATH a command inside the root gets when the caller's environment is
# passed on: the caller's own names places of the host.
PATH = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"


def _environment(env: Mapping[str, str] | None) -> list[bytes]:
    if env is None:
        env = dict(os.environ, PATH=PATH)
    return [os.fsencode(key) + b"=" + os.fsencode(value) for key, value in env.items()]


def _exit_code(status: int) -> int:
    return -os.WTERMSIG(status) if os.WIFSIGNALED(status) else os.WEXITSTATUS(status)


class _Init:
    """The init of a command's PID namespace: its pid, a pidfd of it (-1
    without), and the pipe it writes the command's wait status to. Reaped
    once; never signalled once reaped (its pid may be another's by then)."""

    def __init__(self, pid: int, pidfd: int, status: int) -> None:
        self.pid, self.pidfd, self.status = pid, pidfd, status
        self.code: int | None = None  # the command's, once the init is reaped

    def fds(self) -> list[int]:
        return [fd for fd in (self.pidfd, self.status) if fd >= 0]

    def reap(self) -> int:
        """Waits for the init's end (every process of the namespace is dead
        by then, the places removed): the command's exit code."""
        if self.code is None:
            with _held_signals():  # reaped, and its fds closed, whatever comes
                try:
                    status = self._wait()
                except ChildProcessError:  # reaped by someone else: gone all the same
                    status = 0
                import fcntl

                fcntl.fcntl(self.status, fcntl.F_SETFL, os.O_NONBLOCK)
                try:
                    written = os.read(self.status, 64)
                except BlockingIOError:
                    written = b""
                if len(written) == 4:  # the command's own wait status
                    status = int.from_bytes(written, sys.byteorder, signed=True)
                for fd in self.fds():
                    os.close(fd)
                self.pidfd = self.status = -1
                self.code = _exit_code(status)
        return self.code

    def _wait(self) -> int:
        """The init's wait status, once it has ended: waited for through its
        pidfd, which never waits for another process that has its pid by
        then (it was reaped by someone else). By pid only without one."""
        if self.pidfd >= 0:
            return _chroot.wait_init(self.pidfd)
        return os.waitpid(self.pid, 0)[1]

    def end(self) -> None:
        """Ends the command and everything it started (the init kills them
        and removes the places), and reaps the init."""
        import signal

        with _held_signals():
            if self.code is None:
                try:
                    self._signal(signal.SIGUSR1)
                    if self.pidfd >= 0 and not _readable(self.pidfd, 5.0):
                        # Still held by a command that never reached its
                        # exec (a bind of a hung mount): the kernel ends
                        # the namespace, the places left.
                        self._signal(signal.SIGKILL)
                except ProcessLookupError:
                    pass
                self.reap()

    def _signal(self, sig: int) -> None:
        """sig to the init through its pidfd, which never reaches another
        process: one that reaps what it did not start (a SIGCHLD set to
        SIG_IGN, a wait() for any child) may have let the pid go to
        another. By pid only where the kernel has no pidfd."""
        if self.pidfd >= 0:
            _chroot.signal_init(self.pidfd, sig)
        else:
            os.kill(self.pid, sig)


class Kept(Guard):
    """What a command's start holds until its end: fds, a selector and the
    init. Leaving ends the init (and reaps it) and closes the rest, whatever
    comes: an interrupt in the middle of it runs it again (Guard)."""

    def __init__(self) -> None:
        self.fds: list[int] = []
        self.selectors: list[Any] = []
        self.init: _Init | None = None
        # What _chroot.spawn returned, put here by it before it returns: an
        # interrupt raised as the call returns leaves the init here.
        self.handed: list[Any] = [None]

    def _enter(self) -> Kept:
        return self

    def _undo(self) -> None:
        self._leave(False)

    def _leave(self, again: bool) -> None:
        if self.init is None and self.handed[0] is not None:
            pid, pidfd, status = self.handed[0][:3]
            self.init = _Init(pid, pidfd, status)
        if self.init is not None:
            self.init.end()  # ended and reaped already, or now: the command goes with the caller
        with _held_signals():
            while self.selectors:
                self.selectors.pop().close()
            while self.fds:
                os.close(self.fds.pop())


def _readable(fd: int, timeout: float) -> bool:
    import select

    poll = select.poll()
    poll.register(fd, select.POLLIN)
    return bool(poll.poll(timeout * 1000))


def _exchange(kept: Kept, stdin: int | None, out: int | None, err: int | None, data: bytes | None,
              timeout: float | None) -> tuple[bytes, bytes, int]:  # fmt: skip
    """Writes data to stdin, reads out and err to their ends and waits for
    the init's end: (output, error output, exit status). TimeoutExpired past
    timeout. The init's end is seen on its pidfd, or without one on its
    status pipe (written, or closed, as it ends). stdin is closed once
    written, and taken out of kept's fds."""
    import selectors
    import subprocess
    import time

    init = kept.init
    assert init is not None
    deadline = None if timeout is None else time.monotonic() + timeout
    got: dict[int, list[bytes]] = {fd: [] for fd in (out, err) if fd is not None}
    view = memoryview(data or b"")
    ending = init.pidfd if init.pidfd >= 0 else init.status

    def close(fd: int) -> None:
        with _held_signals():
            kept.fds.remove(fd)
            os.close(fd)

    with _held_signals():
        selector = selectors.DefaultSelector()
        kept.selectors.append(selector)
    if stdin is not None:
        if view:
            os.set_blocking(stdin, False)
            selector.register(stdin, selectors.EVENT_WRITE)
        else:
            close(stdin)
    for fd in got:
        selector.register(fd, selectors.EVENT_READ)
    selector.register(ending, selectors.EVENT_READ)
    while selector.get_map():
        left = None if deadline is None else deadline - time.monotonic()
        if left is not None and left <= 0:
            raise subprocess.TimeoutExpired([], timeout or 0)
        for key, _ in selector.select(left):
            fd = key.fd
            if fd == ending:  # the init has ended: its pipes are at their end too
                selector.unregister(fd)
            elif fd == stdin:
                try:
                    view = view[os.write(fd, view[:65536]) :]
                except BrokenPipeError:
                    view = view[:0]
                if not view:
                    selector.unregister(fd)
                    close(fd)
            else:
                chunk = os.read(fd, 65536)
                if chunk:
                    got[fd].append(chunk)
                else:
                    selector.unregister(fd)
    code = init.reap()
    output = b"".join(got[out]) if out is not None else b""
    errors = b"".join(got[err]) if err is not None else b""
    return output, errors, code


def start(root: int, path: str, steps: tuple[Any, ...], places: tuple[Any, ...], argv: Sequence[AnyPath],
          env: Mapping[str, str] | None, cwd: AnyPath, input: bytes | None, capture_output: bool, check: bool,
          timeout: float | None, new_namespace: bool,
          maps: Callable[[int], object] | None = None) -> subprocess.CompletedProcess[bytes]:  # fmt: skip
    """Runs argv inside the root (an fd of the directory at path), as
    velkora.chroot.run has it: steps carried out in a new mount namespace
    where new_namespace, places made in the root's tree for them; in a user
    namespace of its own where maps, which writes its maps given the pid of
    its init."""
    import subprocess

    args = [os.fsencode(os.fspath(a)) for a in argv]
    if not args:
        raise ValueError("argv must name a command")
    environment = _environment(env)
    where = os.fsencode(os.fspath(cwd))
    with Kept() as kept:
        with _held_signals():  # no interrupt between the pipes, the child and their keeping
            stdin = out = err = None
            child = [-1, -1, -1]
            if input is not None:
                child[0], stdin = os.pipe()
                kept.fds += [child[0], stdin]
            if capture_output:
                out, child[1] = os.pipe()
                err, child[2] = os.pipe()
                kept.fds += [out, child[1], err, child[2]]
            fds = (child[0], child[1], child[2])
            pid, pidfd, status, warned = _chroot.spawn(
                root, os.fsencode(path), steps, args, environment, where, fds, new_namespace, places, maps, kept.handed
            )
            kept.init = _Init(pid, pidfd, status)
            for fd in child:
                if fd >= 0:
                    kept.fds.remove(fd)
                    os.close(fd)
        _warn(steps, warned)
        try:
            output, errors, code = _exchange(kept, stdin, out, err, input, timeout)
        except subprocess.TimeoutExpired:
            kept.init.end()
            raise subprocess.TimeoutExpired(list(argv), timeout or 0) from None
    kept_out = output if capture_output else None
    kept_err = errors if capture_output else None
    if check and code != 0:
        raise subprocess.CalledProcessError(code, list(argv), kept_out, kept_err)
    return subprocess.CompletedProcess(list(argv), code, kept_out, kept_err)


def _warn(steps: tuple[Any, ...], warned: list[tuple[int, int]], stacklevel: int = 4) -> None:
    """A warning for each step passed over: the host's resolv.conf with no
    place in the root."""
    if warned:
        import warnings

        for index, error in warned:
            target = os.fsdecode(steps[index][1])
            text = f"{target}: the host's resolv.conf is not bound in the root: {os.strerror(error)}"
            warnings.warn(text, RuntimeWarning, stacklevel=stacklevel)

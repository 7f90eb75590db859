"""What velkora's modules share, importing none of them: signals held while
a resource is made and kept, an fd with one owner, and Guard (native, in
velkora._guard), the base of a context manager whose clean-up must run.

Light on purpose: the command imports it to list the table, so what else
it needs (signal, threading, warnings) is imported where it is used.
"""

from __future__ import annotations

import os

from velkora._guard import Guard

__all__ = ["FdOwner", "Guard", "held_signals"]

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, TypeVar

    Owner = TypeVar("Owner", bound="FdOwner")


class held_signals:  # noqa: N801 - a context manager used like a function
    """SIGINT and SIGTERM wait while the block runs; only the main thread runs
    Python's handlers, so only there is anything held. A signal that waited
    is raised as the block ends, where the caller can still undo."""

    def __enter__(self) -> None:
        import signal
        import threading

        self.old = None
        if threading.current_thread() is threading.main_thread():
            old = signal.pthread_sigmask(signal.SIG_BLOCK, ())  # the mask as it is
            self.old = old
            try:
                signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT, signal.SIGTERM})
            except BaseException:
                # A signal taken just as the block began: never leave it held.
                signal.pthread_sigmask(signal.SIG_SETMASK, old)
                raise

    def __exit__(self, *exc: object) -> None:
        if self.old is not None:
            import signal

            signal.pthread_sigmask(signal.SIG_SETMASK, self.old)


class FdOwner:
    """An fd with one owner: closed once, by close(), by ``with``, or when
    collected (with a ResourceWarning)."""

    _fd: int | None = None

    def __init__(self, fd: int) -> None:
        self._fd = fd

    def fileno(self) -> int:
        """The fd; ValueError once closed."""
        if self._fd is None:
            raise ValueError(f"I/O operation on closed {type(self).__name__}")
        return self._fd

    @property
    def closed(self) -> bool:
        return self._fd is None

    def close(self) -> None:
        """Closes the fd; closing again does nothing."""
        fd, self._fd = self._fd, None
        if fd is not None:
            os.close(fd)

    def __enter__(self: Owner) -> Owner:
        self.fileno()
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __del__(self) -> None:
        if self._fd is not None:
            try:  # at interpreter exit nothing can be imported any more: close quietly
                import warnings

                warnings.warn(f"unclosed {self!r}", ResourceWarning, stacklevel=2, source=self)
            except ImportError:
                pass
            self.close()

    def __repr__(self) -> str:
        state = "closed" if self._fd is None else f"fd={self._fd}"
        return f"<{type(self).__name__} {state}>"

    def __copy__(self) -> Any:
        raise TypeError(f"a {type(self).__name__} owns its fd and cannot be copied")

    def __deepcopy__(self, memo: Any) -> Any:
        self.__copy__()

    def __reduce__(self) -> Any:
        self.__copy__()

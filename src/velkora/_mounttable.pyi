"""The mount table for velkora.mountinfo (listmount(2), statmount(2)), and for
velkora.contexts a mount's id (statx(2)) and the Guard base class."""

from types import TracebackType

LSMT_ROOT: int

def listmount(last_id: int = 0, count: int = 512, mnt_id: int = ...) -> tuple[int, ...]:
    """One page of the unique ids of the mounts below mnt_id (by default all
    mounts the caller's root reaches), those after last_id, by id.

    Calls listmount(2). Raises OSError on failure.
    """

def statmount(mnt_id: int) -> dict[str, int | bytes | None]:
    """The kernel's record of the mount with this unique id.

    Calls statmount(2). Raises OSError on failure (FileNotFoundError if the mount is gone).
    """

def mount_id(path: str) -> int | None:
    """The id of the mount that holds path now, as mountinfo numbers it, or
    None where the kernel does not say (before 5.8). Needs no fd, so nothing
    can be left open.

    Calls statx(2). Raises OSError on failure.
    """

class Guard:
    """A base for context managers whose __exit__ must run: subclasses define
    _leave(again), run again with again=True after an interrupt."""

    def __exit__(
        self, exc_type: type[BaseException] | None, exc: BaseException | None, traceback: TracebackType | None, /
    ) -> bool:
        """Run self._leave() to the end; never suppresses an exception."""

"""User namespaces as fds, made by a short-lived child that holds each one
while its maps are written."""

from os import PathLike
from typing import Callable, final

@final
class Owner:
    """A user namespace's fd, closed when the object goes."""

    def fileno(self) -> int:
        """The fd; ValueError once closed."""

    def close(self) -> None:
        """Close the fd; closing again does nothing."""

def make(write: Callable[[int], object]) -> Owner:
    """Make a user namespace: a child is cloned into a new one (CLONE_NEWUSER)
    with every signal held; write(pid) is called to give it its maps;
    /proc/PID/ns/user is opened (O_CLOEXEC); the child is let go and reaped
    through its pidfd. An Owner of the fd, which closes it when collected.
    Raises OSError (with no file name where the clone failed), or what write
    raised; either way no child is left and no fd open."""

def run(path: str | bytes | PathLike[str] | PathLike[bytes], argv: list[bytes]) -> tuple[int, int, bytes]:
    """Run the program at path with argv (a list of bytes), the caller's
    environment, stdin and stdout and no other fd, every signal unblocked,
    SIGPIPE and SIGXFSZ at their defaults (as subprocess sets them); its
    stderr is read (the first 2 KiB kept) and it is reaped through its
    pidfd, whatever signal comes meanwhile. (wait status, the exec's errno
    or 0, stderr). Raises OSError where no child could be made."""

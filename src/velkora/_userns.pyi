"""User namespaces as fds, made by a short-lived child that holds each one
while its maps are written."""

from typing import Callable

def make(write: Callable[[int], object]) -> int:
    """Make a user namespace and return an fd of it (O_CLOEXEC). A child is
    cloned into a new user namespace (CLONE_NEWUSER) with every signal held;
    write(pid) is called to give it its maps; /proc/PID/ns/user is opened;
    the child is let go and reaped through its pidfd. Raises OSError (with
    no file name where the clone failed), or what write raised; either way
    no child is left and no fd open."""

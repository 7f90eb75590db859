"""The native part of velkora.chroot: mounts made under a root, and commands started in it."""

from typing import Any, Callable

KIND_FS: int
KIND_BIND: int
KIND_DIR: int
KIND_FILE: int
KIND_LINK: int
KIND_RESOLV: int

def resolve(root: int, path: str | bytes, flags: int) -> int:
    """An fd (non-inheritable) of path looked up inside root, an fd of the root
    directory: openat2(2) with RESOLVE_IN_ROOT and RESOLVE_NO_MAGICLINKS, so
    that no symbolic link or ".." leads out of it. Raises OSError."""

def setup_root(
    path: bytes, places: tuple[tuple[bytes, bool, bool], ...], plan: tuple[Any, ...], lock: int = -1
) -> tuple[int, tuple[tuple[bytes, int, int, int], ...], list[tuple[int, int]]]:
    """Binds the root at path onto itself where no other mount namespace sees it
    (the mounts below it cloned, private), makes the places missing in its
    tree and carries out plan there, each step's target looked up inside the
    root. Returns (fd, made, warnings): an O_PATH fd of the bound root, the
    places made, as (path, major, minor, inode), outermost first, and the
    steps passed over, as (index, errno). Raises OSError naming what
    failed, everything undone (the places made left where lock, an fd of
    the root locked shared, cannot be had exclusive: another uses them)."""

def unplace(root: int, made: tuple[tuple[bytes, int, int, int], ...]) -> None:
    """Removes the places in made ((path, major, minor, inode) of each, the path
    inside root, an fd of the root directory, outermost first, as setup_root
    made them), innermost first, each where it is still as made: the same
    empty directory or empty file; any other is left.
    Raises OSError where root is no directory fd."""

def spawn(
    root: int,
    root_path: bytes,
    plan: tuple[Any, ...],
    argv: list[bytes],
    env: list[bytes],
    cwd: bytes,
    fds: tuple[int, int, int],
    new_namespace: bool,
    places: tuple[tuple[bytes, bool, bool], ...] = (),
    maps: Callable[[int], object] | None = None,
    handed: list[Any] | None = None,
) -> tuple[int, int, int, list[tuple[int, int]]]:
    """Starts argv (a list of bytes) with root, an fd of the directory at
    root_path, as its "/" and cwd its working directory, env (a list of
    b"KEY=VALUE") its environment and fds (three fds, -1 for the caller's
    own) its standard input, output and error, in a PID namespace of its own.
    Returns (pid, pidfd, status, warnings): the pid of that namespace's init,
    a pidfd of it (-1 where the kernel has none), the read end of a pipe the
    init writes the command's wait status to as it ends, and the plan's steps
    passed over, as (index, errno). The init makes the places missing in the
    root's tree, starts the command (in a mount namespace of its own where
    new_namespace, its mounts private, plan carried out there), passes on the
    signals processes send it, and when the command ends, when it is sent
    SIGUSR1 or when the calling thread ends (PR_SET_PDEATHSIG) kills what is
    left in the namespace, reaps it and removes the places. With maps, a
    callable, the init is in a user namespace of its own too, and waits until
    maps(pid) has returned, which writes its maps (the init killed and reaped
    where it raises). With handed, a list of one item, the result is put there
    too before it is returned: an interrupt as the call returns drops it, not
    the init. Raises OSError for what failed before the exec, the init then
    reaped."""

def signal_init(pidfd: int, sig: int) -> None:
    """Send sig to the process pidfd refers to (pidfd_send_signal(2)): never to
    another that has its pid since, as Python 3.8 has no call for it.
    Raises OSError (ProcessLookupError where it has ended)."""

def wait_init(pidfd: int) -> int:
    """Wait for the child pidfd refers to and reap it (waitid(2) with P_PIDFD):
    never another child that has its pid since. Returns its wait status, as
    os.waitpid gives it. Raises OSError (ChildProcessError where it was reaped)."""

def unshare(flags: int) -> None:
    """Disassociate parts of the calling process's context (unshare(2)), flags
    the CLONE_NEW* bits, as os.unshare does from Python 3.12.
    Raises OSError."""

def set_pdeathsig(sig: int) -> None:
    """Have the kernel send sig to the calling process when the thread that
    made it ends (prctl(2) PR_SET_PDEATHSIG); 0 clears it.
    Raises OSError (EINVAL for no signal)."""

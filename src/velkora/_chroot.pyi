"""The native part of velkora.chroot: mounts made under a root, and commands started in it."""

from typing import Any

KIND_FS: int
KIND_BIND: int
KIND_DIR: int
KIND_FILE: int
KIND_LINK: int

def resolve(root: int, path: str | bytes, flags: int) -> int:
    """An fd (non-inheritable) of path looked up inside root, an fd of the root
    directory: openat2(2) with RESOLVE_IN_ROOT and RESOLVE_NO_MAGICLINKS, so
    that no symbolic link or ".." leads out of it. Raises OSError."""

def setup(root: int, plan: tuple[Any, ...]) -> None:
    """Carries out plan under root (an fd of the root directory) in this process:
    each step's target looked up inside root, each mount made detached and
    attached there with move_mount(2). Raises OSError naming the step's target
    at the first that fails; the steps before it stay done."""

def spawn(
    root: int,
    root_path: bytes,
    plan: tuple[Any, ...],
    argv: list[bytes],
    env: list[bytes],
    cwd: bytes,
    fds: tuple[int, int, int],
    new_namespace: bool,
) -> int:
    """Starts argv (a list of bytes) with root, an fd of the directory at
    root_path, as its "/" and cwd its working directory, env (a list of
    b"KEY=VALUE") its environment and fds (three fds, -1 for the caller's
    own) its standard input, output and error; returns its pid. The child,
    made by clone(2) with CLONE_NEWNS where new_namespace (and root looked up
    again there), makes every mount private there, carries out plan, chroots
    and execs, and is killed when the calling thread ends (PR_SET_PDEATHSIG).
    Raises OSError for what failed before the exec, the child then reaped."""

"""A private mount namespace for the whole test session, so that nothing a
test mounts can reach the host's mount table."""

from __future__ import annotations

import ctypes
import os

import pytest

IN_CI = os.environ.get("CI") == "true"

CLONE_NEWNS = 0x00020000
MS_REC = 16384
MS_PRIVATE = 1 << 18


def enter_private_namespace() -> str | None:
    """Moves this process into a mount namespace of its own; returns why it could not."""
    if os.geteuid() != 0:
        return "not root: mounting needs CAP_SYS_ADMIN"
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.unshare(CLONE_NEWNS) != 0:
        return "unshare(CLONE_NEWNS) failed: " + os.strerror(ctypes.get_errno())
    # A new namespace inherits shared propagation: make it private first, or
    # mounts made here would still show up in the host's namespace.
    if libc.mount(b"none", b"/", None, MS_REC | MS_PRIVATE, None) != 0:
        return "making / private failed: " + os.strerror(ctypes.get_errno())
    return None


def unavailable(reason: str) -> None:
    """Skip, or fail under CI, where a skip would hide an untested change."""
    if IN_CI:
        pytest.fail("required in CI: " + reason, pytrace=False)
    pytest.skip(reason)

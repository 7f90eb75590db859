"""What the velkora command's parts share: how a failure reads, and the
words mount(8) has for propagation. Imports no other part of the command."""

from __future__ import annotations

import errno
import os

# Exit statuses.
FAILED, USAGE, INTERRUPTED = 1, 2, 130

# --make-* shortcuts: the propagation words mount(8) takes.
PROPAGATION = ("shared", "slave", "private", "unbindable", "rshared", "rslave", "rprivate", "runbindable")


class Failure(Exception):
    """An operation that failed: its one line for stderr."""


class UsageError(Exception):
    """A usage error: printed under the subcommand's own usage (exit 2)."""


def _fail(what: str, e: OSError) -> Failure:
    reason = e.strerror or str(e)
    if e.errno in (errno.EPERM, errno.EACCES) and os.geteuid() != 0:
        reason += f" (velkora {what.split()[0]} needs root)"
    return Failure(f"{what}: {reason}")


def _json(value: object) -> str:
    import json

    return json.dumps(value, indent=2)


def _is_mount_point(path: str) -> bool:
    from velkora.mountinfo import mount_at

    try:
        return mount_at(path).mount_point == os.path.realpath(path)
    except OSError:
        return False

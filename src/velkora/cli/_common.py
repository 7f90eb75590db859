"""What the velkora command's parts share: the exit statuses, how a failure
reads, JSON output, and the words mount(8) has for propagation. Imports no
other part of the command."""

from __future__ import annotations

import errno
import os

from velkora._base import shown as shown

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


def _escaped(text: str) -> str:
    """text with each byte that os.fsdecode could not decode (a lone
    surrogate, which strict JSON parsers refuse) as findmnt's \\x escape."""
    return "".join(f"\\x{ord(c) - 0xDC00:02x}" if "\udc80" <= c <= "\udcff" else c for c in text)


def _valid(value: object) -> object:
    if isinstance(value, str):
        return _escaped(value)
    if isinstance(value, dict):
        return {key: _valid(item) for key, item in value.items()}
    if isinstance(value, list):
        return [_valid(item) for item in value]
    return value


def _json(value: object, indent: int | None = 2) -> str:
    """JSON that is valid UTF-8 whatever the names hold."""
    import json

    return json.dumps(_valid(value), indent=indent)

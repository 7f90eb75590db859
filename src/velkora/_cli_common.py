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


def shown(text: str | None) -> str:
    """A field for a line of text: control characters (C0, DEL and C1, whose
    UTF-8 bytes are escaped) and bytes that are no UTF-8 as \\x escapes, as
    findmnt writes them, so that one mount is one line and nothing in a
    name reaches the terminal as a command."""
    if text is None:
        return ""
    out = []
    for c in text:
        code = ord(c)
        if code < 0x20 or code == 0x7F:
            out.append(f"\\x{code:02x}")
        elif 0x80 <= code <= 0x9F:
            out.append(f"\\xc2\\x{code:02x}")
        elif 0xDC80 <= code <= 0xDCFF:  # a byte os.fsdecode could not decode
            out.append(f"\\x{code - 0xDC00:02x}")
        else:
            out.append(c)
    return "".join(out)


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


def _is_mount_point(path: str) -> bool:
    from velkora.mountinfo import mount_at

    try:
        return mount_at(path).mount_point == os.path.realpath(path)
    except OSError:
        return False

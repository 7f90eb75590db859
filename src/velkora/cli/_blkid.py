"""The velkora command's ``blkid``: what devices and images hold, as
``blkid -p`` prints it (one line a device, ``-o export``) or as JSON.

Every name printed has its control characters escaped (shown), so a label
cannot reach the terminal as a command or forge a second device's line;
``-o export`` quotes each value as the shell reads it (blkid -p leaves
``;``, ``&`` and ``|`` bare), so its output is safe for ``eval``."""

from __future__ import annotations

import sys

from velkora.cli._common import Failure, _fail, _json, shown

TYPE_CHECKING = False
if TYPE_CHECKING:
    import argparse

    from velkora.blkid import Probe

# The fields blkid prints, in its order, with the record's name for each.
FIELDS = (("LABEL", "label"), ("UUID", "uuid"), ("UUID_SUB", "uuid_sub"), ("TYPE", "type"),
          ("PTUUID", "ptuuid"), ("PTTYPE", "pttype"))  # fmt: skip
_SAFE = frozenset("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-_.:/+,@%=")


def _fields(found: Probe) -> list[tuple[str, str]]:
    return [(key, getattr(found, name)) for key, name in FIELDS if getattr(found, name) is not None]


def _quoted(value: str) -> str:
    """A value as blkid -p quotes it (a backslash and a double quote
    backslash-escaped), its control characters then shown as \\xNN."""
    return '"' + shown(value.replace("\\", "\\\\").replace('"', '\\"')) + '"'


def _exported(value: str) -> str:
    """A value for ``-o export``: shown, then bare where the shell takes it
    as one word as it is, otherwise in single quotes (a ' as '"'"'), which
    the shell reads with nothing expanded."""
    value = shown(value)
    if value and all(c in _SAFE for c in value):
        return value
    return "'" + value.replace("'", "'\"'\"'") + "'"


def cmd_blkid(args: argparse.Namespace) -> int:
    import warnings

    from velkora import blkid

    found, failed = [], False
    for device in args.devices or blkid.devices():
        try:
            with warnings.catch_warnings(record=True) as said:
                warnings.simplefilter("always")
                # A device listed is read through its checked node: never a
                # node left by another device, never one that is no device.
                found.append((device, blkid.probe(device) if args.devices else blkid._probe_listed(device)))
            for warning in said:  # a table entry left out: one line, as the command's own
                print(f"velkora: warning: {shown(str(warning.message))}", file=sys.stderr)
        except OSError as e:
            if args.devices:  # of every device, those that may not be read are passed over
                failed = True
                print(f"velkora: {_fail(f'blkid {shown(device)}', e)}", file=sys.stderr)
    if args.json:
        print(_json([{"device": device, **{name: getattr(p, name) for _, name in FIELDS},
                      "partitions": [p._asdict() for p in p.partitions]} for device, p in found]))  # fmt: skip
    else:
        blocks = []
        for device, p in found:
            fields = _fields(p)
            if not fields:
                continue
            if args.output == "export":
                blocks.append("\n".join([f"DEVNAME={_exported(device)}"] + [f"{k}={_exported(v)}" for k, v in fields]))
            else:
                print(f"{shown(device)}: " + " ".join(f"{k}={_quoted(v)}" for k, v in fields))
        if blocks:
            print("\n\n".join(blocks))
    if failed and not found:
        raise Failure("blkid: nothing could be read")
    # blkid's status: 2 where nothing was found on any device asked about.
    return 0 if any(_fields(p) for _, p in found) else 2

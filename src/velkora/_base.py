"""What every layer of the package shares, importing no other module of it:
records made as namedtuples from annotated classes, and names made safe to
print."""

from __future__ import annotations

from collections import namedtuple


def record(cls: type, module: str, defaults: tuple = ()) -> type:  # type: ignore[type-arg]
    """The namedtuple of cls's annotated fields, with its docstring, in module."""
    made = namedtuple(cls.__name__, list(cls.__annotations__), defaults=defaults, module=module)  # type: ignore[misc]
    made.__doc__, made.__annotations__ = cls.__doc__, cls.__annotations__
    return made


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

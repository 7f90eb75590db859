"""What every layer of the package shares, importing no other module of it:
records made as namedtuples from annotated classes, and names made safe to
print."""

from __future__ import annotations

from collections import namedtuple

# What namedtuple makes, and typing.NamedTuple refuses to have overwritten.
_MADE = frozenset(("__new__", "__init__", "__slots__", "__getnewargs__", "_fields", "_field_defaults", "_make",
                   "_replace", "_asdict", "_source"))  # fmt: skip


def record(cls: type, module: str) -> type:
    """The namedtuple of cls's annotated fields, as typing.NamedTuple makes
    one of a class: the values the class gives its last fields their
    defaults, its docstring and methods kept; named as of module.

    Each record is written as a typing.NamedTuple class that the type
    checker reads, and made by this at run time, so that no module that
    makes records imports typing::

        TYPE_CHECKING = False
        if TYPE_CHECKING:
            from typing import NamedTuple
        else:
            from velkora._base import record as _record

            NamedTuple = object


        class Point(NamedTuple):
            x: int  #: what each field holds
            y: int = 0


        if not TYPE_CHECKING:
            Point = _record(Point, "velkora.points")  # noqa: F811 - the fields, as a namedtuple
    """
    fields = list(cls.__annotations__)
    defaults = []
    for name in fields:
        if name in cls.__dict__:
            defaults.append(cls.__dict__[name])
        elif defaults:
            raise TypeError(f"{cls.__name__}: field {name!r} without a default follows one with a default")
    made = namedtuple(cls.__name__, fields, defaults=defaults, module=module)  # type: ignore[misc]
    made.__doc__, made.__annotations__ = cls.__doc__, cls.__annotations__
    for name, value in cls.__dict__.items():
        if name not in fields and (callable(value) or isinstance(value, (property, classmethod, staticmethod))):
            if name in _MADE:
                raise AttributeError(f"{cls.__name__}: {name} is the namedtuple's own")
            setattr(made, name, value)
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

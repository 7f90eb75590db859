"""The fstab itself, read and written: velkora.fstab's records and
parser, for its other parts to share (importing none of them)."""

from __future__ import annotations

import os
import re
from collections.abc import MutableSequence

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Iterable, Iterator, NamedTuple, Union, overload

    PathArg = Union[str, "os.PathLike[str]"]
else:
    NamedTuple = object

    def overload(f):
        return f


_NUMBER = re.compile(r"[+-]?[0-9]+\Z")
_OCTAL = re.compile(r"\\([0-7]{3})")
_ESCAPES = {" ": "\\040", "\t": "\\011", "\n": "\\012", "\\": "\\134"}


class Entry(NamedTuple):
    """One entry of an fstab, its fields unescaped; ``options`` is "" where
    the line has none (mount(8) reads that as ``defaults``)."""

    source: str
    target: str
    fstype: str
    options: str = ""
    freq: int = 0
    passno: int = 0


if not TYPE_CHECKING:
    from velkora._namedrecord import record

    Entry = record(Entry, "velkora.fstab", ("", 0, 0))  # noqa: F811 - the fields, as a namedtuple

_new_entry = tuple.__new__


def _octal(match: re.Match[str]) -> str:
    return chr(int(match.group(1), 8))


def _unescape(field: str) -> str:
    if "\\" not in field:
        return field
    # The usual escapes by replace, which is fast; anything else by the pattern.
    plain = field.replace("\\040", " ").replace("\\011", "\t").replace("\\012", "\n")
    if "\\" not in plain.replace("\\134", ""):
        return plain.replace("\\134", "\\")
    return _OCTAL.sub(_octal, field)


def _escape(field: str) -> str:
    """A field as fstab writes it: blanks, newlines and backslashes as octal
    escapes, and a leading # so that the line is not taken for a comment."""
    field = "".join(_ESCAPES.get(c, c) for c in field)
    return "\\043" + field[1:] if field.startswith("#") else field


def _parse_line(line: str) -> Entry | None | bool:
    """The entry of line; None for a comment or blank line; False for a
    line that is neither."""
    fields = line.split()
    if not fields or fields[0].startswith("#"):
        return None
    n = len(fields)
    if n < 3:
        return False
    freq = passno = 0
    if n > 4:
        if not _NUMBER.match(fields[4]):
            return False
        freq = int(fields[4])
        if n > 5:
            if not _NUMBER.match(fields[5]):
                return False
            passno = int(fields[5])
    s, t, f = fields[0], fields[1], fields[2]
    o = fields[3] if n > 3 else ""
    if "\\" in line:
        s, t, f, o = _unescape(s), _unescape(t), _unescape(f), _unescape(o)
    return _new_entry(Entry, (s, t, f, o, freq, passno))


def render(entry: Entry) -> str:
    """entry as one line of an fstab, without its newline."""
    fields = [_escape(entry.source), _escape(entry.target), _escape(entry.fstype), _escape(entry.options or "defaults")]
    return " ".join(fields + [str(entry.freq), str(entry.passno)])


if TYPE_CHECKING:
    _Sequence = MutableSequence[Entry]
else:
    _Sequence = MutableSequence


class Fstab(_Sequence):
    """An fstab: a mutable sequence of :class:`Entry` records, with the
    file's other lines (comments, blank lines, lines that are no entry)
    kept in their places. Indexes count entries alone; ``insert(i, e)``
    puts ``e`` on a new line just before the i-th entry's line (at the end
    for ``len()``)."""

    def __init__(self, entries: Iterable[Entry] = ()) -> None:
        # Each line: [text or None (to be written anew), entry, False where it is malformed].
        self._lines: list[list[object]] = []
        self._index: list[int] | None = None
        for entry in entries:
            self.append(entry)

    # -- the lines --------------------------------------------------------
    def _entries(self) -> list[int]:
        if self._index is None:
            self._index = [i for i, line in enumerate(self._lines) if line[1] is not None]
        return self._index

    def lines(self) -> Iterator[tuple[int, str, Entry | None]]:
        """(number, text, entry) of each line, from 1; entry None for a
        comment, a blank line or a line that is no entry."""
        for number, (text, entry, _) in enumerate(self._lines, 1):
            shown = str(text) if text is not None else render(entry) + "\n"  # type: ignore[arg-type]
            yield number, shown, entry  # type: ignore[misc]

    def malformed(self) -> list[tuple[int, str]]:
        """(number, text) of each line that is neither an entry, a comment
        nor blank."""
        return [(n, str(line[0])) for n, line in enumerate(self._lines, 1) if line[2] is False]

    def line_of(self, index: int) -> int:
        """The line number (from 1) of entry index."""
        return self._entries()[index] + 1

    def __str__(self) -> str:
        return "".join(text for _, text, _ in self.lines())

    # -- the sequence -----------------------------------------------------
    def __len__(self) -> int:
        return len(self._entries())

    def __iter__(self) -> Iterator[Entry]:
        lines = self._lines
        return (lines[i][1] for i in self._entries())  # type: ignore[misc]

    @overload
    def __getitem__(self, index: int) -> Entry: ...
    @overload
    def __getitem__(self, index: slice) -> list[Entry]: ...  # noqa: F811
    def __getitem__(self, index: int | slice) -> Entry | list[Entry]:  # noqa: F811
        if isinstance(index, slice):
            return [self._lines[i][1] for i in self._entries()[index]]  # type: ignore[misc]
        return self._lines[self._entries()[index]][1]  # type: ignore[return-value]

    @overload
    def __setitem__(self, index: int, entry: Entry) -> None: ...
    @overload
    def __setitem__(self, index: slice, entry: Iterable[Entry]) -> None: ...  # noqa: F811
    def __setitem__(self, index: int | slice, entry: Entry | Iterable[Entry]) -> None:  # noqa: F811
        if isinstance(index, slice):
            raise TypeError("an Fstab takes one entry at a time")
        line = self._lines[self._entries()[index]]
        if entry != line[1]:
            line[0], line[1] = None, _checked(entry)  # type: ignore[arg-type]

    @overload
    def __delitem__(self, index: int) -> None: ...
    @overload
    def __delitem__(self, index: slice) -> None: ...  # noqa: F811
    def __delitem__(self, index: int | slice) -> None:  # noqa: F811
        for at in sorted(self._entries()[index] if isinstance(index, slice) else [self._entries()[index]])[::-1]:
            del self._lines[at]
        self._index = None

    def insert(self, index: int, entry: Entry) -> None:
        entries = self._entries()
        at = entries[index] if -len(entries) <= index < len(entries) else len(self._lines)
        if at == len(self._lines) and self._lines and not str(self._lines[-1][0] or "\n").endswith("\n"):
            self._lines[-1][0] = str(self._lines[-1][0]) + "\n"  # the file's last line had no newline
        self._lines.insert(at, [None, _checked(entry), True])
        self._index = None

    def __eq__(self, other: object) -> bool:
        return isinstance(other, Fstab) and str(self) == str(other)

    __hash__ = None  # type: ignore[assignment]

    def __repr__(self) -> str:
        return f"Fstab({list(self)!r})"

    def find(self, target: str | None = None, source: str | None = None) -> Entry | None:
        """The first entry with this target and/or source (unescaped
        values; a target compared without a trailing slash), or None."""
        if target is not None:
            target = _trimmed(target)
        for entry in self:
            if (target is None or _trimmed(entry.target) == target) and (source is None or entry.source == source):
                return entry
        return None

    def write(self, path: PathArg = "/etc/fstab") -> None:
        """Replaces the file at path with this table, atomically: a new file
        in the same directory, written and fsynced, renamed over it (the
        old file's mode and owner kept, else 0644), the directory fsynced."""
        from velkora._fstab_write import replace

        replace(os.fspath(path), str(self))


def _trimmed(path: str) -> str:
    return path.rstrip("/") or "/" if path.startswith("/") else path


def _checked(entry: Entry) -> Entry:
    if not isinstance(entry, tuple) or len(entry) != 6:
        raise TypeError(f"an fstab entry must be an Entry, not {type(entry).__name__}")
    if not all(isinstance(field, str) for field in entry[:4]) or not all(type(n) is int for n in entry[4:]):
        raise TypeError("an Entry has four str fields and two int fields")
    if not (entry[0] and entry[1] and entry[2]):
        raise ValueError("an fstab entry needs a source, a target and a type")
    return entry if type(entry) is Entry else Entry(*entry)


def parse(text: str) -> Fstab:
    """The fstab that text holds; never raises for what it holds."""
    # _parse_line's rules, inlined: this loop is the whole cost of a read.
    table = Fstab()
    add = table._lines.append
    number = _NUMBER.match
    unescape = _unescape
    new = _new_entry
    for line in text.splitlines(keepends=True):
        fields = line.split(None, 6)
        n = len(fields)
        if not n or fields[0][0] == "#":
            add([line, None, True])
            continue
        if n < 3:
            add([line, None, False])
            continue
        freq = passno = 0
        if n > 4:
            f4 = fields[4]
            f5 = fields[5] if n > 5 else "0"
            if not (f4.isascii() and f4.isdigit() or number(f4)) or not (f5.isascii() and f5.isdigit() or number(f5)):
                add([line, None, False])
                continue
            freq, passno = int(f4), int(f5)
        if n == 3:
            fields.append("")
        if "\\" in line:
            fields = [unescape(f) for f in fields[:4]]
        add([line, new(Entry, (fields[0], fields[1], fields[2], fields[3], freq, passno)), True])
    return table


def read(path: PathArg = "/etc/fstab") -> Fstab:
    """The fstab in the file at path (UTF-8, undecodable bytes as surrogate
    escapes, as the file system encoding gives them)."""
    with open(path, encoding="utf-8", errors="surrogateescape", newline="") as f:
        return parse(f.read())

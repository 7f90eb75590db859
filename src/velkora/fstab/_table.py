"""The fstab itself, read and written: velkora.fstab's records, its
parser, and the file replaced atomically, for its other parts to share
(importing none of them)."""

from __future__ import annotations

import errno
import os
import re
import stat
from collections.abc import MutableSequence

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Callable, Iterable, Iterator, NamedTuple, Union, overload

    PathArg = Union[str, "os.PathLike[str]"]
else:
    from velkora._base import record as _record

    NamedTuple = object

    def overload(f):
        return f


_NUMBER = re.compile(r"[+-]?[0-9]+\Z")
# libmount's fields: runs of anything but a space or a tab (the only blanks
# it splits at; Python's str.split() takes 27 other characters for blanks).
_FIELDS = re.compile(r"[^ \t]+")
# What str.split() splits at besides space, tab, newline and carriage
# return: a text with none of them is split by it exactly as libmount
# splits it, and faster.
_OTHER_BLANKS = "\v\f\x1c\x1d\x1e\x1f\x85\xa0\u1680\u2028\u2029\u202f\u205f\u3000"
_OTHER_BLANKS += "".join(map(chr, range(0x2000, 0x200B)))  # U+2000 to U+200A
_OCTAL = re.compile(rb"\\([0-7]{3})")
# What a written field holds as an octal escape: the blanks and the line
# break libmount splits at, the backslash, every control character (C0,
# DEL, C1) and every other blank, which a reader less exact than libmount
# might split at.
_ESCAPED = re.compile(r"[\x00-\x20\x7f-\xa0\\\u1680\u2000-\u200a\u2028\u2029\u202f\u205f\u3000]")


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
    Entry = _record(Entry, "velkora.fstab")  # noqa: F811 - the fields, as a namedtuple

_new_entry = tuple.__new__


def _octal(match: re.Match[bytes]) -> bytes:
    # libmount keeps the low byte of what is written (\\777 is 0xff).
    return bytes((int(match.group(1), 8) & 0xFF,))


def _unescape(field: str) -> str:
    """field with its octal escapes undone: each a byte, the bytes then
    decoded as file names are (\\302\\240 is U+00A0, a byte that is no
    UTF-8 a surrogate escape)."""
    if "\\" not in field:
        return field
    # The usual escapes, each one ASCII byte, by replace, which is fast;
    # anything else through the bytes.
    plain = field.replace("\\040", " ").replace("\\011", "\t").replace("\\012", "\n")
    if "\\" not in plain.replace("\\134", ""):
        return plain.replace("\\134", "\\")
    return os.fsdecode(_OCTAL.sub(_octal, os.fsencode(field)))


def _octal_bytes(match: re.Match[str]) -> str:
    return "".join(f"\\{byte:03o}" for byte in os.fsencode(match.group()))


def _escape(field: str) -> str:
    """A field as fstab writes it: each character libmount or a looser
    reader could split at, each control character and the backslash as
    the octal escapes of its bytes, and a leading # so that the line is not
    taken for a comment."""
    field = _ESCAPED.sub(_octal_bytes, field)
    return "\\043" + field[1:] if field.startswith("#") else field


def _splitter(text: str) -> Callable[[str], list[str]]:
    """What splits each line of text (less its newline) into fields as
    libmount does: str.split() where it splits at nothing more (each
    carriage return one before a newline, which libmount drops: a blank to
    str.split()), else a pattern that splits at space and tab alone."""
    blanks = _OTHER_BLANKS[:6] if text.isascii() else _OTHER_BLANKS  # a search for each is fast
    if any(c in text for c in blanks):
        return _FIELDS.findall
    if "\r" in text and (text.count("\r") != text.count("\r\n") or "\r\r" in text):
        return _FIELDS.findall
    return str.split


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
        self._path: str | None = None
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

    @property
    def path(self) -> str | None:
        """The file this table was read from (absolute), or None for one
        read from nowhere (:func:`parse`, :func:`generate`, ``Fstab()``)."""
        return self._path

    def write(self, path: PathArg | None = None) -> None:
        """Replaces the file at path with this table, atomically: a new file
        in the same directory, written and fsynced, renamed over it (the
        old file's mode and owner kept, else 0644), the directory fsynced.
        Without path, the file the table was read from; a table read from
        nowhere needs one (TypeError)."""
        if path is None:
            if self._path is None:
                raise TypeError("Fstab.write() needs a path: this table was not read from a file")
            path = self._path
        _replace(os.fspath(path), str(self))


def _trimmed(path: str) -> str:
    return path.rstrip("/") or "/" if path.startswith("/") else path


def _checked(entry: Entry) -> Entry:
    if not isinstance(entry, tuple) or len(entry) != 6:
        raise TypeError(f"an fstab entry must be an Entry, not {type(entry).__name__}")
    if not all(isinstance(field, str) for field in entry[:4]) or not all(type(n) is int for n in entry[4:]):
        raise TypeError("an Entry has four str fields and two int fields")
    if not (entry[0] and entry[1] and entry[2]):
        raise ValueError("an fstab entry needs a source, a target and a type")
    if any("\0" in field for field in entry[:4]):
        raise ValueError("an fstab entry cannot hold a NUL character")
    return entry if type(entry) is Entry else Entry(*entry)


def parse(text: str) -> Fstab:
    """The fstab that text holds; never raises for what it holds. Lines
    end at "\\n" alone and fields are split at spaces and tabs alone, as
    libmount reads them; a line holding a NUL (or an escaped one) is
    malformed, as is one with fewer than three fields or a freq or passno
    that is no number."""
    # This loop is the whole cost of a read.
    table = Fstab()
    add = table._lines.append
    number = _NUMBER.match
    unescape = _unescape
    fields_of = _splitter(text)
    new = _new_entry
    if fields_of is str.split:
        # Then no character but "\n" and "\r\n" breaks a line for
        # splitlines() either, and split() drops them with the blanks.
        lines = bodies = text.splitlines(keepends=True)
    else:
        bodies = text.split("\n")
        if not bodies[-1]:
            del bodies[-1]
        lines = [body + "\n" for body in bodies]
        if not text.endswith("\n") and lines:
            lines[-1] = bodies[-1]
        bodies = [body[:-1] if body[-1:] == "\r" else body for body in bodies]
    nul = "\0" in text
    escaped_nul = "\\000" in text or "\\400" in text  # libmount keeps an escape's low byte
    for line, body in zip(lines, bodies):
        fields = fields_of(body)
        n = len(fields)
        if nul and "\0" in line:
            add([line, None, False])
            continue
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
            if escaped_nul and "\0" in "".join(fields):
                add([line, None, False])  # an escaped NUL: no path or word holds one
                continue
        add([line, new(Entry, (fields[0], fields[1], fields[2], fields[3], freq, passno)), True])
    return table


def read(path: PathArg = "/etc/fstab") -> Fstab:
    """The fstab in the file at path (UTF-8, undecodable bytes as surrogate
    escapes, as the file system encoding gives them)."""
    name = os.path.abspath(os.fspath(path))
    with open(name, encoding="utf-8", errors="surrogateescape", newline="") as f:
        table = parse(f.read())
    table._path = name
    return table


def inside(root: str, path: str, name: str) -> int:
    """An O_PATH fd of path looked up inside root (openat2 RESOLVE_IN_ROOT:
    no link or ".." leads out); OSError naming name where there is none."""
    from velkora import _chroot

    top = os.open(root, os.O_PATH | os.O_DIRECTORY | os.O_CLOEXEC)
    try:
        return _chroot.resolve(top, path, os.O_PATH)
    except OSError as e:
        raise OSError(e.errno, e.strerror, name) from None
    finally:
        os.close(top)


def read_inside(root: PathArg, path: str = "/etc/fstab") -> Fstab:
    """The fstab at path in the system installed at root, path looked up
    inside root (no link or ".." in it leads out); its :attr:`Fstab.path`
    the file that was found there, which write() replaces."""
    import stat

    top = os.path.abspath(os.fspath(root))
    shown = os.path.join(top, path.lstrip("/"))
    found = inside(top, path, shown)
    try:
        # A FIFO would be waited on for ever, a device node read without end.
        if not stat.S_ISREG(os.fstat(found).st_mode):
            raise OSError(errno.EINVAL, "not a regular file", shown)
        # Where the file is, with no link in the way: what write() replaces.
        name = os.readlink(f"/proc/self/fd/{found}")
        fd = os.open(f"/proc/self/fd/{found}", os.O_RDONLY | os.O_CLOEXEC)
    finally:
        os.close(found)
    with open(fd, encoding="utf-8", errors="surrogateescape", newline="") as f:
        table = parse(f.read())
    table._path = name
    return table


def _replace(path: str, text: str) -> None:
    """text in place of the file at path: a new file in the same directory,
    given the old one's mode and owner (0644 and the caller's where there
    was none), written, fsynced and renamed over it; the directory fsynced
    after. A failure leaves the old file as it was and no new one."""
    import tempfile

    directory = os.path.dirname(os.path.abspath(path))
    try:
        st = os.stat(path)
        mode, owner = stat.S_IMODE(st.st_mode), (st.st_uid, st.st_gid)
    except FileNotFoundError:
        mode, owner = 0o644, None
    fd, temporary = tempfile.mkstemp(prefix=".fstab.", dir=directory)
    try:
        with open(fd, "w", encoding="utf-8", errors="surrogateescape", newline="") as f:
            f.write(text)
            f.flush()
            os.fchmod(f.fileno(), mode)
            if owner is not None:
                os.fchown(f.fileno(), *owner)
            os.fsync(f.fileno())
        os.replace(temporary, path)
    except BaseException:
        try:
            os.unlink(temporary)
        except FileNotFoundError:
            pass
        raise
    dirfd = os.open(directory, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    try:
        os.fsync(dirfd)
    finally:
        os.close(dirfd)

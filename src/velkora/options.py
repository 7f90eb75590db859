"""Mount options as fstab and mount(8) write them, split into what goes where.

::

    from velkora.options import parse

    o = parse("ro,nosuid,noatime,subvol=@home,compress=zstd,nofail")
    o.flags      # MS.RDONLY | MS.NOSUID | MS.NOATIME
    o.data       # 'subvol=@home,compress=zstd'
    o.userspace  # ('nofail',)

The rules are mount(8)'s: words are separated by commas outside double
quotes (a quoted value keeps its commas and its quotes); a later word wins
over an earlier one (``ro,rw`` is read-write), and of ``noatime``,
``relatime`` and ``strictatime`` the last given wins; the VFS words become
``MS_*`` flags (and mount_setattr(2) attributes), the propagation words a
propagation type, the words only userspace reads (``nofail``, ``x-*`` ...)
never reach the kernel, and every other word is the filesystem's own, for
the kernel to judge. As mount(8), ``user`` and ``users`` imply
``noexec,nosuid,nodev`` and ``owner`` and ``group`` imply ``nosuid,nodev``
(a later word still overrides them: ``user,exec``), and ``uid=NAME`` and
``gid=NAME`` become numbers. ``X-mount.idmap=`` stays a userspace word,
its value checked: maps in mount(8)'s syntax (``"u:1000:0:1 g:1000:0:1"``,
quoted where it has spaces) or the absolute path of a user namespace. A VFS word with ``=recursive`` (``ro=recursive``)
asks for its attribute on every mount of a recursive bind, not the top one
only.
"""

from __future__ import annotations

from velkora.flags import MOUNT_ATTR, MS

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import NamedTuple
else:
    from velkora._base import record as _record

    NamedTuple = object

__all__ = ["MountOptions", "parse"]


class MountOptions(NamedTuple):
    """An option string, split into what goes where."""

    flags: MS  #: the MS_* bits the words ask for
    data: str  #: the filesystem's own words, as written, for mount(2)'s data
    propagation: MS  #: PRIVATE, SHARED, SLAVE or UNBINDABLE, with REC for the r... forms
    userspace: tuple[str, ...]  #: words that must never reach the kernel, as written
    attr_set: MOUNT_ATTR  #: the VFS words as mount_setattr(2) attributes to set
    attr_clr: MOUNT_ATTR  #: ... and to clear
    fs_params: tuple[tuple[str, str | None], ...]  #: ``data`` split for fsconfig(2), values unquoted
    #: the attributes (of attr_set and attr_clr) that ``WORD=recursive`` asked for on the whole tree
    recursive: MOUNT_ATTR = MOUNT_ATTR(0)


if not TYPE_CHECKING:
    MountOptions = _record(MountOptions, "velkora.options")  # noqa: F811 - the fields, as a namedtuple

# Each VFS word: the MS bits it sets, or clears when the bool is False.
VFS = {
    "ro": (MS.RDONLY, True),
    "rw": (MS.RDONLY, False),
    "nosuid": (MS.NOSUID, True),
    "suid": (MS.NOSUID, False),
    "nodev": (MS.NODEV, True),
    "dev": (MS.NODEV, False),
    "noexec": (MS.NOEXEC, True),
    "exec": (MS.NOEXEC, False),
    "sync": (MS.SYNCHRONOUS, True),
    "async": (MS.SYNCHRONOUS, False),
    "dirsync": (MS.DIRSYNC, True),
    "mand": (MS.MANDLOCK, True),
    "nomand": (MS.MANDLOCK, False),
    "noatime": (MS.NOATIME, True),
    "atime": (MS.NOATIME, False),
    "nodiratime": (MS.NODIRATIME, True),
    "diratime": (MS.NODIRATIME, False),
    "relatime": (MS.RELATIME, True),
    "norelatime": (MS.RELATIME, False),
    "strictatime": (MS.STRICTATIME, True),
    "nostrictatime": (MS.STRICTATIME, False),
    "lazytime": (MS.LAZYTIME, True),
    "nolazytime": (MS.LAZYTIME, False),
    "iversion": (MS.I_VERSION, True),
    "noiversion": (MS.I_VERSION, False),
    "nosymfollow": (MS.NOSYMFOLLOW, True),
    "symfollow": (MS.NOSYMFOLLOW, False),
    "silent": (MS.SILENT, True),
    "loud": (MS.SILENT, False),
    "remount": (MS.REMOUNT, True),
    "move": (MS.MOVE, True),
    "bind": (MS.BIND, True),
    "rbind": (MS.BIND | MS.REC, True),
}
ATIME_MODES = MS.NOATIME | MS.RELATIME | MS.STRICTATIME
PROPAGATION = {
    "private": MS.PRIVATE,
    "shared": MS.SHARED,
    "slave": MS.SLAVE,
    "unbindable": MS.UNBINDABLE,
    **{"r" + word: flag | MS.REC for word, flag in (("private", MS.PRIVATE), ("shared", MS.SHARED),
                                                       ("slave", MS.SLAVE), ("unbindable", MS.UNBINDABLE))},
}  # fmt: skip
# Words only userspace reads: alone, with a value, or both.
USERSPACE = {"auto", "noauto", "user", "nouser", "users", "owner", "group", "_netdev", "nofail", "loop"}
USERSPACE_VALUED = {"user", "comment", "loop", "offset", "sizelimit", "partition", "encryption", "helper", "uhelper"}
# mount(8)'s words that stand for VFS words: what they imply comes first,
# so that a later word still overrides it.
IMPLIES = {"user": "noexec,nosuid,nodev", "users": "noexec,nosuid,nodev", "owner": "nosuid,nodev",
           "group": "nosuid,nodev"}  # fmt: skip
# The VFS words that are also mount attributes; the atime words make one field.
ATTRIBUTES = {
    MS.RDONLY: MOUNT_ATTR.RDONLY,
    MS.NOSUID: MOUNT_ATTR.NOSUID,
    MS.NODEV: MOUNT_ATTR.NODEV,
    MS.NOEXEC: MOUNT_ATTR.NOEXEC,
    MS.NODIRATIME: MOUNT_ATTR.NODIRATIME,
    MS.NOSYMFOLLOW: MOUNT_ATTR.NOSYMFOLLOW,
}
ATTRIBUTE_BITS = MS.RDONLY | MS.NOSUID | MS.NODEV | MS.NOEXEC | MS.NODIRATIME | MS.NOSYMFOLLOW


def split(text: str) -> list[str]:
    """The words of ``text``: separated by commas outside double quotes,
    empty ones skipped; ValueError for a NUL or an unterminated quote."""
    if not isinstance(text, str):
        raise TypeError(f"mount options must be str, not {type(text).__name__}")
    words, start, quoted = [], 0, False
    for i, c in enumerate(text + ","):
        if c == '"':
            quoted = not quoted
        elif c == "," and not quoted:
            words.append(text[start:i])
            start = i + 1
    if quoted:
        raise ValueError(f"unterminated quote in mount option {text[start:]!r}")
    for word in words:
        if "\0" in word:
            raise ValueError(f"NUL character in mount option {word!r}")
        if word.startswith("="):
            raise ValueError(f"mount option {word!r} has no name")
    return [word for word in words if word]


def _unquoted(value: str) -> str:
    return value[1:-1] if len(value) >= 2 and value[0] == value[-1] == '"' else value


def is_userspace(word: str) -> bool:
    name, has_value, _ = word.partition("=")
    if name.startswith(("x-", "X-", "verity.")):
        return True
    return name in USERSPACE_VALUED if has_value else name in USERSPACE


def _numeric_owner(word: str) -> str:
    """``uid=NAME`` and ``gid=NAME`` with the number that NAME stands for,
    as mount(8) passes them; ValueError for a name nobody has."""
    name, _, value = word.partition("=")
    if name not in ("uid", "gid") or not value or value.isdigit():
        return word
    try:
        if name == "uid":
            import pwd

            number = pwd.getpwnam(value).pw_uid
        else:
            import grp

            number = grp.getgrnam(value).gr_gid
    except KeyError:
        raise ValueError(f"mount option {word!r}: no {'user' if name == 'uid' else 'group'} {value!r}") from None
    return f"{name}={number}"


def _check_idmap(word: str, value: str) -> None:
    """ValueError naming word where its value is neither an absolute path
    (of a user namespace) nor maps in mount(8)'s syntax."""
    if value.startswith("/"):
        return
    if not value.strip():
        raise ValueError(f"mount option {word!r}: maps (u:INNER:OUTER:COUNT ...) or a user namespace's path")
    from velkora import _idmap

    try:
        _idmap.maps(value)
    except ValueError as e:
        raise ValueError(f"mount option {word!r}: {e}") from None


def _words(text: str) -> list[str]:
    """The words of text, with what mount(8)'s implying words stand for put
    before them."""
    out = []
    for word in split(text):
        if word in IMPLIES:
            out.extend(IMPLIES[word].split(","))
        out.append(word)
    return out


def parse(text: str) -> MountOptions:
    """Splits a mount option string (``"ro,nosuid,subvol=@home,nofail"``) into
    MS_* flags, the filesystem's data, a propagation type, the userspace-only
    words and the same VFS words as mount attributes; see the module's text."""
    flags, given, data, userspace = MS(0), MS(0), [], []
    propagation, recursive = MS(0), MS(0)
    for word in _words(text):
        name, _, value = word.partition("=")
        if value in ("recursive", "nonrecursive") and name in VFS and VFS[name][0] & (ATIME_MODES | ATTRIBUTE_BITS):
            # The attribute on the whole tree, or on the top mount alone.
            bits = VFS[name][0]
            recursive = recursive | bits if value == "recursive" else recursive & ~bits
            word = name
        if word in VFS:
            bits, on = VFS[word]
            if on and bits & ATIME_MODES:
                flags &= ~ATIME_MODES  # the atime modes exclude one another
            flags = flags | bits if on else flags & ~bits
            given |= bits
        elif word in PROPAGATION:
            propagation = PROPAGATION[word]
        elif word == "defaults":
            continue  # means nothing
        elif is_userspace(word):
            if name.lower() == "x-mount.idmap":
                _check_idmap(word, _unquoted(value))
            userspace.append(word)
        else:
            data.append(_numeric_owner(word))
    attr_set, attr_clr = MOUNT_ATTR(0), MOUNT_ATTR(0)
    for bit, attribute in ATTRIBUTES.items():
        if given & bit:
            if flags & bit:
                attr_set |= attribute
            else:
                attr_clr |= attribute
    if given & ATIME_MODES:
        # One field: its mode (relatime, the kernel's default, unless another
        # was asked for), with the whole field cleared first.
        attr_clr |= MOUNT_ATTR._ATIME
        if flags & MS.NOATIME:
            attr_set |= MOUNT_ATTR.NOATIME
        elif flags & MS.STRICTATIME:
            attr_set |= MOUNT_ATTR.STRICTATIME
    params = []
    for word in data:
        name, has_value, value = word.partition("=")
        params.append((name, _unquoted(value) if has_value else None))
    on_tree = MOUNT_ATTR(0)
    for bit, attribute in ATTRIBUTES.items():
        if recursive & bit:
            on_tree |= attribute
    if recursive & ATIME_MODES:
        on_tree |= MOUNT_ATTR._ATIME
    return MountOptions(flags, ",".join(data), propagation, tuple(userspace), attr_set, attr_clr, tuple(params),
                        on_tree)  # fmt: skip

"""mount(8)'s semantics on top of the exact calls: per-mount words on a new
bind, remounts that change only the words given, the targets that
``X-mount.mkdir`` makes, and the kernel's own reason for a refused mount.

``velkora.mount`` makes each call exactly as asked; what is here is what
mount(8) does around those calls (also ``mount --move``'s fallback to
mount(2), and whether a path is a mount point, as the command asks).
"""

from __future__ import annotations

import errno
import os

import velkora.fsmount as fs
from velkora import _mounts
from velkora.flags import MNT, MOUNT_ATTR, MS
from velkora.options import ATIME_MODES, ATTRIBUTE_BITS, ATTRIBUTES, IMPLIES, VFS, parse, split

# Flags that belong to the mount (a bind remount changes exactly these) and
# to the superblock.
PER_MOUNT = MS.RDONLY | MS.NOSUID | MS.NODEV | MS.NOEXEC | MS.NODIRATIME | MS.NOSYMFOLLOW | ATIME_MODES
# The superblock's words fsconfig(2) takes (the kernel's common sb flags).
SUPER_WORDS = {"ro", "rw", "sync", "async", "dirsync", "lazytime", "nolazytime", "mand", "nomand"}
# Where the kernel has no open_tree(2) or mount_setattr(2) (before 5.12, or
# an emulator), the classic calls do the same in two steps.
_NO_NEW_API = (errno.ENOSYS,)


def attributes(flags: int, cleared: int = 0) -> tuple[int, int]:
    """mount_setattr(2)'s attr_set and attr_clr for the per-mount bits in
    flags, with cleared (attributes a word turned off) kept where flags do
    not set them."""
    attr_set = 0
    for bit, attribute in ATTRIBUTES.items():
        if flags & bit:
            attr_set |= attribute
    attr_clr = cleared & ~attr_set
    if flags & ATIME_MODES or cleared & MOUNT_ATTR._ATIME:
        attr_clr |= MOUNT_ATTR._ATIME
        if flags & MS.NOATIME:
            attr_set |= MOUNT_ATTR.NOATIME
        elif flags & MS.STRICTATIME:
            attr_set |= MOUNT_ATTR.STRICTATIME
    return int(attr_set), int(attr_clr)


def _current(path: str, superblock: bool) -> str:
    """The per-mount words of the mount at path as the table shows them,
    read-only where the superblock is (with superblock)."""
    from velkora.mountinfo import mount_at

    m = mount_at(path)
    if m.mount_point != os.path.realpath(path):
        raise OSError(errno.EINVAL, "not mounted", path)
    words = split(m.options or "")
    if superblock:
        sb = split(m.super_options or "")
        if "ro" in sb:
            words = ["ro" if w == "rw" else w for w in words]
        words += [w for w in sb if w in ("sync", "dirsync", "mand", "lazytime")]
    return ",".join(words)


def _bind_remount(path: str, words: str) -> None:
    """A bind remount of the mount at path: its flags as the table has them,
    changed by words."""
    merged = parse(_current(path, False) + "," + words)
    _mounts.mount("none", path, "", int(MS.REMOUNT | MS.BIND | (merged.flags & PER_MOUNT)))


def bind(source: str, target: str, flags: int, attr: tuple[int, int], tree: int) -> None:
    """Binds source on target (recursively with MS_REC in flags) with the
    attributes attr (set, clear) on the new top mount, and those of them in
    tree on every mount it brings. The copy gets its attributes before it is
    attached, so it is never seen without them (open_tree(2),
    mount_setattr(2), move_mount(2)); it keeps every flag of its source that
    no word changes."""
    attr_set, attr_clr = attr
    clone = fs.OPEN_TREE_CLONE | fs.OPEN_TREE_CLOEXEC | (fs.AT_RECURSIVE if flags & MS.REC else 0)
    try:
        fd = fs.open_tree(fs.AT_FDCWD, source, clone)
    except OSError as e:
        if e.errno not in _NO_NEW_API:
            raise
        fd = -1
    if fd >= 0:
        try:
            if tree & (attr_set | attr_clr):
                fs.mount_setattr(fd, "", fs.AT_EMPTY_PATH | fs.AT_RECURSIVE, attr_set=attr_set & tree,
                                 attr_clr=attr_clr & tree)  # fmt: skip
            fs.mount_setattr(fd, "", fs.AT_EMPTY_PATH, attr_set=attr_set, attr_clr=attr_clr)
            fs.move_mount(fd, "", fs.AT_FDCWD, target, fs.MOVE_MOUNT_F_EMPTY_PATH)
            return
        except OSError as e:
            if e.errno not in _NO_NEW_API:
                raise
        finally:
            os.close(fd)
    # The classic route: the bind, then a bind remount of each mount it made
    # that merges its current flags with the words.
    _mounts.mount(source, target, "", int(flags & (MS.BIND | MS.REC)))
    words = _words(attr_set, attr_clr)
    if tree and flags & MS.REC:
        from velkora.mountinfo import mounts_below

        for m in mounts_below(target, "mountinfo")[:-1]:
            if m.mount_point is not None:
                _bind_remount(m.mount_point, _words(attr_set & tree, attr_clr & tree))
    _bind_remount(target, words)


def _words(attr_set: int, attr_clr: int) -> str:
    """The option words for mount attributes to set and clear."""
    names = {MOUNT_ATTR.RDONLY: ("ro", "rw"), MOUNT_ATTR.NOSUID: ("nosuid", "suid"),
             MOUNT_ATTR.NODEV: ("nodev", "dev"), MOUNT_ATTR.NOEXEC: ("noexec", "exec"),
             MOUNT_ATTR.NODIRATIME: ("nodiratime", "diratime"),
             MOUNT_ATTR.NOSYMFOLLOW: ("nosymfollow", "symfollow")}  # fmt: skip
    words = [on if attr_set & bit else off for bit, (on, off) in names.items() if (attr_set | attr_clr) & bit]
    if attr_clr & MOUNT_ATTR._ATIME:
        mode = attr_set & MOUNT_ATTR._ATIME
        words.append("noatime" if mode == MOUNT_ATTR.NOATIME else "strictatime" if mode else "relatime")
    return ",".join(words)


def remount(target: str | os.PathLike[str], options: str = "") -> None:
    """Remounts the mount at ``target`` as ``mount -o remount,OPTIONS``
    does: only the words given change, the mount's other flags stay.

    The per-mount words (``ro``, ``nosuid``, ``noexec``, the atime words ...)
    go to the mount with mount_setattr(2), and the superblock's (``ro``,
    ``rw``, ``sync`` ...) and the filesystem's own words (``size=8m``) to
    the filesystem with fspick(2) and a reconfigure, which changes only
    what it is given; ``ro`` and ``rw`` are for both. With ``bind`` among
    the words the superblock is left alone. A propagation word changes the
    propagation after; other userspace-only words are ignored. Where the
    kernel lacks those calls, one MS_REMOUNT mount(2) call does the same,
    with the mount's current flags merged in as mount(8) merges them.

    Raises OSError EINVAL ("not mounted") where nothing is mounted at
    ``target``, and OSError with the kernel's reason where it refuses.
    """
    path = os.fspath(target)
    parsed = parse(options)
    not_carried_out(parsed.userspace, path)
    for word in parsed.userspace:
        if word.partition("=")[0].lower() == "x-mount.idmap":
            raise OSError(errno.EINVAL, f"mount option {word!r}: only a new mount can be idmapped", path)
    if parsed.flags & MS.MOVE:
        raise ValueError("mount option 'move' in a remount")
    words = [w for w in split(options) if w not in ("remount", "bind", "rbind")]
    per_mount = parse(",".join(w for w in words if w in _ATTRIBUTE_WORDS or w.partition("=")[2] == "recursive"))
    superblock = [w for w in words if w in SUPER_WORDS]
    by_bind = bool(parsed.flags & MS.BIND)
    current = _current(path, not by_bind)  # also: "not mounted" where nothing is
    try:
        if not by_bind and (superblock or parsed.fs_params):
            _reconfigure(path, superblock, parsed.fs_params)
        attr_set, attr_clr, tree = int(per_mount.attr_set), int(per_mount.attr_clr), int(per_mount.recursive)
        if tree:
            fs.mount_setattr(fs.AT_FDCWD, path, fs.AT_RECURSIVE, attr_set=attr_set & tree, attr_clr=attr_clr & tree)
        if attr_set or attr_clr:
            fs.mount_setattr(fs.AT_FDCWD, path, 0, attr_set=attr_set, attr_clr=attr_clr)
    except OSError as e:
        if e.errno not in _NO_NEW_API:
            raise _explained(e, path) from None
        merged = parse(current + "," + options)
        if by_bind:
            flags = MS.REMOUNT | MS.BIND | (merged.flags & PER_MOUNT)
        else:
            flags = MS.REMOUNT | (merged.flags & ~(MS.BIND | MS.REC | MS.MOVE))
        _mounts.mount("none", path, "", int(flags), parsed.data)
    if parsed.propagation:
        _mounts.mount("none", path, "", int(parsed.propagation))


def unmount(target: str | os.PathLike[str], *, lazy: bool = False, recursive: bool = False) -> None:
    """Unmounts the mount at ``target``, as ``umount`` does; ``lazy`` as
    ``umount -l`` (MNT_DETACH: it goes from the tree now, and the filesystem
    once nothing uses it, taking the mounts below along).

    ``recursive`` (``umount -R``) unmounts every mount at or below
    ``target`` first, leaves first, round after round: a mount without
    children is the top-most at its mount point, and a hidden one shows once
    what covered it has gone. A directory that is no mount point is refused
    with OSError EINVAL ("not mounted"), and nothing below it is touched.

    Raises OSError on failure (EBUSY where a mount is in use); a recursive
    unmount raises the first failure only where a round took nothing.
    """
    from velkora.mountinfo import mount_at, mounts_below

    path = os.fspath(target)
    flags = int(MNT.DETACH) if lazy else 0
    if not recursive or lazy:  # a lazy unmount takes the tree along by itself
        _mounts.umount(path, flags)
        return
    if mount_at(path).mount_point != os.path.realpath(path):  # a missing path says so
        raise OSError(errno.EINVAL, "not mounted", path)
    rounds = len(mounts_below(path)) + 1  # each round takes one at least
    for _ in range(rounds):
        below = [(m.id, m.parent_id, m.mount_point or "") for m in mounts_below(path)]
        if not below:
            return
        parents = {parent for _, parent, _ in below}
        failed: OSError | None = None
        gone = 0
        for id_, _, point in below:
            if id_ not in parents:
                try:
                    _mounts.umount(point, flags)
                    gone += 1
                except OSError as e:
                    failed = failed or e
        if failed is not None and not gone:
            raise failed


def is_mount_point(path: str) -> bool:
    """Whether a mount's root is at path (its symbolic links resolved);
    False where path cannot be looked up."""
    from velkora.mountinfo import mount_at

    try:
        return mount_at(path).mount_point == os.path.realpath(path)
    except OSError:
        return False


def move(source: str, target: str) -> None:
    """mount --move: move_mount(2), or where the kernel lacks it (or a
    seccomp filter refuses it with EPERM), mount(2) with MS_MOVE, the call
    mount(8) makes. Nothing new to undo: one call either way."""
    try:
        fs.move_mount(fs.AT_FDCWD, source, fs.AT_FDCWD, target)
    except OSError as e:
        if e.errno not in (errno.ENOSYS, errno.EPERM):
            raise
        _mounts.mount(source, target, "", int(MS.MOVE))


# The words that stand for mount attributes, as velkora.options reads them:
# the VFS words whose flag is one, and those that imply such words.
_ATTRIBUTE_WORDS = {word for word, (bits, _) in VFS.items() if bits & (ATTRIBUTE_BITS | ATIME_MODES)} | set(IMPLIES)


def _reconfigure(path: str, superblock: list[str], params: tuple[tuple[str, str | None], ...]) -> None:
    fd = fs.fspick(fs.AT_FDCWD, path, fs.FSPICK_CLOEXEC)
    try:
        for word in superblock:
            fs.fsconfig(fd, fs.FSCONFIG_SET_FLAG, word)
        for name, value in params:
            if value is None:
                fs.fsconfig(fd, fs.FSCONFIG_SET_FLAG, name)
            else:
                fs.fsconfig(fd, fs.FSCONFIG_SET_STRING, name, value)
        fs.fsconfig(fd, fs.FSCONFIG_CMD_RECONFIGURE)
    finally:
        os.close(fd)


def _explained(e: OSError, path: str) -> OSError:
    """e with the kernel's own reason, where it gave one, as its message,
    and path as its file name."""
    reasons = [m[2:] for m in getattr(e, "kernel_messages", ()) if m[:2] == "e "]
    error = OSError(e.errno, reasons[-1] if reasons else e.strerror or os.strerror(e.errno or 0), path)
    error.kernel_messages = getattr(e, "kernel_messages", ())  # type: ignore[attr-defined]
    return error


def _reason(e: OSError) -> str | None:
    """The kernel's own reason for e, where it queued one on the context."""
    reasons = [m[2:] for m in getattr(e, "kernel_messages", ()) if m[:2] == "e "]
    return reasons[-1] if reasons else None


def _said(errno_: int | None, source: str, fstype: str, reason: str | None) -> str:
    """What a refused new mount says, with the type it tried: the kernel's
    reason where it gave one, else mount(8)'s words for the errno."""
    if reason is None and errno_ == errno.ENODEV:
        return f"unknown filesystem type '{fstype}'"
    if reason is None and errno_ == errno.ENOTBLK:
        reason = f"{source} is not a block device"
    if reason is None and errno_ == errno.EINVAL:
        reason = (
            f"wrong fs type, bad option, bad superblock on {source}, missing codepage or helper program, or other error"
        )
    if reason is None:
        reason = os.strerror(errno_ or 0)
    return reason if reason.startswith(f"{fstype}: ") else f"{fstype}: {reason}"


def missing(source: str) -> OSError | None:
    """Where stat(2) cannot find source, its error in mount(8)'s words
    (its filename for the caller to set); else None."""
    try:
        os.stat(source)
    except FileNotFoundError:
        return FileNotFoundError(errno.ENOENT, f"special device {source} does not exist")
    except NotADirectoryError:
        why = f"special device {source} does not exist (a path prefix is not a directory)"
        return NotADirectoryError(errno.ENOTDIR, why)
    except OSError:
        pass
    return None


def refused(e: OSError, source: str, target: str, fstype: str, flags: int, data: str) -> OSError:
    """The error of a refused mount(2) that names what failed, in mount(8)'s
    words where the kernel gives no reason of its own: "mount point does not
    exist" for a missing target ("is not a directory" for a file), "special
    device SOURCE does not exist" (a bind's too; "(a path prefix is not a
    directory)" after it where that is why), "SOURCE is not a block device",
    "unknown filesystem type 'T'", and for a plain EINVAL "wrong fs type, bad option, bad superblock
    on SOURCE, ...", with the type tried before it (a new mount is never
    "not mounted"). The kernel gives its reason
    only to the new calls: the same words are put through fsopen(2) and
    fsconfig(2), which mount nothing. The file name is the target, or the
    source of a move that is missing."""
    if e.errno in (errno.ENOENT, errno.ENOTDIR):
        if e.errno == errno.ENOTDIR and not os.path.isdir(target):  # a file on the way, or the target itself
            return OSError(e.errno, "mount point is not a directory", target)
        if not os.path.lexists(target):
            return OSError(e.errno, "mount point does not exist", target)
        if flags & MS.MOVE:
            return OSError(e.errno, e.strerror, source)
        lost = None if flags & MS.REMOUNT or not source else missing(source)
        return OSError(e.errno, lost.strerror if lost else e.strerror, target)
    if e.errno in (errno.EPERM, errno.EACCES, errno.EBUSY) or flags & (MS.BIND | MS.MOVE | MS.REMOUNT) or not fstype:
        return OSError(e.errno, e.strerror, target)
    try:
        fd = fs.fsopen(fstype, fs.FSOPEN_CLOEXEC)
    except OSError:  # ENODEV: no such type; ENOSYS: no fsopen(2), and no reason to be had
        return OSError(e.errno, _said(e.errno, source, fstype, None), target)
    try:
        fs.fsconfig(fd, fs.FSCONFIG_SET_STRING, "source", source)
        if flags & MS.RDONLY:
            fs.fsconfig(fd, fs.FSCONFIG_SET_FLAG, "ro")  # never more than the mount asked for
        for name, value in parse(data).fs_params:
            if value is None:
                fs.fsconfig(fd, fs.FSCONFIG_SET_FLAG, name)
            else:
                fs.fsconfig(fd, fs.FSCONFIG_SET_STRING, name, value)
        if e.errno == errno.EINVAL:
            fs.fsconfig(fd, fs.FSCONFIG_CMD_CREATE)  # the superblock is dropped with the fd
    except OSError as again:
        if again.errno == e.errno:
            error = OSError(e.errno, _said(e.errno, source, fstype, _reason(again)), target)
            error.kernel_messages = getattr(again, "kernel_messages", ())  # type: ignore[attr-defined]
            return error
    finally:
        os.close(fd)
    return OSError(e.errno, _said(e.errno, source, fstype, None), target)


def make_target(path: str, mode: int) -> None:
    """Makes the directory path and its missing parents with mode (less the
    umask), as ``X-mount.mkdir`` asks mount(8) to."""
    missing = []
    at = os.path.abspath(path)
    while not os.path.lexists(at):
        missing.append(at)
        at = os.path.dirname(at)
    for directory in reversed(missing):
        try:
            os.mkdir(directory, mode)
        except FileExistsError:
            pass  # made meanwhile


# The X-mount.* words (mount(8)'s, read by it and not the kernel) that
# velkora carries out; the others (X-mount.owner= ...) are refused, never
# dropped: a mount must not come out other than asked.
CARRIED_OUT = {"x-mount.mkdir", "x-mount.idmap"}


def not_carried_out(userspace: tuple[str, ...] | list[str], target: str) -> None:
    """OSError EINVAL naming the first X-mount.* word of userspace that
    velkora does not carry out. The other x-* words are comments for other
    programs (x-systemd.*, x-gvfs-show), ignored as mount(8) ignores them."""
    for word in userspace:
        name = word.partition("=")[0].lower()
        if name.startswith("x-mount.") and name not in CARRIED_OUT:
            raise OSError(errno.EINVAL, f"mount option {word!r}: velkora does not carry it out", target)


def mkdir_mode(userspace: tuple[str, ...]) -> int | None:
    """The mode ``X-mount.mkdir[=MODE]`` asks for (0755 when none), or None."""
    mode = None
    for word in userspace:
        name, has_value, value = word.partition("=")
        if name.lower() == "x-mount.mkdir":
            try:
                mode = int(value, 8) if has_value else 0o755
            except ValueError:
                raise ValueError(f"mount option {word!r}: the mode is an octal number") from None
            if not 0 <= mode <= 0o7777:
                raise ValueError(f"mount option {word!r}: the mode is an octal number up to 7777")
    return mode

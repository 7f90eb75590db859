"""Idmapped mounts, as ``X-mount.idmap=`` asks mount(8) for them: the
user namespace the value names (a path to one, or maps to make one with),
set on a detached mount before it is attached (open_tree(2) or fsmount(2),
mount_setattr(2) with MOUNT_ATTR_IDMAP, move_mount(2)), so that the mount
is never seen without its mapping. There is no fallback to mount(2): a
kernel that cannot idmap raises, with its reason."""

from __future__ import annotations

import errno
import os

import velkora.fsmount as fs
from velkora._resources import FdOwner
from velkora.flags import MS

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Iterable, Protocol

    class Namespace(Protocol):
        """An fd owner of a user namespace: a FdOwner or a velkora.UserNamespace."""

        def fileno(self) -> int: ...
        def close(self) -> None: ...
        def __enter__(self) -> Namespace: ...
        def __exit__(self, *exc: object) -> None: ...


CLONE_NEWUSER = 0x10000000
NS_GET_NSTYPE = 0xB703  # _IO(0xb7, 0x3)
INIT_USER_NS_INODE = 0xEFFFFFFD  # PROC_USER_INIT_INO: the initial namespace
IDENTITY = ((0, 0, 0xFFFFFFFF),)  # every id as it is
# The superblock's flags, as fsconfig(2) takes them.
SUPERBLOCK = ((MS.RDONLY, "ro"), (MS.SYNCHRONOUS, "sync"), (MS.DIRSYNC, "dirsync"), (MS.LAZYTIME, "lazytime"),
              (MS.MANDLOCK, "mand"))  # fmt: skip


def value(userspace: Iterable[str]) -> str | None:
    """The value of the last ``X-mount.idmap=`` word of userspace, its
    quotes taken off; None where there is none."""
    found = None
    for word in userspace:
        name, _, text = word.partition("=")
        if name.lower() == "x-mount.idmap":
            found = text[1:-1] if len(text) >= 2 and text[0] == text[-1] == '"' else text
    return found


def namespace(text: str) -> Namespace:
    """The user namespace text names: the one at a path (/proc/PID/ns/user,
    or a bind of it), checked to be one, or a new one with the maps of
    mount(8)'s text, where ids of a kind given no map stay as they are
    (the kernel idmaps only with both maps)."""
    if not text.startswith("/"):
        from velkora import _idmap
        from velkora import userns as make

        uids, gids = _idmap.parse(text)
        made: Namespace = make(uids or IDENTITY, gids or IDENTITY)
        return made
    import fcntl

    fd = os.open(text, os.O_RDONLY | os.O_CLOEXEC)
    try:
        try:
            kind = fcntl.ioctl(fd, NS_GET_NSTYPE)
        except OSError as e:
            if e.errno not in (errno.ENOTTY, errno.EINVAL):
                raise
            kind = 0  # no namespace at all
        if kind != CLONE_NEWUSER:
            raise OSError(errno.EINVAL, "not a user namespace (X-mount.idmap=)", text)
        if os.fstat(fd).st_ino == INIT_USER_NS_INODE:
            raise OSError(errno.EPERM, "the initial user namespace maps nothing (X-mount.idmap=)", text)
        _check_maps(text, fd)
    except BaseException:
        os.close(fd)
        raise
    return FdOwner(fd)


def _check_maps(path: str, fd: int) -> None:
    """OSError EINVAL where path, a process's /proc/PID/ns/user, is a
    namespace without a uid or a gid map, which the kernel would refuse to
    idmap with, saying no more than EINVAL. fd is the namespace opened
    there: the process's maps are read only while it is still in that one
    (its pid may be another's by now)."""
    proc, ns = os.path.split(os.path.dirname(path))
    if ns != "ns" or os.path.basename(path) != "user" or os.path.dirname(proc) != "/proc":
        return
    try:
        empty = []
        for kind in ("uid", "gid"):
            with open(f"{proc}/{kind}_map", "rb") as f:
                empty += [kind] if not f.read().strip() else []
        now, opened = os.stat(path), os.fstat(fd)
    except OSError:
        return
    if empty and (now.st_dev, now.st_ino) == (opened.st_dev, opened.st_ino):
        raise OSError(errno.EINVAL, f"the user namespace has no {empty[0]} map, without which none idmaps", path)


def _refusing(source: str, userns: int) -> tuple[str, str] | None:
    """Which mount of a recursive bind of source takes no idmapping (its
    type and place), found by trying each alone on a copy of it."""
    from velkora.mountinfo import mount_at, mounts_below

    try:
        tree = [mount_at(source)] + list(reversed(mounts_below(source, "mountinfo")))  # the top one first
        for n, m in enumerate(tree):
            at = source if n == 0 else m.mount_point
            if at is None:
                continue
            fd = fs.open_tree(fs.AT_FDCWD, at, fs.OPEN_TREE_CLONE | fs.OPEN_TREE_CLOEXEC)
            try:
                fs.mount_setattr(fd, "", fs.AT_EMPTY_PATH, attr_set=fs.MOUNT_ATTR_IDMAP, userns_fd=userns)
            except OSError as e:
                if e.errno == errno.EINVAL:
                    return m.fs_type or "", at
            finally:
                os.close(fd)
    except OSError:
        pass
    return None


def _is_idmapped(source: str) -> bool:
    from velkora.mountinfo import mount_at

    try:
        return "idmapped" in (mount_at(source).options or "").split(",")
    except OSError:
        return False


def apply(tree: int, userns: int, recursive: bool, source: str, fstype: str, target: str) -> None:
    """Sets the idmapping of userns on the detached mount tree (with
    recursive on every mount it holds); a refusal raises OSError naming
    target, with the kernel's reason for it, worded with source (a bind's,
    or "" for a new mount) or fstype (a new mount's)."""
    flags = fs.AT_EMPTY_PATH | (fs.AT_RECURSIVE if recursive else 0)
    try:
        fs.mount_setattr(tree, "", flags, attr_set=fs.MOUNT_ATTR_IDMAP, userns_fd=userns)
    except OSError as e:
        raise refusal(e, source, fstype, target, userns if recursive else -1) from None


def refusal(e: OSError, source: str, fstype: str, target: str, userns: int = -1) -> OSError:
    """e, a refused idmapping, in words that say the kernel's reason (it
    queues no message of its own for mount_setattr(2)); with userns, the
    mount of a recursive bind of source that refused is looked for."""
    reason = e.strerror or os.strerror(e.errno or 0)
    if e.errno == errno.ENOSYS:
        reason = "idmapped mounts need Linux 5.12 or later (mount_setattr(2))"
    elif e.errno == errno.EINVAL:
        where = ""
        if not fstype and source:
            from velkora.mountinfo import mount_at

            found = _refusing(source, userns) if userns >= 0 else None
            try:
                fstype, where = found or (mount_at(source).fs_type or "", "")
            except OSError:
                pass
        if fstype:
            reason = f"{fstype}: filesystem does not support idmapped mounts"
            reason += f" (the mount at {where}, of the recursive bind)" if where and where != source else ""
    elif e.errno == errno.EPERM:
        if source and _is_idmapped(source):
            reason = f"{source} is an idmapped mount already"
        else:
            reason = "idmapping needs CAP_SYS_ADMIN over the filesystem and the user namespace"
    error = OSError(e.errno, reason, target)
    error.kernel_messages = getattr(e, "kernel_messages", ())  # type: ignore[attr-defined]
    return error


def bind(source: str, target: str, flags: int, attr: tuple[int, int], tree: int, userns: int) -> None:
    """As _mount8.bind, with the copy idmapped before it is attached (on
    every mount of a recursive bind, as mount(8) does)."""
    recursive = bool(flags & MS.REC)
    clone = fs.OPEN_TREE_CLONE | fs.OPEN_TREE_CLOEXEC | (fs.AT_RECURSIVE if recursive else 0)
    try:
        fd = fs.open_tree(fs.AT_FDCWD, source, clone)
    except OSError as e:
        if e.errno != errno.ENOSYS:
            raise
        raise refusal(e, source, "", target) from None
    try:
        attr_set, attr_clr = attr
        if tree & (attr_set | attr_clr):
            fs.mount_setattr(fd, "", fs.AT_EMPTY_PATH | fs.AT_RECURSIVE, attr_set=attr_set & tree,
                             attr_clr=attr_clr & tree)  # fmt: skip
        if attr_set or attr_clr:
            fs.mount_setattr(fd, "", fs.AT_EMPTY_PATH, attr_set=attr_set, attr_clr=attr_clr)
        apply(fd, userns, recursive, source, "", target)
        fs.move_mount(fd, "", fs.AT_FDCWD, target, fs.MOVE_MOUNT_F_EMPTY_PATH)
    finally:
        os.close(fd)


def new_tree(source: str, fstype: str, flags: int, params: Iterable[tuple[str, str | None]], target: str) -> int:
    """A detached mount of a new superblock of fstype on source, with the
    superblock's flags and params, and the per-mount flags as attributes;
    a refusal in mount(8)'s words, with the kernel's reason, naming target."""
    from velkora._mount8 import _reason, _said, attributes

    def refused(e: OSError) -> OSError:
        error = OSError(e.errno, _said(e.errno, source, fstype, _reason(e)), target)
        error.kernel_messages = getattr(e, "kernel_messages", ())  # type: ignore[attr-defined]
        return error

    try:
        context = fs.fsopen(fstype)
    except OSError as e:
        raise (refusal(e, "", fstype, target) if e.errno == errno.ENOSYS else refused(e)) from None
    try:
        fs.fsconfig(context, fs.FSCONFIG_SET_STRING, "source", source)
        for bit, word in SUPERBLOCK:
            if flags & bit:
                fs.fsconfig(context, fs.FSCONFIG_SET_FLAG, word)
        for name, text in params:
            if text is None:
                fs.fsconfig(context, fs.FSCONFIG_SET_FLAG, name)
            else:
                fs.fsconfig(context, fs.FSCONFIG_SET_STRING, name, text)
        fs.fsconfig(context, fs.FSCONFIG_CMD_CREATE)
        return fs.fsmount(context, 0, attributes(flags)[0])
    except OSError as e:
        raise refused(e) from None
    finally:
        os.close(context)


def mount(source: str, target: str, fstype: str, flags: int, data: str, userns: int) -> None:
    """A new mount of source on target, idmapped before it is attached."""
    from velkora.options import parse

    fd = new_tree(source, fstype, flags, parse(data).fs_params, target)
    try:
        apply(fd, userns, False, "", fstype, target)
        fs.move_mount(fd, "", fs.AT_FDCWD, target, fs.MOVE_MOUNT_F_EMPTY_PATH)
    finally:
        os.close(fd)

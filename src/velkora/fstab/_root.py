"""``mount -a`` for the system installed at a root: each target, each
directory ``X-mount.mkdir`` makes and each bind's source looked up inside
the root (openat2(2) with RESOLVE_IN_ROOT), each mount made detached and
attached onto the fd found (move_mount(2)), so that no link or ".." in
the root's tree leads a mount, a made directory or a bind out of it."""

from __future__ import annotations

import errno
import os
import stat

import velkora.fsmount as fs
from velkora import _chroot
from velkora.flags import MS

TYPE_CHECKING = False
if TYPE_CHECKING:
    from velkora.fstab._table import Entry
    from velkora.options import MountOptions

# The superblock's flags, as fsconfig(2) takes them.
_SUPERBLOCK = ((MS.RDONLY, "ro"), (MS.SYNCHRONOUS, "sync"), (MS.DIRSYNC, "dirsync"), (MS.LAZYTIME, "lazytime"),
               (MS.MANDLOCK, "mand"))  # fmt: skip


def _closing(fd: int) -> None:
    if fd >= 0:
        os.close(fd)


def _path_of(fd: int) -> str:
    """Where fd is, as this process's mount namespace names it."""
    return os.readlink(f"/proc/self/fd/{fd}")


class RootedMount:
    """One mount that mount_all(root=) made, unmounted on exit: only while
    it is still the mount on top at its place (its id, never reused,
    compared first); a recursive bind with what it brought, children first."""

    def __init__(self, point: str, made: list[tuple[int | None, int | None]]) -> None:
        self.point = point
        self._made = made  # (id, unique id) of each mount made, the top one first

    def __enter__(self) -> RootedMount:
        return self

    def __exit__(self, *exc: object) -> None:
        from velkora import _mounts
        from velkora._sources import umount
        from velkora.mountinfo import mounts_below

        top_id, top_unique = self._made[0]
        now = _mounts.mount_id(self.point, unique=top_unique is not None)
        if now != (top_unique if top_unique is not None else top_id):
            raise OSError(errno.EBUSY, "another mount is on top of the one mount -a made", self.point)
        made = dict(self._made)
        tree = {top_id}
        table = mounts_below(self.point, "mountinfo")  # children first
        for m in reversed(table):
            if m.parent_id in tree:
                tree.add(m.id)
        # What is on ours (not what ours covers, nor what was there before).
        below = [m for m in table if m.id in tree]
        for m in below:
            # An id is used again once its mount is gone: one below ours that
            # is another's (by its unique id, where the kernel gives one) is
            # never unmounted, and ours are left whole.
            mine = m.id in made and (made[m.id] is None or _unique_at(m.mount_point, m.id) in (None, made[m.id]))
            if not mine:
                raise OSError(errno.EBUSY, "another mount is below the one mount -a made", m.mount_point)
        for m in below:
            if m.mount_point is not None:
                umount(m.mount_point, 0)


def _unique_at(path: str | None, mount_id: int | None) -> int | None:
    """The unique id of the mount mount_id at path, where it is the one on
    top there; else None."""
    from velkora import _mounts

    if path is None or _mounts.mount_id(path) != mount_id:
        return None
    return _mounts.mount_id(path, unique=True)


def _resolve(root: int, path: str, flags: int = os.O_PATH) -> int:
    try:
        return _chroot.resolve(root, path, flags)
    except OSError as e:
        raise OSError(e.errno, e.strerror, path) from None


def target_fd(root: int, target: str, mode: int | None) -> int:
    """An O_PATH fd of target inside root; where it is missing and mode is
    given (X-mount.mkdir), made first with the directories above it, each
    made with mkdirat(2) in its parent as found inside the root."""
    try:
        return _resolve(root, target)
    except FileNotFoundError:
        if mode is None:
            raise
    parts = [part for part in target.split("/") if part]
    for n in range(1, len(parts) + 1):
        prefix = "/" + "/".join(parts[:n])
        try:
            _closing(_resolve(root, prefix))
            continue
        except FileNotFoundError:
            pass
        parent = _resolve(root, "/" + "/".join(parts[: n - 1]), os.O_PATH | os.O_DIRECTORY)
        try:
            os.mkdir(parts[n - 1], mode, dir_fd=parent)
        except FileExistsError:
            pass  # made meanwhile, or a dangling link: the lookup after says which
        finally:
            os.close(parent)
    return _resolve(root, target)


def _words(options: str) -> list[str]:
    return [word for word in options.split(",") if word]


def is_bind(entry: Entry) -> bool:
    words = _words(entry.options)
    return "bind" in words or "rbind" in words


def bind_tree(root: int, entry: Entry, parsed: MountOptions) -> tuple[int, str]:
    """A detached copy of the bind's source, looked up inside root, with
    the per-mount words set: on its top mount, and those asked for with
    ``=recursive`` on every mount it brings; and where the source was found
    (a detached copy has no path in the caller's tree)."""
    recursive = fs.AT_RECURSIVE if parsed.flags & MS.REC else 0
    source = _resolve(root, entry.source)
    try:
        found = _path_of(source)
        tree = fs.open_tree(source, "", fs.OPEN_TREE_CLONE | fs.AT_EMPTY_PATH | recursive)
    finally:
        os.close(source)
    try:
        attr_set, attr_clr, deep = int(parsed.attr_set), int(parsed.attr_clr), int(parsed.recursive)
        if recursive and deep & (attr_set | attr_clr):
            fs.mount_setattr(tree, "", fs.AT_EMPTY_PATH | fs.AT_RECURSIVE, attr_set=attr_set & deep,
                             attr_clr=attr_clr & deep)  # fmt: skip
        if attr_set or attr_clr:
            fs.mount_setattr(tree, "", fs.AT_EMPTY_PATH, attr_set=attr_set, attr_clr=attr_clr)
    except BaseException:
        os.close(tree)
        raise
    return tree, found


def _new_tree(device: str, fstype: str, parsed: MountOptions, target: str) -> int:
    """A detached mount of a new superblock of fstype on device."""
    from velkora._mount8 import _explained

    try:
        context = fs.fsopen(fstype)
    except OSError as e:
        if e.errno != errno.ENODEV:
            raise
        raise OSError(e.errno, f"unknown filesystem type {fstype!r}", target) from None  # mount(8)'s words
    try:
        try:
            fs.fsconfig(context, fs.FSCONFIG_SET_STRING, "source", device)
            for bit, word in _SUPERBLOCK:
                if parsed.flags & bit:
                    fs.fsconfig(context, fs.FSCONFIG_SET_FLAG, word)
            for name, value in parsed.fs_params:
                if value is None:
                    fs.fsconfig(context, fs.FSCONFIG_SET_FLAG, name)
                else:
                    fs.fsconfig(context, fs.FSCONFIG_SET_STRING, name, value)
            fs.fsconfig(context, fs.FSCONFIG_CMD_CREATE)
            return fs.fsmount(context, 0, int(parsed.attr_set))
        except OSError as e:
            raise _explained(e, target) from None
    finally:
        os.close(context)


def _is_block_device(path: str) -> bool:
    try:
        return stat.S_ISBLK(os.stat(path).st_mode)
    except (OSError, ValueError):
        return False


def filesystem_tree(root: int, entry: Entry, parsed: MountOptions, target: str) -> int:
    """A detached mount of what entry names: a device under /dev or a tag
    (the machine's, as the root's own system finds them at boot in the
    kernel's /dev), or an image file, looked up inside root, through a
    loop device that goes when the mount does."""
    from velkora import _sources

    source = entry.source
    if _sources.is_tag(source):
        return _tree_of(_sources.device_of(source), entry, parsed, target, machine=True)
    if source.startswith("/") and os.path.normpath(source).startswith("/dev/"):
        # The machine's devices alone: no file there (/dev/fd/N, /dev/stdout
        # are the caller's) and no ".." out of it is ever a loop's file.
        return _tree_of(os.path.normpath(source), entry, parsed, target, machine=True)
    try:
        # At boot the current directory is "/": a file named relative is the root's.
        found = _resolve(root, source if source.startswith("/") else "/" + source)
    except OSError:
        if source.startswith("/"):
            raise
        return _tree_of(source, entry, parsed, target, machine=True)  # a name: tmpfs, proc, ...
    try:
        if not source.startswith("/") and not stat.S_ISREG(os.fstat(found).st_mode):
            return _tree_of(source, entry, parsed, target, machine=True)
        # The file itself, through its fd: no path is looked up again.
        here = f"/proc/self/fd/{found}"
        try:
            return _tree_of(here, entry, parsed, target)
        except OSError as e:
            # Named as the entry names it, not by the fd.
            if e.filename != here and here not in (e.strerror or ""):
                raise
            error = OSError(e.errno, (e.strerror or "").replace(here, source),
                            source if e.filename == here else e.filename)  # fmt: skip
            error.kernel_messages = getattr(e, "kernel_messages", ())  # type: ignore[attr-defined]
            raise error from None
    finally:
        os.close(found)


def image_file(root: int, source: str) -> str | None:
    """Where the image file source names inside root is in the caller's
    tree, as filesystem_tree finds it; None for a device, a tag or a name."""
    from velkora import _sources

    if _sources.is_tag(source) or source.startswith("/") and os.path.normpath(source).startswith("/dev/"):
        return None
    try:
        found = _resolve(root, source if source.startswith("/") else "/" + source)
    except OSError:
        return None
    try:
        return _path_of(found) if stat.S_ISREG(os.fstat(found).st_mode) else None
    finally:
        os.close(found)


def _tree_of(source: str, entry: Entry, parsed: MountOptions, target: str, machine: bool = False) -> int:
    """A detached mount of source; with machine, source is the machine's
    block device or a name, and no file of the caller's tree is ever put
    behind a loop device."""
    from velkora import _sources, loop

    fstype = "auto" if entry.fstype in ("none", "") else entry.fstype
    request = _sources.loop_request(parsed.userspace)
    if machine and (request is not None or _sources.is_regular_file(source)) and not _is_block_device(source):
        raise OSError(errno.ENOTBLK, "not a block device (an image file is looked up inside the root)", entry.source)
    if request is None and not _sources.is_regular_file(source):
        if fstype == "auto":
            fstype = _sources.fstype_of(source)
        return _new_tree(source, fstype, parsed, target)
    request = request or {}
    offset, size_limit = request.get("offset", 0), request.get("size_limit", 0)
    if "partition" in request:
        offset, size_limit = _sources.partition_span(source, request["partition"], offset)
    if fstype == "auto":
        fstype = _sources.fstype_of(source, offset)
    read_only = bool(parsed.flags & MS.RDONLY)
    # The device that holds this part of the file already, as mount(8)
    # takes it: a second one would make a second filesystem of one image.
    held = loop.bound(source, offset=offset, size_limit=size_limit, read_only=read_only)
    if held is not None:
        try:
            return _new_tree(held[1], fstype, parsed, target)
        finally:
            os.close(held[0])
    device = loop.attach(source, read_only=read_only, offset=offset, size_limit=size_limit)
    try:
        return _new_tree(device.path, fstype, parsed, target)
    finally:
        device.close()  # autoclear: the superblock holds it now


def attach(tree: int, at: int, propagation: int) -> RootedMount:
    """Attaches the detached tree onto the fd at, closing tree (the mount
    could not be undone while it is open: EBUSY); the record of what was
    made. Run with signals held: the mount is made and recorded at once."""
    from velkora import _mounts
    from velkora.mountinfo import mounts_below

    try:
        fs.move_mount(tree, "", at, "", fs.MOVE_MOUNT_F_EMPTY_PATH | fs.MOVE_MOUNT_T_EMPTY_PATH)
    except BaseException:
        os.close(tree)
        raise
    failure: OSError | None = None
    try:
        here = f"/proc/self/fd/{tree}"
        point = _path_of(tree)
        top = (_mounts.mount_id(here), _mounts.mount_id(here, unique=True))
        made = [top]
        ids = {top[0]}
        for m in reversed(mounts_below(point, "mountinfo")):  # parents first: what a recursive bind brought
            if m.parent_id in ids and m.id not in ids:
                ids.add(m.id)
                made.append((m.id, _unique_at(m.mount_point, m.id)))
        record = RootedMount(point, made)
        if propagation:
            # rshared, rslave, ...: the type alone, on every mount the tree holds.
            deep = fs.AT_RECURSIVE if propagation & int(MS.REC) else 0
            try:
                fs.mount_setattr(tree, "", fs.AT_EMPTY_PATH | deep, propagation=propagation & ~int(MS.REC))
            except OSError as e:
                failure = e
    finally:
        os.close(tree)
    if failure is not None:
        record.__exit__(None, None, None)
        raise failure
    return record


def host_path(fd: int) -> str:
    return _path_of(fd)

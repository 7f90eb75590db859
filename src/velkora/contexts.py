"""Mounts and mount fds that clean up after themselves.

- :func:`mounted` mounts with :func:`velkora.mount.mount` and unmounts on the
  way out, on an exception or Ctrl-C too.
- :class:`FsContext` owns a filesystem context (fsopen(2), fspick(2)), with a
  method for each fsconfig(2) command.
- :class:`DetachedMount` owns a mount fd (fsmount(2), open_tree(2)) that can
  take attributes and be attached; :func:`overlay` makes one of an overlay of
  any depth.

Both classes close their fd on ``close()``, at the end of a ``with`` block,
and, with a :class:`ResourceWarning`, when collected open. They cannot be
copied or pickled: one fd has one owner. All four are importable from
:mod:`velkora` itself.
"""

from __future__ import annotations

import errno
import os
from typing import TYPE_CHECKING, Sequence, Union

import velkora.fsmount as fs
from velkora import _idmount, _mount8, _mounts, _sources
from velkora._resources import FdOwner as _FdOwner
from velkora._resources import Guard
from velkora._resources import held_signals as _held_signals
from velkora._sources import is_regular_file as _is_regular_file
from velkora._sources import loop_request as _loop_request
from velkora._sources import mount_id as _mount_id
from velkora._sources import umount as _umount
from velkora._sources import unique_id as _unique_id
from velkora.flags import MNT, MS

__all__ = ["mounted", "overlay", "FsContext", "DetachedMount"]

PathLike = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]


# mount(2) flags under which the source names no device: bind, move, remount
# and the propagation changes.
_NO_DEVICE = MS.BIND | MS.MOVE | MS.REMOUNT | MS.UNBINDABLE | MS.PRIVATE | MS.SLAVE | MS.SHARED


class mounted(Guard):  # noqa: N801 - used like a function: `with mounted(...)`
    """``with mounted(source, target, ...) as target:`` mounts on entry and
    unmounts on exit, whatever ends the block.

    The arguments are :func:`velkora.mount.mount`'s, and ``options``, a mount
    option string as fstab writes it (:func:`velkora.options.parse`): its
    flags are added to ``flags``, its filesystem words go before ``data``,
    its propagation type is set by a second mount(2) call after the mount, as
    mount(8) does, and ``loop``, ``offset=`` and ``sizelimit=`` attach the
    source to a loop device; ``X-mount.mkdir[=MODE]`` makes a missing
    target and its parents first (mode 0755 unless given; they stay after
    the block); ``X-mount.idmap=`` makes the mount idmapped (below);
    ``remount`` and ``move`` raise ValueError (there would be nothing to
    undo); every other ``X-mount.*`` word (``X-mount.owner=`` ...) raises
    OSError EINVAL naming it on entry, before anything is made or mounted,
    for velkora does not carry it out; the other userspace-only words
    (``nofail``, ``x-systemd.*`` ...) are ignored.

    ``X-mount.idmap=MAPS`` (mount(8)'s ``u:INNER:OUTER:COUNT``,
    ``g:...``, ``b:...`` or ``INNER:OUTER:COUNT`` for both, separated by
    spaces, the value in double quotes where it has several) or
    ``X-mount.idmap=/proc/PID/ns/user`` (any path of a user namespace)
    idmaps the mount with that namespace: ``u:1000:0:1`` shows a file
    owned by uid 1000 on disk as owned by uid 0. The mount is made detached
    (open_tree(2) for a bind, recursively for an ``rbind``, whose every
    mount is idmapped; fsmount(2) for a new one), idmapped and only then
    attached, so it is never seen without the mapping; the other words
    apply as to a plain mount. A refusal (OSError EINVAL for a filesystem
    without idmapped mounts, tmpfs before Linux 6.3 among them; EPERM for
    a mount idmapped already; ENOSYS before Linux 5.12) says the kernel's
    reason and leaves nothing mounted.

    A bind gets its per-mount flags (``ro``, ``nosuid``, ``nodev``,
    ``noexec``, the atime words, ``nosymfollow``, from ``options`` or
    ``flags``) before it is attached, keeping every other flag of its
    source, as mount(8) does: mount(2) itself ignores them on a new bind. A
    recursive bind gets them on its top mount, and ``WORD=recursive``
    (``ro=recursive``) on every mount it brings.

    A refused mount raises OSError naming what failed (the target, or the
    missing source of a bind), with the kernel's own reason as its message
    where the kernel gives one (``tmpfs: Unknown parameter 'noexce'``), else
    mount(8)'s words, after the type tried: ``ext4: wrong fs type, bad
    option, bad superblock on /dev/loop0, missing codepage or helper
    program, or other error``, ``unknown filesystem type 'vfat'``, ``mount
    point does not exist``, ``special device /dev/sdz1 does not exist``.

    A tag as ``source`` (``UUID=...``, ``LABEL=...``, ``PARTUUID=...``,
    ``PARTLABEL=...``) is resolved by :func:`velkora.blkid.resolve`, and
    ``fstype="auto"``, the default (unlike :func:`velkora.mount.mount`,
    whose default is Btrfs), mounts the type the source holds, as
    :func:`velkora.blkid.probe` finds it (OSError EINVAL where it finds none);
    a bind or a move takes no type.
    ``partition=N`` among the options mounts partition N of an image's table
    through a loop device limited to it (OSError ENXIO where there is none).

    A regular file as ``source`` (an image) is attached to a loop device with
    autoclear first, read-only where the flags have ``MS_RDONLY``, as mount(8)
    does with ``-o loop``: the device goes when the mount does. As mount(8),
    a loop device already bound to the file with the same offset and size is
    used again (OSError EBUSY where it differs in being read-only): two
    devices would make two filesystems of one image. On exit the
    target is unmounted with :func:`velkora.mount.umount` (a recursive bind,
    the whole tree it made, children first); a failing unmount raises
    (chained to what ended the block, if anything did) and is never turned
    into a lazy detach unless ``detach=True`` asked for one from the start.

    Entering and leaving are atomic with respect to Ctrl-C: an interrupt
    during either leaves no mount behind. (The interpreter itself can take an
    interrupt in the caller's frame just after ``__enter__`` returns, or on 3.8
    and 3.9 after the block's last statement, and then never calls
    ``__exit__``: bpo-29988.)
    """

    def __init__(
        self,
        source: PathLike,
        target: PathLike,
        fstype: str = "auto",
        flags: int = 0,
        data: str = "",
        *,
        detach: bool = False,
        options: str | None = None,
    ) -> None:
        # The target as an absolute path from the start: a chdir in the block
        # must not make the exit unmount another directory.
        # Names as str, as os.fsdecode gives them (a byte that is no UTF-8 a
        # surrogate escape), whatever form they came in.
        self._given = os.fsdecode(os.fspath(target))
        self.source = os.fsdecode(os.fspath(source))
        self.target = os.path.abspath(self._given)
        self.fstype, self.flags, self.data, self.detach = fstype, flags, data, detach
        self.propagation = 0
        self.loop: dict[str, int] | None = None
        self.mkdir: int | None = None
        self._userspace: tuple[str, ...] = ()
        self._idmap: str | None = None  # X-mount.idmap='s value
        self._id: int | None = None  # the mount this block made, as mountinfo shows its id
        self._unique: int | None = None  # ... and its id that is never used again, where the kernel has one
        # A recursive bind: every mount it made, by id, with its unique id
        # (6.8+; None before): an id alone may be another mount's later.
        self._made: dict[int, int | None] | None = None
        cleared, tree = 0, 0
        if options is not None:
            from velkora.options import parse

            parsed = parse(options)
            for word, bit in (("remount", MS.REMOUNT), ("move", MS.MOVE)):
                if parsed.flags & bit:
                    raise ValueError(f"mount option {word!r} in a mounted block: there would be nothing to undo")
            self.flags |= int(parsed.flags)
            self.data = ",".join(part for part in (parsed.data, data) if part)
            self.propagation = int(parsed.propagation)
            self.loop = _loop_request(parsed.userspace)
            self.mkdir = _mount8.mkdir_mode(parsed.userspace)
            self._userspace = parsed.userspace
            self._idmap = _idmount.value(parsed.userspace)
            cleared, tree = int(parsed.attr_clr), int(parsed.recursive)
        if self._idmap is not None and self.flags & (MS.REMOUNT | MS.MOVE):
            raise ValueError("X-mount.idmap= makes a new mount: not with a remount or a move")
        # mount(2) ignores the per-mount flags of a new bind: they are set on
        # it before it is attached, as mount(8) sets them.
        self._attributes = _mount8.attributes(self.flags, cleared) if self.flags & MS.BIND else (0, 0)
        self._tree = tree

    @property
    def _recursive_bind(self) -> bool:
        both = MS.BIND | MS.REC
        return self.flags & both == both

    if TYPE_CHECKING:  # Guard's, in C: the target as given

        def __enter__(self) -> str: ...

    def _undo(self) -> None:
        # Called by Guard.__enter__ (C) where _enter failed or was
        # interrupted: a mount made and recorded is undone.
        if self._id is not None and self._on_top():
            self._unmount()

    def _on_top(self) -> bool:
        """Whether the mount at the target is the one this block made."""
        if self._unique is not None:
            return _unique_id(self.target) == self._unique
        return self._id is not None and _mount_id(self.target) == self._id

    def _covered(self) -> bool:
        """Whether the mount this block made is still there, under another."""
        from velkora.mountinfo import mounts_below

        return self._id is not None and any(m.id == self._id for m in mounts_below(self.target, "mountinfo"))

    def _made_tree(self) -> dict[int, int | None]:
        """The mounts a recursive bind made: its top mount and what it
        brought, each id with its unique id where the kernel has them."""
        if self._made is None:
            from velkora.mountinfo import mounts_below

            made: dict[int | None, int | None] = {self._id: self._unique}
            for m in reversed(mounts_below(self.target, "mountinfo")):  # parents first
                if m.parent_id in made:
                    at = m.mount_point
                    made[m.id] = _unique_id(at) if at is not None and _mount_id(at) == m.id else None
            self._made = {i: unique for i, unique in made.items() if i is not None}
        return self._made

    def _enter(self) -> str:
        _mount8.not_carried_out(self._userspace, self.target)  # before anything is made
        if self.mkdir is not None and not os.path.lexists(self.target):
            _mount8.make_target(self.target, self.mkdir)
        source = self.source
        if not self.flags & _NO_DEVICE and _sources.is_tag(source):
            source = _sources.device_of(source)
        if self.loop is None and (self.flags & _NO_DEVICE or not _is_regular_file(source)):
            if self.fstype == "auto" and not self.flags & _NO_DEVICE:
                lost = _mount8.missing(source)  # mount(8)'s words, as the kernel's ENOENT gets them
                if lost is not None:
                    raise type(lost)(lost.errno, lost.strerror, self.target)
                self.fstype = _sources.fstype_of(source)
            self._mount(source)
            return self._given
        from velkora import loop

        # An image file: through the loop device that already holds it with
        # the same part, as mount(8) does, held open (and so bound to it)
        # until the mount holds it too; else a device of its own. A
        # partition of it is that part: no partition device is needed.
        request = self.loop or {}
        offset, size_limit = request.get("offset", 0), request.get("size_limit", 0)
        if "partition" in request:
            offset, size_limit = _sources.partition_span(source, request["partition"], offset)
        if self.fstype == "auto":
            self.fstype = _sources.fstype_of(source, offset)
        read_only = bool(self.flags & MS.RDONLY)
        fd = -1
        try:
            with _held_signals():
                held = loop.bound(source, offset=offset, size_limit=size_limit, read_only=read_only)
                fd, path = held if held is not None else (-1, "")
            if fd >= 0:
                self._mount(path)
                return self._given
        finally:
            if fd >= 0:
                os.close(fd)
        # A device of our own with autoclear, which the mount then holds alone
        # and takes along when it goes.
        device = loop.attach(source, read_only=read_only, offset=offset, size_limit=size_limit)
        try:
            self._mount(device.path)
        finally:
            device.close()
        return self._given

    def _mount(self, source: str) -> None:
        before, made = _mount_id(self.target), False
        try:
            with _held_signals():
                self._attach(source)
                made = True
                self._id, self._unique = _mount_id(self.target), _unique_id(self.target)
                if self._recursive_bind:
                    self._made_tree()
                if self.propagation:
                    _mounts.mount("none", self.target, "", self.propagation)
        except BaseException:
            # Undo the mount, also where an interrupt taken by another thread
            # landed just after the call, before it could be recorded.
            if made or _mount_id(self.target) != before:
                self._id = self._id or _mount_id(self.target)
                try:
                    self._unmount()
                except OSError:
                    _mounts.umount(self.target, MNT.DETACH)
            raise

    def _attach(self, source: str) -> None:
        if self._idmap is not None:
            with _idmount.namespace(self._idmap) as userns:
                try:
                    if self.flags & MS.BIND:
                        _idmount.bind(source, self.target, self.flags, self._attributes, self._tree, userns.fileno())
                    else:
                        _idmount.mount(source, self.target, self.fstype, self.flags, self.data, userns.fileno())
                except OSError as e:
                    if e.errno not in (errno.ENOENT, errno.ENOTDIR):
                        raise
                    raise _mount8.refused(e, source, self.target, self.fstype, self.flags, self.data) from None
            return
        try:
            if any(self._attributes) and not self.flags & (MS.REMOUNT | MS.MOVE):
                _mount8.bind(source, self.target, self.flags, self._attributes, self._tree)
            else:
                _mounts.mount(source, self.target, self.fstype, self.flags, self.data)
        except OSError as e:
            raise _mount8.refused(e, source, self.target, self.fstype, self.flags, self.data) from None

    def _unmount(self) -> None:
        # Only what this block made: a mount put on top of it meanwhile (by
        # the block, another thread, another process) is never removed.
        flags = MNT.DETACH if self.detach else 0
        if not self._on_top():
            raise OSError(errno.EBUSY, "another mount is on top of the one this block made", self.target)
        if not self._recursive_bind or self.detach or self._id is None:
            _umount(self.target, flags)  # a lazy detach takes the whole tree along
            return
        from velkora.mountinfo import mounts_below

        made = self._made_tree()
        mine = []
        for m in mounts_below(self.target, "mountinfo"):  # children first
            if m.id in made and m.mount_point is not None:
                if _mount_id(m.mount_point) != m.id:
                    raise OSError(errno.EBUSY, "another mount is on top of one this block made", m.mount_point)
                unique = made[m.id]
                if unique is not None and _unique_id(m.mount_point) != unique:
                    # Its own mount went, and another took the id: that one is not ours.
                    raise OSError(errno.EBUSY, "another mount is where one this block made was", m.mount_point)
                mine.append(m.mount_point)
        for point in mine:
            _umount(point, flags)

    def _leave(self, again: bool) -> None:
        # Called by Guard.__exit__, which is C: no interrupt can fall before
        # this runs. After an interrupt it runs again, and then unmounts only
        # what is still there. A mount gone already (unmounted by another)
        # leaves nothing to do; one covered by another raises EBUSY and stays.
        if not self._on_top() and (again or not self._covered()):
            return
        with _held_signals():
            self._unmount()


# The most lower layers overlayfs stacks.
OVERLAY_MAX_LAYERS = 500
# Whether to add layers one by one (Linux 6.7); tests turn it off to take the
# older route.
_LOWERDIR_PLUS = True
_FSCONFIG_STRING_MAX = 255  # bytes; fsconfig(2) refuses longer strings


def _escaped(layer: str) -> str:
    """A layer path as overlayfs' lowerdir list takes it."""
    return layer.replace("\\", "\\\\").replace(":", "\\:").replace(",", "\\,")


def overlay(
    lower: Sequence[PathLike], upper: PathLike | None = None, work: PathLike | None = None, *, options: str = ""
) -> DetachedMount:
    """A detached overlay mount of the ``lower`` layers (top-most first, as
    overlayfs orders them), writable through ``upper`` (with ``work``, on the
    same filesystem) if given, with further overlay ``options``
    (``"redirect_dir=on,metacopy=on"``). Attach it: ``overlay(...).attach(path)``.

    Each layer is its own fsconfig(2) call (``lowerdir+``, Linux 6.7), so
    neither mount(2)'s one-page data nor fsconfig's 256-byte strings bound the
    depth; a kernel without it gets one ``lowerdir`` string, escaped, which
    that limit does bound.
    """
    if isinstance(lower, (str, bytes)):
        raise TypeError("lower must be a sequence of paths, top-most first, not one path")
    layers = [os.fsdecode(os.fspath(layer)) for layer in lower]
    if not layers:
        raise ValueError("an overlay needs at least one lower layer")
    if len(layers) > OVERLAY_MAX_LAYERS:
        raise ValueError(f"{len(layers)} lower layers: overlayfs stacks {OVERLAY_MAX_LAYERS} at the most")
    if (upper is None) != (work is None):
        raise ValueError("upper and work go together: give both or neither")
    from velkora.options import parse

    extra = parse(options)
    if extra.flags or extra.propagation or extra.userspace:
        raise ValueError(f"{options!r}: only overlay options here; mount attributes go to set_attr()")
    with FsContext.open("overlay") as context:
        context.set_string("source", "overlay")
        by_layer = _LOWERDIR_PLUS
        if by_layer:
            try:
                context.set_string("lowerdir+", layers[0])
            except OSError as e:
                messages = getattr(e, "kernel_messages", ())
                if e.errno != errno.EINVAL or not all("lowerdir+" in m for m in messages):
                    raise
                by_layer = False  # a kernel before 6.7
        if by_layer:
            for layer in layers[1:]:
                context.set_string("lowerdir+", layer)
        else:
            joined = ":".join(_escaped(layer) for layer in layers)
            if len(os.fsencode(joined)) > _FSCONFIG_STRING_MAX:
                raise ValueError(
                    f"the {len(layers)} lower layers make a lowerdir of {len(os.fsencode(joined))} bytes; this "
                    f"kernel adds no layer by itself (lowerdir+, Linux 6.7) and fsconfig(2) takes "
                    f"{_FSCONFIG_STRING_MAX} at the most"
                )
            context.set_string("lowerdir", joined)
        for name, value in extra.fs_params:
            if value is None:
                context.set_flag(name)
            else:
                context.set_string(name, value)
        if upper is not None and work is not None:
            # overlayfs unescapes these two (not the lowerdir+ layers): a
            # backslash of the name would send the writes elsewhere.
            context.set_string("upperdir", os.fsdecode(os.fspath(upper)).replace("\\", "\\\\"))
            context.set_string("workdir", os.fsdecode(os.fspath(work)).replace("\\", "\\\\"))
        context.create()
        return context.mount()


class DetachedMount(_FdOwner):
    """A mount fd: from :meth:`FsContext.mount` or :meth:`clone`."""

    @classmethod
    def clone(cls, path: PathLike, *, recursive: bool = False, dirfd: int = fs.AT_FDCWD) -> DetachedMount:
        """A detached copy of the mount at ``path`` (with what is mounted below
        it if ``recursive``): open_tree(2) with OPEN_TREE_CLONE."""
        flags = fs.OPEN_TREE_CLONE | fs.OPEN_TREE_CLOEXEC | (fs.AT_RECURSIVE if recursive else 0)
        return cls(fs.open_tree(dirfd, os.fspath(path), flags))

    def set_attr(
        self,
        attr_set: int = 0,
        attr_clr: int = 0,
        propagation: int = 0,
        userns_fd: int | None = None,
        *,
        recursive: bool = False,
    ) -> None:
        """mount_setattr(2) on this mount, or with ``recursive`` on its whole tree."""
        flags = fs.AT_EMPTY_PATH | (fs.AT_RECURSIVE if recursive else 0)
        fs.mount_setattr(
            self.fileno(), "", flags, attr_set=attr_set, attr_clr=attr_clr, propagation=propagation, userns_fd=userns_fd
        )

    def attach(self, target: PathLike, *, dirfd: int = fs.AT_FDCWD) -> None:
        """Attaches the mount at ``target`` (move_mount(2)). The fd stays open
        and still refers to the mount; close it when done."""
        fs.move_mount(self.fileno(), "", dirfd, os.fspath(target), fs.MOVE_MOUNT_F_EMPTY_PATH)


class FsContext(_FdOwner):
    """A filesystem context: :meth:`open` a new one or :meth:`pick` a mounted
    filesystem's, configure it, then :meth:`create` and :meth:`mount`, or
    :meth:`reconfigure`. Failures carry the kernel's ``kernel_messages``."""

    @classmethod
    def open(cls, fs_name: str) -> FsContext:
        """fsopen(2): a context for a new filesystem of type ``fs_name``."""
        return cls(fs.fsopen(fs_name))

    @classmethod
    def pick(cls, path: PathLike, *, dirfd: int = fs.AT_FDCWD, flags: int = 0) -> FsContext:
        """fspick(2): the context of the filesystem mounted at ``path``."""
        return cls(fs.fspick(dirfd, os.fspath(path), fs.FSPICK_CLOEXEC | flags))

    def set_flag(self, key: str) -> None:
        fs.fsconfig(self.fileno(), fs.FSCONFIG_SET_FLAG, key)

    def set_string(self, key: str, value: str) -> None:
        fs.fsconfig(self.fileno(), fs.FSCONFIG_SET_STRING, key, value)

    def set_binary(self, key: str, value: bytes) -> None:
        fs.fsconfig(self.fileno(), fs.FSCONFIG_SET_BINARY, key, value)

    def set_path(self, key: str, path: PathLike, *, dirfd: int = fs.AT_FDCWD) -> None:
        fs.fsconfig(self.fileno(), fs.FSCONFIG_SET_PATH, key, os.fspath(path), dirfd)

    def set_path_empty(self, key: str, path: PathLike, *, dirfd: int = fs.AT_FDCWD) -> None:
        fs.fsconfig(self.fileno(), fs.FSCONFIG_SET_PATH_EMPTY, key, os.fspath(path), dirfd)

    def set_fd(self, key: str, fd: int) -> None:
        fs.fsconfig(self.fileno(), fs.FSCONFIG_SET_FD, key, None, fd)

    def create(self) -> None:
        fs.fsconfig(self.fileno(), fs.FSCONFIG_CMD_CREATE)

    def create_excl(self) -> None:
        fs.fsconfig(self.fileno(), fs.FSCONFIG_CMD_CREATE_EXCL)

    def reconfigure(self) -> None:
        fs.fsconfig(self.fileno(), fs.FSCONFIG_CMD_RECONFIGURE)

    def mount(self, attr_flags: int = 0) -> DetachedMount:
        """fsmount(2): a detached mount of the created superblock."""
        return DetachedMount(fs.fsmount(self.fileno(), fs.FSMOUNT_CLOEXEC, attr_flags))

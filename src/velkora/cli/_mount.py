"""The velkora command's ``mount`` and ``umount``, as mount(8) and umount(8)
make them (their ``-a`` forms are the fstab part's: cli._fstab)."""

from __future__ import annotations

import errno
import os

from velkora._mount8 import is_mount_point, move
from velkora.cli._common import PROPAGATION, Failure, UsageError, _fail

TYPE_CHECKING = False
if TYPE_CHECKING:
    import argparse


def _mount_failed(target: str, e: OSError, existing: bool = True) -> Failure:
    """What a refused mount or remount says: the path that failed (the
    missing source, or the target), and, where an existing mount was asked
    for (a remount, a propagation change), "not mounted" for a target that
    is no mount point. A new mount says what the library says (mount(8)'s
    words, with the type tried)."""
    if existing and e.errno == errno.EINVAL and e.strerror == os.strerror(errno.EINVAL) and not is_mount_point(target):
        e = OSError(e.errno, "not mounted", target)
    return _fail(f"mount {e.filename or target}", e)


def _idmap_option(users: list[str] | None, groups: list[str] | None) -> str | None:
    """The X-mount.idmap= word --map-users and --map-groups make, as mount(8)
    composes it: each map INNER:OUTER:COUNT as u:... or g:..., or the one
    path of a user namespace given for both."""
    given = [("u", text) for text in users or ()] + [("g", text) for text in groups or ()]
    if not given:
        return None
    paths = {text for _, text in given if text.startswith("/")}
    if paths:
        if len(paths) > 1 or len(paths) != len({text for _, text in given}):
            raise UsageError("--map-users/--map-groups: one user namespace's path, or maps, not both")
        path = paths.pop()
        if '"' in path:  # the options' quote: such a path cannot be written in them
            raise UsageError(f"--map-users/--map-groups {path!r}: a path with a double quote")
        return f'X-mount.idmap="{path}"' if "," in path else f"X-mount.idmap={path}"
    for _, text in given:
        if len(text.split(":")) != 3:
            raise UsageError(f"--map-users/--map-groups {text!r}: INNER:OUTER:COUNT or /proc/PID/ns/user")
    return 'X-mount.idmap="' + " ".join(f"{kind}:{text}" for kind, text in given) + '"'


def cmd_mount(args: argparse.Namespace) -> int | None:
    from velkora import remount
    from velkora.flags import MS
    from velkora.options import parse

    idmap = _idmap_option(args.map_users, args.map_groups)
    if idmap is not None:
        if args.all or args.move:
            raise UsageError("--map-users/--map-groups make a new mount: not with -a or --move")
        if any(w.partition("=")[0].lower() == "x-mount.idmap" for w in (args.options or "").split(",")):
            raise UsageError("--map-users/--map-groups and -o X-mount.idmap= exclude each other")
        args.options = ",".join(w for w in (args.options, idmap) if w)
    make = [word for word in PROPAGATION if getattr(args, "make_" + word)]
    paths = [path for path in (args.source, args.target) if path is not None]
    if args.all:  # mount -a: the fstab part's
        if paths or make or args.bind or args.rbind or args.move:
            raise UsageError("-a takes no SOURCE or TARGET")
        from velkora.cli._fstab import mount_all

        return mount_all(args)
    if not paths:
        raise UsageError("mount needs SOURCE and TARGET, or -a")
    try:
        options = parse(args.options or "")
    except ValueError as e:
        raise Failure(f"mount {paths[-1]}: {e}") from None
    bind = args.bind or args.rbind or bool(options.flags & MS.BIND)
    if make:
        if len(paths) != 1 or bind or args.move or args.options:
            raise UsageError("--make-* takes one TARGET and nothing else")
        target = paths[0]
        try:
            for word in make:
                remount(target, word)
        except OSError as e:
            raise _mount_failed(target, e) from None
        return None
    if args.move and any(w.partition("=")[0].lower() == "x-mount.idmap" for w in options.userspace):
        raise UsageError("--move and X-mount.idmap= exclude each other: an idmapped mount is a new one")
    if args.move and bind:
        raise UsageError("--move and a bind (--bind, --rbind, -o bind) exclude each other")
    if options.flags & MS.REMOUNT:
        # mount(8)'s remount: TARGET alone (a SOURCE before it is ignored).
        if args.move:
            raise UsageError("-o remount takes TARGET, and no --move")
        target = paths[-1]
        words = args.options + (",bind" if args.bind or args.rbind else "")
        try:
            remount(target, words)
        except OSError as e:
            raise _mount_failed(target, e) from None
        except ValueError as e:
            raise Failure(f"mount {target}: {e}") from None
        return None
    fstype = args.type
    if len(paths) == 1:
        # mount(8)'s lookup: TARGET or SOURCE alone, the rest from fstab.
        from velkora.cli._fstab import lookup

        entry = lookup(args, paths[0])
        paths = [entry.source, entry.target]
        fstype = fstype or ("" if entry.fstype == "none" else entry.fstype)
        words = ",".join(w for w in (entry.options, args.options) if w)
        try:
            options = parse(words)
        except ValueError as e:
            raise Failure(f"mount {entry.target}: {e}") from None
        args.options = words
    source, target = paths
    flags = int(options.flags)
    if args.bind or args.rbind:
        flags |= int(MS.BIND) | (int(MS.REC) if args.rbind else 0)
    if args.move:
        flags |= int(MS.MOVE)
    fstype = fstype if fstype is not None else ("" if flags & (MS.BIND | MS.MOVE) else "auto")
    try:
        if flags & MS.MOVE:
            move(source, target)  # nothing new to undo: one call, as mount(8) makes it
            for word in (args.options or "").split(","):
                if word in PROPAGATION:
                    remount(target, word)
            return None
        from velkora.contexts import mounted

        block = mounted(source, target, fstype, flags, options=args.options or "")
        block.__enter__()  # an interrupt while it mounts leaves nothing mounted; then it stays
    except OSError as e:
        raise _mount_failed(target, e, existing=bool(flags & MS.MOVE)) from None
    except ValueError as e:
        raise Failure(f"mount {target}: {e}") from None
    return None


def _umount_failed(target: str, e: OSError) -> Failure:
    """umount(8)'s words: "not mounted" for a path that is no mount point,
    "target is busy" for a mount in use."""
    if e.errno == errno.EINVAL and not is_mount_point(target):
        e = OSError(e.errno, "not mounted")
    elif e.errno == errno.EBUSY:
        from velkora import holders

        try:
            held = ", ".join(map(str, holders(target)))
        except OSError:
            held = ""
        e = OSError(e.errno, f"target is busy ({held})" if held else "target is busy")
    return _fail(f"umount {target}", e)


def cmd_umount(args: argparse.Namespace) -> None:
    from velkora import unmount

    if args.all:  # umount -a: the fstab part's
        if args.target is not None or args.recursive:
            raise UsageError("-a takes no TARGET and no -R")
        from velkora.cli._fstab import umount_all

        return umount_all(args)
    if args.target is None:
        raise UsageError("umount needs TARGET, or -a")
    try:
        unmount(args.target, lazy=args.lazy, recursive=args.recursive)
    except OSError as e:
        raise _umount_failed(e.filename or args.target, e) from None

"""``mount -a``: the entries of an fstab mounted, and unmounted again as a
whole (:class:`MountedSet`)."""

from __future__ import annotations

import os

from velkora._resources import held_signals
from velkora.flags import MS

TYPE_CHECKING = False
if TYPE_CHECKING:
    import signal
    from typing import Callable

    from velkora.contexts import mounted
    from velkora.fstab._root import RootedMount
    from velkora.fstab._table import Entry, Fstab


class MountedSet:
    """What one :func:`velkora.fstab.mount_all` mounted. ``mounted`` lists
    the entries it mounted, in the order it mounted them (targets as the
    caller's namespace names them: under the prefix, or where they were
    found inside the root, as a bind's source), ``failed`` the ``nofail``
    entries that failed and ``errors`` their errors, one for one,
    ``malformed`` (number, text) of each line of the table that is no
    entry (never mounted, as mount(8) passes over a parse error). As a
    context manager it unmounts what it mounted, children first, on exit
    and on Ctrl-C; :meth:`unmount` does so at once."""

    def __init__(self) -> None:
        self.mounted: list[Entry] = []
        self.failed: list[Entry] = []
        self.errors: list[OSError] = []
        self.malformed: list[tuple[int, str]] = []
        self._blocks: list[mounted | RootedMount] = []

    def __enter__(self) -> MountedSet:
        return self

    def __exit__(self, *exc: object) -> None:
        self.unmount()

    def unmount(self) -> None:
        """Unmounts every mount this set made, the last made first; the
        first failure is raised once the others were tried."""
        failure: BaseException | None = None
        with held_signals():  # one Ctrl-C after another never stops it half-way
            while self._blocks:
                try:
                    self._blocks[-1].__exit__(None, None, None)
                except OSError as e:
                    failure = failure or e
                del self._blocks[-1]
            self.mounted = []
        if failure is not None:
            raise failure

    def __repr__(self) -> str:
        return f"<MountedSet {len(self.mounted)} mounted, {len(self.failed)} failed>"


def _words(options: str) -> list[str]:
    return [word for word in options.split(",") if word]


def _wanted(entry: Entry, types: str | None, options: str | None) -> bool:
    """As mount -a -t TYPES -O OPTIONS picks entries: a list of types or,
    with "no" before its first, of types left out; option words each had
    (or, with "no", not had)."""
    words = _words(entry.options)
    if "noauto" in words or entry.fstype == "swap":
        return False
    if types:
        names = _words(types)
        negated = names[0].startswith("no")
        listed = entry.fstype in {name[2:] if name.startswith("no") else name for name in names}
        if listed == negated:
            return False
    for word in _words(options or ""):
        if word.startswith("no") and word[2:] in words or not word.startswith("no") and word not in words:
            return False
    return True


def _is_below(child: str, parent: str) -> bool:
    return parent == "/" and child != "/" or child.startswith(parent.rstrip("/") + "/")


def _ordered(entries: list[Entry]) -> list[Entry]:
    """File order, but each entry before the entries placed already that lie
    below it: a parent listed after its child is mounted first, not over it."""
    placed: list[Entry] = []
    for entry in entries:
        at = next((i for i, e in enumerate(placed) if _is_below(e.target, entry.target)), len(placed))
        placed.insert(at, entry)
    return placed


def _under(prefix: str, path: str) -> str:
    return os.path.join(prefix, path.lstrip("/")).rstrip("/") or "/"


def _is_bind(entry: Entry) -> bool:
    words = _words(entry.options)
    return "bind" in words or "rbind" in words


def _already(entry: Entry, target: str) -> bool:
    """Whether target is a mount point already of what entry mounts: the same
    source (a tag's device) or, for a bind, the same directory of the same
    filesystem, as mount -a passes such an entry over."""
    from velkora.mountinfo import mount_at, mounts

    real = os.path.realpath(target)
    here = [m for m in mounts() if m.mount_point == real]
    if not here:
        return False
    source = entry.source
    try:
        if _is_bind(entry):
            held = mount_at(source)
            inside = os.path.relpath(os.path.realpath(source), held.mount_point or "/")
            root = os.path.normpath(os.path.join(held.root or "/", inside))
            return any((m.major, m.minor, m.root) == (held.major, held.minor, root) for m in here)
        from velkora import _sources

        if _sources.is_tag(source):
            source = _sources.device_of(source)
    except (OSError, ValueError):
        return False
    wanted = {source, os.path.realpath(source)} if source.startswith("/") else {source}
    if os.path.isfile(source):  # an image: mounted through a loop device it is bound to
        from velkora import loop

        wanted.update(d.path for d in loop.devices(source))
    return any(m.source in wanted for m in here)


def mount_all(
    table: Fstab,
    *,
    prefix: str | None = None,
    root: str | None = None,
    types: str | None = None,
    options: str | None = None,
) -> MountedSet:
    done = MountedSet()
    done.malformed = table.malformed()
    wanted = _ordered([e for e in table if _wanted(e, types, options)])
    # Signals held throughout, a Ctrl-C taken between entries: once one
    # came, what was mounted is undone before it is let through, so that a
    # second one cannot cut the undoing short.
    held = held_signals()

    def interrupted() -> bool:
        return _interrupted(held.old)

    with held:
        try:
            if root is not None:
                _mount_inside(done, wanted, root, interrupted)
            else:
                _mount_by_path(done, wanted, prefix, interrupted)
        except BaseException:
            done.unmount()
            raise
        stopped = interrupted()
        if stopped:
            done.unmount()
    if stopped:
        raise KeyboardInterrupt  # where the handler let it pass
    return done


def _interrupted(mask: set[int | signal.Signals] | None) -> bool:
    """Whether a SIGINT or SIGTERM that held_signals held (mask: the one
    it replaced, None where it held nothing) waits."""
    import signal

    if mask is None:
        return False
    return bool(signal.sigpending() & ({signal.SIGINT, signal.SIGTERM} - mask))


def _failed(done: MountedSet, entry: Entry, e: OSError) -> None:
    if "nofail" not in _words(entry.options):
        raise e
    done.failed.append(entry)
    done.errors.append(e)


def _mount_by_path(done: MountedSet, entries: list[Entry], prefix: str | None, stop: Callable[[], bool]) -> None:
    """As mount -a [--target-prefix PREFIX]: targets under the prefix,
    everything else, a bind's source too, as the caller has it."""
    from velkora._sources import resolving_once
    from velkora.contexts import mounted

    for entry in entries:
        if stop():
            return
        target = _under(prefix, entry.target) if prefix else entry.target
        with resolving_once():  # a tag looked up once, whether the target is a mount point or not
            if _already(entry, target):
                continue
            fstype = "" if entry.fstype == "none" else entry.fstype
            block = mounted(entry.source, target, fstype or "auto", options=entry.options or "defaults")
            try:
                with held_signals():
                    block.__enter__()
                    done._blocks.append(block)
                    done.mounted.append(entry._replace(target=target))
            except OSError as e:
                _failed(done, entry, e)


def _mount_inside(done: MountedSet, entries: list[Entry], root: str, stop: Callable[[], bool]) -> None:
    """As the system installed at root mounts its fstab at boot: targets,
    made directories and binds' sources inside root, each mount attached
    onto the fd its target was found at."""
    import velkora.fstab._root as rooted
    from velkora._idmount import apply, namespace, value
    from velkora._mount8 import mkdir_mode, not_carried_out
    from velkora._sources import resolving_once
    from velkora.options import parse

    top = os.path.abspath(root)
    root_fd = os.open(top, os.O_PATH | os.O_DIRECTORY | os.O_CLOEXEC)
    try:
        for entry in entries:
            if stop():
                return
            tree = at = -1
            try:
                parsed = parse(entry.options or "defaults")
                for word, bit in (("remount", MS.REMOUNT), ("move", MS.MOVE)):
                    if parsed.flags & bit:
                        raise ValueError(f"mount option {word!r} in an fstab entry: mount -a makes new mounts")
                # Never dropped: a mount must not come out other than asked.
                not_carried_out(parsed.userspace, entry.target)
                with held_signals():
                    at = rooted.target_fd(root_fd, entry.target, mkdir_mode(parsed.userspace))
                target = rooted.host_path(at)
                bind = rooted.is_bind(entry)
                if bind:
                    with held_signals():  # the fd is closed below, whatever comes
                        tree, found = rooted.bind_tree(root_fd, entry, parsed)
                    shown = entry._replace(source=found, target=target)
                    known = shown
                else:
                    shown = entry._replace(target=target)
                    # An image is mounted already through a loop device of the file found in the root.
                    image = rooted.image_file(root_fd, entry.source)
                    known = shown._replace(source=image) if image else shown
                with resolving_once():  # a tag looked up once, whether the target is a mount point or not
                    if _already(known, target):
                        continue
                    if not bind:
                        with held_signals():
                            tree = rooted.filesystem_tree(root_fd, entry, parsed, target)
                idmap = value(parsed.userspace)
                if idmap is not None:  # set before the tree is attached: it is never seen without
                    with namespace(idmap) as userns:
                        recursive = bind and bool(parsed.flags & MS.REC)
                        fstype = "" if bind or entry.fstype in ("auto", "none") else entry.fstype
                        apply(tree, userns.fileno(), recursive, shown.source if bind else "", fstype, target)
                with held_signals():
                    owned, tree = tree, -1  # attach closes it
                    block = rooted.attach(owned, at, int(parsed.propagation))
                    done._blocks.append(block)
                    done.mounted.append(shown)
                if os.path.samestat(os.fstat(at), os.fstat(root_fd)):
                    # The root itself was mounted over: what follows goes in the new mount.
                    os.close(root_fd)
                    root_fd = -1
                    root_fd = os.open(top, os.O_PATH | os.O_DIRECTORY | os.O_CLOEXEC)
            except OSError as e:
                if not e.filename:
                    e.filename = entry.target  # a call on an fd names nothing: the entry's target
                _failed(done, entry, e)
            finally:
                for fd in (tree, at):
                    if fd >= 0:
                        os.close(fd)
    finally:
        if root_fd >= 0:
            os.close(root_fd)

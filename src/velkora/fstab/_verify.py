"""An fstab checked as ``findmnt --verify`` checks it, with its words, and a
few checks of velkora's own (a relative target, a filesystem type the
kernel does not know, a tmpfs option word tmpfs does not take)."""

from __future__ import annotations

import errno
import os
import re
import stat

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Callable, NamedTuple

    from velkora.fstab._table import Entry, Fstab
else:
    from velkora._base import record as _record

    NamedTuple = object


class Problem(NamedTuple):
    """What :func:`velkora.fstab.verify` found: on ``line`` (from 1), for the
    entry with ``target`` (None for a line that is no entry), ``level``
    "error" or "warning", and findmnt's words for it."""

    line: int
    target: str | None
    level: str
    message: str


if not TYPE_CHECKING:
    Problem = _record(Problem, "velkora.fstab")  # noqa: F811 - the fields, as a namedtuple

# Filesystems with no device to look at: findmnt checks neither their source nor their type.
PSEUDO = frozenset(
    "anon_inodefs apparmorfs autofs bdev binder binfmt_misc bpf cgroup cgroup2 configfs cpuset debugfs devfs "
    "devpts devtmpfs dlmfs efivarfs fusectl hugetlbfs mqueue nfsd none nsfs overlay pipefs proc pstore ramfs "
    "resctrl rootfs rpc_pipefs securityfs selinuxfs smackfs sockfs spufs sysfs tmpfs tracefs vboxsf virtiofs "
    "9p afs ceph cifs smb3 smbfs ncpfs nfs nfs4 glusterfs fuse fuse.sshfs fuse.curlftpfs".split()
)
# tmpfs's whole list of words (Documentation/filesystems/tmpfs.rst).
TMPFS = frozenset(
    "size nr_blocks nr_inodes mode uid gid huge mpol inode32 inode64 noswap quota usrquota grpquota "
    "usrquota_block_hardlimit usrquota_inode_hardlimit grpquota_block_hardlimit grpquota_inode_hardlimit "
    "casefold strict_encoding".split()
)
_TAGS = ("UUID=", "LABEL=", "PARTUUID=", "PARTLABEL=", "ID=")
# A source findmnt takes for a tag it does not know: a name, "=", a value.
_TAG_LIKE = re.compile(r"[A-Za-z_][A-Za-z0-9_]*=")


def _found(root: str, path: str) -> tuple[os.stat_result, str]:
    """os.stat of path in the tree at root, and where it is: looked up
    inside root as the system installed there sees it, so that no link or
    ".." leads out."""
    if root in ("/", ""):
        return os.stat(path), path
    from velkora.fstab._table import inside

    fd = inside(root, path, path)
    try:
        return os.fstat(fd), os.readlink(f"/proc/self/fd/{fd}")
    finally:
        os.close(fd)


def _known_types() -> frozenset[str] | None:
    """What the kernel mounts: /proc/filesystems and the modules it may load."""
    try:
        with open("/proc/filesystems") as f:
            known = {line.split()[-1] for line in f if line.strip()}
    except OSError:
        return None
    base = f"/lib/modules/{os.uname().release}/kernel/fs"
    for _, _, files in os.walk(base):
        known.update(name.split(".ko")[0] for name in files if ".ko" in name)
    return frozenset(known)


def _is_below(child: str, parent: str) -> bool:
    parent = parent.rstrip("/")
    return bool(parent) and child.startswith(parent + "/")


def _words(options: str) -> list[str]:
    return [word for word in options.split(",") if word]


def _order(entries: list[Entry], canonical: list[str], i: int, add: Callable[[str, str], None]) -> None:
    """Against every later entry: the same target (a warning), or a target
    that holds this one (an error: mount -a would hide this one); targets
    compared as they really are (a link followed), as findmnt compares them."""
    mine = canonical[i]
    for later, theirs in zip(entries[i + 1 :], canonical[i + 1 :]):
        if later.fstype == "swap":
            continue
        if theirs == mine:
            add("warning", "target specified more than once")
        elif _is_below(mine, theirs):
            add("error", f"wrong order: {entries[i].target} specified before {later.target}")


def _canonical(root: str, target: str) -> str:
    """target as it really is where it exists (links and ".." followed, as
    the system at root sees them), else as written less a trailing slash."""
    plain = target.rstrip("/") or "/"
    if not target.startswith("/"):
        return plain
    try:
        _, found = _found(root, target)
    except OSError:
        return plain
    if root in ("/", ""):
        return os.path.realpath(found)
    top = os.path.realpath(root)
    rest = os.path.relpath(found, top)
    return "/" if rest == "." else "/" + rest


def _target(entry: Entry, root: str, canonical: str, add: Callable[[str, str], None]) -> None:
    if not entry.target.startswith("/"):
        add("error", "target is not an absolute path")
        return
    try:
        st = _found(root, entry.target)[0]
    except OSError as e:
        if not any(w.lower().startswith("x-mount.mkdir") for w in _words(entry.options)):
            add("error", f"unreachable on boot required target: {e.strerror}")
        return
    if not stat.S_ISDIR(st.st_mode):
        add("error", "target is not a directory")
    if canonical != entry.target:
        add("warning", f"non-canonical target path (real: {canonical})")


def _source(entry: Entry, root: str, bind: bool, add: Callable[[str, str], None]) -> None:
    """The source and the type it holds, as findmnt checks a device's."""
    from velkora import blkid

    source = entry.source
    if source.startswith(_TAGS):
        try:
            device = blkid.resolve(source)
        except OSError as e:
            if e.errno == errno.ENOTUNIQ:
                # Which of them is mounted would be chance: an error, naming them all.
                add("error", f"{source} is {e.strerror}")
            else:
                add("error", f"unreachable on boot required source: {source}")
            return
        except ValueError:
            add("error", f"unreachable on boot required source: {source}")
            return
    elif _TAG_LIKE.match(source):
        add("error", f"unsupported source tag: {source}")
        add("warning", f"cannot detect on-disk filesystem type ({os.strerror(errno.ENOENT)})")
        return
    else:
        try:
            if source.startswith("/") and os.path.normpath(source).startswith("/dev/"):
                # The machine's, as the system at root finds them at boot (and mount_all(root=) takes them).
                st, device = os.stat(source), source
            elif source.startswith("/") or root in ("/", ""):
                st, device = _found(root, source)
            else:
                st, device = _found(root, "/" + source)  # the current directory at boot is "/"
        except OSError as e:
            add("warning", f"unreachable source: {source}: {e.strerror}")
            add("warning", f"cannot detect on-disk filesystem type ({e.strerror})")
            return
        if stat.S_ISDIR(st.st_mode) or stat.S_ISREG(st.st_mode):
            if not bind:
                add("warning", f"non-bind mount source {source} is a directory or regular file")
        elif not stat.S_ISBLK(st.st_mode):
            add("warning", f"source {source} is not a block device")
        if not (stat.S_ISBLK(st.st_mode) or stat.S_ISREG(st.st_mode)):
            add("warning", f"cannot detect on-disk filesystem type ({os.strerror(errno.EINVAL)})")
            return
    try:
        found = blkid.probe(device).type
    except OSError as e:
        add("warning", f"cannot detect on-disk filesystem type ({e.strerror})")
        return
    if found is None:
        add("warning", "cannot detect on-disk filesystem type (reason unknown)")
    elif entry.fstype not in ("auto", "") and found != entry.fstype:
        add("error", f"{entry.fstype} does not match with on-disk {found}")


def verify(table: Fstab, root: str = "/") -> list[Problem]:
    problems = [Problem(n, None, "error", f"parse error at line {n}") for n, _ in table.malformed()]
    entries = list(table)
    canonical = [_canonical(root, entry.target) for entry in entries]
    known = _known_types()
    for i, entry in enumerate(entries):
        line = table.line_of(i)

        def add(level: str, message: str, line: int = line, target: str = entry.target) -> None:
            problems.append(Problem(line, target, level, message))

        words = _words(entry.options)
        bind = "bind" in words or "rbind" in words
        if entry.fstype != "swap":
            _order(entries, canonical, i, add)
            _target(entry, root, canonical[i], add)
        # As findmnt: every source but those of a pseudo or network type; a
        # bind's too where it gives a real type.
        if entry.fstype not in PSEUDO:
            _source(entry, root, bind, add)
        if (entry.target.rstrip("/") or "/") == "/" and entry.passno != 1:
            add("warning", f"recommended root FS passno is 1 (current is {entry.passno})")
        # velkora's own: what findmnt leaves to the mount to find out.
        if not bind and known is not None and entry.fstype not in ("auto", "swap", "none", ""):
            kinds = entry.fstype.split(",")
            if not entry.fstype.startswith("fuse") and not all(kind in known for kind in kinds):
                add("error", f"filesystem type unknown to the kernel: {entry.fstype}")
        if entry.fstype == "tmpfs":
            from velkora.options import parse

            try:
                data = parse(entry.options).data
            except ValueError as e:
                add("error", f"options: {e}")
                continue
            for word in _words(data):
                if word.split("=", 1)[0] not in TMPFS:
                    add("warning", f"tmpfs does not take the option {word!r}")
    return problems

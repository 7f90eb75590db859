"""An fstab for a tree that is mounted, as ``genfstab`` writes one: the
mounts at and below a root, each with its source as a tag, the options it
has, and the pass numbers fsck wants."""

from __future__ import annotations

import errno
import os
import stat

from velkora.fstab._table import _escape, parse

TYPE_CHECKING = False
if TYPE_CHECKING:
    from velkora.fstab._table import Fstab
    from velkora.mountinfo import Mount

# The kernel's interfaces and memory filesystems: what a system mounts for
# itself at boot (or a sandbox for its command), never written to its fstab.
PSEUDO = frozenset(
    "anon_inodefs apparmorfs autofs bdev binfmt_misc bpf cgroup cgroup2 configfs cpuset debugfs devfs "
    "devpts devtmpfs dlmfs efivarfs fuse.gvfs-fuse-daemon fuse.portal fusectl hugetlbfs mqueue nfsd none "
    "nsfs overlay pipefs proc pstore ramfs rootfs rpc_pipefs securityfs selinuxfs sockfs spufs sysfs "
    "tmpfs tracefs".split()
)
# Filesystems whose fsck does nothing at boot: pass 0.
NO_FSCK = frozenset(("btrfs", "xfs"))
TAG_NAMES = ("UUID", "LABEL", "PARTUUID", "PARTLABEL")


def _option(words: list[str], name: str) -> str | None:
    for word in words:
        if word.startswith(name + "="):
            return word[len(name) + 1 :]
    return None


def _own_root(m: Mount, words: list[str]) -> str:
    """The directory a mount of m's filesystem by its source shows: the
    subvolume for Btrfs, else the filesystem's root."""
    return (_option(words, "subvol") or "/") if m.fs_type == "btrfs" else "/"


def _inside(path: str, top: str) -> str | None:
    """path relative to top (both absolute), "" for top itself; None where
    path lies outside it."""
    if path == top:
        return ""
    if top == "/":
        return path[1:]
    return path[len(top) + 1 :] if path.startswith(top + "/") else None


def _in_root(point: str, root: str) -> str:
    rest = _inside(point, root)
    return "/" + (rest or "")


def _line(source: str, target: str, fstype: str, options: list[str], passno: int) -> str:
    fields = (_escape(source), _escape(target), _escape(fstype), _escape(",".join(options) or "defaults"))
    return f"{fields[0]:<20}\t{fields[1]:<10}\t{fields[2]:<10}\t{fields[3]:<10}\t0 {passno}\n"


def generate(root: str, tags: str | None) -> Fstab:
    from velkora._records import joined_options
    from velkora.mountinfo import mount_at, mounts_below

    if tags is not None and tags not in TAG_NAMES:
        raise ValueError(f"tags must be one of {', '.join(TAG_NAMES)} or None, not {tags!r}")
    top = os.path.realpath(root)
    if not stat.S_ISDIR(os.stat(top).st_mode):
        raise NotADirectoryError(errno.ENOTDIR, os.strerror(errno.ENOTDIR), root)
    if mount_at(top).mount_point != top:
        raise ValueError(f"{root} is not a mount point")
    table = [m for m in reversed(mounts_below(top)) if m.fs_type not in PSEUDO]
    words = {m.id: [w for w in joined_options(m).split(",") if w and w != "seclabel"] for m in table}
    # The mounts of a filesystem by its source, which a bind mount's source
    # directory is found in.
    own = [m for m in table if m.root == _own_root(m, words[m.id])]
    own_ids = {m.id for m in own}
    probed: dict[str, dict[str, str]] = {}
    # Each entry's lines, in the table's order (siblings by id, as findmnt
    # and genfstab have them), but a bind never before the mount that holds
    # its directory: ids are reused, so a later mount may have the lower one.
    written: set[int] = set()
    waiting: list[tuple[int, int, str]] = []
    text: list[str] = []

    def add(m: Mount, lines: str) -> None:
        text.append(lines)
        written.add(m.id)
        for wait in [w for w in waiting if w[1] in written]:
            waiting.remove(wait)
            text.append(wait[2])
            written.add(wait[0])

    for m in table:
        options = words[m.id]
        if _option(options, "subvol") is not None:
            options = [w for w in options if not w.startswith("subvolid=")]
        target = _in_root(m.mount_point or top, top)
        if m.id in own_ids:
            add(m, _device_entry(m, target, options, tags, probed))
            continue
        held = _bind_source(m, own, top)
        if held is None:
            continue  # a directory from outside the root: not the tree's to mount
        provider, source = held
        options = [w for w in options if w != "relatime" and not w.startswith("subvol")]
        comment = f"# {_escape(source)}\n" if tags == "UUID" else ""  # escaped: no line of its own
        lines = comment + _line(source, target, "none", options + ["bind"], 0)
        if provider.id in written:
            add(m, lines + "\n")
        else:
            waiting.append((m.id, provider.id, lines + "\n"))
    text += [w[2] for w in waiting]
    return parse("".join(text))


def _device_entry(
    m: Mount, target: str, options: list[str], tags: str | None, probed: dict[str, dict[str, str]]
) -> str:
    device = m.source or "none"
    if device.startswith("/") and os.path.exists(device):
        device = os.path.realpath(device)
    if device not in probed:
        from velkora import blkid

        # Only a path is probed: "tmpfs" or "server:/x" names no file here.
        probed[device] = blkid.tags_of(device) if device.startswith("/") else {}
    found = probed[device]
    source = f"{tags}={found[tags]}" if tags is not None and tags in found else device
    # The comment names the device and the filesystem's other tags; with no
    # tags, the tags alone. Each escaped as a field is: a label or a
    # source holding a newline would otherwise write a line of its own.
    others = [f"{key}={found[key]}" for key in ("UUID", "LABEL") if key != tags and key in found]
    comment = ""
    if tags == "UUID" or others:
        # Escaped as the fields are: a newline in a label or a name would begin an entry of its own.
        comment = "# " + " ".join(_escape(word) for word in ([device] if tags is not None else []) + others) + "\n"
    fstype = m.fs_type or "auto"
    passno = 0 if fstype in NO_FSCK else 1 if target == "/" else 2
    return comment + _line(source, target, fstype, options, passno) + "\n"


def _bind_source(m: Mount, own: list[Mount], top: str) -> tuple[Mount, str] | None:
    """The mount that holds the directory the bind mount m shows, and that
    directory as the root sees it: of the mounts of the same filesystem
    below the root, the first whose directory holds m's most closely."""
    best: tuple[int, Mount, str] | None = None
    for o in own:
        if (o.major, o.minor) != (m.major, m.minor) or o.mount_point is None:
            continue
        rest = _inside(m.root or "/", o.root or "/")
        if rest is None or _inside(o.mount_point, top) is None:
            continue
        depth = len(o.root or "/")
        if best is None or depth > best[0]:
            base = _in_root(o.mount_point, top)
            best = (depth, o, base.rstrip("/") + "/" + rest if rest else base)
    return best[1:] if best else None

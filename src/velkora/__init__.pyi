"""velkora: Linux mounts from Python, exactly.

- velkora.mount: mount(2) and umount2(2);
- velkora.fsmount: the file-descriptor mount API;
- velkora.mountinfo: the mount table, as records;
- velkora.flags: the flags as enum.IntFlag classes;
- velkora.loop: image files on loop devices;
- velkora.options: mount option strings as fstab writes them;
- velkora.chroot: commands run inside a root, and roots set up in place;
- velkora.blkid: what block devices and images hold (filesystems,
  partition tables), and tags (UUID=, LABEL=, ...) resolved to devices;
- velkora.fstab: fstab files read, written, verified, generated and
  mounted (mount -a);
- velkora.btrfs: Btrfs subvolumes listed, shown, made, snapshotted and
  deleted, the default and the read-only flag, and any subvolume reached
  without a mount (toplevel);
- velkora.image: disk images whole: what each partition is for (as
  systemd-dissect finds it), the image mounted as one tree, commands run
  inside it;
- velkora.cli: the velkora command (also ``python -m velkora``);
- mounted, overlay, FsContext and DetachedMount (from velkora.contexts):
  mounts and mount fds that clean up after themselves; remount, which
  changes only the words given, unmount (lazy, or a whole tree leaves
  first), holders (who keeps a mount busy) and rmtree (which never deletes
  through a mount), looked up when first used; __version__, the installed
  version, looked up when first read.

The modules are imported when first imported by name (``import
velkora.blkid``), never by ``import velkora`` alone.
"""

from velkora._holders import Holder as Holder
from velkora._holders import holders as holders
from velkora._mount8 import remount as remount
from velkora._mount8 import unmount as unmount
from velkora._rmtree import rmtree as rmtree
from velkora.contexts import DetachedMount as DetachedMount
from velkora.contexts import FsContext as FsContext
from velkora.contexts import mounted as mounted
from velkora.contexts import overlay as overlay

__all__ = ["mounted", "overlay", "remount", "unmount", "holders", "rmtree", "Holder", "FsContext", "DetachedMount"]
__version__: str

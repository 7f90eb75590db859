"""velkora: Linux mounts from Python, exactly.

- velkora.mount: mount(2) and umount2(2);
- velkora.fsmount: the file-descriptor mount API;
- velkora.mountinfo: the mount table, as records;
- velkora.flags: the flags as enum.IntFlag classes;
- velkora.loop: image files on loop devices;
- velkora.options: mount option strings as fstab writes them;
- mounted, overlay, FsContext and DetachedMount (from velkora.contexts):
  mounts and mount fds that clean up after themselves; remount, which
  changes only the words given, and unmount (lazy, or a whole tree leaves
  first), looked up when first used.
"""

from velkora._vfs import remount as remount
from velkora._vfs import unmount as unmount
from velkora.contexts import DetachedMount as DetachedMount
from velkora.contexts import FsContext as FsContext
from velkora.contexts import mounted as mounted
from velkora.contexts import overlay as overlay

__all__ = ["mounted", "overlay", "remount", "unmount", "FsContext", "DetachedMount"]
__version__: str

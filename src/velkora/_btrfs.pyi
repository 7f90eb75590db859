"""Btrfs subvolumes through the filesystem's ioctls, for velkora.btrfs: each
call takes a path as the os module takes it and names it in an OSError."""

from os import PathLike

# A path: str (through the filesystem encoding), bytes or os.PathLike.
_Path = str | bytes | PathLike[str] | PathLike[bytes]

# (id, parent_id, dir_id, name, dir_path, uuid, parent_uuid, received_uuid,
#  generation, ctransid, otransid, stransid, rtransid, ctime, otime, stime,
#  rtime, read_only)
_Row = tuple[
    int, int, int, bytes, bytes | None, str | None, str | None, str | None,
    int, int, int, int, int, float | None, float | None, float | None, float | None, bool,
]  # fmt: skip

BTRFS_SUPER_MAGIC: int
BTRFS_FS_TREE_OBJECTID: int
BTRFS_FIRST_FREE_OBJECTID: int
BTRFS_SUBVOL_RDONLY: int

def is_subvolume(path: _Path, /) -> bool:
    """Whether path is the root directory of a Btrfs subvolume."""

def subvolume_id(path: _Path, /) -> int:
    """The id of the subvolume that holds path (INO_LOOKUP)."""

def subvol_info(path: _Path, /) -> _Row:
    """The subvolume that holds path, as GET_SUBVOL_INFO gives it (dir_path None)."""

def fs_uuid(path: _Path, /) -> str:
    """The UUID of the Btrfs filesystem that holds path (FS_INFO)."""

def ino_lookup(path: _Path, id: int, inode: int, /) -> bytes:
    """The path of the directory inode in the subvolume id, from its root (INO_LOOKUP)."""

def reachable(path: _Path, strict: bool = False, /) -> list[_Row]:
    """The subvolumes below path the caller may reach, dir_path from path (unprivileged ioctls);
    with strict, PermissionError where one is out of reach, EBUSY where a mount hides one."""

def roots(path: _Path, min_id: int = 256, max_id: int = 18446744073709551360, /) -> list[_Row]:
    """The subvolumes with ids from min_id to max_id, by id (TREE_SEARCH_V2; root only)."""

def default_id(path: _Path, /) -> int:
    """The id of the default subvolume (TREE_SEARCH_V2; root only)."""

def create(path: _Path, /) -> int:
    """Make an empty subvolume at path; returns its id."""

def snapshot(source: _Path, path: _Path, read_only: bool = False, /) -> int:
    """Make a snapshot of the subvolume source at path; returns its id."""

def destroy(path: _Path, /) -> None:
    """Delete the subvolume at path (SNAP_DESTROY)."""

def destroy_id(path: _Path, id: int, /) -> None:
    """Delete the subvolume id of the filesystem that holds path (SNAP_DESTROY_V2)."""

def get_flags(path: _Path, /) -> int:
    """The flags of the subvolume at path (SUBVOL_GETFLAGS)."""

def set_flags(path: _Path, flags: int, /) -> None:
    """Set the flags of the subvolume at path (SUBVOL_SETFLAGS)."""

def set_default(path: _Path, id: int, /) -> None:
    """Make the subvolume id the default (DEFAULT_SUBVOL)."""

def clear_received(path: _Path, /) -> None:
    """Clear the received UUID, stransid and stime of the subvolume at path."""

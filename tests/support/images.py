"""Disk images for the tests, made as image builders make them: a GPT by
systemd-repart from partition definitions, an MBR or a bare filesystem by
sfdisk and mkfs, each filesystem made in a file of its own and copied in at
its partition's offset (nothing attached by the tests themselves)."""

from __future__ import annotations

import os
import subprocess
import tempfile

MiB = 1 << 20
# Each filesystem's smallest size that its mkfs takes without a question.
_SIZES = {"vfat": 33 * MiB, "xfs": 300 * MiB, "btrfs": 120 * MiB}


def repart(image: str | os.PathLike[str], *partitions: dict[str, str]) -> str:
    """A GPT image at image, made by systemd-repart from partitions, each the
    [Partition] section of a definition (Type=, Format=, Label=, Flags=,
    GrowFileSystem=, ...) in its order; a partition's size is 10 MiB (vfat's
    33 MiB) unless the definition gives SizeMinBytes. Returns image."""
    with tempfile.TemporaryDirectory(prefix="vk-repart.") as defs:
        for i, given in enumerate(partitions):
            section = dict(given)
            if "SizeMinBytes" not in section:
                size = _SIZES.get(section.get("Format", ""), 10 * MiB)
                section.update(SizeMinBytes=str(size), SizeMaxBytes=str(size))
            with open(os.path.join(defs, f"{i:02d}.conf"), "w") as f:
                f.write("[Partition]\n" + "".join(f"{key}={value}\n" for key, value in section.items()))
        subprocess.run(["systemd-repart", "--empty=create", "--size=auto", f"--definitions={defs}", "--dry-run=no",
                        "--no-pager", "--seed=random", os.fspath(image)],
                       check=True, capture_output=True, stdin=subprocess.DEVNULL)  # fmt: skip
    return os.fspath(image)


def mkfs(path: str | os.PathLike[str], fstype: str, size: int, label: str | None = None,
         files: str | os.PathLike[str] | None = None) -> None:  # fmt: skip
    """A filesystem of fstype filling a new (sparse) file of size bytes;
    an ext2/3/4 one holding a copy of the directory files, if given."""
    with open(path, "wb") as f:
        f.truncate(size)
    command = {
        "vfat": ["mkfs.vfat"] + (["-n", label] if label else []),
        "swap": ["mkswap"] + (["-L", label] if label else []),
        "btrfs": ["mkfs.btrfs", "-q"] + (["-L", label] if label else []),
        "xfs": ["mkfs.xfs", "-q"] + (["-L", label] if label else []),
    }.get(fstype, [f"mkfs.{fstype}", "-q", "-F"] + (["-L", label] if label else []))
    command += ["-d", os.fspath(files)] if files is not None else []
    subprocess.run([*command, os.fspath(path)], check=True, capture_output=True, stdin=subprocess.DEVNULL)


def sfdisk(image: str | os.PathLike[str], script: str, size: int, filesystems: dict[int, str]) -> str:
    """An image of size bytes partitioned by sfdisk's script (label: dos,
    label: gpt, one line a partition), with a filesystem of the type
    filesystems gives each partition number made in it. Returns image."""
    from velkora import blkid

    with open(image, "wb") as f:
        f.truncate(size)
    subprocess.run(["sfdisk", "-q", "--no-reread", "--no-tell-kernel", os.fspath(image)], input=script.encode(),
                   check=True, capture_output=True)  # fmt: skip
    where = {p.number: (p.start, p.size) for p in blkid.probe(image).partitions}
    for number, fstype in filesystems.items():
        start, length = where[number]
        write_filesystem(image, start, fstype, length)
    return os.fspath(image)


def write_filesystem(image: str | os.PathLike[str], start: int, fstype: str, size: int, label: str | None = None
                     ) -> None:  # fmt: skip
    """A filesystem of fstype and size bytes made into image at start (an
    offset of 0 and the image's size: a bare filesystem)."""
    with tempfile.TemporaryDirectory(prefix="vk-mkfs.") as place:
        made = os.path.join(place, "fs")
        mkfs(made, fstype, size, label)
        subprocess.run(["dd", f"if={made}", f"of={os.fspath(image)}", "bs=1M", f"seek={start}", "oflag=seek_bytes",
                        "conv=notrunc,sparse", "status=none"], check=True)  # fmt: skip

"""velkora.blkid against blkid -p and sfdisk -J on images the real tools
made; partitions on loop devices; mounts by tag, by probed type and by
partition of an image."""

import binascii
import errno
import json
import os
import struct
import subprocess
import sys
import threading
import warnings
from pathlib import Path

import pytest
from hypothesis import given
from hypothesis import strategies as st

from support.loops import btrfs_copy
from support.mountinfo import mount_at
from velkora import _superblocks, blkid, loop, mounted

# The fields of blkid -p -o export that a Probe has.
FIELDS = {"TYPE": "type", "UUID": "uuid", "UUID_SUB": "uuid_sub", "LABEL": "label", "PTTYPE": "pttype",
          "PTUUID": "ptuuid"}  # fmt: skip
MIB = 1 << 20

# Each image: its size in MiB and the commands that make it (IMG its path).
IMAGES = {
    "ext2": (8, ["mkfs.ext2", "-q", "-L", "lab2", "IMG"]),
    "ext3": (8, ["mkfs.ext3", "-q", "IMG"]),
    "ext4": (8, ["mkfs.ext4", "-q", "-L", "my root", "IMG"]),
    "ext4-nojournal": (8, ["mkfs.ext4", "-q", "-O", "^has_journal", "IMG"]),
    "xfs": (300, ["mkfs.xfs", "-q", "-L", "x lab", "IMG"]),
    "btrfs": (256, ["mkfs.btrfs", "-q", "-L", "pool", "IMG"]),  # the session's image, where there is one
    "fat12": (4, ["mkfs.vfat", "-F", "12", "-n", "LAB12", "IMG"]),
    "fat16": (32, ["mkfs.vfat", "-F", "16", "IMG"]),
    "fat32": (64, ["mkfs.vfat", "-F", "32", "-n", "EFI", "IMG"]),
    "swap": (8, ["mkswap", "-L", "sw", "IMG"]),
    "gpt": (64, ["sfdisk", "-q", "IMG"],
            'label: gpt\nsize=8M, name="boot part", type=uefi\nsize=16M, name=root\nsize=8M\n'),
    "dos": (64, ["sfdisk", "-q", "IMG"], "label: dos\nsize=8M, type=c\nsize=8M\ntype=5\nsize=4M\nsize=4M, type=82\n"),
}  # fmt: skip


def run(*cmd, **kw):
    return subprocess.run(cmd, check=True, capture_output=True, text=True, **kw).stdout


@pytest.fixture(scope="module")
def images(tmp_path_factory, request):
    made = {}
    for name, (size, cmd, *stdin) in IMAGES.items():
        path = tmp_path_factory.mktemp("img") / f"{name}.img"
        if name == "btrfs":
            try:  # mkfs.btrfs once a session; made here where the session cannot mount
                made[name] = str(btrfs_copy(request.getfixturevalue("btrfs_master"), path))
                continue
            except (pytest.skip.Exception, pytest.fail.Exception):
                pass
        with open(path, "wb") as f:
            f.truncate(size * MIB)
        run(*[str(path) if word == "IMG" else word for word in cmd], input=stdin[0] if stdin else None)
        made[name] = str(path)
    return made


def exported(path):
    """blkid -p -o export's fields that a Probe has."""
    out = subprocess.run(["blkid", "-p", "-o", "export", path], capture_output=True, text=True).stdout
    fields = dict(line.split("=", 1) for line in out.splitlines() if "=" in line)
    return {FIELDS[k]: v.replace("\\ ", " ") for k, v in fields.items() if k in FIELDS}


def sfdisk_partitions(path):
    """sfdisk -J's partitions, as velkora gives them."""
    table = json.loads(run("sfdisk", "-J", path))["partitiontable"]
    sector, dos = table["sectorsize"], table["label"] == "dos"
    return [
        (int(p["node"][len(path):].lstrip("p")), p["start"] * sector, p["size"] * sector,
         f"0x{p['type']}" if dos else p["type"].lower(),
         f"{table['id'][2:]}-{int(p['node'][len(path):].lstrip('p')):02x}" if dos else p["uuid"].lower(),
         p.get("name"))
        for p in table["partitions"]
    ]  # fmt: skip


@pytest.mark.parametrize("name", list(IMAGES))
def test_probe_gives_what_blkid_and_sfdisk_give(images, name):
    path = images[name]
    found = blkid.probe(path)
    assert {k: v for k, v in found._asdict().items() if v not in (None, ())} == {
        **exported(path),
        **({"partitions": tuple(sfdisk_partitions(path))} if found.pttype else {}),
    }
    # The command's lines are blkid's, less the fields velkora does not give.
    ours = run(sys.executable, "-m", "velkora", "blkid", path)
    theirs = run("blkid", "-p", "-s", "LABEL", "-s", "UUID", "-s", "UUID_SUB", "-s", "TYPE", "-s", "PTUUID",
                 "-s", "PTTYPE", path)  # fmt: skip
    assert ours.split(": ", 1)[1].split() == theirs.split(": ", 1)[1].split()


@pytest.mark.parametrize(
    ("name", "damage"),
    [("ext4", ("cut", 1500)), ("btrfs", ("cut", 65600)), ("xfs", ("zero", 0, 4)), ("fat32", ("zero", 11, 2)),
     ("gpt", ("flip", 600, 1)), ("btrfs", ("zero", 0, 2 * MIB)), ("swap", ("zero", 4086, 10))],
)  # fmt: skip
def test_a_damaged_image_gives_no_type(images, tmp_path, name, damage):
    with open(images[name], "rb") as f:
        data = bytearray(f.read(2 * MIB))
    if damage[0] == "cut":
        del data[damage[1] :]
    elif damage[0] == "flip":  # a byte that may be zero already (in a CRC) is changed all the same
        data[damage[1]] ^= 0xFF
    else:
        data[damage[1] : damage[1] + damage[2]] = bytes(damage[2])
    (tmp_path / "damaged.img").write_bytes(data)
    found = blkid.probe(tmp_path / "damaged.img")
    assert (found.type, found.pttype) == (None, None)


@given(st.binary(max_size=_superblocks.HEAD + 4096), st.sampled_from([512, 4096]))
def test_no_bytes_make_the_probe_raise(data, sector):
    blkid._probe(lambda at, size: data[at : at + size], (sector,), len(data))


@pytest.mark.parametrize("path", ["/dev/null", "/"])
def test_what_is_no_file_or_block_device_raises(path):
    with pytest.raises(OSError):
        blkid.probe(path)


GPT3 = "label: gpt\nsize=8M, name=esp, type=uefi\nsize=32M, name=root\nsize=8M, name=home\n"


@pytest.mark.blockdev
@pytest.mark.parametrize("sector", [512, 4096])
def test_gpt_partitions_on_a_loop_device(kernel, place, tmp_path, sector):
    image = tmp_path / "disk.img"
    with open(image, "wb") as f:
        f.truncate(64 * MIB)
    with loop.attach(image, block_size=sector) as device:
        run("sfdisk", "-q", device.path, input=GPT3)
        assert blkid.probe(device.path) == blkid.probe(image)
        assert {k: v for k, v in blkid.probe(device.path)._asdict().items() if v not in (None, ())} == {
            **exported(device.path),
            "partitions": tuple(sfdisk_partitions(device.path)),
        }
    with loop.attach(image, block_size=sector, partscan=True) as device:
        parts = device.partitions()
        assert parts == [f"{device.path}p{n}" for n in (1, 2, 3)]
        run("mkfs.ext4", "-q", parts[1])
        with mounted(parts[1], place, "auto") as target:
            assert mount_at(target)["fstype"] == "ext4"
        number = device.number
        # Another process's probe holds a partition as the device goes: it is
        # waited for, not left behind.
        prober = os.open(parts[0], os.O_RDONLY)
        threading.Timer(0.1, os.close, (prober,)).start()
    assert not any(n.startswith(f"loop{number}p") for n in os.listdir(f"/sys/block/loop{number}"))
    assert not any(os.path.exists(p) for p in parts)


@pytest.mark.blockdev
@pytest.mark.parametrize("fstype", ["ext4", "xfs", "btrfs", "partition"])
def test_the_command_mounts_by_tag_and_probed_type(kernel, place, images, tmp_path, fstype):
    if fstype == "partition":
        image = tmp_path / "disk.img"
        with open(image, "wb") as f:
            f.truncate(64 * MIB)
        run("sfdisk", "-q", str(image), input=GPT3)
        with loop.attach(image, partscan=True) as device:
            run("mkfs.ext4", "-q", device.partitions()[1])
        sources, options, fstype = [str(image)], ["-o", "partition=2"], "ext4"
    else:
        image = tmp_path / f"{fstype}.img"
        image.write_bytes(Path(images[fstype]).read_bytes())
        sources, options = [str(image)], []
    with loop.attach(image) as device:
        if not options:
            sources.append("UUID=" + blkid.probe(device.path).uuid)
        for source in sources:
            cmd = [sys.executable, "-m", "velkora", "mount", *options, source, str(place)]
            subprocess.run(cmd, check=True)
            try:
                assert mount_at(place)["fstype"] == fstype
            finally:
                run("umount", str(place))


@pytest.mark.parametrize(
    ("source", "options", "error"),
    [("{dos}", "partition=9", errno.ENXIO), ("{swap}", "", errno.EINVAL), ("/nonexistent", "", errno.ENOENT),
     ("UUID=00000000-0000-0000-0000-000000000000", "", errno.ENOENT)],
)  # fmt: skip
def test_a_source_that_cannot_be_found_raises(kernel, place, images, source, options, error):
    with pytest.raises(OSError) as caught:
        with mounted(source.format(**images), place, "auto", options=options):
            pass
    assert caught.value.errno == error


@pytest.mark.blockdev
def test_a_tag_held_by_two_filesystems_names_both(kernel, place, images, btrfs_image, tmp_path):
    # A clone of an image beside it: two filesystems with one UUID, where
    # blkid -p sees the same UUID on both devices.
    original, clone = tmp_path / "original.img", tmp_path / "clone.img"
    original.write_bytes(Path(images["ext4"]).read_bytes())
    run("e2label", str(original), f"clone{os.getpid()}")  # no other run's label
    clone.write_bytes(original.read_bytes())
    uuid = blkid.probe(clone).uuid
    with loop.attach(original, read_only=True) as a, loop.attach(clone, read_only=True) as b:
        assert exported(a.path)["uuid"] == exported(b.path)["uuid"] == uuid
        both = ", ".join(sorted([a.path, b.path]))
        for tag in (f"UUID={uuid}", f"/dev/disk/by-uuid/{uuid}", f"LABEL={blkid.probe(clone).label}"):
            with pytest.raises(OSError) as caught:
                blkid.resolve(tag)
            assert (caught.value.errno, caught.value.strerror, caught.value.filename) == (
                errno.ENOTUNIQ, f"held by more than one filesystem: {both}", tag)  # fmt: skip
        said = subprocess.run([sys.executable, "-m", "velkora", "mount", f"UUID={uuid}", str(place)],
                              capture_output=True, text=True)  # fmt: skip
        assert (said.returncode, said.stderr) == (
            1, f"velkora: mount UUID={uuid}: held by more than one filesystem: {both}\n")  # fmt: skip
        assert mount_at(place) is None
    # Two Btrfs of one device each that share a UUID (one made with the
    # other's, -U), each its own UUID_SUB: two filesystems, not one.
    forged = tmp_path / "forged.img"
    run("cp", "--sparse=always", str(btrfs_image), str(forged))
    with open(forged, "r+b") as f:
        f.seek(65536)
        sb = bytearray(f.read(4096))
        sb[0x10B:0x11B] = os.urandom(16)  # the device's own UUID (dev_item.uuid)
        sb[0:4] = _crc32c(sb[32:]).to_bytes(4, "little")
        f.seek(65536)
        f.write(sb)
    with loop.attach(btrfs_image, read_only=True) as a, loop.attach(forged, read_only=True) as b:
        one, two = exported(a.path), exported(b.path)
        assert one["uuid"] == two["uuid"] and one["uuid_sub"] != two["uuid_sub"]
        with pytest.raises(OSError) as caught:
            blkid.resolve("UUID=" + one["uuid"])
        assert caught.value.errno == errno.ENOTUNIQ
    # One Btrfs on two devices is one filesystem: either device is given.
    # The second device is added to a copy of the session's image.
    with open(tmp_path / "second", "wb") as f:
        f.truncate(256 * MIB)
    with loop.attach(btrfs_image) as a, loop.attach(tmp_path / "second") as b:
        run("mount", a.path, str(place))
        try:
            run("btrfs", "-q", "device", "add", "-f", b.path, str(place))
        finally:
            run("umount", str(place))
        one, two = exported(a.path), exported(b.path)
        assert one["uuid"] == two["uuid"] and one["uuid_sub"] != two["uuid_sub"]
        assert blkid.resolve("UUID=" + one["uuid"]) in (a.path, b.path)


def _crc32c(data):
    crc = 0xFFFFFFFF
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ (0x82F63B78 & -(crc & 1))
    return crc ^ 0xFFFFFFFF


def _refresh_gpt(data):
    """The primary GPT header's CRCs made right again after its entries changed."""
    count, size = struct.unpack_from("<II", data, 512 + 80)
    struct.pack_into("<I", data, 512 + 88, binascii.crc32(data[1024 : 1024 + count * size]))
    struct.pack_into("<I", data, 512 + 16, 0)
    struct.pack_into("<I", data, 512 + 16, binascii.crc32(data[512 : 512 + struct.unpack_from("<I", data, 524)[0]]))


def _damage(data, case):
    """A few bytes of a table changed; the partition the kernel leaves out."""
    entry = 1024 + 128 * 1  # GPT partition 2's entry; MBR's are at 446
    if case == "dos intact":
        return None
    if case == "gpt primary header":  # a byte of the disk GUID: the header fails its CRC
        data[512 + 56] ^= 0xFF
        return None
    if case == "gpt no size":
        first = struct.unpack_from("<Q", data, entry + 32)[0]
        struct.pack_into("<Q", data, entry + 40, first - 10)
    elif case == "gpt past the end":
        struct.pack_into("<Q", data, entry + 40, len(data) // 512 + 100)
    elif case == "gpt overlapping":
        struct.pack_into("<Q", data, entry + 32, struct.unpack_from("<Q", data, 1024 + 32)[0] + 8)
    elif case == "dos overlapping":
        struct.pack_into("<I", data, 446 + 16 + 8, struct.unpack_from("<I", data, 446 + 8)[0] + 8)
    elif case == "dos looping chain":  # the second logical's record names itself as the next
        base = here = struct.unpack_from("<I", data, 446 + 32 + 8)[0]
        here = base + struct.unpack_from("<I", data, here * 512 + 462 + 8)[0]
        struct.pack_into("<BxxxII", data, here * 512 + 462 + 4, 5, here - base, 100)
        return None
    if case.startswith("gpt"):
        _refresh_gpt(data)
    return 2


def _distinct(parts):
    seen, kept = set(), []
    for p in parts:
        if (p[1], p[2]) not in seen:
            seen.add((p[1], p[2]))
            kept.append(p)
    return kept


@pytest.mark.blockdev
@pytest.mark.parametrize("case", ["gpt primary header", "gpt no size", "gpt past the end", "gpt overlapping",
                                  "dos intact", "dos overlapping", "dos looping chain"])  # fmt: skip
def test_a_damaged_table_is_read_as_the_kernel_reads_it(kernel, images, tmp_path, case):
    image = tmp_path / "disk.img"
    data = bytearray(Path(images[case[:3]]).read_bytes())
    left_out = _damage(data, case)
    image.write_bytes(data)
    # sfdisk reads the backup GPT, and lists a looping chain over and over.
    theirs = _distinct(sfdisk_partitions(str(image)))
    wanted = [p for p in theirs if p[0] != left_out]
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        found = blkid.probe(image)
        assert list(found.partitions) == wanted and found.ptuuid == exported(str(image))["ptuuid"]
        assert [str(w.message).split(": ", 1)[1][:12] for w in caught] == (
            [f"partition {left_out} "] if left_out else [])  # fmt: skip
        # The kernel takes the same partitions, an extended one 2 sectors long.
        with loop.attach(image, partscan=True, read_only=True) as device:
            got = []
            for path in device.partitions():
                sysfs = f"/sys/class/block/{os.path.basename(path)}"
                got.append(tuple(int(Path(f"{sysfs}/{n}").read_text()) * 512 for n in ("partition", "start", "size")))
    assert got == [(p[0] * 512, p[1], 1024 if p[3] == "0x5" else p[2]) for p in wanted]


def test_a_table_of_bad_entries_is_said_in_a_few_lines(images, tmp_path):
    # Every free entry of a GPT filled with one past the end of the disk
    # (CRCs right): the good ones stay, and the warnings do not flood.
    data = bytearray(Path(images["gpt"]).read_bytes())
    count = struct.unpack_from("<I", data, 512 + 80)[0]
    used = [n for n in range(count) if any(data[1024 + 128 * n : 1024 + 128 * n + 16])]
    for n in range(len(used), count):
        data[1024 + 128 * n : 1024 + 128 * (n + 1)] = data[1024 : 1024 + 128]
        struct.pack_into("<QQ", data, 1024 + 128 * n + 32, len(data) // 512 + 100, len(data) // 512 + 200)
    _refresh_gpt(data)
    (tmp_path / "disk.img").write_bytes(data)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        found = blkid.probe(tmp_path / "disk.img")
    assert [p.number for p in found.partitions] == [p[0] for p in sfdisk_partitions(images["gpt"])]
    assert len(caught) == 9 and str(caught[-1].message).endswith(f"{count - len(used) - 8} more entries of the gpt "
                                                                  "table left out")  # fmt: skip


@pytest.mark.parametrize("name", ["gpt", "dos", "ext4"])
def test_a_missing_partition_names_those_there_are(kernel, place, images, name):
    said = subprocess.run([sys.executable, "-m", "velkora", "mount", "-o", "partition=4", images[name], str(place)],
                          capture_output=True, text=True)  # fmt: skip
    numbers = ", ".join(str(p[0]) for p in sfdisk_partitions(images[name])) if name != "ext4" else ""
    held = f"the image's {name} table holds partitions {numbers}" if numbers else "the image holds no partition table"
    assert (said.returncode, said.stderr.rstrip("\n").rsplit(": ", 2)[1:]) == (1, ["no partition 4", held])

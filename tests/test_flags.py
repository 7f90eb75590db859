"""velkora.flags: every member is the kernel headers' value, and members work
wherever the native modules take an int."""

import re

import pytest

import velkora.mount as m
from support.headers import NEWER, header_values
from velkora import flags

# Each class, the C prefix of its members, and the headers that define them.
# MNT_* and UMOUNT_NOFOLLOW are the C library's; the rest are the kernel's uapi.
SOURCES = {
    flags.MS: ("MS_", "#include <linux/mount.h>"),
    flags.MOUNT_ATTR: ("MOUNT_ATTR_", "#include <linux/mount.h>"),
    flags.OPEN_TREE: ("OPEN_TREE_", "#include <fcntl.h>\n#include <linux/mount.h>"),
    flags.MOVE_MOUNT: ("MOVE_MOUNT_", "#include <linux/mount.h>"),
    flags.FSOPEN: ("FSOPEN_", "#include <linux/mount.h>"),
    flags.FSMOUNT: ("FSMOUNT_", "#include <linux/mount.h>"),
    flags.FSPICK: ("FSPICK_", "#include <linux/mount.h>"),
    flags.MNT: ("MNT_", "#include <sys/mount.h>"),
}


def c_name(prefix, member):
    return "UMOUNT_NOFOLLOW" if member == "UMOUNT_NOFOLLOW" else prefix + member


@pytest.mark.parametrize("cls", list(SOURCES), ids=lambda cls: cls.__name__)
def test_every_member_is_the_headers_value(cls, tmp_path):
    prefix, includes = SOURCES[cls]
    names = {c_name(prefix, name): value for name, value in cls.__members__.items()}
    header = header_values(list(names), includes, tmp_path)
    for name, member in names.items():
        if header[name] == "absent":
            assert name in NEWER
        else:
            # C's (1 << 31) is a negative int: compare the 32 bits.
            assert (name, int(member)) == (name, int(header[name]) % 2**32)


def test_the_uapi_header_has_no_member_we_lack():
    with open("/usr/include/linux/mount.h") as f:
        text = f.read()
    defined = set(
        re.findall(r"^#define\s+((?:MS|MOUNT_ATTR|OPEN_TREE|MOVE_MOUNT|FSOPEN|FSMOUNT|FSPICK)_\w+)", text, re.M)
    )
    # Masks, magic numbers and struct sizes are not flags.
    defined -= {"MS_RMT_MASK", "MS_MGC_VAL", "MS_MGC_MSK", "MOVE_MOUNT__MASK", "MOUNT_ATTR_SIZE_VER0"}
    ours = {c_name(SOURCES[cls][0], name) for cls in SOURCES for name in cls.__members__}
    assert defined - ours == set()


def test_members_are_plain_ints_to_the_native_modules(double):
    reply = double("m.mount('none', '/mnt', flags=__import__('velkora.flags').flags.MS.REC | 1 << 18)")
    assert reply.calls == [("mount", b"none", b"/mnt", b"btrfs", (1 << 14) | (1 << 18), b"")]
    assert flags.MS.PRIVATE == 1 << 18 and flags.MNT.DETACH == m.MNT_DETACH

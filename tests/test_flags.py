"""velkora.flags: every member is the kernel headers' value, and members work
wherever the native modules take an int."""

import re

import velkora.mount as m
from support.headers import FLAG_SOURCES, NEWER, c_name
from velkora import flags


def test_every_member_is_the_headers_value(headers):
    for cls in FLAG_SOURCES:
        for name, member in cls.__members__.items():
            value = headers[c_name(cls, name)]
            if value == "absent":
                assert c_name(cls, name) in NEWER
            else:
                # C's (1 << 31) is a negative int: compare the 32 bits.
                assert (cls.__name__, name, int(member)) == (cls.__name__, name, int(value) % 2**32)


def test_the_uapi_header_has_no_member_we_lack():
    with open("/usr/include/linux/mount.h") as f:
        text = f.read()
    defined = set(
        re.findall(r"^#define\s+((?:MS|MOUNT_ATTR|OPEN_TREE|MOVE_MOUNT|FSOPEN|FSMOUNT|FSPICK)_\w+)", text, re.M)
    )
    # Masks, magic numbers and struct sizes are not flags.
    defined -= {"MS_RMT_MASK", "MS_MGC_VAL", "MS_MGC_MSK", "MOVE_MOUNT__MASK", "MOUNT_ATTR_SIZE_VER0"}
    ours = {c_name(cls, name) for cls in FLAG_SOURCES for name in cls.__members__}
    assert defined - ours == set()


def test_members_are_plain_ints_to_the_native_modules(double):
    reply = double("m.mount('none', '/mnt', flags=__import__('velkora.flags').flags.MS.REC | 1 << 18)")
    assert reply.calls == [("mount", b"none", b"/mnt", b"btrfs", (1 << 14) | (1 << 18), b"")]
    assert flags.MS.PRIVATE == 1 << 18 and flags.MNT.DETACH == m.MNT_DETACH

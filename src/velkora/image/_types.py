"""The partition types of a disk image, as systemd's discoverable
partition type UUIDs name them: what each partition is for (its
designator), for which architecture (root and usr kinds only), where each
is mounted, and which architecture's root this machine prefers; and the
records velkora.image gives of an image's partitions."""

from __future__ import annotations

import os
import sys

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import NamedTuple
else:
    from velkora._base import record as _record

    NamedTuple = object


class Partition(NamedTuple):
    """A partition of an image and what it is for."""

    designator: str  #: "root", "usr", "home", "srv", "var", "tmp", "esp", "xbootldr", "swap", "root-verity", ...
    number: int | None  #: its number in the partition table; None for a bare filesystem
    uuid: str | None  #: the GPT entry's GUID (PARTUUID), lower case; None on an MBR
    label: str | None  #: the GPT entry's name (PARTLABEL)
    fstype: str | None  #: the filesystem found in it, as velkora.blkid names it
    architecture: str | None  #: root, usr and their verity kinds: "x86-64", "arm64", ...
    read_only: bool  #: the GPT read-only flag (bit 60)
    growfs: bool  #: the GPT grow-filesystem flag (bit 59)


class Dissected(NamedTuple):
    """A disk image's partitions, in the order systemd-dissect lists them."""

    path: str
    size: int  #: in bytes
    partitions: tuple[Partition, ...]


if not TYPE_CHECKING:
    Partition = _record(Partition, "velkora.image")  # noqa: F811 - the fields, as a namedtuple
    Dissected = _record(Dissected, "velkora.image")  # noqa: F811 - the fields, as a namedtuple

# Each architecture's root and usr kinds: the type UUIDs of the filesystem,
# its verity hash partition and the hash's signature, as systemd-id128 show
# lists them.
_BY_ARCHITECTURE = """
alpha       root 6523f8ae3eb14e2aa05a18b695ae656f fc56d9e9e6e54c06be32e74407ce09a5 d46495b7a053414f80f7700c99921ef8
alpha       usr  e18cf08c33ec4c0d8246c6c6fb3da024 8cce0d25c0d04a44bd8746331bf1df67 5c6e1c76076a457aa0fef3b4cd21ce6e
arc         root d27f46ed29194cb8bd259531f3c16534 24b2d9750f974521afa1cd531e421b8d 143a70bacbd34f06919f6c05683a78bc
arc         usr  7978a68363164922bbee38bff5a2fecc fca0598cd88045918c164eda05c7347c 94f9a9a19971427aa40050cb297f0f35
arm         root 69dad7102ce44e3cb16c21a1d49abed3 7386cdf2203c47a9a498f2ecce45a2d6 42b0455feb11491d98d356145ba9d037
arm         usr  7d0359a302b34f0a865c654403e70625 c215d7517bcd4649be906627490a4c05 d7ff812f37d14902a810d76ba57b975a
arm64       root b921b0451df041c3af444c6f280d3fae df3300ced69f4c92978c9bfb0f38d820 6db69de629f44758a7a5962190f00ce3
arm64       usr  b0e01050ee5f4390949a9101b17104e9 6e11a4e7fbca4dedb9e9e1a512bb664e c23ce4ff44bd4b00b2d4b41b3419e02a
ia64        root 993d8d3df80e4225855a9daf8ed7ea97 86ed10d5b60745bb8957d350f23d0571 e98b36ee32ba48829b120ce14655f46a
ia64        usr  4301d2a64e3b4b2abb949e0b2c4225ea 6a491e033be745458e3883320e0ea880 8de58bc22a43460db14ea76e4a17b47f
loongarch64 root 77055800792c4f94b39a98c91b762bb6 f3393b22e9af4613a9489d3bfbd0c535 5afb67ebecc84f85ae8eac1e7c50e7d0
loongarch64 usr  e611c702575c4cbe9a46434fa0bf7e3f f46b2c2659ae48f09106c50ed47f673d b024f315d330444c846144bbde524e99
mips        root e94345446e2c47ccbae212d6deafb44c 7a430799f7114c7e8e5b1d685bd48607 bba210a29c5d45ee9e87ff2ccbd002d0
mips        usr  773b2abc2a9943988bf503baac40d02b 6e5a1bc8d22349b7bca837a5fcceb996 97ae158df216497b8057f7f905770f54
mips-le     root 37c58c8ad9134156a25f48b1b64e07f0 d7d150d22a044a338f1216651205ff7b c919cc1f44564eff918cf75e94525ca5
mips-le     usr  0f4868e999524706979f3ed3a473e947 46b98d8db55c4e8faab337fca7f80752 3e23ca0ba4bc4b4e80875ab6a26aa8a9
mips64      root d113af7680ef41b4bdb60cff4d3d4a25 579536f86a334055a95adf2d5e2c42a8 43ce94d40f3d49998250b9deafd98e6e
mips64      usr  57e13958733143658e6e35eeee17c61b 81cf9d9074584df48dcfc8a3a404f09b 05816ce2dd404ac6a61d37d32dc1ba7d
mips64-le   root 700bda437a344507b179eeb93d7a7ca3 16b417f83e064f578dd29b5232f41aa6 904e58ef5c654a319c576af5fc7c5de7
mips64-le   usr  c97c1f32ba0640b49f22236061b08aa8 3c3d61feb5f3414dbb718739a694a4ef f2c2c7eeadcc4351b5c6ee9816b66e16
parisc      root 1aacdb3b54444138bd9ee5c2239b2346 d212a430fbc549f9a983a7feef2b8d0e 15de617065d3431c916eb0dcd8393f25
parisc      usr  dc4a448069174262a4ecdb9384949f25 5843d618ec3748d79f12cea8e08768b2 450dd7d1322445ec9cf2a43a346d71ee
ppc         root 1de3f1effa9847b58dcd4a860a654d78 98cfe649158846dcb2f0add147424925 1b31b5aaadd9463ab2edbd467fc857e7
ppc         usr  7d14fec5cc71415d9d6c06bf0b3c3eaf df765d00270e49e5bc75f47bb2118b09 7007891dd3714a8086a45cb875b9302e
ppc64       root 912ade1da83949138964a10eee08fbd2 9225a9a33c194d89b4f6eeff88f17631 f5e2c20c45b24ffabce92a60737e1aaf
ppc64       usr  2c9739e2f06846b39fd001c5a9afbcca bdb528a5a259475fa87dda53fa736a07 0b888863d7f84d9e9766239fce4d58af
ppc64-le    root c31c45e63f39412e80fb4809c4980599 906bd94445894aaea4e4dd983917446a d4a236e7e8734c07bf1dbf6cf7f1c3c6
ppc64-le    usr  15bb03af77e74d4ab12bc0d084f7491c ee2b998321e8415386d9b6901a54d1ce c8bfbd1e268e45218bbabf314c399557
riscv32     root 60d5a7fe8e7d435cb7143dd8162144e1 ae0253be11674007ac6843926c14c5de 3a112a7587294380b4cf764d79934448
riscv32     usr  b933fb225c3f4f91af90e2bb0fa50702 cb1ee4e38cd04136a0a4aa61a32e8730 c3836a13313745bab583b16c50fe5eb4
riscv64     root 72ec70a6cf7440e6bd494bda08e8f224 b6ed5582440b4209b8da5ff7c419ea3d efe0f087ea8d4469821a4c2a96a8386a
riscv64     usr  beaec34b8442439ba40b984381ed097d 8f1056be9b0547c481d6be53128e5b54 d2f9000a7a18453fb5cd4d32f77a7b32
s390        root 08a7acea624c4a2091e86e0fa67d23f9 7ac63b47b25c463b8df8b4a94e6c90e1 3482388e4254435aa241766a065f9960
s390        usr  cd0f869bd0fb4ca0b1419ea87cc78d66 b663c618e7bc4d6d90aa11b756bb1797 17440e4fa8d0467fa46e3912ae6ef2c5
s390x       root 5eead9a9fe094a1ea1d7520d00531306 b325bfbec7be4ab88357139e652d2f6b c80187a573a3491a901a017c3fa953e9
s390x       usr  8a4f577050aa4ed3874a99b710db6fea 31741cc41a2a4111a581e00b447d2d06 3f324816667b46ae86ee9b0c0c6c11b4
tilegx      root c50cdd7038624cc390e1809a8c93ee2c 966061ec28e44b2eb4a51f0a825a1d84 b367143997b04a5390f72d5a8f3ad47b
tilegx      usr  55497029c7c144ccaa39815ed1558630 2fb4bf5607fa42da81326b139f2026ae 4ede75e26ccc4cc8b9c770334b087510
x86         root 44479540f29741b29af7d131d5f0458a d13c5d3bb5d1422ab29f9454fdc89d76 5996fc05109c48de808b23fa0830b676
x86         usr  75250d768cc6458ebd66bd47cc81a812 8f461b0d14ee4e819aa9049b6fb97abd 974a71c0de4143c3be5d5c5ccd1ad2c0
x86-64      root 4f68bce3e8cd4db196e7fbcaf984b709 2c7357edebd246d9aec123d437ec2bf5 41092b059fc84523994f2def0408b176
x86-64      usr  8484680c952148c69c11b0720656f69e 77ff5f63e7b64633acf41565b864c0e6 e7bb33fb06cf4e818273e543b413e2e2
"""

# The types of no architecture.
_COMMON = {
    "c12a7328-f81f-11d2-ba4b-00a0c93ec93b": "esp",
    "bc13c2ff-59e6-4262-a352-b275fd6f7172": "xbootldr",
    "0657fd6d-a4ab-43c4-84e5-0933c84b4f4f": "swap",
    "933ac7e1-2eb4-4f13-b844-0e14e2aef915": "home",
    "3b8f8425-20e0-4f3b-907f-1a25a76f98e8": "srv",
    "4d21b016-b534-45c2-a9fb-5c16e091fd2d": "var",
    "7ec6f557-3bc5-4aca-b293-16ef5df639d1": "tmp",
}

#: A Linux filesystem of no kind: the root where it is the image's only one.
LINUX_GENERIC = "0fc63daf-8483-4772-8e79-3d69d8477de4"


def _dashed(h: str) -> str:
    return f"{h[:8]}-{h[8:12]}-{h[12:16]}-{h[16:20]}-{h[20:]}"


def _table() -> dict[str, tuple[str, str | None]]:
    found: dict[str, tuple[str, str | None]] = {uuid: (name, None) for uuid, name in _COMMON.items()}
    for line in _BY_ARCHITECTURE.split("\n"):
        if line:
            architecture, base, *uuids = line.split()
            for suffix, uuid in zip(("", "-verity", "-verity-sig"), uuids):
                found[_dashed(uuid)] = (base + suffix, architecture)
    return found


#: GPT type UUID (lower case, as velkora.blkid gives it): (designator, architecture or None).
TYPES = _table()

#: The designators in the order systemd-dissect lists them.
DESIGNATORS = ("root", "usr", "home", "srv", "esp", "xbootldr", "swap", "root-verity", "usr-verity",
               "root-verity-sig", "usr-verity-sig", "tmp", "var")  # fmt: skip

#: Where each designator's partition is mounted, relative to the root (the
#: ESP's place is decided at mount time: /efi or /boot).
PLACES = {"usr": "/usr", "home": "/home", "srv": "/srv", "var": "/var", "tmp": "/var/tmp", "xbootldr": "/boot"}

# MBR types: a Linux filesystem (the root where it is the one marked
# bootable) and the boot loaders' extended boot partition (XBOOTLDR).
MBR_LINUX, MBR_XBOOTLDR = "0x83", "0xea"

# uname's machine names of architectures the table calls otherwise.
_MACHINES = {"x86_64": "x86-64", "aarch64": "arm64", "ppc64le": "ppc64-le", "loongarch64": "loongarch64"}
# What each 64-bit architecture runs 32-bit programs as, and its second choice.
_NARROW = {"x86-64": "x86", "arm64": "arm", "ppc64": "ppc", "s390x": "s390", "mips64": "mips", "mips64-le": "mips-le",
           "riscv64": "riscv32"}  # fmt: skip
_SECONDARY = {"x86-64": "x86", "arm64": "arm"}


def native(machine: str | None = None) -> str | None:
    """The architecture of this machine's programs (as systemd names it),
    None where the table has none of that name."""
    machine = machine or os.uname().machine
    if machine.startswith(("i386", "i486", "i586", "i686")):
        name = "x86"
    elif machine.startswith("arm") and not machine.startswith("arm64"):
        name = "arm"
    elif machine in ("mips", "mips64"):
        name = machine + ("-le" if sys.byteorder == "little" else "")
    else:
        name = _MACHINES.get(machine, machine)
    if sys.maxsize < 1 << 32:
        name = _NARROW.get(name, name)
    return name if name in _ARCHITECTURES else None


_ARCHITECTURES = frozenset(architecture for _, architecture in TYPES.values() if architecture)


def preferred() -> tuple[str, ...]:
    """The architectures whose root this machine takes, first choice first:
    its own, then the one its programs also run as (x86 on x86-64)."""
    first = native()
    if first is None:
        return ()
    second = _SECONDARY.get(first)
    return (first, second) if second else (first,)

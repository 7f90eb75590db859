"""velkora.fstab.verify against findmnt --verify: the same problems, with
its words, for the whole file; and velkora's own checks."""

import errno
import os
import subprocess

import pytest

from support.findmnt import commented, findmnt_verify
from velkora import fstab, loop

# velkora's own checks, which findmnt does not make; and findmnt's check of a
# type it takes to be unsupported, which it makes for some names and not
# others (ext9, not nosuchfs) by rules velkora does not follow.
OWN = ("target is not an absolute path", "filesystem type unknown to the kernel", "tmpfs does not take")


@pytest.mark.images
def test_verify_finds_what_findmnt_finds(tmp_path):
    for name in ("mnt/a/b", "notdir"):
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
    (tmp_path / "mnt/a/b").mkdir()
    (tmp_path / "notdir").touch()
    image, zero = tmp_path / "ext4.img", tmp_path / "zero.img"
    for path in (image, zero):
        with open(path, "wb") as f:
            f.truncate(8 << 20)
    subprocess.run(["mkfs.ext4", "-q", str(image)], check=True)
    text = f"""# a child before its parents, the same target twice, missing things
UUID=00000000-1111-2222-3333-444444444444 {tmp_path}/mnt/a ext4 defaults 0 1
LABEL=nolabel {tmp_path}/mnt/a/b xfs defaults 0 2
/dev/nonexist {tmp_path}/mnt/a/b ext4 nofail 0 2
tmpfs {tmp_path}/missing tmpfs defaults 0 0
tmpfs {tmp_path}/notdir tmpfs size=1m,noexce 0 0
broken
{image} {tmp_path}/mnt xfs defaults 0 0
{image} {tmp_path}/mnt auto defaults 0 0
{zero} {tmp_path}/mnt/a nosuchfs defaults 0 0
{tmp_path}/mnt {tmp_path}/mnt/a/b none bind 0 0
{tmp_path} {tmp_path}/mnt/a/b ext4 defaults 0 0
tmpfs {tmp_path}/mnt tmpfs defaults x 0
{image} / ext4 defaults 0 0
/dev/null none swap sw 0 0
proc {tmp_path}/mnt proc defaults 0 0
"""
    path = tmp_path / "fstab"
    path.write_text(text)
    problems = fstab.verify(fstab.read(path))
    # findmnt 2.38 names each line it cannot parse, 2.41 the first and then
    # dies of SIGSEGV: it checks a copy with those lines made comments.
    parsed = [p.line for p in problems if p.target is None]
    assert parsed == [7, 13] and findmnt_verify(path)[1] in (parsed, parsed[:1])
    kept = tmp_path / "kept"
    kept.write_text("".join("#" + line if n in parsed else line for n, line in enumerate(text.splitlines(True), 1)))
    ours = [(p.target, p.level, p.message) for p in problems if p.target is not None and not p.message.startswith(OWN)]
    theirs, _ = findmnt_verify(kept)
    # A type the device does not hold: an error to util-linux 2.38 and to
    # velkora (the mount would fail), a warning to 2.41.
    theirs = [(t, "error" if "does not match with on-disk" in m else level, m) for t, level, m in theirs]
    assert ours == theirs
    own = {(p.line, p.message) for p in problems if p.message.startswith(OWN)}
    assert own == {
        (6, "tmpfs does not take the option 'noexce'"),
        (10, "filesystem type unknown to the kernel: nosuchfs"),
    }
    assert {p.line for p in problems if p.message.startswith("wrong order")} == {2, 3, 4, 10, 11, 12}


# -- verify, against findmnt --verify on the whole file ------------------------


@pytest.mark.blockdev
def test_verify_checks_the_type_behind_every_kind_of_tag(tmp_path):
    image = tmp_path / "gpt.img"
    tag = f"vk{os.getpid()}"
    with open(image, "wb") as f:
        f.truncate(12 << 20)
    subprocess.run(["sfdisk", "-q", str(image)], input=f'label: gpt\nsize=8M, name="{tag}"\n', text=True, check=True)
    with loop.attach(image, partscan=True) as disk:
        part = f"{disk.path}p1"
        subprocess.run(["mkfs.ext4", "-q", "-L", tag, part], check=True)

        def value(key):
            out = subprocess.run(["blkid", "-p", "-s", key, "-o", "value", part], capture_output=True, text=True)
            return out.stdout.strip()

        sources = [f"UUID={value('UUID')}", f"LABEL={tag}", f"PARTUUID={value('PART_ENTRY_UUID')}",
                   f"PARTLABEL={tag}"]  # fmt: skip
        lines = [f"{source} {tmp_path} xfs defaults 0 0\n" for source in sources]
        # A bind that gives a real type is checked as findmnt checks it; one of type none is not.
        lines += [f"LABEL={tag} {tmp_path} btrfs bind 0 0\n", f"LABEL={tag} {tmp_path} none bind 0 0\n"]
        # Lines findmnt passes over and velkora must report: too few fields, a NUL.
        lines += ["broken\n", f"tmpfs {tmp_path}\0 tmpfs defaults 0 0\n", f"a {tmp_path} ext4 d 0\n"]
        path = tmp_path / "fstab"
        path.write_bytes("".join(lines).encode())
        theirs, parse = findmnt_verify(path)
        if parse == [7]:  # findmnt 2.41 dies at its first parse error: each on a copy without those before
            parse += findmnt_verify(commented(path, [7]))[1]
            theirs = findmnt_verify(commented(path, [7, 8]))[0]
        problems = fstab.verify(fstab.read(path))
    mismatch = [(p.line, p.level) for p in problems if "does not match with on-disk ext4" in p.message]
    assert mismatch == [(n, "error") for n in (1, 2, 3, 4, 5)]
    assert len([t for t in theirs if "does not match with on-disk ext4" in t[2]]) == 5
    assert [p.line for p in problems if p.target is None] == parse == [7, 8]


def test_verify_names_every_device_of_a_tag_two_filesystems_hold(tmp_path, monkeypatch):
    from velkora import blkid

    def resolve(tag):
        raise OSError(errno.ENOTUNIQ, "held by more than one filesystem: /dev/loop7, /dev/sda2", tag)

    monkeypatch.setattr(blkid, "resolve", resolve)
    found = fstab.verify(fstab.parse(f"LABEL=twice {tmp_path} ext4 defaults 0 2\n"))
    assert [(p.level, p.message) for p in found] == [
        ("error", "LABEL=twice is held by more than one filesystem: /dev/loop7, /dev/sda2")
    ]


@pytest.mark.parametrize("exists", [False, True])
def test_verify_reports_a_relative_target(tmp_path, monkeypatch, exists):
    # Relative to nothing at boot: an error even where the caller's working
    # directory happens to hold it (findmnt then warns that it is not canonical).
    monkeypatch.chdir(tmp_path)
    if exists:
        (tmp_path / "relative/dir").mkdir(parents=True)
    path = tmp_path / "fstab"
    path.write_text("tmpfs relative/dir tmpfs defaults 0 0\n")
    ours = [(p.target, p.level, p.message) for p in fstab.verify(fstab.read(path))]
    assert ours == [("relative/dir", "error", "target is not an absolute path")]
    level = {level for _, level, _ in findmnt_verify(path)[0]}
    assert level == ({"warning"} if exists else {"error"})


def test_verify_follows_targets_as_findmnt_does(tmp_path):
    # /var/run -> /run in every Debian, Ubuntu and Fedora image: entries for
    # both are one target, and the link is no canonical path.
    (tmp_path / "run").mkdir()
    (tmp_path / "var").mkdir()
    os.symlink("../run", tmp_path / "var/run")
    targets = ["run/", "var/run", "run//", "var/../run", "./run"]
    path = tmp_path / "fstab"
    path.write_text("".join(f"tmpfs {tmp_path}/{t} tmpfs defaults 0 0\n" for t in targets))
    ours = [(p.target, p.level, p.message) for p in fstab.verify(fstab.read(path))]
    assert ours == findmnt_verify(path)[0] and len(ours) == 15


def test_verify_checks_sources_by_type_as_findmnt_does(tmp_path):
    # A network or pseudo type is not checked, whatever its source; any
    # other is, a path with a ":" or "//" in it too.
    lines = [("/dev/no:such", "ext4"), ("u@h:/", "ext4"), ("u@h:/", "fuse.sshfs"), ("sshfs#u@h:/", "fuse"),
             ("//srv/share", "cifs"), ("foo=bar", "xfs"), ("/x/y", "ext4"), ("/dev/null", "fuseblk")]  # fmt: skip
    path = tmp_path / "fstab"
    path.write_text("".join(f"{source} {tmp_path}/{n} {fstype} defaults 0 0\n" for n, (source, fstype) in
                            enumerate(lines)))  # fmt: skip
    for n in range(len(lines)):
        (tmp_path / str(n)).mkdir()
    ours = [(p.target, p.level, p.message) for p in fstab.verify(fstab.read(path)) if not p.message.startswith(OWN)]
    theirs = [t for t in findmnt_verify(path)[0] if "seems unsupported" not in t[2]]
    assert ours == theirs and len(ours) == 10


@pytest.mark.blockdev
def test_verify_in_a_root_checks_the_machines_devices_as_mount_all_takes_them(tmp_path):
    image, root = tmp_path / "x.img", tmp_path / "root"
    (root / "mnt").mkdir(parents=True)
    with open(image, "wb") as f:
        f.truncate(4 << 20)
    subprocess.run(["mkfs.ext4", "-q", str(image)], check=True)
    with loop.attach(image) as device:
        path = tmp_path / "fstab"
        path.write_text(f"{device.path} /mnt xfs defaults 0 0\n")  # a /dev the root does not have
        theirs, _ = findmnt_verify(path)
        problems = fstab.verify(fstab.read(path), root=str(root))
    assert [t[2] for t in theirs if "on-disk" in t[2]] == ["xfs does not match with on-disk ext4"]
    assert [p.message for p in problems if "source" in p.message or "on-disk" in p.message] == [
        "xfs does not match with on-disk ext4"]  # fmt: skip

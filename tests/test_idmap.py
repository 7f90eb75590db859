"""Idmapped mounts asked for with X-mount.idmap= (mounted(), the command's
-o and --map-users/--map-groups, fstab entries): what they show equal to
what the kernel shows for the same maps made by hand; refusals that leave
nothing mounted."""

from __future__ import annotations

import errno
import os
import shutil
import subprocess
import time
from contextlib import contextmanager

import pytest

import velkora
import velkora.fsmount as fs
from support.command import velkora_
from support.mountinfo import mounts
from support.namespace import unavailable
from velkora import _idmap, _idmount, fstab
from velkora.options import parse

# Ids files are made with on disk (uid, gid): mapped by some maps below, not by others.
OWNERS = [(0, 0), (5, 7), (1000, 1000), (1001, 1002), (100000, 100005), (65534, 65534)]
MAPS = [
    "u:1000:0:1 g:1000:0:1",  # the issue's: uid 1000 on disk shows as 0
    "b:0:100000:65536",
    "u:1000:0:1 u:0:1000:1 g:5:70:3 g:1000:1000:3",  # swapped, and several lines
    "u:5:6:1000",  # no gid map: every gid unmapped
]


@contextmanager
def by_hand(text):
    """A process in a new user namespace with text's maps (None: none),
    written to its /proc/PID/uid_map and gid_map by hand: its pid."""
    given = _idmap.parse(text) if text else ((), ())
    uids, gids = (lines or [(0, 0, 0xFFFFFFFF)] for lines in given)  # a kind not given: as it is
    child = subprocess.Popen(["unshare", "--user", "--", "sh", "-c", "read line"], stdin=subprocess.PIPE)
    try:
        ours, deadline = os.readlink("/proc/self/ns/user"), time.monotonic() + 10
        while os.readlink(f"/proc/{child.pid}/ns/user") == ours:
            assert time.monotonic() < deadline, "the child never entered its user namespace"
            time.sleep(0.005)
        for kind, lines in (("uid", uids), ("gid", gids)) if text else ():
            with open(f"/proc/{child.pid}/{kind}_map", "w") as f:
                f.write("".join("{} {} {}\n".format(*line) for line in lines))
        yield child.pid
    finally:
        child.communicate(b"\n", timeout=10)


def idmapped_by_hand(source, target, pid):
    """The kernel's idmapped bind, with fsmount's calls alone."""
    userns = os.open(f"/proc/{pid}/ns/user", os.O_RDONLY | os.O_CLOEXEC)
    tree = fs.open_tree(fs.AT_FDCWD, str(source), fs.OPEN_TREE_CLONE)
    try:
        fs.mount_setattr(tree, "", fs.AT_EMPTY_PATH, attr_set=fs.MOUNT_ATTR_IDMAP, userns_fd=userns)
        fs.move_mount(tree, "", fs.AT_FDCWD, str(target), fs.MOVE_MOUNT_F_EMPTY_PATH)
    finally:
        os.close(tree)
        os.close(userns)


def owners(where):
    return {name: (s.st_uid, s.st_gid) for name in sorted(os.listdir(where)) for s in [os.lstat(where / name)]}


def seen_both_ways(view, disk):
    """Owners seen through view, then what a chown and a new file through
    it (as root) put on disk, or the errno the kernel refused them with."""
    seen = owners(view)
    written = []
    for uid, gid in [(0, 0), (1000, 1000), (70, 71)]:
        try:
            os.chown(view / "f0_0", uid, gid)
            written.append(os.stat(disk / "f0_0")[4:6])
        except OSError as e:
            written.append(e.errno)
    try:
        (view / "new").write_text("")
        written.append(os.stat(disk / "new")[4:6])
        os.unlink(view / "new")
    except OSError as e:
        written.append(e.errno)
    os.chown(disk / "f0_0", 0, 0)
    return seen, written


@pytest.fixture(params=["tmpfs", pytest.param("ext4", marks=[pytest.mark.blockdev, pytest.mark.images]),
                        pytest.param("btrfs", marks=pytest.mark.blockdev)])  # fmt: skip
def disk(request, place, tmp_path_factory):
    """A directory of a filesystem of the type asked for, with a file for
    each of OWNERS."""
    where = place / "disk"
    where.mkdir()
    if request.param == "tmpfs":
        velkora.mounted("tmpfs", where, "tmpfs").__enter__()
    elif request.param == "ext4":
        if shutil.which("mkfs.ext4") is None:
            unavailable("mkfs.ext4 not found (Debian: e2fsprogs)")
        image = tmp_path_factory.mktemp("ext4") / "ext4.img"
        with open(image, "wb") as f:
            f.truncate(8 << 20)
        subprocess.run(["mkfs.ext4", "-q", str(image)], check=True)
        velkora.mounted(image, where).__enter__()
    else:
        device = request.getfixturevalue("btrfs_device")
        velkora.mounted(device, where, options="subvol=/").__enter__()
        where = where / f"idmap-{os.getpid()}"
        shutil.rmtree(where, ignore_errors=True)
        where.mkdir()
        request.addfinalizer(lambda: shutil.rmtree(where))
    for uid, gid in OWNERS:
        (where / f"f{uid}_{gid}").write_text("")
        os.chown(where / f"f{uid}_{gid}", uid, gid)
    os.chmod(where, 0o777)
    return where


@pytest.mark.userns
@pytest.mark.parametrize("text", MAPS)
def test_owners_through_an_idmapped_bind_are_the_kernels(disk, place, text):
    hand, by_text, by_path = (place / name for name in ("hand", "text", "path"))
    for target in (hand, by_text, by_path):
        target.mkdir()
    with by_hand(text) as pid:
        idmapped_by_hand(disk, hand, pid)
        expected = seen_both_ways(hand, disk)
        assert expected[0] != owners(disk)  # the maps change what is seen
        for target, value in ((by_text, text), (by_path, f"/proc/{pid}/ns/user")):
            with velkora.mounted(disk, target, options=f"bind,nosuid,X-mount.idmap={value}"):
                assert seen_both_ways(target, disk) == expected
                found = [m for m in mounts() if m["target"] == str(target)]
                assert len(found) == 1 and {"nosuid", "idmapped"} <= found[0]["options"]
            assert not os.path.ismount(target)


def test_options_keep_and_check_the_word():
    assert parse('bind,X-mount.idmap="u:1:2:3 g:4:5:6",ro').userspace == ('X-mount.idmap="u:1:2:3 g:4:5:6"',)
    assert parse("X-mount.idmap=/proc/1/ns/user").data == ""
    for bad in ["X-mount.idmap=", "X-mount.idmap=u:1:2", "X-mount.idmap=u:0:0:10 u:5:100:1", "X-mount.idmap=proc/1"]:
        with pytest.raises(ValueError, match="X-mount.idmap"):
            parse(f"bind,{bad}")


@pytest.mark.userns
def test_a_namespace_path_whose_pid_went_to_another(place, monkeypatch):
    # The namespace opened at /proc/PID/ns/user is the one judged: here the
    # pid is another's (a process without maps) once it has been opened.
    (place / "source").mkdir()
    (place / "view").mkdir()
    with by_hand("b:0:4000:10") as pid, by_hand(None) as newcomer:
        path, real_open = f"/proc/{newcomer}/ns/user", os.open
        was = f"/proc/{pid}/ns/user"  # what path was as it was opened
        monkeypatch.setattr(_idmount.os, "open", lambda name, *a: real_open(was if name == path else name, *a))
        with velkora.mounted(place / "source", place / "view", options=f"bind,X-mount.idmap={path}"):
            assert os.stat(place / "view")[4:6] == (4000, 4000)


def _tree_below(path):
    return [m for m in mounts() if m["target"] == str(path) or m["target"].startswith(f"{path}/")]


@pytest.mark.userns
def test_rbind_idmaps_every_mount_and_refusals_leave_nothing(place):
    top, view = place / "top", place / "view"
    top.mkdir()
    view.mkdir()
    velkora.mounted("tmpfs", top, "tmpfs").__enter__()
    (top / "sub").mkdir()
    with velkora.mounted("tmpfs", top / "sub", "tmpfs"), by_hand("b:0:4000:10") as pid:
        (top / "sub" / "f").write_text("")
        ns = f"X-mount.idmap=/proc/{pid}/ns/user"
        with velkora.mounted(top, view, options=f"rbind,{ns}"):
            assert os.stat(view / "sub" / "f")[4:6] == (4000, 4000)  # the submount is idmapped too
            assert os.stat(view)[4:6] == (4000, 4000)
        with velkora.mounted("tmpfs", view, "tmpfs", options="ro,size=1m,mode=0750,X-mount.idmap=b:0:4000:10"):
            assert os.stat(view)[4:6] == (4000, 4000) and os.stat(view).st_mode & 0o7777 == 0o750
            assert os.statvfs(view).f_flag & os.ST_RDONLY
        assert _tree_below(view) == []
        before = mounts()
        (top / "proc").mkdir()
        with velkora.mounted("proc", top / "proc", "proc"):
            refusals = [
                (top / "proc", "bind", errno.EINVAL, "proc: filesystem does not support idmapped mounts"),
                (top, "rbind", errno.EINVAL, "proc: filesystem does not support idmapped mounts"),
                ("proc", "", errno.EINVAL, "proc: filesystem does not support idmapped mounts"),
                ("/sys", "bind", errno.EINVAL, "sysfs: filesystem does not support idmapped mounts"),
                (top / "sub", "bind,X-mount.idmap=/proc/self/ns/mnt", errno.EINVAL, "not a user namespace"),
            ]
            if os.stat("/proc/self/ns/user").st_ino == 0xEFFFFFFD:  # ours is the initial one, which maps nothing
                refusals.append((top / "sub", "bind,X-mount.idmap=/proc/self/ns/user", errno.EPERM, "initial user"))
            (place / "idmapped").mkdir()
            with velkora.mounted(top / "sub", place / "idmapped", options=f"bind,{ns}"), by_hand(None) as unmapped:
                no_map = f"bind,X-mount.idmap=/proc/{unmapped}/ns/user"
                refusals.append((top / "sub", no_map, errno.EINVAL, "the user namespace has no uid map"))
                idmapped = place / "idmapped"
                refusals.append((idmapped, "bind", errno.EPERM, f"{idmapped} is an idmapped mount already"))
                during = mounts()
                for source, words, code, reason in refusals:
                    options = words if "X-mount.idmap" in words else ",".join(w for w in (words, ns) if w)
                    with pytest.raises(OSError) as refused:
                        velkora.mounted(source, view, "proc" if source == "proc" else "", options=options).__enter__()
                    named = words.partition("=")[2] or str(view)  # the target, or the namespace's path
                    assert (refused.value.errno, refused.value.filename) == (code, named), reason
                    assert reason in refused.value.strerror
                    assert mounts() == during
        assert mounts() == before and _tree_below(view) == []


def test_the_command_composes_the_word_as_mount8():
    from velkora.cli._common import UsageError
    from velkora.cli._mount import _idmap_option

    assert _idmap_option(["1000:0:1", "5:6:7"], ["1:2:3"]) == 'X-mount.idmap="u:1000:0:1 u:5:6:7 g:1:2:3"'
    assert _idmap_option(["/proc/9/ns/user"], ["/proc/9/ns/user"]) == "X-mount.idmap=/proc/9/ns/user"
    # A path with a comma quoted, as the options' separator (one with a quote cannot be written).
    assert _idmap_option(["/run/ns,1"], None) == 'X-mount.idmap="/run/ns,1"'
    for users, groups in [(["/proc/9/ns/user"], ["1:2:3"]), (["/a"], ["/b"]), (["1:2"], None), (['/a"b'], None)]:
        with pytest.raises(UsageError):
            _idmap_option(users, groups)


@pytest.mark.userns
def test_the_command_and_fstab_mount_what_the_option_mounts(place):
    source, by_option, inside = place / "source", place / "option", place / "root" / "outside"
    for d in (source, by_option, place / "command", place / "root" / "mnt" / "view", inside):
        d.mkdir(parents=True)
    for uid in (0, 1000, 1001):
        for d in (source, inside):
            (d / f"f{uid}").write_text("")
            os.chown(d / f"f{uid}", uid, uid + 1)
    text = "u:1000:0:2 g:1001:7:1"
    with velkora.mounted(source, by_option, options=f'bind,X-mount.idmap="{text}"'):
        expected = owners(by_option)
    assert expected == {"f0": (65534, 65534), "f1000": (0, 7), "f1001": (1, 65534)}
    command = place / "command"
    with by_hand(text) as pid:
        ns = f"/proc/{pid}/ns/user"
        for args in (["--map-users", "1000:0:2", "--map-groups", "1001:7:1"], ["--map-users", ns],
                     ["-o", f"X-mount.idmap={ns}"]):  # fmt: skip
            velkora_("mount", "--bind", *args, source, command)
            assert owners(command) == expected
            velkora_("umount", command)
        run = velkora_("mount", "--move", "--map-users", "1:2:3", source, command, check=False)
        assert run.returncode == 2 and "--move" in run.stderr
        escaped = text.replace(" ", "\\040")
        for word in (f"X-mount.idmap={escaped}", f"X-mount.idmap=/proc/{pid}/ns/user"):
            table = fstab.parse(f"{source} {by_option} none bind,{word} 0 0\n")
            with fstab.mount_all(table):
                assert owners(by_option) == expected
            table = fstab.parse(f"/outside /mnt/view none bind,ro,{word} 0 0\n")
            with fstab.mount_all(table, root=str(place / "root")) as done:
                assert owners(place / "root" / "mnt" / "view") == expected
                assert [e.target for e in done.mounted] == [str(place / "root" / "mnt" / "view")]
        assert _tree_below(place) == []


@pytest.mark.userns
def test_recipe_a_host_directory_seen_with_the_namespaces_ids(place):
    # The recipe of docs/recipes.rst: an image tree owned by a subordinate
    # range, a host directory bound into it idmapped with the namespace
    # that runs the image, so that its users write files the host's same
    # users own.
    image, shared = place / "image", place / "shared"
    (image / "work").mkdir(parents=True)
    shared.mkdir()
    for d in (image, image / "work"):
        os.chown(d, 100000, 100000)
    os.chown(shared, 1000, 1000)
    with by_hand("b:0:100000:65536") as pid:
        with velkora.mounted(shared, image / "work", options=f"bind,X-mount.idmap=/proc/{pid}/ns/user"):
            inside = subprocess.run(
                ["nsenter", "--user", f"--target={pid}", "--setuid=1000", "--setgid=1000", f"--wd={image / 'work'}",
                 "sh", "-c", "echo made > file && stat -c %u:%g . file"],
                capture_output=True, text=True, check=True)  # fmt: skip
    assert inside.stdout.split() == ["1000:1000", "1000:1000"]  # the namespace's 1000 owns it ...
    assert os.stat(shared / "file")[4:6] == (1000, 1000)  # ... as the host's 1000 does
    assert (shared / "file").read_text() == "made\n"

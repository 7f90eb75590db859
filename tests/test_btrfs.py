"""velkora.btrfs against btrfs-progs (``btrfs subvolume list/show/get-default``,
``btrfs property get ro``), the mount table and the kernel, on one copy of
the session's Btrfs image, mounted for the module."""

from __future__ import annotations

import datetime
import errno
import json
import os
import re
import stat
import subprocess
import sys
import tempfile

import pytest

from support import PROGRAMS
from support.loops import btrfs_copy
from velkora import btrfs, loop
from velkora.btrfs import _top as _btrfs_top

# Every test here mounts a copy of the session's Btrfs image through a
# loop device (a block device, refused in a user namespace).
pytestmark = pytest.mark.blockdev

AS_USER = os.path.join(PROGRAMS, "as_user.py")


def _btrfs(*args: str) -> str:
    run = subprocess.run(["btrfs", *args], check=True, capture_output=True)
    return run.stdout.decode("utf-8", "surrogateescape")  # names as os.fsdecode gives them


@pytest.fixture(scope="module")
def fs(btrfs_master, tmp_path_factory):
    """The top level of a copy of the session's image, mounted at a
    directory any user may search."""
    image = btrfs_copy(btrfs_master, tmp_path_factory.mktemp("subvolumes") / "btrfs.img")
    top = tempfile.mkdtemp(prefix=f"vk-btrfs-{os.getpid()}-")
    os.chmod(top, 0o755)
    with loop.attach(image) as attached:
        subprocess.run(["mount", "-t", "btrfs", attached.path, top], check=True)
        try:
            yield top
        finally:
            subprocess.run(["umount", "-R", top], check=True)
            os.rmdir(top)


def listed(top: str) -> dict[int, dict[str, str]]:
    """btrfs subvolume list -a -p -c -g -u -q -R, by id."""
    rows = {}
    for line in _btrfs("subvolume", "list", "-a", "-p", "-c", "-g", "-u", "-q", "-R", top).splitlines():
        fields = re.match(
            r"ID (\d+) gen (\d+) cgen (\d+) parent (\d+) top level (\d+) parent_uuid (\S+) +"
            r"received_uuid (\S+) +uuid (\S+) path (.*)$",
            line,
        )
        assert fields, line
        keys = ("id", "gen", "cgen", "parent", "top", "parent_uuid", "received_uuid", "uuid", "path")
        row = dict(zip(keys, fields.groups()))
        row["path"] = re.sub(r"^<FS_TREE>/", "", row["path"])
        rows[int(row["id"])] = row
    return rows


def kept(rows: dict[int, dict[str, str]]) -> dict[int, str]:
    """What a listing says is there, each subvolume's path by id: its
    generation moves whenever a transaction that touched it commits, which
    may be after the listing it is compared with."""
    return {id_: row["path"] for id_, row in rows.items()}


def as_progs(s: btrfs.Subvolume) -> dict[str, str]:
    """A record as btrfs subvolume list prints it."""
    return {"id": str(s.id), "gen": str(s.generation), "cgen": str(s.otransid), "parent": str(s.parent_id),
            "top": str(s.parent_id), "parent_uuid": s.parent_uuid or "-", "received_uuid": s.received_uuid or "-",
            "uuid": s.uuid or "", "path": s.path}  # fmt: skip


def shown(path: str) -> dict[str, str]:
    """btrfs subvolume show's fields."""
    out = _btrfs("subvolume", "show", path).splitlines()
    return {k.strip(): v.strip() for k, _, v in (line.partition(":") for line in out[1:]) if v.strip()}


def ro(path: str) -> bool:
    return _btrfs("property", "get", "-t", "subvol", path, "ro").strip() == "ro=true"


@pytest.fixture(scope="module")
def tree(fs):
    """A layout with nesting, a read-only snapshot, a subvolume moved below
    one made after it (a lower id than its parent), names that share a
    prefix, a space, and a byte that is no UTF-8."""
    for name in ("@", "@home", "@/var/lib/machines", "moved", "@x", "with space"):
        os.makedirs(os.path.dirname(f"{fs}/{name}"), exist_ok=True)
        subprocess.run(["btrfs", "-q", "subvolume", "create", f"{fs}/{name}"], check=True)
    os.rename(f"{fs}/moved", f"{fs}/@x/moved")
    subprocess.run(["btrfs", "-q", "subvolume", "create", os.fsencode(fs) + b"/@x/caf\xe9"], check=True)
    subprocess.run(["btrfs", "-q", "subvolume", "snapshot", "-r", f"{fs}/@", f"{fs}/@snap"], check=True)
    return fs


def test_listing_as_btrfs_progs_lists(tree):
    subs = btrfs.subvolumes(tree)
    assert [s.id for s in subs] == sorted(s.id for s in subs)
    assert {s.id: as_progs(s) for s in subs} == listed(tree)
    by_path = {s.path: s for s in subs}
    assert by_path["@x/moved"].id < by_path["@x"].id  # the parent came later
    for s in subs:
        show = shown(os.path.join(tree, s.path))
        assert (show["Subvolume ID"], show["Parent ID"], show["Generation"], show["Gen at creation"]) == (
            str(s.id), str(s.parent_id), str(s.generation), str(s.otransid))  # fmt: skip
        assert (show["Flags"] == "readonly") == s.read_only == ro(os.path.join(tree, s.path))
        made = datetime.datetime.strptime(show["Creation time"], "%Y-%m-%d %H:%M:%S %z").timestamp()
        assert s.otime is not None and int(s.otime) == made  # btrfs-progs prints whole seconds
        assert btrfs.info(os.path.join(tree, s.path, ".")) == s


@pytest.mark.parametrize(
    ("at", "expected"),
    [
        ("@", {"@/var/lib/machines"}),  # not @home, @x or @snap: by the tree, not by the name
        ("@/var", {"@/var/lib/machines"}),  # the subvolume holding the path
        ("@x", {"@x/moved", "@x/caf\udce9"}),
        ("@home", set()),
    ],
)
def test_below_is_by_the_tree(tree, at, expected):
    ids = {int(row["id"]) for row in listed(tree).values() if row["path"] in expected}
    assert {s.id for s in btrfs.subvolumes(f"{tree}/{at}", below=True)} == ids


@pytest.mark.parametrize(
    ("at", "expected"),
    [("@", True), ("@/var", False), ("@snap", True), ("", True), ("/proc", False), ("/tmp", False)],
)
def test_is_subvolume(tree, at, expected):
    assert btrfs.is_subvolume(os.path.join(tree, at)) is expected


def test_not_on_btrfs_and_missing_paths(tree):
    with pytest.raises(FileNotFoundError) as missing:
        btrfs.is_subvolume(f"{tree}/nothing")
    assert missing.value.filename == f"{tree}/nothing"
    for call in (btrfs.info, btrfs.subvolumes, btrfs.create):
        with pytest.raises(OSError) as e:
            call("/proc/self/fd" if call is not btrfs.create else "/dev/shm/vk-subvolume")
        assert e.value.errno in (errno.ENOTTY, errno.EINVAL) and "not on a btrfs" in e.value.strerror.lower()
        assert e.value.filename in ("/proc/self/fd", "/dev/shm/vk-subvolume")


def test_default_and_read_only(tree):
    want = _btrfs("subvolume", "get-default", tree)
    assert want.startswith(f"ID {btrfs.get_default(tree)} ")
    btrfs.set_default(f"{tree}/@")
    try:
        assert _btrfs("subvolume", "get-default", tree).startswith(f"ID {btrfs.info(f'{tree}/@').id} gen")
        btrfs.set_default(tree, 5)
        assert _btrfs("subvolume", "get-default", tree) == "ID 5 (FS_TREE)\n"
    finally:
        _btrfs("subvolume", "set-default", "5", tree)
    btrfs.create(f"{tree}/flip")
    for value in (True, True, False, False):
        btrfs.set_read_only(f"{tree}/flip", value)
        assert btrfs.read_only(f"{tree}/flip") is value is ro(f"{tree}/flip")
    flip = btrfs.info(f"{tree}/flip").id
    btrfs.delete(f"{tree}/@home", id=flip)  # any path on the filesystem
    assert flip not in listed(tree) and not os.path.exists(f"{tree}/flip")


def test_received_subvolume_needs_force(tree):
    os.mkdir(f"{tree}/received")
    send = subprocess.Popen(["btrfs", "-q", "send", f"{tree}/@snap"], stdout=subprocess.PIPE)
    subprocess.run(["btrfs", "-q", "receive", f"{tree}/received"], stdin=send.stdout, check=True)
    send.stdout.close()
    assert send.wait() == 0
    got = f"{tree}/received/@snap"
    received = shown(got)["Received UUID"]
    assert btrfs.info(got).received_uuid == received != "-"
    with pytest.raises(PermissionError) as e:
        btrfs.set_read_only(got, False)
    assert received in str(e.value) and e.value.filename == got
    assert ro(got) and shown(got)["Received UUID"] == received
    btrfs.set_read_only(got, False, force=True)
    show = shown(got)
    assert not ro(got) and show["Received UUID"] == "-" and show["Send transid"] == "0"
    s = btrfs.info(got)
    assert (s.received_uuid, s.stransid, s.stime, s.read_only) == (None, 0, None, False)


def make_nested(top: str, name: str, owner: int = 0) -> list[str]:
    """A tree with read-only members (one holding another directly, one
    through a plain directory): its paths, top first."""
    paths = [f"{top}/{name}{inner}" for inner in ("", "/a", "/a/b", "/a/b/c", "/d", "/f", "/f/dir/g")]
    for path in paths:
        if not os.path.isdir(os.path.dirname(path)):
            os.mkdir(os.path.dirname(path))
            os.chown(os.path.dirname(path), owner, owner)
        btrfs.create(path)
        os.chown(path, owner, owner)
    for path in (paths[2], paths[1], paths[5]):  # deepest first: a read-only one takes no new entries
        _btrfs("property", "set", path, "ro", "true")
    return paths


def test_recursive_delete_takes_read_only_members(tree):
    paths = make_nested(tree, "nest")
    before = listed(tree)
    with pytest.raises(OSError) as e:
        btrfs.delete(paths[0])
    assert e.value.errno == errno.ENOTEMPTY and kept(listed(tree)) == kept(before)
    btrfs.delete(paths[0], recursive=True)
    assert not os.path.exists(paths[0])
    assert not any(row["path"].startswith("nest") for row in listed(tree).values())
    assert len(listed(tree)) == len(before) - len(paths)


def test_recursive_snapshot(tree):
    paths = make_nested(tree, "orig")
    made = btrfs.snapshot(paths[0], f"{tree}/copy", read_only=True, recursive=True)
    rows = {row["path"]: row for row in listed(tree).values()}
    assert int(rows["copy"]["id"]) == made
    for path in paths:
        inner = os.path.relpath(path, tree)
        copy = "copy" + inner[len("orig") :]
        assert rows[copy]["parent_uuid"] == rows[inner]["uuid"] and ro(f"{tree}/{copy}")
    btrfs.delete(f"{tree}/copy", recursive=True)
    btrfs.delete(paths[0], recursive=True)
    assert not any(row["path"].startswith(("copy", "orig")) for row in listed(tree).values())


HOW_BUSY = [
    "subvolume",
    "nested by id",
    "tmpfs inside",
    "bind inside",
    "device node gone",
    "tmpfs over one",
    "over the way",
]


def test_recursive_with_a_deep_directory(tree):
    # A nested subvolume below 3,900 bytes of directories: past what the
    # unprivileged lookup gives (ENAMETOOLONG), still within root's.
    deep = os.path.join(f"{tree}/deep", *["d" * 200] * 19, "e" * 100)
    btrfs.create(f"{tree}/deep")
    os.makedirs(deep)
    btrfs.create(f"{deep}/n")
    btrfs.snapshot(f"{tree}/deep", f"{tree}/deep-copy", recursive=True)
    inner = os.path.relpath(f"{deep}/n", f"{tree}/deep")
    assert {row["path"] for row in listed(tree).values()} >= {f"deep/{inner}", f"deep-copy/{inner}"}
    btrfs.delete(f"{tree}/deep-copy", recursive=True)
    btrfs.delete(f"{tree}/deep", recursive=True)
    assert not any(row["path"].startswith("deep") for row in listed(tree).values())


@pytest.mark.parametrize("how", HOW_BUSY)
def test_delete_refuses_a_busy_tree(tree, how):
    paths = make_nested(tree, "busy")
    elsewhere = tempfile.mkdtemp(prefix=f"vk-busy-{os.getpid()}-")
    device = subprocess.run(["findmnt", "-no", "SOURCE", tree], capture_output=True, text=True).stdout.strip()
    point = elsewhere
    if how == "subvolume":
        subprocess.run(["mount", "-o", "subvol=busy", device, elsewhere], check=True)
    elif how == "nested by id":
        subprocess.run(["mount", "-o", f"subvolid={btrfs.info(paths[3]).id}", device, elsewhere], check=True)
    elif how == "device node gone":  # mountinfo's source names no device any more
        st = os.stat(device)
        os.mknod(f"{elsewhere}.node", 0o600 | stat.S_IFBLK, st.st_rdev)
        subprocess.run(["mount", "-o", "subvol=busy", f"{elsewhere}.node", elsewhere], check=True)
        os.unlink(f"{elsewhere}.node")
    elif how == "tmpfs inside":
        point = f"{paths[4]}/tmp"
        os.mkdir(point)
        subprocess.run(["mount", "-t", "tmpfs", "tmpfs", point], check=True)
    elif how in ("tmpfs over one", "over the way"):  # a nested subvolume hidden, not found by a walk
        point = paths[4] if how == "tmpfs over one" else os.path.dirname(paths[6])
        subprocess.run(["mount", "-t", "tmpfs", "tmpfs", point], check=True)
    else:
        point = f"{paths[4]}/bind"
        os.mkdir(point)
        subprocess.run(["mount", "--bind", "/tmp", point], check=True)
    try:
        before = listed(tree)
        for recursive in (False, True):
            with pytest.raises(OSError) as e:
                btrfs.delete(paths[0], recursive=recursive)
            assert e.value.errno == errno.EBUSY and e.value.filename == point
        if how in ("tmpfs over one", "over the way"):  # a snapshot short of it refused too
            with pytest.raises(OSError) as e:
                btrfs.snapshot(paths[0], f"{tree}/busy-copy", recursive=True)
            assert e.value.errno == errno.EBUSY
        assert kept(listed(tree)) == kept(before)
    finally:
        subprocess.run(["umount", point], check=True)
        os.rmdir(elsewhere)
    btrfs.delete(tree, id=btrfs.info(paths[0]).id, recursive=True)
    assert not os.path.exists(paths[0])


def test_paths_through_a_subvol_mount(tree):
    # A path under a subvol= mount: the records keep their paths from the top level.
    elsewhere = tempfile.mkdtemp(prefix=f"vk-subvol-{os.getpid()}-")
    device = subprocess.run(["findmnt", "-no", "SOURCE", tree], capture_output=True, text=True).stdout.strip()
    subprocess.run(["mount", "-o", "subvol=@", device, elsewhere], check=True)
    try:
        assert btrfs.subvolumes(elsewhere) == btrfs.subvolumes(tree)
        assert btrfs.info(f"{elsewhere}/var/lib/machines").path == "@/var/lib/machines"
        assert [s.path for s in btrfs.subvolumes(elsewhere, below=True)] == ["@/var/lib/machines"]
        assert btrfs.info(os.fsencode(tree) + b"/@x/caf\xe9").path == "@x/caf\udce9"
    finally:
        subprocess.run(["umount", elsewhere], check=True)
        os.rmdir(elsewhere)


def mountinfo() -> list[str]:
    with open("/proc/self/mountinfo") as f:
        return f.read().splitlines()


@pytest.mark.parametrize("fd_mounts", [True, False])
def test_toplevel_leaves_the_table_alone(tree, monkeypatch, fd_mounts):
    monkeypatch.setattr(_btrfs_top, "_FD_MOUNTS", fd_mounts)
    home = btrfs.info(f"{tree}/@home")
    before = mountinfo()
    device = subprocess.run(["findmnt", "-no", "SOURCE", tree], capture_output=True, text=True).stdout.strip()
    with btrfs.toplevel(f"{tree}/@home/") as top:
        if fd_mounts:
            assert mountinfo() == before and top.startswith("/proc/self/fd/")
        assert sorted(os.listdir(top)) == sorted(os.listdir(tree))
        assert btrfs.subvolumes(top) == btrfs.subvolumes(tree)
        made = btrfs.create(f"{top}/via-top")
        assert btrfs.info(f"{tree}/via-top").id == made
        btrfs.delete(f"{top}/via-top")
    with btrfs.toplevel(device, id=home.id) as top:
        assert os.listdir(top) == os.listdir(f"{tree}/@home") and btrfs.info(top)[:5] == home[:5]
    with pytest.raises(KeyboardInterrupt):
        with btrfs.toplevel(tree) as top:
            held = top
            raise KeyboardInterrupt
    assert mountinfo() == before and not os.path.exists(held)


def test_unprivileged_listing(tree):
    os.makedirs(f"{tree}/@home/private")
    os.chmod(f"{tree}/@home/private", 0o700)
    btrfs.create(f"{tree}/@home/private/hidden")
    btrfs.create(f"{tree}/@home/shared")
    btrfs.create(f"{tree}/@home/shared/inner")
    program = (
        "import json, sys; from velkora import btrfs; "
        f"print(json.dumps([s._asdict() for s in btrfs.subvolumes({tree + '/@home'!r})])); "
        f"print(btrfs.info({tree + '/@home/shared/inner/'!r}).path)"
    )
    run = subprocess.run([sys.executable, AS_USER, "-c", program], capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    listing, path = run.stdout.splitlines()
    got = json.loads(listing)
    assert path == "@home/shared/inner"  # from the mount table, the tree search being root's
    rows = listed(tree)
    want = [r for r in rows.values() if r["path"] in ("@home/shared", "@home/shared/inner")]
    assert [(s["id"], s["path"]) for s in got] == [(int(r["id"]), r["path"][len("@home/") :]) for r in want]
    assert [as_progs(btrfs.Subvolume(**s)) for s in got] == [dict(r, path=r["path"][6:]) for r in want]
    # A tmpfs over one hides it (and what is below it): left out, not the whole listing failed.
    subprocess.run(["mount", "-t", "tmpfs", "tmpfs", f"{tree}/@home/shared/inner"], check=True)
    try:
        program = f"from velkora import btrfs; print([s.path for s in btrfs.subvolumes({tree + '/@home'!r})])"
        run = subprocess.run([sys.executable, AS_USER, "-c", program], capture_output=True, text=True)
    finally:
        subprocess.run(["umount", f"{tree}/@home/shared/inner"], check=True)
    assert (run.returncode, run.stdout) == (0, "['shared']\n"), run.stderr


@pytest.mark.parametrize("obstacle", ["tmpfs inside", "subvolume out of reach"])
def test_unprivileged_recursive_delete(tree, obstacle):
    # As a user (user_subvol_rm_allowed): the tree found through the
    # unprivileged ioctls, the busy check through the mount points below;
    # root's subvolume in a directory the user may not search refuses the
    # delete whole, not once the rest is gone.
    subprocess.run(["mount", "-o", "remount,user_subvol_rm_allowed", tree], check=True)
    home = f"{tree}/@home/user-{obstacle[0]}"
    os.mkdir(home)
    os.chown(home, 65534, 65534)
    paths = make_nested(home, "t", 65534)
    if obstacle == "tmpfs inside":
        os.mkdir(f"{paths[4]}/tmp")
        subprocess.run(["mount", "-t", "tmpfs", "tmpfs", f"{paths[4]}/tmp"], check=True)
        refused = f"{errno.EBUSY} {paths[4]}/tmp\n"
    else:
        os.mkdir(f"{paths[0]}/locked", 0o700)
        btrfs.create(f"{paths[0]}/locked/roots")
        refused = f"{errno.EACCES} {paths[0]}\n"
    program = (
        "from velkora import btrfs\n"
        "try:\n"
        f"    btrfs.delete({paths[0]!r}, recursive=True)\n"
        "except OSError as e:\n"
        "    print(e.errno, e.filename)\n"
    )
    before = listed(tree)
    try:
        run = subprocess.run([sys.executable, AS_USER, "-c", program], capture_output=True, text=True)
        assert (run.returncode, run.stdout) == (0, refused), run.stderr
        assert kept(listed(tree)) == kept(before)
    finally:
        if obstacle == "tmpfs inside":
            subprocess.run(["umount", f"{paths[4]}/tmp"], check=True)
        else:
            btrfs.delete(f"{paths[0]}/locked/roots")
    run = subprocess.run([sys.executable, AS_USER, "-c", program], capture_output=True, text=True)
    assert (run.returncode, run.stdout) == (0, ""), run.stderr
    assert not any(row["path"].startswith(f"@home/user-{obstacle[0]}/t") for row in listed(tree).values())

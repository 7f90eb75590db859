"""The context managers: mounts undone on every way out of the block, fds
owned once and closed, and the kernel's reasons on a refused option."""

import contextlib
import copy
import errno
import gc
import os
import pickle
import signal
import subprocess
import sys
import tempfile
import warnings

import pytest

import velkora
import velkora.mount
import velkora.mountinfo
from support import PROGRAMS
from support.mountinfo import mount_at
from velkora import FsContext, loop, mounted


def open_fds():
    return sorted(os.listdir("/proc/self/fd"))


class Boom(Exception):
    pass


@pytest.mark.parametrize("ending", [None, Boom, KeyboardInterrupt])
def test_mounted_unmounts_on_every_way_out(place, ending):
    with pytest.raises(ending) if ending else contextlib.nullcontext():
        with mounted("velkora-cm", place, "tmpfs", data="size=1m") as target:
            assert target == str(place) and mount_at(place)["source"] == "velkora-cm"
            if ending:
                raise ending()
    assert mount_at(place) is None


def test_a_failing_unmount_raises_and_never_detaches_unasked(place):
    with pytest.raises(OSError) as caught:
        with mounted("velkora-busy", place, "tmpfs"):
            busy = open(place / "file", "w")
    assert caught.value.errno == errno.EBUSY
    assert mount_at(place) is not None  # still mounted: nothing was detached behind the caller's back
    busy.close()
    velkora.mount.umount(str(place))
    with mounted("velkora-lazy", place, "tmpfs", detach=True):
        still = open(place / "file", "w")  # busy, but a lazy unmount asked for is done
    assert mount_at(place) is None
    still.close()


@pytest.mark.fdmount
def test_ctrl_c_in_a_child_unmounts_everything(place):
    classic, fd_made = place / "classic", place / "fd"
    classic.mkdir()
    fd_made.mkdir()
    child = subprocess.Popen(
        [sys.executable, str(PROGRAMS / "interrupted.py"), str(classic), str(fd_made)],
        stdout=subprocess.PIPE,
        text=True,
    )
    assert child.stdout is not None and child.stdout.readline() == "mounted\n"
    assert mount_at(classic) is not None and mount_at(fd_made) is not None
    child.send_signal(signal.SIGINT)
    child.communicate(timeout=30)
    assert child.returncode != 0  # the KeyboardInterrupt ended it
    assert mount_at(classic) is None
    assert mount_at(fd_made) is not None  # attached mounts outlive their fds, as the kernel has it
    velkora.mount.umount(str(fd_made))


@pytest.mark.fdmount
def test_an_fd_has_one_owner(kernel):
    context = FsContext.open("tmpfs")
    fd = context.fileno()
    for duplicate in (copy.copy, copy.deepcopy, pickle.dumps):
        with pytest.raises(TypeError):
            duplicate(context)
    context.close()
    context.close()  # closing twice is harmless
    assert context.closed
    with pytest.raises(OSError):
        os.fstat(fd)
    with pytest.raises(ValueError):
        context.fileno()
    with pytest.raises(ValueError):
        context.create()  # no fsconfig on a closed fd, nor on whatever reuses its number


@pytest.mark.fdmount
def test_collected_open_warns_and_closes(kernel):
    context = FsContext.open("tmpfs")
    fd = context.fileno()
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        del context
        gc.collect()
    assert [w.category for w in caught] == [ResourceWarning]
    with pytest.raises(OSError):
        os.fstat(fd)


def test_mounted_leaves_only_its_own_mount(place):
    # Another mount put on top inside the block: never removed; the block's
    # own is left for the caller to see, and the exit says EBUSY.
    with pytest.raises(OSError) as caught:
        with mounted("vk-own", place, "tmpfs"):
            velkora.mount.mount("vk-other", str(place), "tmpfs")
    assert (caught.value.errno, caught.value.filename) == (errno.EBUSY, str(place))
    assert mount_at(place)["source"] == "vk-other"
    velkora.mount.umount(str(place))
    assert mount_at(place)["source"] == "vk-own"
    velkora.mount.umount(str(place))
    # A relative target and a chdir in the block: the block's own target is
    # unmounted, not the same name below the new working directory.
    for name in ("one/mnt", "two/mnt"):
        (place / name).mkdir(parents=True)
    velkora.mount.mount("vk-two", str(place / "two/mnt"), "tmpfs")
    cwd = os.getcwd()
    os.chdir(place / "one")
    try:
        with mounted("vk-one", "mnt", "tmpfs") as given:
            os.chdir(place / "two")
    finally:
        os.chdir(cwd)
    assert given == "mnt" and mount_at(place / "one/mnt") is None and mount_at(place / "two/mnt")["source"] == "vk-two"


@pytest.mark.blockdev  # a Btrfs image mounted
def test_a_reused_device_is_checked_on_its_fd(place, tmp_path, monkeypatch):
    images = {}
    for name in ("a", "b"):
        (tmp_path / name).mkdir()
        (tmp_path / name / "marker").write_text(name)
        images[name] = tmp_path / f"{name}.img"
        with open(images[name], "wb") as f:
            f.truncate(128 << 20)  # sparse
        subprocess.run(["mkfs.btrfs", "-q", "-r", str(tmp_path / name), str(images[name])], check=True,
                       capture_output=True)  # fmt: skip
    # Device N held a.img when it was listed, then went and was given to b.img.
    # Another user of loop devices on the machine may take N in between: then
    # again, until b.img gets it.
    for _ in range(50):
        with loop.attach(images["a"]):
            stale = loop.devices(images["a"])
        other = loop.attach(images["b"])
        if other.number == stale[0].number:
            break
        with other:  # detached and closed
            pass
    else:
        pytest.fail(f"loop{stale[0].number} never came back to this test")
    with other:
        monkeypatch.setattr(loop, "devices", lambda backing_file=None: stale)
        with mounted(str(images["a"]), place):
            assert (place / "marker").read_text() == "a"


def test_names_that_are_no_utf8_go_both_ways(place):
    odd = os.fsencode(place) + b"/src/\xff"
    name = os.fsdecode(odd)  # "...\udcff", as os.listdir and mounts() give it
    (place / "src").mkdir()
    (place / "dst").mkdir()
    velkora.mount.mount("vk-src", str(place / "src"), "tmpfs")
    os.mkdir(odd)
    subprocess.run([b"mount", b"-t", b"tmpfs", b"vk-odd", odd], check=True)
    for form in (odd, name):
        assert velkora.mountinfo.mount_at(form).source == "vk-odd"
    with mounted(str(place / "src"), place / "dst", "", options="rbind"):
        assert velkora.mountinfo.mount_at(os.fsencode(place) + b"/dst/\xff").source == "vk-odd"
    assert not [m for m in velkora.mountinfo.mounts_below(place / "dst") if m.mount_point != str(place)]
    # Through the command: list, umount, and umount -R of the tree.
    command = [sys.executable.encode(), b"-m", b"velkora"]
    listed = subprocess.run([*command, b"list", odd], capture_output=True, check=True).stdout.decode()
    assert "\\xff" in listed and "Traceback" not in listed
    subprocess.run([*command, b"umount", odd], check=True)
    assert velkora.mountinfo.mount_at(name).source == "vk-src"
    subprocess.run([b"mount", b"-t", b"tmpfs", b"vk-odd", odd], check=True)
    run = subprocess.run([*command, b"umount", b"-R", os.fsencode(place) + b"/src"], capture_output=True)
    assert (run.returncode, run.stderr) == (0, b"")
    assert velkora.mountinfo.mount_at(place / "src").mount_point != str(place / "src")


@pytest.mark.fdmount  # unique mount ids (6.8+), which qemu-user leaves out
def test_a_recursive_bind_never_unmounts_a_mount_that_took_a_reused_id(place):
    # A mount the rbind brought is unmounted by another, and a mount of
    # theirs below the bind takes its id: the block leaves it (EBUSY).
    from support.mountinfo import taken_over

    for d in ("b", "s/x", "s/y", "fill"):
        (place / d).mkdir(parents=True)
    velkora.mount.mount("inner", str(place / "s/x"), "tmpfs")

    def make():
        block = mounted(str(place / "s"), place / "b", "", options="rbind")
        block.__enter__()
        return block

    block = taken_over(make, place / "b/x", place / "b/y", place / "fill", lambda b: b.__exit__(None, None, None))
    with pytest.raises(OSError) as refused:
        block.__exit__(None, None, None)
    assert refused.value.errno == errno.EBUSY
    assert mount_at(place / "b/y")["source"] == "theirs"


def test_unmount_takes_a_tree_leaves_first_and_refuses_what_is_no_mount(place, monkeypatch):
    # A tmpfs with a child and, stacked on that child, a second one: only a
    # leaves-first order takes all three without one umount2 failing.
    kernel, failures = velkora._mount8._mounts, []

    def umount(path, flags):
        try:
            return real(path, flags)
        except OSError as e:
            failures.append((path, e.errno))
            raise

    real = kernel.umount
    monkeypatch.setattr(kernel, "umount", umount)
    top, child = place / "top", place / "top" / "child"
    top.mkdir()
    subprocess.run(["mount", "-t", "tmpfs", "vk-top", str(top)], check=True)
    child.mkdir()
    for name in ("vk-child", "vk-stacked"):
        subprocess.run(["mount", "-t", "tmpfs", name, str(child)], check=True)
    # A directory that is no mount point, with a mount below it: refused,
    # and what is below stays.
    inner = place / "plain" / "inner"
    inner.mkdir(parents=True)
    subprocess.run(["mount", "-t", "tmpfs", "vk-inner", str(inner)], check=True)
    with pytest.raises(OSError) as refused:
        velkora.unmount(place / "plain", recursive=True)
    assert (refused.value.errno, refused.value.strerror) == (errno.EINVAL, "not mounted")
    assert mount_at(str(inner))["source"] == "vk-inner"
    velkora.unmount(top, recursive=True)
    assert [mount_at(str(path)) for path in (child, top)] == [None, None]
    assert failures == []


# ---------------------------------------------------------------------------
# rmtree

DEEP = """
import os, resource, sys
fd = os.open(sys.argv[1], os.O_DIRECTORY)
for depth in range(3000):  # deeper than PATH_MAX and the interpreter's recursion
    os.mkdir("d", dir_fd=fd)
    if depth % 100 == 0:
        os.close(os.open("f", os.O_CREAT | os.O_WRONLY, dir_fd=fd))
    fd, up = os.open("d", os.O_DIRECTORY, dir_fd=fd), fd
    os.close(up)
os.close(fd)
resource.setrlimit(resource.RLIMIT_NOFILE, (64, 64))
import velkora
import velkora.mount
import velkora.mountinfo
velkora.rmtree(sys.argv[1])
"""


def test_rmtree_of_any_depth_in_64_fds(tmp_path):
    top = tmp_path / "deep"
    top.mkdir()
    run = subprocess.run([sys.executable, "-c", DEEP, str(top)], capture_output=True, text=True)
    assert (run.returncode, run.stderr) == (0, "")
    assert os.listdir(tmp_path) == []


AS_NOBODY = """
import os, signal, sys, threading  # the interpreter's own library: root's
import velkora.mountinfo
from velkora import rmtree
os.setgroups([]); os.setgid(65534); os.setuid(65534)
fds = sorted(os.listdir("/proc/self/fd"))
for tree in sys.argv[1:]:
    try:
        rmtree(tree)
        print("deleted")
    except OSError as e:
        print(type(e).__name__)
print(fds == sorted(os.listdir("/proc/self/fd")))
"""


def test_rmtree_as_an_ordinary_user():
    # Its own tree, with an empty directory it may read but not search
    # (0600: no way back up through its ".."), goes whole; root's tree, whose
    # first file it may not delete, stays whole, and no fd is left open.
    with tempfile.TemporaryDirectory() as scratch:
        os.chmod(scratch, 0o1777)
        own, roots = os.path.join(scratch, "own"), os.path.join(scratch, "roots")
        os.makedirs(os.path.join(own, "a", "shut"))
        os.makedirs(os.path.join(roots, "a"))
        for name in (os.path.join(own, "a", "f"), os.path.join(roots, "f"), os.path.join(roots, "a", "g")):
            open(name, "w").close()
        for where, _, files in os.walk(own):
            for name in [where, *(os.path.join(where, f) for f in files)]:
                os.chown(name, 65534, 65534)
        os.chmod(os.path.join(own, "a", "shut"), 0o600)
        run = subprocess.run([sys.executable, "-c", AS_NOBODY, own, roots], capture_output=True, text=True)
        assert run.stdout.split("\n") == ["deleted", "PermissionError", "True", ""], run.stderr
        assert os.listdir(scratch) == ["roots"] and os.path.isfile(os.path.join(roots, "a", "g"))


STORM = """
import gc, os, random, signal, sys
import velkora.mountinfo
from velkora import rmtree
signal.signal(signal.SIGALRM, lambda *_: os.kill(os.getpid(), signal.SIGINT))  # Ctrl-C, as a terminal sends it
fds, ends = sorted(os.listdir("/proc/self/fd")), set()
for i in range(600):
    tree = os.path.join(sys.argv[1], str(i))
    for branch in "ab":
        os.makedirs(os.path.join(tree, branch, *["d"] * 8))
    try:
        try:
            signal.setitimer(signal.ITIMER_REAL, random.uniform(0.0001, 0.002))
            rmtree(tree)
            ends.add("done")
        finally:
            signal.setitimer(signal.ITIMER_REAL, 0)
    except KeyboardInterrupt as e:
        ends.add(type(e).__name__)
    gc.collect()  # an object of the interpreter's own that holds an fd goes with it
    assert sorted(os.listdir("/proc/self/fd")) == fds, (i, os.listdir("/proc/self/fd"))
print(sorted(ends))
"""


@pytest.mark.storm
def test_rmtree_interrupted_at_any_moment_leaves_no_fd(place):
    # A SIGINT storm (ITIMER_REAL) over rmtree: KeyboardInterrupt, and no
    # directory left open (it would keep the tree's mount busy).
    velkora.mount.mount("vk-storm", str(place), "tmpfs")
    run = subprocess.run([sys.executable, "-c", STORM, str(place)], capture_output=True, text=True)
    assert run.returncode == 0 and run.stdout in ("['KeyboardInterrupt']\n", "['KeyboardInterrupt', 'done']\n"), (
        run.stderr
    )


def test_rmtree_follows_no_link_put_on_its_way_above_the_tree(tmp_path, monkeypatch):
    # x/y/tree, whose x is swapped for a link to another place with a y/tree
    # after the path was resolved (while the table is read): the walk down
    # to the tree meets the link and stops; the other tree stays.
    (tmp_path / "x" / "y" / "tree").mkdir(parents=True)
    (tmp_path / "other" / "y" / "tree").mkdir(parents=True)
    (tmp_path / "other" / "y" / "tree" / "kept").write_text("kept")
    below = velkora.mountinfo.mounts_below

    def swapping(path, via=None):
        os.rename(tmp_path / "x", tmp_path / "x.old")
        os.symlink(tmp_path / "other", tmp_path / "x")
        return below(path, via)

    monkeypatch.setattr(velkora.mountinfo, "mounts_below", swapping)
    with pytest.raises(OSError) as refused:
        velkora.rmtree(tmp_path / "x" / "y" / "tree")
    assert refused.value.errno in (errno.ELOOP, errno.ENOTDIR)
    assert (tmp_path / "other" / "y" / "tree" / "kept").read_text() == "kept"
    assert (tmp_path / "x.old" / "y" / "tree").is_dir()


@pytest.mark.parametrize("ids", ["statx", "fdinfo"])
def test_rmtree_checks_each_directory_for_a_mount(place, monkeypatch, ids):
    # A bind of the same filesystem deep in the tree, made after the table
    # was read (as a racing mount would be): each directory's own check,
    # by mount id, stops the walk there and deletes nothing through it.
    # "fdinfo": as before 5.8 and under qemu-user, statx names no mount.
    if ids == "fdinfo":
        import velkora._rmtree as walk

        monkeypatch.setattr(walk, "_mounts", type("NoIds", (), {"mount_id": staticmethod(lambda *a, **k: None)}))
    outside, top = place / "outside", place / "tree"
    outside.mkdir()
    (outside / "kept").write_text("kept")
    deep = top.joinpath(*["d"] * 40)
    deep.mkdir(parents=True)
    velkora.mount.mount(str(outside), str(deep), "", velkora.mount.MS_BIND)
    monkeypatch.setattr(velkora.mountinfo, "mounts_below", lambda path, via=None: [])
    with pytest.raises(OSError) as crossed:
        velkora.rmtree(top)
    assert (crossed.value.errno, crossed.value.filename) == (errno.EBUSY, str(deep))
    found = subprocess.run(["findmnt", "-no", "SOURCE", str(deep)], capture_output=True, text=True).stdout
    assert found.endswith(f"{outside}]\n") and (outside / "kept").read_text() == "kept"


def test_rmtree_stops_where_the_way_back_up_leads_elsewhere(place, monkeypatch):
    # tree/a/{b/c,x}; while c is emptied, b is moved beside an outside x.
    # Back up from b, ".." is no longer a: the walk stops, and a's other
    # directory x is never looked for in the place it leads to.
    import velkora._rmtree as walk

    top, outside = place / "tree", place / "outside"
    (top / "a" / "b" / "c").mkdir(parents=True)
    (top / "a" / "x").mkdir()
    (outside / "x").mkdir(parents=True)
    (outside / "x" / "kept").write_text("kept")
    c = os.stat(top / "a" / "b" / "c").st_ino
    clear = walk._clear

    def moving(fd):
        if os.fstat(fd).st_ino == c:
            os.rename(top / "a" / "b", outside / "b")
        return sorted(clear(fd), reverse=True)  # b before x

    monkeypatch.setattr(walk, "_clear", moving)
    with pytest.raises(OSError) as moved:
        velkora.rmtree(top)
    assert moved.value.errno == errno.ESTALE
    assert (outside / "x" / "kept").read_text() == "kept" and (top / "a" / "x").is_dir()

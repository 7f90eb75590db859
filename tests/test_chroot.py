"""velkora.chroot, holders and rmtree against a minimal root: a static busybox."""

import errno
import json
import os
import shutil
import signal
import subprocess
import sys
import time
import warnings

import pytest

import velkora
import velkora.mount as vm
from support.mountinfo import mounts, unmount_all_below
from support.namespace import unavailable
from velkora import _chroot, chroot

# The file-descriptor mount calls, openat2 and statx's mount ids: none under qemu-user.
pytestmark = [pytest.mark.usefixtures("kernel"), pytest.mark.fdmount]
APPLETS = ("sh", "cat", "sleep", "true", "mount", "mkdir", "ls", "echo")


@pytest.fixture
def root(tmp_path):
    """A busybox root on a shared mount, as systemd makes every mount: a
    mount that is not kept private would show in the caller's table too."""
    busybox = shutil.which("busybox")
    if busybox is None:
        unavailable("busybox not found (Debian: busybox-static)")
    shared = tmp_path / "shared"
    shared.mkdir()
    vm.mount("vk-shared", str(shared), "tmpfs")
    vm.mount("none", str(shared), "", 1 << 20)  # MS_SHARED
    top = shared / "root"
    (top / "bin").mkdir(parents=True)
    (top / "etc").mkdir()
    shutil.copy(busybox, top / "bin" / "busybox")
    for name in APPLETS:
        os.symlink("busybox", top / "bin" / name)
    yield top
    unmount_all_below(shared)


def tree(path):
    return sorted(os.path.relpath(os.path.join(d, n), path) for d, ds, fs in os.walk(path) for n in ds + fs)


def table(mountinfo):
    """Mount point -> (fstype, the mount's options) of a mountinfo text."""
    found = {}
    for line in mountinfo.splitlines():
        fields = line.split()
        found[fields[4]] = (fields[fields.index("-") + 1], set(fields[5].split(",")) - {"rw", "relatime"})
    return found


HARMLESS = {"nosuid", "nodev", "noexec"}
PLACES = {
    "/proc": ("proc", HARMLESS), "/sys": ("sysfs", HARMLESS | {"ro"}), "/dev/pts": ("devpts", {"nosuid", "noexec"}),
    "/dev/shm": ("tmpfs", {"nosuid", "nodev"}), "/run": ("tmpfs", {"nosuid", "nodev"}),
    "/tmp": ("tmpfs", {"nosuid", "nodev"}), "/etc/resolv.conf": (None, {"ro"}),
}  # fmt: skip


@pytest.mark.parametrize("dev", ["host", "minimal"])
def test_run_mounts_each_place_inside_and_leaves_nothing(root, tmp_path, dev):
    shared, note = tmp_path / "rw", tmp_path / "note"
    shared.mkdir()
    note.write_text("read only")
    before, host = tree(root), mounts()
    script = "cat /proc/self/mountinfo > /mnt/rw/table; ls /dev > /mnt/rw/dev; echo x > /etc/note; echo $? $PATH"
    done = chroot.run(root, ["sh", "-c", script], binds=[(shared, "/mnt/rw")], ro_binds=[(note, "/etc/note")], dev=dev,
                      capture_output=True, env={"PATH": "/bin"})  # fmt: skip
    assert (done.returncode, done.stdout.split()[-1]) == (0, b"/bin") and b"Read-only" in done.stderr
    inside = table((shared / "table").read_text())
    expected = dict(PLACES, **{"/dev": ("devtmpfs" if dev == "host" else "tmpfs", {"nosuid"}),
                               "/mnt/rw": (None, set()), "/etc/note": (None, {"ro"})})  # fmt: skip
    assert {point: inside[point][1] for point in expected} == {point: want[1] for point, want in expected.items()}
    assert all(inside[point][0] == want[0] for point, want in expected.items() if want[0])
    if dev == "minimal":
        devices = {"null", "zero", "full", "random", "urandom", "tty", "fd", "stdin", "stdout", "stderr", "ptmx"}
        assert set((shared / "dev").read_text().split()) == devices | {"pts", "shm"}
    # Nothing reached the caller's table, and what was made for the binds is gone.
    assert (tree(root), mounts(), note.read_text()) == (before, host, "read only")


def test_the_mounts_are_arch_chroots(root):
    # The same root through arch-chroot and through run(): the same mounts,
    # sources and options, but for those asked for on purpose: a pty device
    # anyone may open (ptmxmode=0666, as bubblewrap has it), resolv.conf
    # read-only, and /run a tmpfs of its own where a newer arch-chroot binds
    # the host's /run.
    if shutil.which("arch-chroot") is None:
        unavailable("arch-chroot not found (Debian: arch-install-scripts)")
    for name in ("proc", "sys", "dev", "run", "tmp"):
        (root / name).mkdir()
    (root / "etc" / "resolv.conf").touch()
    theirs = subprocess.run(["arch-chroot", str(root), "cat", "/proc/self/mountinfo"], capture_output=True, text=True)
    ours = chroot.run(root, ["cat", "/proc/self/mountinfo"], capture_output=True).stdout.decode()

    def shown(text):
        found = {}
        for line in text.replace("ptmxmode=000", "ptmxmode=666").splitlines():
            fields = line.split()
            if fields[4] == "/etc/resolv.conf":
                fields[5] = fields[5].replace("rw,", "ro,")
            found[fields[4]] = (fields[5], *fields[-3:])  # options, type, source, superblock options
        return found

    expected, found = shown(theirs.stdout), shown(ours)
    if expected["/run"][1] != "tmpfs":
        del expected["/run"], found["/run"]
    assert found == expected


# Each link, followed on the host instead of inside the root, leads into
# the test's own scratch directory (root is tmp_path/shared/root): a fault
# writes nowhere else. "{escape}" is tmp_path/escape; "../.." and "../../.."
# from the root's top are the root itself inside it.
@pytest.mark.parametrize(
    ("link", "to", "itself"),
    [("proc", "{escape}", False), ("dev", "../../..", True), ("etc/resolv.conf", "{escape}/f", False),
     ("etc", "../..", True), ("run", "../../escape", False), ("tmp", "/proc/self/root", False),
     ("sys", ".", True)],
)  # fmt: skip
def test_a_link_in_the_root_never_leads_a_mount_or_a_directory_out(root, tmp_path, link, to, itself):
    where, escape = root / link, tmp_path / "escape"
    shutil.rmtree(where, ignore_errors=True)
    os.symlink(to.format(escape=escape), where)
    outside = [m for m in mounts() if not m["target"].startswith(str(root))]
    for attempt in (lambda: chroot.run(root, ["true"]), lambda: chroot.Root(root).__enter__().close()):
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", RuntimeWarning)  # resolv.conf passed over
                attempt()
        except OSError as e:
            # A link to the root itself is refused, naming the place: a mount
            # there would cover the whole root.
            assert not itself or (e.errno, e.filename) == (errno.EINVAL, "/" + link)
        else:
            assert not itself
        assert not os.path.lexists(escape)
        assert [m for m in mounts() if not m["target"].startswith(str(root))] == outside
    assert [m for m in mounts() if m["target"].startswith(str(root))] == []


def _alive(pid):
    """Neither gone nor a zombie (which whoever reaps orphans may leave a while)."""
    status = _read(f"/proc/{pid}/stat")
    return status is not None and status.rsplit(")", 1)[1].split()[0] not in "ZX"


def _read(path):
    try:
        with open(path) as f:
            return f.read().strip()
    except OSError:
        return None


def _parent(pid):
    status = _read(f"/proc/{pid}/stat")
    return int(status.rsplit(")", 1)[1].split()[1]) if status else None


def _namespace(pid):
    try:
        return os.readlink(f"/proc/{pid}/ns/mnt")
    except OSError:
        return None


def test_root_takes_down_every_mount_made_under_it_and_names_who_holds_one(root):
    before, host = tree(root), [m for m in mounts() if not m["target"].startswith(str(root))]
    with chroot.Root(root, dev="minimal") as inside:
        made = inside.run(["sh", "-c", "mkdir -p /tmp/m && mount -t tmpfs made /tmp/m && echo $$"], capture_output=True)
        assert made.returncode == 0
        assert inside.run(["cat", "/proc/mounts"], capture_output=True).stdout.count(b"\nmade /tmp/m ") == 1
        holder = subprocess.Popen(["sleep", "60"], cwd=root / "tmp" / "m")
        try:
            with pytest.raises(OSError) as busy:
                inside.close()
            assert busy.value.errno == errno.EBUSY and f"pid {holder.pid} sleep: cwd" in busy.value.strerror
        finally:
            holder.kill()
            holder.wait()
    assert [m for m in mounts() if m["target"].startswith(str(root))] == []
    assert (tree(root), [m for m in mounts() if not m["target"].startswith(str(root))]) == (before, host)


@pytest.mark.parametrize("ids", ["statx", "fdinfo"])
def test_holders_finds_a_cwd_an_open_file_and_a_map(place, ids, monkeypatch):
    vm.mount("vk-held", str(place), "tmpfs")
    (place / "f").write_bytes(b"x" * 4096)
    hold_fd = "import sys, time; f = open(sys.argv[1]); print(1, flush=True); time.sleep(60)"
    hold_map = "import mmap, sys, time; f = open(sys.argv[1]); m = mmap.mmap(f.fileno(), 0, prot=mmap.PROT_READ); "
    hold_map += "f.close(); print(1, flush=True); time.sleep(60)"
    held = [subprocess.Popen(["sleep", "60"], cwd=place)]
    held += [subprocess.Popen([sys.executable, "-c", code, str(place / "f")], stdout=subprocess.PIPE, cwd="/")
             for code in (hold_fd, hold_map)]  # fmt: skip
    try:
        for p in held[1:]:
            p.stdout.readline()
        if ids == "fdinfo":  # as under qemu-user, where statx names no mount
            monkeypatch.setattr(velkora._holders._mounts, "mount_id", lambda path, unique=False: None)
        found = {(h.pid, h.use) for h in velkora.holders(place / "f")}
        monkeypatch.undo()
        cli = subprocess.run([sys.executable, "-m", "velkora", "holders", "--json", str(place)], capture_output=True)
    finally:
        for p in held:
            p.kill()
            p.wait()
            if p.stdout:
                p.stdout.close()
    assert {(held[0].pid, "cwd"), (held[1].pid, "fd"), (held[2].pid, "map")} <= found
    assert {(h["pid"], h["use"]) for h in json.loads(cli.stdout)} == found
    assert velkora.holders(place) == []


def test_rmtree_deletes_nothing_where_a_mount_is_in_the_tree(place):
    top = place / "tree"
    # Files made before and after the mount point: in any order of reading,
    # one comes before it.
    (top / "a").mkdir(parents=True)
    (top / "a" / "first").write_text("kept")
    (top / "a" / "bound").mkdir()
    (top / "a" / "kept").write_text("kept")
    (top / "b").mkdir()
    os.symlink("/etc", top / "b" / "etc")
    # A bind mount of the tree's own filesystem: same device, another mount.
    vm.mount(str(top / "b"), str(top / "a" / "bound"), "", vm.MS_BIND)
    with pytest.raises(OSError) as refused:
        velkora.rmtree(top)
    assert refused.value.errno == errno.EBUSY and str(top / "a" / "bound") in refused.value.strerror
    assert [(top / "a" / name).read_text() for name in ("first", "kept")] == ["kept", "kept"]
    assert os.path.islink(top / "a" / "bound" / "etc")
    vm.umount(str(top / "a" / "bound"))
    velkora.rmtree(top)
    assert not top.exists() and os.path.isdir("/etc")


@pytest.mark.parametrize(("argv", "status"), [(["sh", "-c", "exit 3"], 3), (["sh", "-c", "kill -9 $$"], 137)])
def test_the_command_line_exits_with_the_command(root, argv, status):
    run = subprocess.run([sys.executable, "-m", "velkora", "chroot", "--dev", "minimal", str(root), *argv])
    assert run.returncode == status


def test_an_interrupt_takes_the_command_along(root):
    # Ctrl-C in the caller: the command goes too, and the places made for it.
    before = tree(root)
    signal.setitimer(signal.ITIMER_REAL, 0.3)
    previous = signal.signal(signal.SIGALRM, signal.default_int_handler)
    try:
        with pytest.raises(KeyboardInterrupt):
            chroot.run(root, ["sleep", "60"], binds=[("/etc", "/mnt/etc")])
    finally:
        signal.signal(signal.SIGALRM, previous)
    assert tree(root) == before
    children = [p for p in os.listdir("/proc") if p.isdigit() and _parent(p) == os.getpid()]
    assert [_read(f"/proc/{p}/comm") for p in children].count("sleep") == 0


def _resolv_mounts(text):
    """The mount points of the host's resolv.conf in a mountinfo text: those
    whose root is its path in its filesystem (the caller's / may itself be
    a directory of another, as in a chroot)."""
    holder = max((m for m in mounts() if "/etc/resolv.conf".startswith(m["target"].rstrip("/") + "/")),
                 key=lambda m: len(m["target"]))  # fmt: skip
    inside = os.path.join(holder["root"], os.path.relpath("/etc/resolv.conf", holder["target"]))
    fields = [line.split() for line in text.splitlines()]
    return [f[4] for f in fields if len(f) > 6 and f[3] == inside and f[-3] != "-"]


@pytest.mark.parametrize(
    ("link", "placed"),
    [("../run/systemd/resolve/stub-resolv.conf", "/run/systemd/resolve/stub-resolv.conf"),  # systemd-resolved's
     ("/var/run/resolvconf/resolv.conf", "/run/resolvconf/resolv.conf"),  # through Debian's /var/run -> /run
     ("../var/lib/missing/resolv.conf", None),  # in the root's own tree: never made there
     ("resolv.conf", None)],  # a link to itself, a loop: passed over too
)  # fmt: skip
def test_a_resolv_conf_link_is_followed_inside_the_root(root, link, placed):
    for name in ("run", "proc", "sys", "dev", "tmp", "var"):
        (root / name).mkdir()
    os.symlink("../run", root / "var" / "run")
    os.symlink(link, root / "etc" / "resolv.conf")
    before = tree(root)
    with open("/etc/resolv.conf", "rb") as f:
        host = f.read()
    script = "cat /proc/self/mountinfo > /tmp/table; cat /etc/resolv.conf; cat /tmp/table"
    with warnings.catch_warnings(record=True) as warned:
        warnings.simplefilter("always")
        done = chroot.run(root, ["sh", "-c", script], capture_output=True)
        with chroot.Root(root) as inside:
            again = inside.run(["sh", "-c", script], capture_output=True)
    assert [w.category for w in warned] == ([] if placed else [RuntimeWarning, RuntimeWarning])
    for got in (done, again):
        assert got.returncode == 0 and (placed is None) == (b"/etc/resolv.conf" in got.stderr)
        assert _resolv_mounts(got.stdout.decode()) == ([str(placed)] if placed else [])
        assert not placed or got.stdout.startswith(host)
    assert (tree(root), [m for m in mounts() if m["target"].startswith(str(root))]) == (before, [])
    if placed and shutil.which("arch-chroot") is not None:  # where arch-chroot puts it
        theirs = subprocess.run(["arch-chroot", str(root), "cat", "/proc/self/mountinfo"], capture_output=True)
        # arch-install-scripts 28 (Debian 12) follows the link as velkora
        # does; later ones bind over the link itself.
        version = subprocess.run(["dpkg-query", "-W", "-f=${Version}", "arch-install-scripts"], capture_output=True)
        later = [] if version.stdout.startswith(b"28") else [["/etc/resolv.conf"]]
        assert _resolv_mounts(theirs.stdout.decode()) in [[placed], *later]


def test_a_read_only_bind_is_read_only_below_too(root, tmp_path):
    # The source holds a mount of its own: a bind made read-only without
    # AT_RECURSIVE would leave it writable inside.
    source = tmp_path / "source"
    (source / "sub").mkdir(parents=True)
    vm.mount("vk-sub", str(source / "sub"), "tmpfs")
    try:
        script = "echo x > /mnt/ro/sub/f; echo $?; echo x > /mnt/ro/g; echo $?"
        done = chroot.run(root, ["sh", "-c", script], ro_binds=[(source, "/mnt/ro")], capture_output=True)
        with chroot.Root(root, ro_binds=[(source, "/mnt/ro")]) as inside:
            again = inside.run(["sh", "-c", script], capture_output=True)
        assert (done.stdout.split(), again.stdout.split()) == ([b"1", b"1"], [b"1", b"1"])
        assert sorted(os.listdir(source / "sub")) == [] and sorted(os.listdir(source)) == ["sub"]
    finally:
        vm.umount(str(source / "sub"))


def test_a_bind_below_run_or_tmp_is_placed_on_their_tmpfs(root, tmp_path):
    # /run and /tmp cover the places made for these in the root's tree: the
    # targets are made on the tmpfs, as bubblewrap makes them.
    (tmp_path / "dir").mkdir()
    (tmp_path / "dir" / "f").write_text("in a directory")
    (tmp_path / "file").write_text("a file")
    before = tree(root)
    binds = [(tmp_path / "dir", "/tmp/d"), (tmp_path / "file", "/run/a/f")]
    script = "cat /tmp/d/f; echo; cat /run/a/f; echo; grep -c ' /[rt][um][np]/' /proc/self/mountinfo"
    done = chroot.run(root, ["sh", "-c", script], binds=binds, capture_output=True)
    with chroot.Root(root, binds=binds) as inside:
        again = inside.run(["sh", "-c", script], capture_output=True)
    assert done.stdout == again.stdout == b"in a directory\na file\n2\n", (done.stderr, again.stderr)
    assert tree(root) == before
    if shutil.which("bwrap") is not None:  # where bubblewrap puts them
        theirs = ["bwrap", "--bind", str(root), "/", "--proc", "/proc", "--tmpfs", "/tmp", "--tmpfs", "/run"]
        for source, target in binds:
            theirs += ["--bind", str(source), target]
        assert subprocess.run([*theirs, "sh", "-c", script], capture_output=True).stdout == done.stdout


def test_a_lookup_inside_the_root_outlasts_mounts_made_meanwhile(place):
    # openat2 answers EAGAIN where a mount or a rename anywhere raced a ".."
    # of the path: the lookup is made again, never failed.
    for name in ("a", "b", "m"):
        (place / name).mkdir()
    storm = subprocess.Popen(["sh", "-c", f"while :; do mount -t tmpfs vk-race {place}/m; umount {place}/m; done"])
    fd = os.open(place, os.O_PATH)
    try:
        end = time.monotonic() + 1
        while time.monotonic() < end:
            os.close(_chroot.resolve(fd, "/a/../b/../a/../b", os.O_PATH))
    finally:
        os.close(fd)
        storm.kill()
        storm.wait()

"""velkora.chroot against other namespaces and the caller's end: what a peer
and a slave namespace see of a Root, what is left when the command or its
caller dies, and a storm of Ctrl-C over both."""

import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

import pytest
from test_chroot import root as chroot_root  # noqa: F401 - a fixture
from test_chroot import tree

import velkora._chroot_spawn
import velkora.mount as vm
from support import PROGRAMS
from support.loops import devices_left
from support.mountinfo import unmount_all_below
from velkora import chroot, loop

pytestmark = [pytest.mark.usefixtures("kernel"), pytest.mark.fdmount]
# A sleep's length no other process on the machine runs: how its processes
# are found in /proc.
MARK = str(7000 + os.getpid() % 1000)


@pytest.fixture
def root(chroot_root):  # noqa: F811 - the fixture imported above
    """test_chroot's busybox root, on a shared mount."""
    return chroot_root


def marked():
    """The pids of every live process whose command line holds MARK."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                words = f.read().split(b"\0")
            with open(f"/proc/{pid}/stat") as f:
                state = f.read().rsplit(")", 1)[1].split()[0]
        except OSError:
            continue
        if MARK.encode() in words and state not in "ZX":
            found.append(int(pid))
    return found


def gone(wait=5.0):
    deadline = time.monotonic() + wait
    while marked() and time.monotonic() < deadline:
        time.sleep(0.01)
    return marked() == []


def mountinfo(pid="self"):
    with open(f"/proc/{pid}/mountinfo") as f:
        return f.read()


@pytest.fixture(params=["pidfd", "status pipe"])
def ending(request, monkeypatch):
    """The init's end seen on its pidfd, or as on a kernel without pidfds."""
    if request.param == "status pipe":
        spawn = velkora._chroot_spawn._chroot.spawn

        def without_pidfd(*args):
            pid, pidfd, status, warned = spawn(*args)
            os.close(pidfd)
            return pid, -1, status, warned

        monkeypatch.setattr(velkora._chroot_spawn._chroot, "spawn", without_pidfd)
    return request.param


def test_a_daemon_the_command_leaves_dies_with_it(root, ending):
    # capture_output returns when the command ends: the daemon holding its
    # pipes goes with it, and the shell inside is pid 2 of a namespace of
    # its own.
    start = time.monotonic()
    done = chroot.run(root, ["sh", "-c", f"sleep {MARK} & echo $$; exit 5"], capture_output=True, timeout=30)
    assert (done.returncode, done.stdout, time.monotonic() - start < 10) == (5, b"2\n", True)
    assert gone()


def test_a_timeout_ends_the_command_and_all_it_started(root, tmp_path, ending):
    before = tree(root)
    start = time.monotonic()
    with pytest.raises(subprocess.TimeoutExpired):
        chroot.run(root, ["sh", "-c", f"sleep {MARK} & sleep {MARK}"], binds=[(tmp_path, "/mnt/x")], timeout=0.3)
    assert time.monotonic() - start < 5 and gone() and tree(root) == before


def test_kill_9_of_the_caller_leaves_no_process_mount_or_place(root, tmp_path):
    # The caller makes places for a bind (/mnt/x) in the root, then is
    # killed: the command, its daemon, their namespace and the places go.
    before = tree(root)
    program = (
        f"from velkora import chroot; chroot.run({str(root)!r}, ['sh', '-c', 'sleep {MARK} & sleep {MARK}'],"
        f" binds=[({str(tmp_path)!r}, '/mnt/x')])"
    )
    caller = subprocess.Popen([sys.executable, "-c", program])
    try:
        deadline = time.monotonic() + 10
        while len(marked()) < 2 and time.monotonic() < deadline:
            time.sleep(0.01)
        sleepers = marked()
        assert len(sleepers) == 2
        namespaces = {os.readlink(f"/proc/{pid}/ns/mnt") for pid in sleepers}
        assert (root / "mnt" / "x").is_dir()
    finally:
        caller.kill()
        caller.wait()
    assert gone()

    def left():
        found = []
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                found += [pid] if os.readlink(f"/proc/{pid}/ns/mnt") in namespaces else []
            except OSError:
                pass
        return found

    # The init ends the namespace's processes and removes the places as the
    # caller's death reaches it: a moment on a loaded machine.
    deadline = time.monotonic() + 5
    while (left(), tree(root)) != ([], before) and time.monotonic() < deadline:
        time.sleep(0.01)
    assert (left(), tree(root)) == ([], before)


@pytest.fixture
def images(tmp_path):
    """An ext4 root on a loop device, with a tmpfs at its /boot, on a shared
    parent: (root, the parent, the image file)."""
    file = tmp_path / "root.img"
    with open(file, "wb") as f:
        f.truncate(32 << 20)
    subprocess.run(["mkfs.ext4", "-q", str(file)], check=True)
    base = tmp_path / "base"
    base.mkdir()
    vm.mount("vk-base", str(base), "tmpfs")
    try:
        vm.mount("none", str(base), "", 1 << 20)  # MS_SHARED, as systemd has "/"
        (base / "root").mkdir()
        device = loop.attach(file)  # autoclear: it goes with the last mount
        try:
            vm.mount(device.path, str(base / "root"), "ext4")
        finally:
            device.close()
        (base / "root" / "boot").mkdir()
        vm.mount("vk-boot", str(base / "root" / "boot"), "tmpfs")
        yield base / "root", base, file
    finally:
        unmount_all_below(base)


def own(text, top):
    """The lines of a mountinfo text at or under top."""
    return sorted(line for line in text.splitlines() if line.split()[4].startswith(str(top)))


def test_a_peer_and_a_slave_namespace_see_nothing_root_makes(images, tmp_path):
    # Where systemd has it: the root's parent shared, a slave namespace (a
    # service's) alive around the Root, and a peer of the parent (a bind of
    # it) in this one.
    top, base, file = images
    peer = tmp_path / "peer"
    peer.mkdir()
    vm.mount(str(base), str(peer), "", vm.MS_BIND | 1 << 14)  # MS_REC
    slave = subprocess.Popen(["unshare", "-m", "--propagation", "slave", "sleep", MARK])
    try:
        time.sleep(0.2)
        theirs = own(mountinfo(slave.pid), base) + own(mountinfo(slave.pid), peer)
        ours = own(mountinfo(), base) + own(mountinfo(), peer)
        with chroot.Root(top, dev="minimal"):
            during_slave = own(mountinfo(slave.pid), base) + own(mountinfo(slave.pid), peer)
            during_peer = own(mountinfo(), peer)
            made = [line for line in own(mountinfo(), top) if line not in ours]
        # The bare self-bind alone reaches them: a copy at the root, with
        # nothing under it; none of the mounts made under it.
        assert len(made) > 10
        extra = [line.split()[4] for line in during_slave if line not in theirs]
        assert sorted(extra) == sorted([str(peer / "root"), str(top)])
        assert [line.split()[4] for line in during_peer if line not in ours] == [str(peer / "root")]
        # Gone with close(); the root's own mounts keep their ids and propagation.
        after_slave = own(mountinfo(slave.pid), base) + own(mountinfo(slave.pid), peer)
        after = own(mountinfo(), base) + own(mountinfo(), peer)
        assert (after_slave, after) == (theirs, ours)
        unmount_all_below(peer)
        unmount_all_below(top)
        assert own(mountinfo(slave.pid), top) == []
        assert devices_left(file) == []  # nothing holds the image
    finally:
        slave.kill()
        slave.wait()


STORM = os.path.join(PROGRAMS, "interrupted_roots.py")


@pytest.mark.storm
@pytest.mark.parametrize("what", ["root", "run", pytest.param("userns", marks=pytest.mark.userns)])
def test_ctrl_c_at_any_moment_leaves_nothing(root, tmp_path, what):
    cycles = 300
    argv = [sys.executable, STORM, what, str(root), str(cycles), str(tmp_path)]
    got = subprocess.run(argv, capture_output=True, timeout=120)
    assert got.returncode == 0, got.stderr.decode()[-3000:]
    report = json.loads(got.stdout)
    assert report["interrupted"] > cycles // 4
    assert (report["faults"], report["unexpected"]) == ([], [])


def test_ctrl_c_in_a_roots_command_and_its_exit_in_one_close(root):
    # The command and a daemon of it hold the Root's /tmp: the interrupt
    # ends both, and the Root's exit takes every mount down at once.
    previous = signal.signal(signal.SIGALRM, signal.default_int_handler)
    signal.setitimer(signal.ITIMER_REAL, 0.3)
    try:
        with pytest.raises(KeyboardInterrupt):
            with chroot.Root(root) as inside:
                inside.run(["sh", "-c", f"cd /tmp && sleep {MARK} & cd /tmp && sleep {MARK}"])
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert gone(0) and [line for line in mountinfo().splitlines() if str(root) in line] == []


def test_an_init_reaped_by_someone_else_is_never_signalled_or_waited_for(root):
    # A caller whose SIGCHLD is SIG_IGN lets the kernel reap the init; its
    # pid then goes to another process of the caller's before an interrupt
    # ends the call: that process is neither killed nor waited for.
    script = os.path.join(PROGRAMS, "reused_init_pid.py")
    argv = ["unshare", "--pid", "--fork", "--mount-proc", sys.executable, script, str(root)]
    got = subprocess.run(argv, capture_output=True, timeout=60)
    assert got.returncode == 0, got.stderr.decode()[-3000:]
    assert json.loads(got.stdout) == {"same pid": True, "alive": True, "waited": False}


def test_a_process_of_a_slave_namespace_in_the_root_never_keeps_it_bound(root):
    # A service (a slave namespace, alive before the Root) goes into the
    # root while the Root is up: its cwd is on its copy of the bare
    # self-bind. close() still takes everything down, in both tables.
    slave = subprocess.Popen(["unshare", "-m", "--propagation", "slave", "sh", "-c",
                              f"read go && cd {root} && echo in && exec sleep {MARK}"],
                             stdin=subprocess.PIPE, stdout=subprocess.PIPE)  # fmt: skip
    try:
        time.sleep(0.2)
        theirs, ours = own(mountinfo(slave.pid), root), own(mountinfo(), root)
        with chroot.Root(root):
            slave.stdin.write(b"go\n")
            slave.stdin.flush()
            assert slave.stdout.readline() == b"in\n"
        assert (own(mountinfo(slave.pid), root), own(mountinfo(), root)) == (theirs, ours)
    finally:
        slave.kill()
        slave.wait()
        slave.stdin.close()
        slave.stdout.close()


def test_an_ordinary_user_is_refused_naming_the_root_and_nothing_is_made():
    root = tempfile.mkdtemp(prefix="velkora-root-")  # one uid 65534 can reach
    try:
        os.chmod(root, 0o755)
        program = (
            "from velkora import chroot\n"
            f"for call in (lambda: chroot.run({root!r}, ['true'], binds=[('/tmp', '/mnt/x')]),"
            f" lambda: chroot.Root({root!r}, binds=[('/tmp', '/mnt/x')]).__enter__()):\n"
            "    try:\n        call()\n    except OSError as e:\n        print(type(e).__name__, e.errno, e.filename)"
        )
        argv = [sys.executable, os.path.join(PROGRAMS, "as_user.py"), "-c", program]
        got = subprocess.run(argv, capture_output=True, text=True, timeout=30)
        assert got.stdout.splitlines() == [f"PermissionError 1 {root}"] * 2, got.stderr
        assert os.listdir(root) == [] and own(mountinfo(), root) == []
    finally:
        os.rmdir(root)


def test_only_the_places_velkora_made_are_removed(root, tmp_path):
    # The command moves the /mnt made for its bind away and makes its own
    # /mnt/x; a Root's user does the same: theirs stay, and what was moved
    # away is theirs now.
    script = "mv /mnt /mnt.old && mkdir -p /mnt/x"
    chroot.run(root, ["sh", "-c", script], binds=[(tmp_path, "/mnt/x")], check=True)
    assert sorted(tree(root / "mnt") + tree(root / "mnt.old")) == ["x", "x"]
    shutil.rmtree(root / "mnt")
    shutil.rmtree(root / "mnt.old")
    with chroot.Root(root, binds=[(tmp_path, "/mnt/x")]):
        os.rename(root / "mnt", root / "mnt.old")
        (root / "mnt" / "x").mkdir(parents=True)
    assert sorted(tree(root / "mnt") + tree(root / "mnt.old")) == ["x", "x"]


@pytest.mark.parametrize("first", ["run", "Root"])
def test_the_first_to_end_leaves_the_places_another_command_uses(root, tmp_path, first):
    # Another command starts in the root while the first (a command, or a
    # Root) has its places made there, and outlives it: removing them would
    # take its /proc and its bind away (rmdir detaches another namespace's
    # mounts).
    (tmp_path / "f").write_text("still here")
    binds = [(tmp_path, "/mnt/x")]
    script = "sleep 0.6; cat /mnt/x/f; test -e /proc/self/stat && echo ' and /proc'"
    got = {}

    def second():
        got["run"] = chroot.run(root, ["sh", "-c", script], binds=binds, capture_output=True)

    other = threading.Thread(target=second)
    if first == "run":
        ahead = threading.Thread(target=chroot.run, args=(root, ["sleep", "0.3"]), kwargs={"binds": binds})
        ahead.start()
        while not (root / "mnt" / "x").is_dir():
            time.sleep(0.01)
        other.start()
        ahead.join()
    else:
        with chroot.Root(root, binds=binds):
            other.start()
            time.sleep(0.3)
    other.join()
    assert got["run"].stdout == b"still here and /proc\n", got["run"].stderr

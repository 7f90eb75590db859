"""The velkora command, run as a user runs it, in the session's private mount namespace."""

import errno
import json
import os
import select
import shutil
import signal
import subprocess
import sys
from pathlib import Path

import pytest

import velkora
import velkora.mount as vm
from support.loops import devices_left
from velkora import loop
from velkora.mountinfo import mount_at

SCRIPT = Path(sys.executable).parent / "velkora"


def velkora_(*args, env=None, check=True):
    run = subprocess.run([sys.executable, "-m", "velkora", *map(str, args)], capture_output=True, text=True,
                         env=dict(os.environ, **(env or {})))  # fmt: skip
    assert "Traceback" not in run.stderr
    if check:
        assert run.returncode == 0, run.stderr
    return run


def make_tree(place):
    """place: vk-top; place/a: vk-a, place/a/x: vk-x; "place/b<newline>b": vk-b."""
    vm.mount("vk-top", str(place), "tmpfs")
    for name, source in (("a", "vk-a"), ("a/x", "vk-x"), ("b\nb", "vk-b")):
        (place / name).mkdir()
        vm.mount(source, str(place / name), "tmpfs", 0, "size=64k" if name == "a" else "")


def flat(tree, depth=0):
    for node in tree:
        yield depth, node["target"], node["source"], node["fstype"], node["options"]
        yield from flat(node.get("children", []), depth + 1)


def test_list_json_is_findmnts(place):
    make_tree(place)
    # Siblings by id where an id is used again (an earlier sibling gone, a
    # new one in its place), and ro where only the superblock is read-only.
    for name in ("c", "d", "e"):
        (place / name).mkdir()
        vm.mount("vk-" + name, str(place / name), "tmpfs")
    vm.umount(str(place / "c"))
    vm.mount("vk-r", str(place / "c"), "tmpfs")
    vm.mount("none", str(place / "c"), "", vm.MS_REMOUNT | vm.MS_RDONLY)
    vm.mount("none", str(place / "c"), "", vm.MS_REMOUNT | vm.MS_BIND)
    ids = [m.id for m in velkora.mountinfo.mounts("mountinfo") if m.parent_id == mount_at(place).id]
    assert ids == sorted(ids)  # statmount's route: in test_mountinfo, which compares the two routes
    ours = list(flat(json.loads(velkora_("list", "--json").stdout)["filesystems"]))
    theirs = list(
        flat(json.loads(subprocess.run(["findmnt", "-J"], capture_output=True, check=True).stdout)["filesystems"])
    )
    # The tree's shape, targets and types everywhere; sources and options of the tmpfs mounts made here.
    assert [row[:2] + row[3:4] for row in ours] == [row[:2] + row[3:4] for row in theirs]
    assert [row for row in ours if row[2].startswith("vk-")] == [row for row in theirs if row[2].startswith("vk-")]


@pytest.mark.parametrize(
    ("locale", "branch", "last", "through"), [("C.UTF-8", "├─", "└─", "│ "), ("C", "|-", "`-", "| ")]
)
def test_list_draws_the_tree(place, locale, branch, last, through):
    make_tree(place)
    rows = [
        ("TARGET", "SOURCE", "FSTYPE", "OPTIONS"),
        (f"{place}", "vk-top", "tmpfs", "rw,relatime"),
        (f"{branch}{place}/a", "vk-a", "tmpfs", "rw,relatime,size=64k"),
        (f"{through}{last}{place}/a/x", "vk-x", "tmpfs", "rw,relatime"),
        (f"{last}{place}/b\\x0ab", "vk-b", "tmpfs", "rw,relatime"),  # one line a mount
    ]
    width = max(len(row[0]) for row in rows)
    expected = "".join(f"{t:<{width}} {s:<6} {f:<6} {o}\n" for t, s, f, o in rows)
    # LC_ALL=C: ASCII, as findmnt draws it, though Python's UTF-8 mode makes the output UTF-8.
    assert velkora_("list", place / "a" / "..", env={"LC_ALL": locale}).stdout == expected


def test_mount_and_umount_round_trips(place):
    for name in ("m", "n", "o"):
        (place / name).mkdir()
    velkora_("mount", "-t", "tmpfs", "-o", "size=1m,noexec,nofail,shared", "vk-m", place / "m")
    m = mount_at(place / "m")
    assert (m.source, m.options, m.super_options, m.propagation[0][:7]) == (
        "vk-m",
        "rw,noexec,relatime",
        "rw,size=1024k",
        "shared:",
    )
    velkora_("mount", "--make-private", place / "m")
    velkora_("mount", "--rbind", place / "m", place / "n")
    velkora_("mount", "--move", place / "n", place / "o")
    assert (mount_at(place / "m").propagation, mount_at(place / "o").source) == ((), "vk-m")
    velkora_("umount", "-R", place / "o")
    velkora_("umount", "-l", place / "m")
    assert mount_at(place / "m").mount_point == mount_at(place).mount_point


@pytest.mark.blockdev  # an image on a loop device, mounted
def test_image_and_loop_round_trips(place, btrfs_image):
    for name in ("m", "img"):
        (place / name).mkdir()
    # An image file: on a loop device with autoclear, gone with the mount.
    image = btrfs_image
    velkora_("mount", "-o", "noatime", image, place / "img")
    assert mount_at(place / "img").fs_type == "btrfs" and loop.devices(image)[0].autoclear
    # Mounted again: the same device, so one filesystem that sees its own writes.
    velkora_("mount", image, place / "m")
    (place / "img" / "written").write_text("once")
    assert len(loop.devices(image)) == 1 and (place / "m" / "written").read_text() == "once"
    velkora_("umount", place / "img")
    velkora_("umount", place / "m")
    assert devices_left(image) == []

    # A device attached by the command stays attached, without autoclear.
    device = velkora_("loop", "attach", "-r", "--offset", "0x1000", image).stdout.strip()
    try:
        listed = json.loads(velkora_("loop", "list", "--json").stdout)["loopdevices"]
        assert {"name": device, "back-file": str(image), "offset": 4096, "ro": True, "autoclear": False}.items() <= [
            d for d in listed if d["name"] == device
        ][0].items()
    finally:
        velkora_("loop", "detach", device)
    assert devices_left(image) == []
    assert (
        subprocess.run([SCRIPT, "--version"], capture_output=True, text=True).stdout
        == f"velkora {velkora.__version__}\n"
    )


@pytest.mark.parametrize(
    ("args", "status", "said"),
    [
        ([], 2, "the following arguments are required: COMMAND"),
        (["bogus"], 2, "invalid choice: 'bogus'"),
        (["list", "--pid", "0"], 2, "not a process id: '0'"),
        (["list", "--pid", "4194305"], 1, "velkora: list --pid 4194305: No such process"),
        (["mount", "only-source"], 1, "velkora: mount only-source: can't find in /etc/fstab"),
        (["mount"], 2, "mount needs SOURCE and TARGET, or -a"),
        (["mount", "--make-private", "a", "b"], 2, "--make-* takes one TARGET"),
        (["mount", "-t", "tmpfs", "x", "{place}/none"], 1, "velkora: mount {place}/none: No such file or directory"),
        pytest.param(["mount", "{place}/none.img", "{place}"], 1,  # Btrfs: refused first in a user namespace
                     "velkora: mount {place}/none.img: No such file or directory", marks=pytest.mark.blockdev),
        pytest.param(["mount", "-t", "tmpfs", "-o", "noexce", "x", "{place}"], 1,  # the reason: from fsconfig
                     "velkora: mount {place}: tmpfs: Unknown parameter 'noexce'\n", marks=pytest.mark.fdmount),
        (["mount", "-o", "remount,ro", "{place}"], 1, "velkora: mount {place}: not mounted\n"),
        (["mount", "--bind", "--move", "{place}", "{place}"], 2, "exclude each other"),
        (["mount", "--rbind", "--move", "{place}", "{place}"], 2, "exclude each other"),
        (["mount", "--move", "-o", "bind", "{place}", "{place}"], 2, "exclude each other"),
        (["list", "{place}/none"], 1, "velkora: list {place}/none: No such file or directory"),
        (["mount", "-o", "loop,offset=x", "{place}/f", "{place}"], 1, "velkora: mount {place}: mount option 'offset"),
        (["umount", "{place}"], 1, "velkora: umount {place}: not mounted\n"),
        (["umount", "-R", "{place}"], 1, "velkora: umount {place}: not mounted\n"),
        (["umount", "{place}/busy"], 1, "velkora: umount {place}/busy: target is busy (pid {pid} "),
        (["loop", "attach", "{place}/none"], 1, "velkora: loop attach {place}/none: No such file or directory"),
        (["loop", "attach", "--offset", "x", "{place}/f"], 2, "not a number of bytes: 'x'"),
        (["loop", "attach", "--sizelimit", "99999999999999999999999", "{place}/f"], 2, "from 0 to 2**64-1"),
        (["loop", "attach", "--sector-size", "1000", "{place}/f"], 1, "velkora: loop attach {place}/f: "),
        (["loop", "detach", "/dev/null"], 1, "velkora: loop detach: not a loop device: '/dev/null'"),
        (["watch", "--via", "inotify"], 2, "invalid choice: 'inotify'"),
    ],
)  # fmt: skip
def test_bad_input_says_one_thing(place, args, status, said):
    (place / "f").write_bytes(b"\0" * 4096)
    # A mount below place, which "umount -R place" must leave, and one held busy.
    (place / "inner").mkdir()
    (place / "busy").mkdir()
    vm.mount("vk-inner", str(place / "inner"), "tmpfs")
    vm.mount("vk-busy", str(place / "busy"), "tmpfs")
    with open(place / "busy" / "held", "w"):
        run = velkora_(*(a.format(place=place) for a in args), check=False)
    assert run.returncode == status and run.stdout == ""
    if status == 1:  # an operation that failed: one line
        assert run.stderr.count("\n") == 1 and run.stderr.startswith(said.format(place=place, pid=os.getpid()))
    else:  # a usage error: the subcommand's usage and the message
        command = " ".join(args[:2] if args[:1] == ["loop"] else args[:1] if args[:1] != ["bogus"] else [])
        assert run.stderr.startswith(f"usage: velkora {command}".rstrip()) and said in run.stderr.splitlines()[-1]
    assert mount_at(place / "inner").source == "vk-inner"


def test_without_root_the_message_says_so(place, monkeypatch, capsys):
    # As a user who is not root: the kernel's EPERM, and the message says why.
    import velkora._mounttable
    from velkora import cli

    def refused(*args, **kwargs):
        raise PermissionError(errno.EPERM, os.strerror(errno.EPERM), str(place))

    monkeypatch.setattr(os, "geteuid", lambda: 1000)
    monkeypatch.setattr(velkora._mounttable, "mount", refused)
    assert cli.main(["mount", "-t", "tmpfs", "x", str(place)]) == 1
    assert capsys.readouterr().err == f"velkora: mount {place}: Operation not permitted (velkora mount needs root)\n"


@pytest.mark.parametrize("via", [pytest.param("fanotify", marks=pytest.mark.fdmount), "mountinfo"])
def test_watch_prints_events_until_ctrl_c(place, via):
    # SIGINT as a terminal gives it (a shell's background job has it ignored).
    watcher = subprocess.Popen([sys.executable, "-m", "velkora", "watch", "--json", "--via", via],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                               preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))  # fmt: skip
    with watcher:
        try:
            # Mount, or unmount, until the watch, once started, reports it.
            (place / "w").mkdir()
            while not select.select([watcher.stdout], [], [], 0.1)[0]:
                if os.path.ismount(place / "w"):
                    vm.umount(str(place / "w"))
                else:
                    vm.mount("vk-w", str(place / "w"), "tmpfs")
            line = json.loads(watcher.stdout.readline())
            assert line.pop("action") in ("attach", "detach")
            assert line == {"target": str(place / "w"), "source": "vk-w", "fstype": "tmpfs", "options": "rw,relatime"}
            watcher.send_signal(signal.SIGINT)
            # Read to the end: a watch blocked on a full pipe would never exit.
            try:
                _, err = watcher.communicate(timeout=10)
            except subprocess.TimeoutExpired:
                state = open(f"/proc/{watcher.pid}/status").read() + open(f"/proc/{watcher.pid}/wchan").read()
                pytest.fail(f"the watch did not end on SIGINT:\n{state}")
            assert (watcher.returncode, err) == (130, "")
        finally:
            watcher.kill()
            shutil.rmtree(place / "w", ignore_errors=True)


@pytest.mark.parametrize(
    "argv",
    [["list"], ["list", "/srv", "--json"], ["list", "--pid=1", "--via", "statmount"], ["list", "--via=mountinfo"],
     ["list", "--pid", "0"], ["list", "--js"], ["list", "-h"], ["list", "a", "b"], ["list", "--", "-x"],
     ["list", "--via"], ["mount", "x"]],
)  # fmt: skip
def test_the_quick_reading_of_list_is_argparses(argv, capsys):
    from velkora import cli

    quick = cli._quick_list(argv)
    try:
        parsed = vars(cli.parser(argv[0]).parse_args(argv))
    except SystemExit:
        parsed = None
    # Read without argparse only where argparse reads the same.
    assert quick is None or {key: parsed[key] for key in quick if key != "run"} == {
        key: value for key, value in quick.items() if key != "run"
    }
    assert (quick is None) == (argv in (["list", "--pid", "0"], ["list", "--js"], ["list", "-h"], ["list", "a", "b"],
                                        ["list", "--", "-x"], ["list", "--via"], ["mount", "x"]))  # fmt: skip


def test_list_imports_only_what_it_uses(place):
    program = "import sys; from velkora.cli import main; main(['list']); print(*sorted(sys.modules))"
    loaded = set(subprocess.run([sys.executable, "-c", program], capture_output=True, text=True,
                                check=True).stdout.splitlines()[-1].split())  # fmt: skip
    heavy = {
        "argparse",
        "typing",
        "inspect",
        "importlib.metadata",
        "zipfile",
        "socket",
        "random",
        "email",
        "enum",
        "re",
    }
    assert loaded & heavy == set()


def test_names_reach_the_terminal_and_json_escaped(place):
    vm.mount("vk-top", str(place), "tmpfs")
    for name in (b"c\xc2\x9bd", b"a\xffb"):  # U+009B (CSI) in UTF-8, and a byte that is no UTF-8
        os.mkdir(os.fsencode(place) + b"/" + name)
        subprocess.run([b"mount", b"-t", b"tmpfs", b"vk", os.fsencode(place) + b"/" + name], check=True)
    text = subprocess.run([sys.executable, "-m", "velkora", "list", str(place)], capture_output=True, check=True)
    assert b"\x9b" not in text.stdout and b"\xff" not in text.stdout
    assert {f"{place}/c\\xc2\\x9bd", f"{place}/a\\xffb"} <= {line.split()[0].lstrip("├└─│ ")
                                                             for line in text.stdout.decode().splitlines()}  # fmt: skip
    shown = subprocess.run([sys.executable, "-m", "velkora", "list", "--json", str(place)], capture_output=True,
                           check=True).stdout.decode("utf-8")  # strict: valid UTF-8  # fmt: skip
    children = json.loads(shown)["filesystems"][0]["children"]
    assert {child["target"] for child in children} == {f"{place}/c\x9bd", f"{place}/a\\xffb"}


def test_umount_r_takes_stacked_and_hidden_mounts(place):
    # An older mount moved onto a newer one covers it and hides what is below it.
    vm.mount("vk-top", str(place), "tmpfs")
    for name in ("a", "b"):
        (place / name).mkdir()
        vm.mount(f"vk-{name}", str(place / name), "tmpfs")
    (place / "b" / "sub").mkdir()
    vm.mount("vk-sub", str(place / "b" / "sub"), "tmpfs")
    vm.mount(str(place / "a"), str(place / "b"), "", 8192)  # MS_MOVE
    velkora_("umount", "-R", place)
    assert mount_at(place).mount_point != str(place)
    assert not [m for m in velkora.mountinfo.mounts() if (m.mount_point or "").startswith(str(place))]


def test_a_path_holds_only_what_is_below_it(place):
    # place/a is a directory holding a mount; place/ab is a mount beside it.
    vm.mount("vk-top", str(place), "tmpfs")
    for name in ("a", "a/x", "ab"):
        (place / name).mkdir()
    for name in ("a/x", "ab"):
        vm.mount("vk-" + name, str(place / name), "tmpfs")
    listed = json.loads(velkora_("list", "--json", place / "a").stdout)["filesystems"]
    assert [(node["target"], [child["target"] for child in node["children"]]) for node in listed] == [
        (str(place), [str(place / "a/x")])
    ]
    assert [m.mount_point for m in velkora.mountinfo.mounts_below(place / "a")] == [str(place / "a/x")]


# ---------------------------------------------------------------------------
# velkora chroot: the command's status as chroot(1) and arch-chroot give it,
# and Ctrl-C.


@pytest.fixture
def busybox_root(place):
    busybox = shutil.which("busybox")
    if busybox is None:
        pytest.skip("busybox not found (Debian: busybox-static)")
    vm.mount("vk-root", str(place), "tmpfs")
    (place / "bin").mkdir()
    shutil.copy(busybox, place / "bin" / "busybox")
    for name in ("sh", "sleep", "true"):
        os.symlink("busybox", place / "bin" / name)
    (place / "bin" / "plain").write_text("not a program")
    return place


@pytest.mark.parametrize(
    ("argv", "status", "said"),
    [(["sh", "-c", "exit 3"], 3, ""), (["sh", "-c", "kill -9 $$"], 137, ""),
     (["velkora-missing"], 127, "failed to run command 'velkora-missing': No such file or directory"),
     (["/bin/plain"], 126, "failed to run command '/bin/plain': Permission denied")],
)  # fmt: skip
def test_chroot_exits_with_the_commands_status(busybox_root, argv, status, said):
    # The same root through chroot(1): the same status.
    ran = velkora_("chroot", "--dev", "minimal", busybox_root, *argv, check=False)
    theirs = subprocess.run(["chroot", str(busybox_root), *argv], capture_output=True).returncode
    assert (ran.returncode, theirs if theirs >= 0 else 128 - theirs) == (status, status)
    assert said in ran.stderr
    assert [m.mount_point for m in velkora.mountinfo.mounts_below(busybox_root)] == [str(busybox_root)]


def test_chroot_passes_ctrl_c_to_the_command_and_exits_with_it(busybox_root):
    # Ctrl-C reaches the whole process group: the command takes it, velkora
    # waits for its end and exits with its status; its daemon goes too.
    script = "trap 'exit 42' INT; sleep 4242 & echo up; wait"
    ran = subprocess.Popen([sys.executable, "-m", "velkora", "chroot", str(busybox_root), "sh", "-c", script],
                           stdout=subprocess.PIPE, start_new_session=True)  # fmt: skip
    try:
        assert ran.stdout.readline() == b"up\n"
        os.killpg(ran.pid, signal.SIGINT)
        assert ran.wait(timeout=10) == 42
    finally:
        ran.kill()
        ran.wait()
        ran.stdout.close()
    assert not [p for p in os.listdir("/proc") if p.isdigit() and _cmdline(p) == [b"sleep", b"4242"]]


def _cmdline(pid):
    try:
        with open(f"/proc/{pid}/cmdline", "rb") as f:
            return f.read().split(b"\0")[:-1]
    except OSError:
        return None


@pytest.mark.parametrize(
    "args",
    [["root\x1b[31m\udc9b\udcff", "true"], ["--bind", "/velkora-missing\x1b]0;x\x07:/mnt", "root", "true"],
     ["--bind", "/tmp:/bin/plain/\x1b[2J", "root", "true"], ["--bind", "/tmp:/", "root\x1b[31m\x85", "true"]],
)  # fmt: skip
def test_chroot_errors_escape_what_they_name(busybox_root, args):
    # A root, a bind's source or target holding ESC, BEL, C1 or undecodable
    # bytes: one line, each escaped as findmnt writes it.
    os.symlink(busybox_root, busybox_root / "root\x1b[31m\x85")
    paths = {"root": busybox_root, "root\x1b[31m\x85": busybox_root / "root\x1b[31m\x85"}
    argv = [os.fsencode(str(paths.get(a, busybox_root / a if a.startswith("root") else a))) for a in args]
    ran = subprocess.run([sys.executable, "-m", "velkora", "chroot", *argv], capture_output=True)
    assert ran.returncode == 1 and ran.stderr.startswith(b"velkora: chroot ")
    assert b"\\x1b" in ran.stderr and ran.stderr.count(b"\n") == 1
    assert [c for c in ran.stderr[:-1] if c < 0x20 or 0x7F <= c <= 0x9F or c == 0xFF] == []

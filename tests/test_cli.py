"""The velkora command, run as a user runs it, in the session's private mount namespace."""

from __future__ import annotations

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
from support.command import velkora_
from support.loops import devices_left
from velkora import loop
from velkora.mountinfo import mount_at

SCRIPT = Path(sys.executable).parent / "velkora"


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
        (["mount", "-t", "tmpfs", "x", "{place}/none"], 1, "velkora: mount {place}/none: mount point does not exist\n"),
        (["mount", "{place}/none.img", "{place}"], 1, "velkora: mount {place}: special device {place}/none.img does "
                                                       "not exist\n"),
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


# Every subcommand, with what it needs besides: a word it does not take.
SUBCOMMANDS = [["list"], ["mount"], ["umount"], ["loop", "attach", "f"], ["loop", "detach", "d"], ["loop", "list"],
               ["watch"], ["chroot", "/"], ["holders", "/"], ["fstab", "verify"], ["fstab", "generate", "/"],
               ["blkid"]]  # fmt: skip


@pytest.mark.parametrize("args", SUBCOMMANDS, ids=" ".join)
def test_a_word_no_argument_takes_prints_the_subcommands_usage(args):
    command = " ".join(args[:2] if args[0] in ("loop", "fstab") else args[:1])
    words = len(command.split())
    run = velkora_(*args[:words], "--bogus\x1b", *args[words:], check=False)
    lines = run.stderr.splitlines()
    # argparse's own shape for a subparser's error: its usage line, and its
    # prog in the message.
    assert (run.returncode, run.stdout) == (2, "")
    assert lines[0].startswith(f"usage: velkora {command} [-h]")
    assert lines[-1] == f"velkora {command}: error: unrecognized arguments: --bogus\\x1b"


def test_argparse_own_usage_errors_escape_the_word():
    # argparse quotes an ambiguous option whole, its value as given.
    run = velkora_("mount", "--make-r=\x1b[2J\x07", "x", check=False)
    assert (run.returncode, _raw_controls(run.stderr)) == (2, [])
    assert run.stderr.splitlines()[-1].startswith(
        "velkora mount: error: ambiguous option: --make-r=\\x1b[2J\\x07 could"
    )


def _missing_type() -> str:
    """A type mount(8) knows of that the kernel lacks (mount(8) probes the
    device for one it knows nothing of)."""
    with open("/proc/filesystems") as f:
        known = {line.split()[-1] for line in f}
    lacking = [t for t in ("vfat", "nilfs2", "jfs", "hfsplus", "minix", "udf", "reiserfs") if t not in known]
    if not lacking:
        pytest.skip("the kernel has every type tried")
    return lacking[0]


def _reason(mount8: subprocess.CompletedProcess, target) -> str:
    """mount(8)'s reason: "mount: TARGET: REASON." on its first line."""
    first = mount8.stderr.splitlines()[0]
    assert first.startswith(f"mount: {target}: ") and first.endswith("."), mount8.stderr
    return first[len(f"mount: {target}: ") : -1]


@pytest.mark.blockdev  # an ext4 image on a loop device
def test_a_refused_mount_says_what_mount8_says(place, tmp_path_factory):
    image = tmp_path_factory.mktemp("ext4") / "ext4.img"
    with open(image, "wb") as f:
        f.truncate(16 << 20)
    subprocess.run(["mkfs.ext4", "-q", str(image)], check=True)
    (place / "d").mkdir()
    (place / "f").write_text("")
    d, none, nodev = place / "d", place / "none", place / "nodev"
    # The words compared are util-linux 2.38's (Debian 12): later ones name
    # the fd call where the kernel gave a reason, and say less where it gave
    # none (a file as the mount point: "wrong fs type, ...").
    classic = " 2.38" in subprocess.run(["mount", "--version"], capture_output=True, text=True).stdout
    with loop.attach(image) as attached:
        device = attached.path
        # The same words to mount(8) and to velkora, in the same namespace:
        # velkora says what mount(8) says, after the type it tried where the
        # kernel gave no reason (never "not mounted": nothing was).
        for args, tried in [
            (["-t", "btrfs", device, d], "btrfs: "),  # an ext4 partition, the wrong type
            (["-t", _missing_type(), device, d], ""),
            (["-t", "ext4", device, none], ""),
            (["-t", "ext4", nodev, d], ""),
            ([nodev, d], ""),  # the type probed: there is nothing to probe
            (["-t", "tmpfs", "vk-t", place / "f"], ""),  # a file
            (["-t", "tmpfs", "vk-t", place / "f" / "x"], ""),  # a file on the way
            (["--bind", nodev, d], ""),
            (["-t", "ext4", "/dev/null", d], "ext4: "),  # no block device
            (["-t", "ext4", place / "f" / "x", d], ""),  # a file on the source's way
            ([place / "f" / "x", d], ""),  # ... with the type to be probed
        ]:
            theirs = subprocess.run(["mount", *map(str, args)], capture_output=True, text=True)
            ours = velkora_("mount", *args, check=False)
            assert (theirs.returncode, ours.returncode) == (32, 1), (args, theirs.stderr, ours.stderr)
            if classic:
                assert ours.stderr == f"velkora: mount {args[-1]}: {tried}{_reason(theirs, args[-1])}\n"
            else:
                assert "not mounted" not in ours.stderr
            assert not os.path.ismount(d)
        # The library: the type found by default (ext4 here, as findmnt sees
        # it), and a refusal that names the type it tried.
        with velkora.mounted(device, d):
            found = subprocess.run(["findmnt", "-no", "FSTYPE", str(d)], capture_output=True, text=True).stdout
        assert found == "ext4\n"
        with pytest.raises(OSError) as refused:
            velkora.mounted(device, d, "btrfs").__enter__()
        assert (refused.value.errno, refused.value.filename) == (errno.EINVAL, str(d))
        assert refused.value.strerror.startswith(f"btrfs: wrong fs type, bad option, bad superblock on {device},")
        assert not os.path.ismount(d)


@pytest.mark.parametrize("how", ["command", "mounted", "fstab"])
@pytest.mark.parametrize("word", ["X-mount.owner=1", "X-mount.mode=0700", "x-mount.subdir=a"])
def test_an_x_mount_word_velkora_does_not_carry_out_is_refused(place, how, word):
    from velkora import fstab

    (place / "src").mkdir()
    (place / "dst").mkdir()
    source, target = place / "src", place / "dst"
    options = f"bind,x-systemd.automount,x-gvfs-show,{word}"  # the comments alone would be ignored
    if how == "command":
        run = velkora_("mount", "-o", options, source, target, check=False)
        assert (run.returncode, run.stderr) == (1, f"velkora: mount {target}: mount option {word!r}: velkora does not "
                                                   "carry it out\n")  # fmt: skip
    else:
        with pytest.raises(OSError) as refused:
            if how == "mounted":
                velkora.mounted(source, target, options=options).__enter__()
            else:
                fstab.mount_all(fstab.parse(f"{source} {target} none {options} 0 0\n"))
        assert (refused.value.errno, refused.value.filename) == (errno.EINVAL, str(target))
        assert word in refused.value.strerror
    # Nothing mounted, as findmnt sees it.
    assert subprocess.run(["findmnt", str(target)], capture_output=True).returncode == 1
    velkora_("mount", "-o", "bind,x-systemd.automount,x-gvfs-show", source, target)
    assert subprocess.run(["findmnt", "-no", "SOURCE", str(target)], capture_output=True, text=True).stdout.endswith(
        f"{source}]\n"  # the whole path from the filesystem's root, in a chroot too
    )


def _raw_controls(text: str) -> list[str]:
    """The control characters of text other than its line ends."""
    return [c for c in text if (ord(c) < 0x20 and c != "\n") or 0x7F <= ord(c) <= 0x9F]


def _map_files_open() -> bool:
    try:
        os.close(os.open(f"/proc/self/map_files/{os.listdir('/proc/self/map_files')[0]}", os.O_PATH))
    except OSError:
        return False
    return True


def test_holders_and_a_busy_umount_escape_names_and_compare_mounts(place):
    # One tmpfs, mounted at a and bound at b: one device, two mounts.
    for name in ("a", "b"):
        (place / name).mkdir()
    vm.mount("vk-held", str(place / "a"), "tmpfs")
    (place / "a" / "f").write_bytes(b"x" * 4096)
    vm.mount(str(place / "a"), str(place / "b"), "", vm.MS_BIND)
    # A process names itself (PR_SET_NAME, as /proc/self/comm writes it):
    # ESC, BEL and a newline that would forge a line.
    name = "\x1b[31m\x07ev\nil"
    code = "import mmap, sys, time; open('/proc/self/comm', 'w').write(sys.argv[1]); f = open(sys.argv[2]); "
    code += "m = mmap.mmap(f.fileno(), 0, prot=mmap.PROT_READ); print(1, flush=True); time.sleep(60)"
    held = [subprocess.Popen([sys.executable, "-c", code, name, str(place / d / "f")], stdout=subprocess.PIPE,
                             cwd=place / d) for d in ("a", "b")]  # fmt: skip
    try:
        for p in held:
            p.stdout.readline()
        shown = "\\x1b[31m\\x07ev\\x0ail"
        # map_files opens only with CAP_SYS_ADMIN in the first user namespace:
        # in another one (as under qemu-user here) no mapping can be told.
        uses = ("cwd", "fd", "map") if _map_files_open() else ("cwd", "fd")
        listed = velkora_("holders", place / "a").stdout
        assert _raw_controls(listed) == [] and listed.splitlines()[1:] == [
            f"{held[0].pid:>{max(3, len(str(held[0].pid)))}} {shown:<15} {use}" for use in uses
        ]
        # JSON escapes by itself: the name as the process gave it, no raw byte.
        as_json = velkora_("holders", "--json", place / "a").stdout
        assert _raw_controls(as_json) == []
        assert json.loads(as_json) == [{"pid": held[0].pid, "name": name, "use": use} for use in uses]
        busy = velkora_("umount", place / "a", check=False)
        assert (busy.returncode, _raw_controls(busy.stderr)) == (1, [])
        assert busy.stderr == (f"velkora: umount {place / 'a'}: target is busy ("
                               + ", ".join(f"pid {held[0].pid} {shown}: {use}" for use in uses) + ")\n")  # fmt: skip
        # The kernel agrees that the process in b holds b alone: with the
        # one in a gone, a unmounts.
        held[0].kill()
        held[0].wait()
        velkora_("umount", place / "a")
        assert os.path.ismount(place / "b") and not os.path.ismount(place / "a")
    finally:
        for p in held:
            p.kill()
            p.wait()
            p.stdout.close()


def test_umount_all_escapes_every_failure(place):
    # Two fstab targets named with ESC (\\033, as fstab writes it), each
    # held busy: every failure printed, none with a raw control character.
    table = place / "fstab"
    lines = []
    for name in ("a", "b"):
        (place / f"{name}\x1b[2J").mkdir()
        lines.append(f"vk-{name} {place}/{name}\\033[2J tmpfs defaults 0 0\n")
    table.write_text("".join(lines))
    velkora_("mount", "-a", "--fstab", table)
    held = [subprocess.Popen(["sleep", "60"], cwd=place / f"{name}\x1b[2J") for name in ("a", "b")]
    try:
        run = velkora_("umount", "-a", "--fstab", table, check=False)
        assert (run.returncode, _raw_controls(run.stderr), len(run.stderr.splitlines())) == (1, [], 2), run.stderr
    finally:
        for p in held:
            p.kill()
            p.wait()


def test_without_root_the_message_says_so(place, monkeypatch, capsys):
    # As a user who is not root: the kernel's EPERM, and the message says why.
    import velkora._mounts
    from velkora import cli

    def refused(*args, **kwargs):
        raise PermissionError(errno.EPERM, os.strerror(errno.EPERM), str(place))

    monkeypatch.setattr(os, "geteuid", lambda: 1000)
    monkeypatch.setattr(velkora._mounts, "mount", refused)
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

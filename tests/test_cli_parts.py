"""The velkora command's parts for blkid, fstab (verify, generate, mount -a,
umount -a) and chroot, run as a user runs them, against blkid -p, findmnt,
mount(8) and chroot(1)."""

import json
import os
import platform
import shutil
import signal
import subprocess
import sys
from pathlib import Path

import pytest

import velkora
import velkora.mount as vm
import velkora.mountinfo
from support import PROGRAMS
from support.command import velkora_
from velkora import loop

# ---- velkora blkid: labels that hold control characters and shell words ----


def blkid_value(image, tag):
    """blkid -p's raw value of tag (its -o value form prints the bytes as they are)."""
    out = subprocess.run(["blkid", "-p", "-s", tag, "-o", "value", str(image)], capture_output=True).stdout
    return out[:-1].decode(errors="surrogateescape")


@pytest.mark.images
def test_blkid_never_prints_a_label_raw_and_export_is_safe_for_eval(tmp_path, btrfs_image):
    # An ext4 label with ESC, a terminal command, a newline and a byte that
    # is no UTF-8 (16 bytes at most); a Btrfs label that a shell would run.
    ext4 = tmp_path / "ext4.img"
    with open(ext4, "wb") as f:
        f.truncate(8 << 20)
    subprocess.run(["mkfs.ext4", "-q", "-L", "a\x1b[2J\nb: c\x07\x7f\udcff", str(ext4)], check=True)
    hostile = "x;touch PWNED$$ & y|z 'q' `w` $(v)"
    subprocess.run(["btrfs", "filesystem", "label", str(btrfs_image), hostile], check=True, capture_output=True)
    assert (blkid_value(ext4, "LABEL"), blkid_value(btrfs_image, "LABEL")) == ("a\x1b[2J\nb: c\x07\x7f\udcff", hostile)
    lines = velkora_("blkid", ext4, btrfs_image).stdout.splitlines()
    assert len(lines) == 2 and not any(c < " " or "\x7f" <= c <= "\x9f" for c in "".join(lines))
    assert lines[0].startswith(f'{ext4}: LABEL="a\\x1b[2J\\x0ab: c\\x07\\x7f\\xff" UUID=')
    # Each field one line, and eval takes each value whole, running nothing.
    for image, label in ((btrfs_image, hostile), (ext4, "a\\x1b[2J\\x0ab: c\\x07\\x7f\\xff")):
        out = velkora_("blkid", "-o", "export", image).stdout
        assert len(out.splitlines()) == 5 if image == btrfs_image else 4
        script = 'eval "$1"; printf "%s\\n%s\\n%s" "$DEVNAME" "$TYPE" "$LABEL"'
        said = subprocess.run(["sh", "-c", script, "sh", out], cwd=tmp_path, capture_output=True, text=True)
        assert said.stdout == f"{image}\n{blkid_value(image, 'TYPE')}\n{label}" and said.stderr == ""
        assert not list(tmp_path.glob("PWNED*"))
    listed = json.loads(velkora_("blkid", "--json", ext4, btrfs_image).stdout)
    assert [d["label"] for d in listed] == [blkid_value(ext4, "LABEL").replace("\udcff", "\\xff"), hostile]


@pytest.mark.images
def test_blkid_exits_2_where_nothing_is_found_as_blkid_p_does(tmp_path):
    empty = tmp_path / "empty.img"
    with open(empty, "wb") as f:
        f.truncate(1 << 20)
    theirs = subprocess.run(["blkid", "-p", str(empty)], capture_output=True)
    ours = velkora_("blkid", empty, check=False)
    assert (ours.returncode, ours.stdout) == (theirs.returncode, "") == (2, "")


# -- fstab verify, mount -a --root ----------------------------------------------


def summary(run):
    """The exit status and the last line: the count, or the word of success."""
    return run.returncode, (run.stderr.strip() or run.stdout.strip()).splitlines()[-1]


@pytest.mark.parametrize(("text", "counted"), [
    ("tmpfs {d} tmpfs defaults 0 0\nbroken line\n", (1, "1 parse error, 0 errors, 0 warnings")),
    ("tmpfs {d}/missing tmpfs defaults 0 0\n", (1, "0 parse errors, 1 error, 0 warnings")),
    ("tmpfs {d} tmpfs defaults 0 0\n", (0, "Success, no errors or warnings detected")),
])  # fmt: skip
def test_fstab_verify_exits_and_counts_as_findmnt(tmp_path, text, counted):
    from support.findmnt import crashes, findmnt

    path = tmp_path / "fstab"
    path.write_text(text.format(d=tmp_path))
    run = velkora_("fstab", "verify", path, check=False)
    theirs = findmnt("--verify", "--tab-file", path)
    # findmnt 2.41 crashes (SIGSEGV) after its first parse error, printing no
    # count: there the exit status and count 2.38 gives are the oracle.
    assert summary(run) == counted and (crashes(theirs) or summary(theirs) == counted)


@pytest.mark.fdmount  # the root's fstab is found with openat2
def test_fstab_verify_root_reads_the_roots_own_fstab(tmp_path):
    (tmp_path / "etc").mkdir()
    (tmp_path / "etc/fstab").write_text("tmpfs /only/in/this/root tmpfs defaults 0 0\n")
    run = velkora_("fstab", "verify", "--root", tmp_path, check=False)
    assert run.returncode == 1 and run.stdout.splitlines()[0] == "/only/in/this/root"


@pytest.mark.fdmount  # mounts onto fds that openat2 found
def test_mount_a_root_mounts_inside_the_root(place):
    from support.mountinfo import mounts

    root = place / "root"
    (root / "etc").mkdir(parents=True)
    (root / "run").mkdir()
    (root / "var").mkdir()
    os.symlink("/run", root / "var/run")
    (root / "etc/fstab").write_text("tmpfs /var/run tmpfs size=1m 0 0\ntmpfs /new tmpfs X-mount.mkdir 0 0\nbad\n")
    at_run = [m for m in mounts() if m["target"] == "/run"]
    run = velkora_("mount", "-a", "--root", root)
    assert "parse error at line 3" in run.stderr
    assert sorted(m["target"] for m in mounts() if m["target"].startswith(str(place))) == [
        f"{root}/new", f"{root}/run"]  # fmt: skip
    assert [m for m in mounts() if m["target"] == "/run"] == at_run
    other = place / "other"
    other.write_text("tmpfs /var/run/sub tmpfs X-mount.mkdir 0 0\n")
    velkora_("mount", "-a", "--root", root, "--fstab", other)  # a host file, its paths inside the root
    assert [m["fstype"] for m in mounts() if m["target"] == f"{root}/run/sub"] == ["tmpfs"]
    assert not os.path.exists("/run/sub")


def test_mount_a_target_prefix_binds_the_source_as_written(place, tmp_path):
    from support.mountinfo import mounts

    source = tmp_path / "host-src"
    source.mkdir()
    path = tmp_path / "fstab"
    path.write_text(f"{source} /view none bind,X-mount.mkdir 0 0\n")
    for who, top in ((["mount"], place / "theirs"), ([sys.executable, "-m", "velkora", "mount"], place / "ours")):
        subprocess.run([*who, "-a", "--fstab", str(path), "--target-prefix", str(top)], check=True)
    targets = (f"{place}/ours/view", f"{place}/theirs/view")
    views = [(m["root"], m["source"]) for m in mounts() if m["target"] in targets]
    assert len(views) == 2 and views[0] == views[1]


@pytest.mark.parametrize(
    ("lines", "failed"),
    [(["tmpfs {a} tmpfs bogusopt,nofail 0 0", "tmpfs {b} tmpfs defaults 0 0"], True),
     (["/dev/velkora-none {a} ext4 nofail 0 0", "tmpfs {b} tmpfs defaults 0 0"], False)],
    ids=["refused", "no-device"],
)  # fmt: skip
def test_mount_a_reports_a_nofail_entry_that_failed_as_mount8_does(place, lines, failed):
    # nofail passes over a device that is not there, silently; any other
    # failure is said, and the status says something failed.
    statuses = []
    for who in (["mount"], [sys.executable, "-m", "velkora", "mount"]):
        top = place / who[0].rsplit("/", 1)[-1]
        (top / "a").mkdir(parents=True)
        (top / "b").mkdir()
        (top / "fstab").write_text("".join(line.format(a=top / "a", b=top / "b") + "\n" for line in lines))
        ran = subprocess.run([*who, "-a", "--fstab", str(top / "fstab")], capture_output=True, text=True)
        statuses.append((ran.returncode != 0, f"{top / 'a'}" in ran.stderr, os.path.ismount(top / "b")))
    assert statuses[0] == statuses[1]
    with open("/proc/sys/kernel/arch") as arch:
        # Under qemu-user (the kernel's architecture differs) mount(8) fails both cases.
        if arch.read().strip() == platform.machine():
            assert statuses[0] == (failed, failed, True)


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


@pytest.mark.fdmount  # chroot resolves every place with openat2
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


@pytest.mark.fdmount  # chroot resolves every place with openat2
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


@pytest.mark.fdmount  # chroot resolves every place with openat2
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


# ---- velkora fstab generate: a label is never written as a line ----


@pytest.mark.blockdev
def test_fstab_generate_never_lets_a_label_write_a_line(place, btrfs_image):
    # A Btrfs label holding newlines, written raw in the comment above the
    # entry, would be an entry of its own: findmnt reads one entry only.
    forged = "x\nLABEL=victim /etc ext4 defaults 0 1\n#"
    subprocess.run(["btrfs", "filesystem", "label", str(btrfs_image), forged], check=True, capture_output=True)
    with loop.attach(btrfs_image) as device:
        subprocess.run(["mount", device.path, str(place)], check=True)
        try:
            out = velkora_("fstab", "generate", place).stdout
        finally:
            subprocess.run(["umount", str(place)], check=True)
    (place / "fstab").write_text(out)
    read = ["findmnt", "--tab-file", str(place / "fstab"), "-n", "-o", "TARGET"]
    assert subprocess.run(read, capture_output=True, text=True, check=True).stdout.split() == ["/"]


NAMED = [["fstab", "verify", "FSTAB"], ["mount", "-a", "--fstab", "FSTAB"], ["mount", "LABEL=a\x1b[31mb", "PLACE"],
         ["fstab", "verify", "PLACE/\x1b[2J"]]  # fmt: skip


@pytest.mark.parametrize("cmd", NAMED)
def test_fstab_and_mount_messages_never_print_a_name_raw(place, cmd):
    # A label and a target holding ESC (fstab's octal escapes), and a file
    # name holding one: every line the command prints shows them as \x1b.
    fstab = place / "fstab"
    fstab.write_text("LABEL=a\\033[31mb /nowhere/\\033[2Jx ext4 defaults 0 2\n")
    said = velkora_(*[str(w).replace("FSTAB", str(fstab)).replace("PLACE", str(place)) for w in cmd], check=False)
    printed = said.stdout + said.stderr
    assert "\\x1b" in printed and not any(c < " " and c != "\n" for c in printed)


def fstab_escaped(path):
    return "".join(f"\\{ord(c):03o}" if c in " \t\n\\" or ord(c) < 0x20 else c for c in str(path))


@pytest.mark.fdmount  # the root's fstab and targets are found with openat2
def test_mount_a_and_umount_a_print_the_entries_words_escaped(place):
    root = place / "root"
    (root / "etc").mkdir(parents=True)
    # The kernel's reason quotes the word as written.
    (root / "etc/fstab").write_text("tmpfs /a tmpfs X-mount.mkdir,bad\\033[2Jword 0 0\n")
    run = velkora_("mount", "-a", "--root", root, check=False)
    assert run.returncode == 1 and "\x1b" not in run.stderr and "bad\\x1b[2Jword" in run.stderr
    targets = [place / f"busy{n}\x1b]0;x\x07" for n in range(2)]
    for target in targets:  # each held busy by a mount below it
        target.mkdir()
        subprocess.run(["mount", "-t", "tmpfs", "tmpfs", target], check=True)
        (target / "sub").mkdir()
        subprocess.run(["mount", "-t", "tmpfs", "tmpfs", target / "sub"], check=True)
    (place / "fstab").write_text("".join(f"tmpfs {fstab_escaped(t)} tmpfs defaults 0 0\n" for t in targets))
    run = velkora_("umount", "-a", "--fstab", place / "fstab", check=False)
    assert run.returncode == 1 and "\x1b" not in run.stderr and run.stderr.count("resource busy") == 2


@pytest.mark.fdmount  # the root's fstab and targets are found with openat2
@pytest.mark.parametrize("entry, said", [
    ("/fifo /mnt auto defaults 0 0", "mount /fifo: neither a block device nor a regular file"),
    ("/fifo /mnt ext4 defaults 0 0", "/fifo: Can't lookup blockdev"),  # the kernel's words, the entry's name
    ("tmpfs /mnt nosuchfs defaults 0 0", "unknown filesystem type 'nosuchfs'"),  # mount(8)'s words
])  # fmt: skip
def test_mount_a_root_names_what_the_entry_names(place, entry, said):
    root = place / "root"
    (root / "etc").mkdir(parents=True)
    (root / "mnt").mkdir()
    os.mkfifo(root / "fifo")
    (root / "etc/fstab").write_text(entry + "\n")
    run = velkora_("mount", "-a", "--root", root, check=False)
    assert run.returncode == 1 and said in run.stderr and "/proc/self/fd" not in run.stderr


@pytest.mark.fdmount  # the root's fstab and targets are found with openat2
@pytest.mark.parametrize("entry", ["tmpfs /mnt tmpfs defaults 0 0", "/etc /mnt none bind 0 0"])
def test_mount_a_root_as_a_user_names_the_target(entry):
    import tempfile

    top = Path(tempfile.mkdtemp(prefix=f"vk-user-{os.getpid()}-"))  # one a user can read
    try:
        top.chmod(0o755)
        for d in ("etc", "mnt"):
            (top / d).mkdir()
        (top / "etc/fstab").write_text(entry + "\n")
        user = [sys.executable, str(PROGRAMS / "as_user.py")]
        run = subprocess.run([*user, "mount", "-a", "--root", str(top)], capture_output=True, text=True)
        assert run.stderr == "velkora: mount /mnt: Operation not permitted (velkora mount needs root)\n"
    finally:
        shutil.rmtree(top)


# ---- the command as a package: its usage, its parts, the library's fallbacks ----


def _commands(parser, path=()):
    """Every command and subcommand the parser knows, as word tuples
    ("loop", "attach"), each with its parser."""
    import argparse

    for action in parser._actions:
        if isinstance(action, argparse._SubParsersAction):
            for name, sub in action.choices.items():
                yield (*path, name), sub
                yield from _commands(sub, (*path, name))


def _known():
    from velkora.cli import parser

    return dict(_commands(parser()))


@pytest.mark.parametrize("words", list(_known()), ids=" ".join)
def test_every_command_is_in_the_usage_and_help(words):
    import velkora.cli

    sub = _known()[words]
    # The module's usage: a line for the command, and each of its options in
    # one of the command's lines (mount -a, umount -a included).
    lines = [line.strip() for line in velkora.cli.__doc__.splitlines() if line.strip().startswith("velkora ")]
    own = [
        line
        for line in lines
        if line.startswith("velkora " + " ".join(words) + " ") or line == "velkora " + " ".join(words)
    ]
    assert own, f"velkora {' '.join(words)} is not in velkora.cli's usage"
    text = " ".join(own)
    for action in sub._actions:
        if action.option_strings and action.dest != "help":
            assert any(f"{o} " in text + " " or f"{o}|" in text or f"{o}]" in text for o in action.option_strings), (
                f"{action.option_strings} of velkora {' '.join(words)} is not in the usage"
            )
    # --help: the parent names it, and its own exits 0 under its own usage.
    parent = velkora_(*words[:-1], "--help")
    assert f"    {words[-1]} " in parent.stdout or f"    {words[-1]}\n" in parent.stdout
    run = velkora_(*words, "--help")
    assert run.stdout.startswith(f"usage: velkora {' '.join(words)} ")


def test_the_stub_names_what_the_package_gives():
    """velkora/__init__.pyi against the package at run time: the same names
    (looked up lazily or not), and a line for each public module."""
    import ast
    import pkgutil

    stub = ast.parse((Path(velkora.__file__).parent / "__init__.pyi").read_text())
    names = {
        alias.asname or alias.name for node in stub.body if isinstance(node, ast.ImportFrom) for alias in node.names
    }
    names |= {node.target.id for node in stub.body if isinstance(node, ast.AnnAssign)}
    # What `import velkora` alone gives (the suite has imported submodules).
    program = "import velkora; print(*(n for n in dir(velkora) if not n.startswith('__')), velkora.__version__)"
    given = subprocess.run([sys.executable, "-c", program], capture_output=True, text=True, check=True).stdout.split()
    assert names == set(given[:-1]) | {"__version__"} and all(hasattr(velkora, name) for name in names)
    modules = {m.name for m in pkgutil.iter_modules(velkora.__path__) if not m.name.startswith("_")} - {"contexts"}
    said = ast.get_docstring(stub)
    assert {m for m in modules if f"velkora.{m}:" not in said} == set()


@pytest.mark.parametrize("error", ["ENOSYS", "EPERM"])
def test_mount_move_falls_back_to_mount2_where_move_mount_is_refused(place, monkeypatch, error):
    """A kernel without move_mount(2), or a container's seccomp profile that
    answers it with EPERM: --move is made with mount(2), as mount(8) makes it."""
    import errno

    import velkora.fsmount as fs
    from support.findmnt import findmnt
    from velkora.cli import main

    def refused(*args):
        raise OSError(getattr(errno, error), os.strerror(getattr(errno, error)))

    for name in ("a", "b"):
        (place / name).mkdir()
    vm.mount("vk-move", str(place / "a"), "tmpfs")
    monkeypatch.setattr(fs, "move_mount", refused)
    assert main(["mount", "--move", str(place / "a"), str(place / "b")]) == 0
    seen = findmnt("-rn", "-o", "TARGET").stdout.split()
    assert str(place / "b") in seen and str(place / "a") not in seen


@pytest.mark.parametrize("argv", [["--version"], ["--version", "--version"], ["--help"]])
def test_main_exits_for_version_and_help_as_argparse_does(capsys, argv):
    """velkora.cli.main answers --version without building the parser, yet
    as the parser answers it (and --help): SystemExit(0), not a status
    returned, whichever path took it."""
    from velkora.cli import main

    with pytest.raises(SystemExit) as exited:
        main(argv)
    assert exited.value.code == 0
    out = capsys.readouterr().out
    assert out == f"velkora {velkora.__version__}\n" if "--version" in argv else out.startswith("usage: velkora ")

"""velkora.fstab against findmnt and the kernel: the same entries from the
same files, files kept byte for byte, mount -a as mount(8) does it. verify
is in test_fstab_verify, an image's fstab mounted inside it in
test_fstab_root."""

import os
import subprocess
import sys

import pytest
from hypothesis import given
from hypothesis import strategies as st

from support.findmnt import findmnt_entries, same_as_findmnt
from support.loops import devices_left
from velkora import fstab, loop

# Files of the kinds libmount's own tests read: comments everywhere, blank
# and indented lines, escapes, broken lines, no newline at the end, CRLF.
FILES = {
    "comments": "# /etc/fstab\n\n  # indented\nUUID=d3a8f783-df75-4dc8-9163-975a891052c0 / ext3 noatime,defaults 1 1\n"
    "\t\n/dev/sda1 /boot\text2 defaults 0 2 # at the end\nproc /proc proc defaults\n#\n",
    "broken": 'tmpfs /a tmpfs\ntoo /few\nx /b ext4 ro zero 0\ny /c ext4 ro 0 two\nz /d ext4 ro 0 0 extra\n"q /e ext4\n',
    "escapes": "/dev/a\\040b /k\\011l ext4 a\\134b,c\\012 0 2\nLABEL=my\\040label /mnt/my\\040dir xfs ro 0 0\n",
    "no newline": "tmpfs /tmp tmpfs mode=1777 0 0\nsysfs /sys sysfs rw 0 0",
    "crlf": "tmpfs /tmp tmpfs mode=1777 0 0\r\n# c\r\n",
    "numbers": "a /m ext4 ro -1 +2\nb /n ext4 ro 7\n",
}


@pytest.mark.parametrize("name", list(FILES))
def test_a_file_reads_as_findmnt_reads_it_and_writes_back_the_same(tmp_path, name):
    path = tmp_path / "fstab"
    path.write_bytes(FILES[name].encode())
    table = same_as_findmnt(path)
    assert str(table) == FILES[name]
    table.write(path)
    assert path.read_bytes() == FILES[name].encode()


@given(st.text(alphabet=st.sampled_from(" \t\n\r\v\x00\x85\u2028#\\0123abc/=,x\"'"), max_size=300))
def test_any_text_round_trips(text):
    assert str(fstab.parse(text)) == text


def test_an_edit_writes_only_its_lines_escaped(tmp_path):
    path = tmp_path / "fstab"
    path.write_text(FILES["comments"])
    os.chmod(path, 0o600)
    table = fstab.read(path)
    assert table.find(target="/boot/").source == "/dev/sda1"
    table[1] = table[1]._replace(target="/boot dir\tx", options="ro,a\\b")
    del table[2]
    table.insert(0, fstab.Entry("tmpfs", "/#x", "tmpfs"))
    table.append(fstab.Entry("/dev/sdb", "/srv", "ext4", "", 0, 2))
    table.write(path)
    lines = FILES["comments"].splitlines(keepends=True)
    want = lines[:3] + ["tmpfs \\043x tmpfs defaults 0 0\n".replace(" \\043x", " /#x")] + lines[3:5]
    want += ["/dev/sda1 /boot\\040dir\\011x ext2 ro,a\\134b 0 2\n", "#\n", "/dev/sdb /srv ext4 defaults 0 2\n"]
    assert path.read_text() == "".join(want)
    assert (path.stat().st_mode & 0o777, [e for e in os.listdir(tmp_path) if e != "fstab"]) == (0o600, [])
    assert findmnt_entries(path)[2][1:2] == ("/boot dir\tx",)
    with pytest.raises(ValueError):
        table.append(fstab.Entry("", "/x", "ext4"))


@pytest.mark.blockdev
def test_mount_all_mounts_as_mount_a_and_undoes_it_whole(place, tmp_path):
    from support.mountinfo import mounts

    # A bind's source is taken as written, as mount -a --target-prefix takes it.
    image, file, source = tmp_path / "ext4.img", tmp_path / "file.img", place / "src"
    source.mkdir()
    (source / "f").touch()
    label = f"fsroot{os.getpid()}"  # not one a test run beside this one has
    for path, name in ((image, label), (file, "file")):
        with open(path, "wb") as f:
            f.truncate(16 << 20)
        subprocess.run(["mkfs.ext4", "-q", "-L", name, str(path)], check=True)
    table = fstab.parse(f"""# the child first: its parent is mounted before it
tmpfs /top/child tmpfs X-mount.mkdir 0 0
tmpfs /top tmpfs mode=0755,X-mount.mkdir 0 0
{source} /view none bind,ro,X-mount.mkdir 0 0
LABEL={label} /img auto X-mount.mkdir 0 2
{file} /file ext4 loop,ro,X-mount.mkdir 0 0
/dev/nonexist /gone ext4 nofail,X-mount.mkdir 0 0
tmpfs /never tmpfs noauto 0 0
/dev/null none swap sw 0 0
""")
    before = mounts()
    with loop.attach(image):
        with fstab.mount_all(table, prefix=str(place)) as done:
            got = {m["target"][len(str(place)) :]: m for m in mounts() if m["target"].startswith(f"{place}/")}
            assert list(got) == ["/top", "/top/child", "/view", "/img", "/file"]
            assert os.listdir(place / "view") == ["f"]
            assert (got["/img"]["fstype"], "ro" in got["/view"]["options"]) == ("ext4", True)
            assert [d.read_only for d in loop.devices(file)] == [True]
            assert [e.target for e in done.mounted] == [f"{place}{t}" for t in got]
            assert ([e.target for e in done.failed], done.errors[0].errno) == (["/gone"], 2)
            again = fstab.mount_all(table, prefix=str(place))  # what is mounted already is passed over
            assert again.mounted == [] and len(again.failed) == 1
        assert mounts() == before and devices_left(file) == []
    with pytest.raises(OSError):  # no nofail: what it mounted is undone
        fstab.mount_all(fstab.parse(f"tmpfs {place}/t tmpfs defaults\n/dev/nonexist {place} ext4 defaults\n"))
    assert mounts() == before


def test_unmount_order_is_one_the_kernel_takes_down_without_ebusy(place):
    # Children listed before and after their parents, beside swap and the
    # root: mount(8) mounts the tree parents first, and umount(8) takes it
    # down in velkora's order; a parent taken before its child is EBUSY.
    table = fstab.parse(f"""tmpfs {place}/a/b tmpfs defaults 0 0
/dev/null none swap sw 0 0
tmpfs {place}/a tmpfs defaults 0 0
tmpfs {place}/c tmpfs defaults 0 0
/dev/nonexist / ext4 noauto 0 1
tmpfs {place}/a/b/d tmpfs defaults 0 0
tmpfs {place}/a/e tmpfs defaults 0 0
""")
    order = fstab.unmount_order(table)
    assert sorted(order) == sorted(e for e in table if e.fstype != "swap") and order[-1].target == "/"
    for target in sorted(e.target for e in order[:-1]):  # parents first
        subprocess.run(["mount", "-t", "tmpfs", "-o", "X-mount.mkdir", "tmpfs", target], check=True)
    for entry in order[:-1]:
        subprocess.run(["umount", entry.target], check=True)
    assert not [line for line in open("/proc/self/mountinfo") if f" {place}" in line]


def test_prefix_mounts_what_mount8_mounts_with_target_prefix(place, tmp_path):
    from support.mountinfo import mounts

    source = tmp_path / "host-src"
    source.mkdir()
    (source / "f").touch()
    path = tmp_path / "fstab"
    path.write_text(f"tmpfs /t tmpfs X-mount.mkdir 0 0\n{source} /t/view none bind,ro,X-mount.mkdir 0 0\n")

    def below(top):
        return [(m["target"][len(str(top)) :], m["fstype"], m["source"], m["root"], "ro" in m["options"])
                for m in mounts() if m["target"].startswith(f"{top}/")]  # fmt: skip

    ours, theirs = place / "ours", place / "theirs"
    with fstab.mount_all(fstab.read(path), prefix=ours):
        subprocess.run(["mount", "-a", "-T", str(path), "--target-prefix", str(theirs)], check=True)
        assert below(ours) == below(theirs) and below(ours)[1][0] == "/t/view"


@pytest.mark.parametrize("mode", ["prefix", pytest.param("root", marks=pytest.mark.fdmount)])
def test_mount_all_looks_each_tag_up_once(place, monkeypatch, mode):
    # Targets mounted already (by what the tag names, by something else),
    # one that is not, and a tag nothing holds: each looked up once, the
    # kernel's table then as mount -a leaves it.
    from velkora import blkid

    pid = os.getpid()
    devices = {"LABEL=same": f"same{pid}", "LABEL=other": f"new{pid}", "LABEL=fresh": f"fresh{pid}"}
    asked = []

    def resolve(tag):
        asked.append(tag)
        if tag not in devices:
            raise FileNotFoundError(2, "no device holds it", tag)
        return devices[tag]

    monkeypatch.setattr(blkid, "resolve", resolve)
    for name, source in (("same", f"same{pid}"), ("other", f"old{pid}"), ("gone", f"old{pid}")):
        subprocess.run(["mount", "-t", "tmpfs", "-o", "X-mount.mkdir", source, str(place / name)], check=True)
    table = fstab.parse("".join(f"LABEL={name} /{name} tmpfs nofail,X-mount.mkdir 0 0\n"
                                for name in ("same", "other", "fresh", "gone")))  # fmt: skip
    where = {"prefix": str(place)} if mode == "prefix" else {"root": str(place)}
    with fstab.mount_all(table, **where) as done:
        table_now = [(line.split()[4], line.split(" - ")[1].split()[1]) for line in open("/proc/self/mountinfo")]
        assert [(t[len(str(place)) :], s) for t, s in table_now if t.startswith(f"{place}/")] == [
            ("/same", f"same{pid}"), ("/other", f"old{pid}"), ("/gone", f"old{pid}"),
            ("/other", f"new{pid}"), ("/fresh", f"fresh{pid}")]  # fmt: skip
        assert [e.source for e in done.failed] == ["LABEL=gone"]
    assert sorted(asked) == sorted(e.source for e in table)


# mount_all is all or nothing: a Ctrl-C while it mounts leaves no mount. One
# that lands in the caller between its return and the assignment (the
# interpreter's window, bpo-29988) leaves the whole set, which is then the
# caller's; never a part of it. In a storm, Ctrl-C after Ctrl-C, each is
# raised only where velkora runs (the undoing included), so that the loop
# here can look: nothing left, the whole set, and no fd.
INTERRUPTED = """
import os, random, signal, sys, time
from velkora import fstab, unmount
from velkora.mountinfo import mounts_below
prefix, mode, interval = sys.argv[1], sys.argv[2], float(sys.argv[3])
table = fstab.parse("".join(f"tmpfs /m{n} tmpfs X-mount.mkdir 0 0\\n" for n in range(6)))
# The Ctrl-C comes from an interval timer, not a thread: a thread's join
# interrupted by it hangs for good on 3.8 (bpo-45274), and with no other
# thread the SIGINT is held wherever mount_all holds it.
def alarm(signum, frame):
    os.kill(os.getpid(), signal.SIGINT)
signal.signal(signal.SIGALRM, alarm)
if interval:
    def interrupt(signum, frame):
        if frame.f_code is alarm.__code__:  # sent while not held: taken where the alarm came
            frame = frame.f_back
        if f"{os.sep}velkora{os.sep}" in frame.f_code.co_filename:
            raise KeyboardInterrupt
    signal.signal(signal.SIGINT, interrupt)
fds = len(os.listdir("/proc/self/fd"))
for n in range(60):
    done = None
    try:
        signal.setitimer(signal.ITIMER_REAL, random.uniform(0.0001, 0.004), interval)
        done = fstab.mount_all(table, **{mode: prefix})
        time.sleep(0.005)  # the timer has fired by the end of it
    except KeyboardInterrupt:
        pass
    signal.setitimer(signal.ITIMER_REAL, 0)
    if done is not None:
        done.unmount()
    left = [m.mount_point for m in mounts_below(prefix) if m.mount_point != prefix]
    if len(left) not in (0, 6) or (left and done is not None):
        sys.exit(f"left behind: {left}")
    for path in left:
        unmount(path)
    if len(os.listdir("/proc/self/fd")) != fds:
        sys.exit(f"fds left: {os.listdir('/proc/self/fd')}")
"""


@pytest.mark.storm
@pytest.mark.parametrize("interval", [0, 0.00005], ids=["one", "storm"])
@pytest.mark.parametrize("mode", ["prefix", pytest.param("root", marks=pytest.mark.fdmount)])
def test_mount_all_interrupted_leaves_nothing(place, mode, interval):
    from support.mountinfo import mounts

    subprocess.run([sys.executable, "-c", INTERRUPTED, str(place), mode, str(interval)], check=True, timeout=120)
    assert [m for m in mounts() if m["target"].startswith(f"{place}/")] == []


# A tree as an installer mounts one: a GPT disk with an ext4 root, a Btrfs
# pool with subvolumes, an ext4 /boot, an XFS partition; the kernel's own
# filesystems, binds of directories inside and outside the root.
DISK = 'label: gpt\nsize=310M, name="efi"\nsize=40M, name="boot"\nsize=120M, name="pool"\nsize=40M\n'
# genfstab asks lsblk, which without udev's database knows no tag: here it
# is answered by blkid's probe, as udev would have it.
LSBLK = """#!/bin/sh
case "$2" in UUID|LABEL) t=$2 ;; PARTUUID) t=PART_ENTRY_UUID ;; PARTLABEL) t=PART_ENTRY_NAME ;;
  *) exec /usr/bin/lsblk "$@" ;; esac
exec blkid -p -s "$t" -o value "$3"
"""


def genfstab(root, tags, shim):
    flags = {"UUID": ["-U"], "LABEL": ["-L"], None: []}.get(tags, ["-t", tags])
    env = {**os.environ, "PATH": f"{shim}:{os.environ['PATH']}"}
    out = subprocess.run(["genfstab", *flags, str(root)], capture_output=True, text=True, env=env, check=True).stdout
    return out.split("<pass>\n", 1)[1]  # after its header


def blocks(text, leave_out=()):
    """An fstab's entries with their comments, but those on targets left out."""
    found = [b + "\n" for b in text.split("\n\n") if b]
    return [b for b in found if b.split("\t")[1].strip() not in leave_out]


@pytest.mark.blockdev
@pytest.mark.images
def test_generate_writes_what_genfstab_writes_and_mounts_the_tree_again(place, tmp_path):
    import re
    import shutil

    from support.mountinfo import unmount_all_below

    for tool in ("genfstab", "sfdisk", "mkfs.xfs", "mkfs.btrfs"):
        if shutil.which(tool) is None:
            pytest.fail(f"{tool} not found: ./dev installs it")
    shim = tmp_path / "bin"
    shim.mkdir()
    (shim / "lsblk").write_text(LSBLK)
    (shim / "lsblk").chmod(0o755)
    image, root, again, host = tmp_path / "disk.img", place / "root", place / "again", tmp_path / "host"
    with open(image, "wb") as f:
        f.truncate(520 << 20)
    subprocess.run(["sfdisk", "-q", str(image)], input=DISK, text=True, check=True)

    def sh(script):
        subprocess.run(["sh", "-ec", script], check=True, capture_output=True)

    with loop.attach(image, partscan=True) as disk:
        efi, boot, pool, top = (f"{disk.path}p{n}" for n in range(1, 5))
        try:
            sh(f"""mkfs.xfs -q -L EFI {efi}; mkfs.ext4 -q -L BOOT {boot}; mkfs.btrfs -q -L POOL {pool}
            mkfs.ext4 -q {top}; mkdir -p {root} {again} {host}; mount {top} {root}; cd {root}
            mkdir -p boot efi home pool var/log proc tmp dev bound b4x hostbind srv
            mount {pool} pool; btrfs -q subvolume create pool/@home; btrfs -q subvolume create pool/@log
            mount -t tmpfs -o size=1m tmpfs tmp; mkdir pool/@home/d; mount -o subvol=@home {pool} home
            mount -o subvol=@log {pool} var/log; mount -o noatime {boot} boot; mkdir boot/sub
            mount {efi} efi; mount -o remount,ro,bind efi; mount -t proc proc proc; mount --rbind /dev dev
            mount --bind boot srv; mount --bind boot/sub bound; mount --bind {host} hostbind
            umount tmp; mount --bind home/d b4x; mount -t tmpfs -o size=1m tmpfs tmp""")
            made = fstab.generate(root)
            # genfstab 28 keeps subvolid (which a snapshot's rollback makes
            # wrong) and gives XFS pass 2 (its fsck does nothing), newer ones
            # neither. It writes a bind of a Btrfs directory as a mount of
            # the subvolume (another directory) and one from outside the
            # root as "///the/host/path": velkora writes the first as a bind
            # and leaves the second out.
            for tags in ("UUID", "LABEL", "PARTUUID", "PARTLABEL", None):
                theirs = re.sub(r"subvolid=\d+,(?=.*subvol=)", "", genfstab(root, tags, shim))
                theirs = re.sub(r"(\txfs .*\t0) 2\n", r"\1 0\n", theirs)
                ours = str(made if tags == "UUID" else fstab.generate(root, tags=tags))
                # /srv is a second mount of /boot's filesystem: which of the
                # two names the bind's source follows the ids the mounts got
                # (reused machine-wide) and the tool's order of them.
                theirs, ours = (re.sub("/srv/sub ?", "/boot/sub", text) for text in (theirs, ours))  # its padding too
                # Entries in any order: genfstab's follows the mount ids,
                # reused machine-wide, and velkora puts a bind after the
                # mount that holds its source (checked below).
                assert sorted(blocks(ours, ["/b4x"])) == sorted(blocks(theirs, ["/b4x", "/hostbind"])), tags
            b4x = made.find(target="/b4x")
            assert b4x[:3] == ("/home/d", "/b4x", "none") and "bind" in b4x.options
            assert made.find(target="/hostbind") is None and made.find(target="/").passno == 1
            # /b4x took the id /tmp left, lower than /home's: a bind still
            # comes after the mount that holds its directory.
            targets = [e.target for e in made]
            assert targets.index("/home") < targets.index("/b4x")
            cli = subprocess.run([sys.executable, "-m", "velkora", "fstab", "generate", "-t", "PARTLABEL", str(root)],
                                 capture_output=True, text=True, check=True)  # fmt: skip
            assert cli.stdout == str(fstab.generate(root, tags="PARTLABEL"))
            unmount_all_below(root)
            # What it wrote mounts the same tree as another root's own
            # fstab: the binds' sources within it.
            with fstab.mount_all(made, root=str(again)) as done:
                # The same entries; their order follows the ids the mounts
                # got. /srv is a second mount of /boot's filesystem, so the
                # bind's source is /srv/sub where /srv got the lower id (ids
                # are reused, on the whole machine): the same directory.
                def same(text):
                    return sorted(" ".join(b.replace("/srv/sub", "/boot/sub").split()) for b in blocks(text))

                assert len(done.mounted) == len(made)
                assert same(str(fstab.generate(again))) == same(str(made))
            assert os.listdir(again) == []
        finally:
            unmount_all_below(place)


# -- libmount's reading, character by character --------------------------------

# Every character Python takes for a line break or a blank that libmount
# does not (only "\n" ends a line, only space and tab split), and NUL.
SPLITTERS = [c for c in map(chr, range(0x3001)) if len(f"a{c}b".splitlines()) > 1 or len(f"a{c}b".split()) > 1]
ODD = [c for c in SPLITTERS if c not in " \t\n"] + ["\0"]


@pytest.mark.parametrize("char", ODD, ids=[f"U+{ord(c):04X}" for c in ODD])
def test_no_other_character_breaks_a_line_or_splits_a_field(tmp_path, char):
    path = tmp_path / "fstab"
    text = f"a{char}b /x{char}y ext4 de{char}f 0 0\nc /y ext4 d 0 0{char}d /z ext4 d 0 0\ne /w ext4 d 0 0{char}\n"
    path.write_bytes(text.encode("utf-8", "surrogateescape"))
    same_as_findmnt(path)


@pytest.mark.parametrize("text", [
    "a\\302\\240b /x ext4 d 0 0\n",  # escapes are bytes, decoded as one name: U+00A0
    "a /x ext4 d 0\n",  # five fields: libmount takes four to six
    "a /x ext4 d +1 -2 extra\n",
    "a /x\\000y ext4 d 0 0\nb /y ext4\n",  # an escaped NUL: velkora's own (libmount cuts the name there)
    "a /x ext4 d 0 0\r\nb /y ext4 d 0 0\r\r\n",  # one carriage return before the newline, no more
])  # fmt: skip
def test_escapes_and_field_counts_read_as_findmnt_reads_them(tmp_path, text):
    path = tmp_path / "fstab"
    path.write_text(text)
    table = fstab.read(path)
    if "\\000" in text:
        assert [tuple(e)[:2] for e in table] == [("b", "/y")] and [n for n, _ in table.malformed()] == [1]
    else:
        same_as_findmnt(path)


def test_every_odd_character_is_written_so_that_findmnt_reads_it_back(tmp_path):
    odd = "".join(c for c in ODD if c != "\0") + "\x1b\x7f\x9b\\"
    entries = [fstab.Entry("#data", "/#x", "ext4", "defaults"),
               fstab.Entry("data\vLABEL=victim", f"/m{odd}n", "ext4", f"a{odd}b"),
               fstab.Entry(f"{odd}", "/ z", "tmpfs", "defaults", 1, 2)]  # fmt: skip
    path = tmp_path / "fstab"
    fstab.Fstab(entries).write(path)
    assert findmnt_entries(path) == [tuple(e) for e in entries] == [tuple(e) for e in fstab.read(path)]
    assert not set(path.read_text()) & (set(odd) - {"\\"})  # each as octal escapes
    with pytest.raises(ValueError):
        fstab.Fstab([fstab.Entry("a\0b", "/x", "ext4")])


def test_write_without_a_path_writes_where_the_table_came_from(tmp_path):
    path = tmp_path / "fstab"
    path.write_text("tmpfs /tmp tmpfs defaults 0 0\n")
    table = fstab.read(path)
    table.append(fstab.Entry("tmpfs", "/srv", "tmpfs"))
    table.write()
    assert [e[1] for e in findmnt_entries(path)] == ["/tmp", "/srv"]
    for nowhere in (fstab.parse("tmpfs /a tmpfs\n"), fstab.Fstab()):
        with pytest.raises(TypeError, match="path"):
            nowhere.write()


@pytest.mark.blockdev
def test_a_label_with_a_vertical_tab_comes_back_as_itself(place, tmp_path):
    image, root = tmp_path / "label.img", place / "root"
    label = f"d\vLABEL=v{os.getpid() % 10000}"
    with open(image, "wb") as f:
        f.truncate(8 << 20)
    subprocess.run(["mkfs.ext4", "-q", "-L", label, str(image)], check=True)
    root.mkdir()
    with loop.attach(image) as device:
        subprocess.run(["mount", device.path, str(root)], check=True)
        made = fstab.generate(root, tags="LABEL")
        path = tmp_path / "fstab"
        made.write(path)
        assert [e[:3] for e in findmnt_entries(path)] == [(f"LABEL={label}", "/", "ext4")]
        assert fstab.read(path)[0].source == f"LABEL={label}"
        subprocess.run(["umount", str(root)], check=True)


@pytest.mark.blockdev
def test_generate_writes_no_line_a_label_or_a_name_can_break(place, tmp_path):
    image, root = tmp_path / "root.img", place / "root"
    with open(image, "wb") as f:
        f.truncate(8 << 20)
    # The comments name the device's other tags and a bind's directory: both the image's to choose.
    subprocess.run(["mkfs.ext4", "-q", "-L", "a\nUUID=x / xfs", str(image)], check=True)
    root.mkdir()
    subprocess.run(["mount", "-o", "loop", str(image), str(root)], check=True)
    (root / "d\nLABEL=v h ext4 defaults 0 0").mkdir()
    (root / "b").mkdir()
    subprocess.run(["mount", "--bind", str(root / "d\nLABEL=v h ext4 defaults 0 0"), str(root / "b")], check=True)
    path = tmp_path / "fstab"
    fstab.generate(root).write(path)
    assert [entry[1] for entry in findmnt_entries(path)] == ["/", "/b"]

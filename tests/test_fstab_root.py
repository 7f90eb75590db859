"""mount_all(root=) against the kernel and losetup: an image's fstab
mounted inside it, and nothing of the caller's taken or left behind."""

import errno
import os
import stat
import subprocess
import sys

import pytest

from support.loops import devices_left
from velkora import fstab, loop

# Every target and source is found with openat2, which qemu-user lacks.
pytestmark = pytest.mark.fdmount

# -- mount_all(root=): the fstab of an image, inside it ------------------------


@pytest.mark.blockdev
def test_mount_all_in_a_root_mounts_nothing_outside_it(place, tmp_path):
    import shutil

    from support.mountinfo import mounts

    root, host = place / "root", place / "host"
    for d in ("run", "etc", "srv/data", "var", "mnt", f"{host}/boot"[1:], f"{host}/etc"[1:]):
        (root / d).mkdir(parents=True, exist_ok=True)
    (root / f"{host}/etc/inroot"[1:]).touch()  # the image's own directory of that name
    for d in ("boot", "data", "etc", "hostside/etc"):
        (host / d).mkdir(parents=True)
    (host / "etc/secret").touch()
    os.symlink("/run", root / "var/run")  # as every Debian, Ubuntu and Fedora image has
    os.symlink(host / "boot", root / "boot")
    os.symlink("../../../host/data", root / "mnt/data")
    os.symlink(host / "etc", root / "srv/hostetc")
    # An image at a path the image holds too: the image's own copy is mounted.
    image = host / "etc/disk.img"
    with open(image, "wb") as f:
        f.truncate(4 << 20)
    subprocess.run(["mkfs.ext4", "-q", str(image)], check=True)
    shutil.copy(image, root / f"{image}"[1:])
    (root / "etc/fstab").write_bytes(b"""tmpfs /var/run tmpfs size=1m 0 0
tmpfs /boot tmpfs X-mount.mkdir 0 0
tmpfs /mnt/data tmpfs X-mount.mkdir,nofail 0 0
tmpfs /../hostside/etc tmpfs X-mount.mkdir 0 0
/srv/hostetc /srv/data none bind,nofail 0 0
/srv/hostetc/disk.img /img ext4 loop,ro,X-mount.mkdir 0 0
tmpfs /a\x00b tmpfs defaults 0 0
tmpfs /nul tmpfs X-mount.mkdir\x00 0 0
""")
    before = {p.name for p in host.rglob("*")}
    at_run = [m for m in mounts() if m["target"] == "/run"]
    with fstab.mount_all(root=root) as done:
        # The kernel's view: each mount inside the root, none on the host's
        # directories nor on this namespace's own /run.
        made = [m["target"] for m in mounts() if m["target"].startswith(str(place))]
        inside = ["/run", f"{host}/boot", "/hostside/etc", "/srv/data", "/img"]
        assert sorted(made) == sorted(f"{root}{path}" for path in inside)
        assert loop.devices(image) == [] and len(loop.devices(root / f"{image}"[1:])) == 1
        assert [m for m in mounts() if m["target"] == "/run"] == at_run
        assert sorted(os.listdir(root / "srv/data")) == ["disk.img", "inroot"]
        assert {p.name for p in host.rglob("*")} == before
        assert [e.target for e in done.failed] == ["/mnt/data"]
        binds = [e for e in done.mounted if e.fstype == "none"]  # its source where it was found, as the kernel has it
        assert len(binds) == 1 and os.path.samefile(binds[0].source, binds[0].target)
        assert [n for n, _ in done.malformed] == [7, 8]
    assert [m for m in mounts() if m["target"].startswith(str(place))] == []
    with pytest.raises(OSError, match="X-mount.owner"):  # never dropped, as mounted() refuses it
        fstab.mount_all(fstab.parse("/srv /srv/data none bind,X-mount.owner=1\n"), root=root)
    with fstab.mount_all(fstab.parse("/srv /srv/data none bind,nofail,X-mount.owner=1\n"), root=root) as done:
        assert [(e.target, err.errno) for e, err in zip(done.failed, done.errors)] == [("/srv/data", errno.EINVAL)]


@pytest.mark.blockdev
def test_mount_all_in_a_root_takes_no_file_of_the_callers_for_an_image(place, tmp_path, monkeypatch):
    from support.mountinfo import mounts

    root, image = place / "root", tmp_path / "host.img"
    (root / "mnt").mkdir(parents=True)
    with open(image, "wb") as f:
        f.truncate(4 << 20)
    subprocess.run(["mkfs.ext4", "-q", str(image)], check=True)
    monkeypatch.chdir(root)  # a relative name is the root's "/" at boot, not the caller's directory
    with open(image, "rb") as held:
        for source in (f"/dev/..{image}", os.path.relpath(image, root), f"/dev/fd/{held.fileno()}"):
            entry = f"{source} /mnt ext4 defaults 0 0\n"
            with pytest.raises(OSError):
                fstab.mount_all(fstab.parse(entry), root=root)
            attached = subprocess.run(["losetup", "-j", str(image)], capture_output=True, text=True).stdout
            assert attached == "" and [m for m in mounts() if m["target"].startswith(str(place))] == []


def test_mount_all_in_a_root_sets_recursive_propagation_and_undoes_a_failed_one(place, monkeypatch):
    import velkora.fsmount

    def made(top):
        found = subprocess.run(["findmnt", "-rn", "-o", "TARGET,PROPAGATION"], capture_output=True, text=True)
        lines = [line.split(" ") for line in found.stdout.splitlines() if line.startswith(f"{root}/{top}")]
        return sorted((target[len(f"{root}/{top}") :], propagation) for target, propagation in lines)

    root = place / "root"
    root.mkdir()
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "top", str(root)], check=True)
    subprocess.run(["mount", "--make-shared", str(root)], check=True)  # what is attached below is shared
    (root / "s/x").mkdir(parents=True)
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "inner", str(root / "s/x")], check=True)
    text = "tmpfs /{0}/a tmpfs rprivate,X-mount.mkdir 0 0\n{1}/s /{0}/b none rbind,runbindable,X-mount.mkdir 0 0\n"
    table = fstab.parse(text.format("ours", ""))
    (root / "fstab").write_text(text.format("theirs", root))
    subprocess.run(["mount", "-a", "-T", str(root / "fstab"), "--target-prefix", str(root)], check=True)
    with fstab.mount_all(table, root=root):
        assert made("ours") == made("theirs") and len(made("ours")) == 3
    assert made("ours") == []

    def failing(*args, **kwargs):
        if kwargs.get("propagation"):
            raise OSError(errno.EIO, "injected")
        return setattr_(*args, **kwargs)

    setattr_ = velkora.fsmount.mount_setattr
    monkeypatch.setattr(velkora.fsmount, "mount_setattr", failing)
    with pytest.raises(OSError) as raised:
        fstab.mount_all(table, root=root)
    assert raised.value.errno == errno.EIO and made("ours") == []  # the error itself, and nothing left attached


@pytest.mark.blockdev
def test_mount_all_in_a_root_mounts_an_image_through_one_loop_device(place):
    from support.mountinfo import mounts

    def attached():
        found = subprocess.run(["losetup", "-j", str(root / "x.img")], capture_output=True, text=True)
        return found.stdout.splitlines()

    root = place / "root"
    for name in "cd":
        (root / name).mkdir(parents=True)
    with open(root / "x.img", "wb") as f:
        f.truncate(4 << 20)
    subprocess.run(["mkfs.ext4", "-q", str(root / "x.img")], check=True)
    table = fstab.parse("/x.img /c ext4 defaults 0 0\n/x.img /d ext4 defaults 0 0\n")
    # As mount(8): the device that holds the image already, never a second
    # superblock of one image; and "already mounted" for a target.
    with fstab.mount_all(table, root=root), fstab.mount_all(table, root=root) as again:
        assert again.mounted == [] and len(attached()) == 1
        assert len([m for m in mounts() if m["target"] in (f"{root}/c", f"{root}/d")]) == 2
    assert devices_left(root / "x.img") == []  # autoclear: gone with the last mount


@pytest.mark.parametrize("node", ["fifo", "zero"])
def test_a_roots_fstab_that_is_no_file_is_refused_not_waited_on(tmp_path, node):
    (tmp_path / "etc").mkdir()
    if node == "fifo":
        os.mkfifo(tmp_path / "etc/fstab")  # open(2) waits for a writer
    else:
        os.mknod(tmp_path / "etc/fstab", 0o644 | stat.S_IFCHR, os.makedev(1, 5))  # /dev/zero: no end
    script = f"from velkora import fstab; fstab.mount_all(root={str(tmp_path)!r})"
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=30)
    assert run.returncode == 1 and "OSError: [Errno 22] not a regular file" in run.stderr


def test_mount_all_in_a_root_never_unmounts_a_mount_that_took_a_reused_id(place):
    from support.mountinfo import mounts, taken_over

    root = place / "root"
    for d in ("b", "s/x", "s/y", "fill"):
        (root / d).mkdir(parents=True)
    subprocess.run(["mount", "-t", "tmpfs", "inner", root / "s/x"], check=True)
    done = taken_over(lambda: fstab.mount_all(fstab.parse("/s /b none rbind 0 0\n"), root=root), root / "b/x",
                      root / "b/y", root / "fill", lambda d: d.unmount())  # fmt: skip
    with pytest.raises(OSError) as raised:
        done.unmount()
    assert raised.value.errno == errno.EBUSY
    assert [m["source"] for m in mounts() if m["target"] == f"{root}/b/y"] == ["theirs"]

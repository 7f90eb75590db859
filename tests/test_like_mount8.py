"""Option strings as mount(8) applies them: each one mounted by mount(8) and
by velkora on twin targets, and the mountinfo lines compared."""

import contextlib
import errno
import os
import subprocess
import sys

import pytest

import velkora
import velkora.fsmount
import velkora.mount as vm
from velkora import mounted


def shown(path):
    """Of the top mount at path, as /proc/self/mountinfo shows it (read here,
    not by velkora): its root, options, type, source and superblock options."""
    found = None
    with open("/proc/self/mountinfo") as table:
        for line in table:
            fields = line.split()
            if fields[4] == str(path):
                rest = fields.index("-", 6)
                found = (fields[3], fields[5], *fields[rest + 1 : rest + 4])
    return found


# (how, options): "new" a tmpfs, "bind" a bind of a tmpfs holding a tmpfs at
# sub, "remount" remounts of a nosuid,nodev tmpfs (steps split by ";"),
# "mkdir" a tmpfs on a target that does not exist yet.
CASES = [
    ("new", "ro,nosuid,nodev,noatime,size=1m,mode=0700"),
    ("new", "user"),
    ("new", "users"),
    ("new", "owner"),
    ("new", "group"),
    ("new", "user,exec,dev"),
    ("new", "uid=nobody,gid=nogroup,mode=0750"),
    ("new", "defaults,nofail,noauto,_netdev,x-systemd.automount,comment=x,uhelper=udisks2"),
    ("new", "strictatime,nodiratime,nosymfollow"),
    ("new", "noexec,exec,sync"),
    ("mkdir", "X-mount.mkdir"),
    ("mkdir", "X-mount.mkdir=0700"),
    ("bind", "bind,ro"),
    ("bind", "bind,nosuid,nodev"),
    ("bind", "bind,noexec"),
    ("bind", "bind,noatime"),
    ("bind", "bind,nosymfollow,nodiratime"),
    ("bind", "rbind,ro"),
    ("remount", "remount,ro"),
    ("remount", "remount,size=8m"),
    ("remount", "remount,noexec"),
    ("remount", "remount,bind,ro"),
    ("remount", "remount,ro;remount,size=8m"),  # the superblock stays read-only
    ("remount", "remount,ro;remount,bind,rw"),
    ("remount", "remount,rw,strictatime,mode=0711"),
]


def without_new_calls(monkeypatch):
    """As on a kernel before 5.12 (or qemu-user): no open_tree, mount_setattr or fspick."""

    def missing(*args, **kwargs):
        raise OSError(errno.ENOSYS, os.strerror(errno.ENOSYS))

    for name in ("open_tree", "mount_setattr", "fspick"):
        monkeypatch.setattr(velkora.fsmount, name, missing)


@pytest.mark.parametrize("calls", ["new", "classic"])
@pytest.mark.parametrize(("how", "options"), CASES)
def test_options_apply_as_mount8_applies_them(place, monkeypatch, how, options, calls):
    if calls == "classic":
        without_new_calls(monkeypatch)
    source = place / "source"
    if how == "bind":
        source.mkdir()
        vm.mount("vk", str(source), "tmpfs")
        (source / "sub").mkdir()
        vm.mount("vk-sub", str(source / "sub"), "tmpfs")
    theirs, ours = (place / "theirs", place / "ours") if how != "mkdir" else (place / "t/deep", place / "o/deep")
    if how != "mkdir":
        theirs.mkdir()
        ours.mkdir()
    if how == "remount":
        for target in (theirs, ours):
            vm.mount("vk", str(target), "tmpfs", vm.MS_NOSUID | vm.MS_NODEV, "size=4m")
    with contextlib.ExitStack() as stack:
        for step in options.split(";"):
            if how == "remount":
                subprocess.run(["mount", "-o", step, theirs], check=True)
                velkora.remount(ours, step)
            elif how == "bind":
                subprocess.run(["mount", "-o", step, source, theirs], check=True)
                stack.enter_context(mounted(str(source), ours, "", options=step))
            else:
                subprocess.run(["mount", "-t", "tmpfs", "-o", step, "vk", theirs], check=True)
                stack.enter_context(mounted("vk", ours, "tmpfs", options=step))
        assert shown(ours) == shown(theirs) is not None
        if options.startswith("rbind"):
            assert shown(ours / "sub") == shown(theirs / "sub") is not None
        if how == "mkdir":
            assert os.stat(place / "o").st_mode == os.stat(place / "t").st_mode


@pytest.mark.parametrize("calls", ["new", "classic"])
def test_a_bind_keeps_its_sources_flags(place, monkeypatch, calls):
    if calls == "classic":
        without_new_calls(monkeypatch)
    # util-linux 2.38's mount(8) drops the source's nosuid,nodev on bind,ro;
    # 2.39 and later keep them, as velkora does.
    (place / "source").mkdir()
    vm.mount("vk", str(place / "source"), "tmpfs", vm.MS_NOSUID | vm.MS_NODEV)
    (place / "source" / "sub").mkdir()
    vm.mount("vk-sub", str(place / "source/sub"), "tmpfs")
    for name in ("ro", "rec", "flags"):
        (place / name).mkdir()
    with mounted(str(place / "source"), place / "ro", "", options="bind,ro"), \
         mounted(str(place / "source"), place / "rec", "", options="rbind,ro=recursive,noexec"), \
         mounted(str(place / "source"), place / "flags", "", vm.MS_BIND | vm.MS_RDONLY):  # fmt: skip
        assert shown(place / "ro")[1] == shown(place / "flags")[1] == "ro,nosuid,nodev,relatime"
        assert (shown(place / "rec")[1], shown(place / "rec/sub")[1]) == ("ro,nosuid,nodev,noexec,relatime",
                                                                          "ro,relatime")  # fmt: skip
        with pytest.raises(OSError) as refused:
            (place / "ro" / "written").write_text("no")
        assert refused.value.errno == 30  # EROFS


def test_the_command_remounts_a_target_alone(place):
    vm.mount("vk", str(place), "tmpfs", vm.MS_NOSUID | vm.MS_NODEV)
    run = subprocess.run([sys.executable, "-m", "velkora", "mount", "-o", "remount,ro,noexec", str(place)],
                         capture_output=True, text=True)  # fmt: skip
    assert (run.returncode, run.stderr, shown(place)[1:]) == (
        0, "", ("ro,nosuid,nodev,noexec,relatime", "tmpfs", "vk", "ro"))  # fmt: skip

"""velkora.options: option strings split as mount(8) splits them; mounted()
with options, overlays of any depth, and interrupts that leave no mount."""

import errno
import os

import pytest

import velkora.mount as m
from support.mountinfo import mount_at, mounts
from velkora import DetachedMount, contexts, mounted, overlay
from velkora.flags import MOUNT_ATTR as A
from velkora.flags import MS
from velkora.options import parse

ATIME = A._ATIME
NONE = A(0)


@pytest.mark.parametrize(
    ("text", "flags", "attr_set", "attr_clr"),
    [
        ("ro,nosuid,nodev,noexec", MS.RDONLY | MS.NOSUID | MS.NODEV | MS.NOEXEC,
         A.RDONLY | A.NOSUID | A.NODEV | A.NOEXEC, NONE),
        ("rw,suid,dev,exec", MS(0), NONE, A.RDONLY | A.NOSUID | A.NODEV | A.NOEXEC),
        ("ro,rw", MS(0), NONE, A.RDONLY),  # the later word wins
        ("rw,ro", MS.RDONLY, A.RDONLY, NONE),
        ("sync,dirsync,mand,lazytime,iversion,silent", MS.SYNCHRONOUS | MS.DIRSYNC | MS.MANDLOCK | MS.LAZYTIME
         | MS.I_VERSION | MS.SILENT, NONE, NONE),
        ("sync,async,mand,nomand,lazytime,nolazytime,iversion,noiversion,silent,loud", MS(0), NONE, NONE),
        ("nodiratime,nosymfollow", MS.NODIRATIME | MS.NOSYMFOLLOW, A.NODIRATIME | A.NOSYMFOLLOW, NONE),
        ("diratime,symfollow", MS(0), NONE, A.NODIRATIME | A.NOSYMFOLLOW),
        # The atime modes exclude one another; the last given wins.
        ("noatime", MS.NOATIME, A.NOATIME, ATIME),
        ("noatime,strictatime", MS.STRICTATIME, A.STRICTATIME, ATIME),
        ("strictatime,relatime", MS.RELATIME, A.RELATIME, ATIME),
        ("relatime,noatime", MS.NOATIME, A.NOATIME, ATIME),
        ("noatime,atime", MS(0), A.RELATIME, ATIME),
        ("noatime,norelatime", MS.NOATIME, A.NOATIME, ATIME),  # clearing one mode leaves the other
        ("remount,bind", MS.REMOUNT | MS.BIND, NONE, NONE),
        ("rbind", MS.BIND | MS.REC, NONE, NONE),
        ("move", MS.MOVE, NONE, NONE),
    ],
)  # fmt: skip
def test_vfs_words_become_flags_and_attributes(text, flags, attr_set, attr_clr):
    parsed = parse(text)
    assert (parsed.flags, parsed.attr_set, parsed.attr_clr) == (flags, attr_set, attr_clr)
    assert (parsed.data, parsed.userspace, parsed.propagation, parsed.fs_params) == ("", (), MS(0), ())


USERSPACE = (
    "auto,noauto,user,user=bob,nouser,users,owner,group,_netdev,nofail,comment=a b,x-systemd.automount,"
    "X-mount.mkdir,loop,loop=/dev/loop3,offset=512,sizelimit=1024,encryption=aes,helper=udisks2"
)


@pytest.mark.parametrize(
    ("text", "data", "userspace", "propagation", "fs_params"),
    [
        ("subvol=@home,compress=zstd,ssd", "subvol=@home,compress=zstd,ssd", (), MS(0),
         (("subvol", "@home"), ("compress", "zstd"), ("ssd", None))),
        (USERSPACE, "", tuple(USERSPACE.split(",")), MS(0), ()),
        ("defaults,,ro,,", "", (), MS(0), ()),  # defaults and empty words are dropped
        # A quoted value keeps its commas and quotes; only the first = separates.
        ('context="system_u:object_r:tmp_t:s0,c1",a=b=c', 'context="system_u:object_r:tmp_t:s0,c1",a=b=c', (),
         MS(0), (("context", "system_u:object_r:tmp_t:s0,c1"), ("a", "b=c"))),
        ("shared,private", "", (), MS.PRIVATE, ()),
        ("rslave", "", (), MS.SLAVE | MS.REC, ()),
        ("slave", "", (), MS.SLAVE, ()),
        ("runbindable,nofail,mode=0700,rshared", "mode=0700", ("nofail",), MS.SHARED | MS.REC, (("mode", "0700"),)),
        ("unbindable", "", (), MS.UNBINDABLE, ()),
        ("rprivate", "", (), MS.PRIVATE | MS.REC, ()),
        ("ro=1,x=,nosuchword", "ro=1,x=,nosuchword", (), MS(0), (("ro", "1"), ("x", ""), ("nosuchword", None))),
    ],
)  # fmt: skip
def test_other_words_go_where_they_belong(text, data, userspace, propagation, fs_params):
    parsed = parse(text)
    assert (parsed.data, parsed.userspace, parsed.propagation, parsed.fs_params) == (
        data, userspace, propagation, fs_params
    )  # fmt: skip


@pytest.mark.parametrize(
    ("call", "exc", "named"),
    [
        (lambda: parse(b"ro"), TypeError, None),
        (lambda: parse(None), TypeError, None),
        (lambda: parse("ro,si\0ze=1"), ValueError, "si\\x00ze=1"),
        (lambda: parse('ro,context="a,b'), ValueError, 'context="a,b'),
        (lambda: parse("ro,=x"), ValueError, "=x"),
        (lambda: mounted("a", "/b", options="remount,ro"), ValueError, "remount"),
        (lambda: mounted("a", "/b", options="move"), ValueError, "move"),
        (lambda: mounted("a", "/b", options="loop=/dev/loop3"), ValueError, "loop=/dev/loop3"),
        (lambda: mounted("a", "/b", options="offset=lots"), ValueError, "offset=lots"),
        (lambda: overlay(["/a"], upper="/u"), ValueError, None),
        (lambda: overlay([]), ValueError, None),
        (lambda: overlay("/a"), TypeError, None),
        (lambda: overlay(["/a"] * 501), ValueError, "500"),
        (lambda: overlay(["/a"], options="ro"), ValueError, "ro"),
    ],
)
def test_bad_input_names_the_word(call, exc, named):
    with pytest.raises(exc) as caught:
        call()
    if named is not None:
        assert named in str(caught.value)


def test_mounted_with_options_shows_exactly_them(place):
    with mounted("velkora-options", place, "tmpfs", options="ro,nosuid,nodev,noatime,size=1m,mode=0700,nofail"):
        info = mount_at(place)
        assert info["options"] == {"ro", "nosuid", "nodev", "noatime"}
        assert {"size=1024k", "mode=700"} <= info["super"]
    assert mount_at(place) is None


def test_a_private_recursive_bind_is_undone_whole(place):
    src, dst = place / "src", place / "dst"
    src.mkdir()
    dst.mkdir()
    with mounted("outer", src, "tmpfs"):
        m.mount("none", str(src), "", MS.SHARED)
        (src / "sub").mkdir()
        with mounted("inner", src / "sub", "tmpfs"):
            with mounted(str(src), dst, "", options="rbind,rprivate"):
                bound = [mm for mm in mounts() if mm["target"].startswith(str(dst))]
                assert sorted(mm["target"] for mm in bound) == [str(dst), str(dst / "sub")]
                with open("/proc/self/mountinfo") as lines:
                    table = {line.split()[4]: line for line in lines}
                assert "shared:" not in table[str(dst)] and "shared:" not in table[str(dst / "sub")]
            # A plain umount2 of the top would have answered EBUSY.
            assert [mm for mm in mounts() if mm["target"].startswith(str(dst))] == []


@pytest.mark.fdmount
def test_attributes_from_options_apply_to_a_clone(place):
    parsed = parse("ro,noexec")
    (place / "src").mkdir()
    (place / "view").mkdir()
    with mounted("src", place / "src", "tmpfs"):
        with DetachedMount.clone(place / "src", recursive=True) as tree:
            tree.set_attr(parsed.attr_set, parsed.attr_clr, recursive=True)
            tree.attach(place / "view")
        try:
            assert {"ro", "noexec"} <= mount_at(place / "view")["options"]
        finally:
            m.umount(str(place / "view"))


def make_layers(root, count, name):
    """``count`` layer directories whose paths are long; each holds a file of
    its own and one they all have, saying which layer it is."""
    layers = []
    for n in range(count):
        layer = root / f"{name}-{n:03}"
        layer.mkdir()
        (layer / f"only-{n}").write_text(str(n))
        (layer / "shared").write_text(str(n))
        layers.append(layer)
    return layers


@pytest.mark.fdmount
def test_an_overlay_of_200_layers(place):
    layers = make_layers(place, 200, "layer-with-a-rather-long-name-to-pass-8-KiB")
    assert sum(len(str(layer)) for layer in layers) > 8192  # past mount(2)'s one-page data
    upper, work, merged = place / "upper", place / "work", place / "merged"
    for d in (upper, work, merged):
        d.mkdir()
    with overlay(layers, upper, work, options="redirect_dir=on") as mount:
        mount.attach(merged)
    try:
        assert (merged / "shared").read_text() == "0"  # the top-most layer wins
        assert (merged / "only-199").read_text() == "199"
        (merged / "new").write_text("written")
        assert (upper / "new").read_text() == "written" and not (layers[0] / "new").exists()
        assert mount_at(merged)["fstype"] == "overlay"
    finally:
        m.umount(str(merged))


@pytest.mark.fdmount
@pytest.mark.parametrize("by_layer", [True, False], ids=["lowerdir+", "lowerdir"])
def test_a_layer_path_with_commas_and_colons(place, monkeypatch, by_layer):
    monkeypatch.setattr(contexts, "_LOWERDIR_PLUS", by_layer)  # False: as on a kernel before 6.7
    layers = make_layers(place, 2, "odd,na:me\\x")
    # Upper and work with a backslash too: the writes land where they are told.
    upper, work = place / "up\\per", place / "wo\\rk"
    for d in (place / "merged", upper, work, place / "upper", place / "work"):
        d.mkdir()
    with overlay(layers, upper, work) as mount:
        mount.attach(place / "merged")
    try:
        assert (place / "merged" / "shared").read_text() == "0"
        assert (place / "merged" / "only-1").read_text() == "1"
        (place / "merged" / "written").write_text("here")
        assert os.listdir(upper) == ["written"] and os.listdir(place / "upper") == []
    finally:
        m.umount(str(place / "merged"))
    if not by_layer:
        with pytest.raises(ValueError, match="256|255"):  # the one string a kernel before 6.7 takes
            overlay(make_layers(place, 8, "long" * 10))


@pytest.mark.fdmount
def test_an_unknown_errno_is_not_a_fallback(place, monkeypatch):
    # lowerdir+ refused for another reason than an old kernel's is raised,
    # and the one-string lowerdir is never tried.
    tried = []
    set_string = contexts.FsContext.set_string

    def refusing(self, key, value):
        tried.append(key)
        if key == "lowerdir+":
            raise OSError(errno.EPERM, "refused")
        set_string(self, key, value)

    monkeypatch.setattr(contexts.FsContext, "set_string", refusing)
    with pytest.raises(OSError) as caught:
        overlay([place])
    assert (caught.value.errno, tried) == (errno.EPERM, ["source", "lowerdir+"])

"""Tags resolved and partition nodes made against a hostile /dev: nodes
left by other devices, nodes that are no block device, a loop device
given another image while resolve reads it. Each judged by the kernel
(sysfs), blkid -p or what a mount shows."""

import json
import os
import subprocess
import sys
import textwrap

import pytest

from velkora import blkid, loop

MIB = 1 << 20
GPT3 = "label: gpt\nsize=8M, name=esp, type=uefi\nsize=32M, name=root\nsize=8M, name=home\n"


def run(*cmd, **kw):
    return subprocess.run(cmd, check=True, capture_output=True, text=True, **kw).stdout


# In a mount namespace of its own, /dev a fresh tmpfs with only the loop
# nodes (no udev, no /dev/disk): velkora makes the partition nodes, resolves
# tags to them and takes the nodes away with the partitions.
BARE_DEV = textwrap.dedent("""
    import json, os, stat, sys
    from velkora import blkid, loop
    os.makedirs("/dev", exist_ok=True)
    import velkora.mount as m
    m.mount("none", "/dev", "tmpfs", 0, "mode=0755")
    os.mknod("/dev/loop-control", 0o600 | stat.S_IFCHR, os.makedev(10, 237))
    for n in range(64):
        os.mknod(f"/dev/loop{n}", 0o600 | stat.S_IFBLK, os.makedev(7, n))
    image, uuid, label, home = sys.argv[1:]
    with loop.attach(image, partscan=True) as d:
        parts = d.partitions()
        table = blkid.probe(d.path)
        out = {"parts": parts, "exist": [os.path.exists(p) for p in parts],
               "uuid": blkid.resolve("UUID=" + uuid), "by": blkid.resolve("/dev/disk/by-uuid/" + uuid.upper()),
               "partuuid": blkid.resolve("PARTUUID=" + table.partitions[2].uuid.upper()),
               "partlabel": blkid.resolve(f'PARTLABEL="{home}"'), "label": blkid.resolve("LABEL=" + label)}
        try:
            blkid.resolve("LABEL=nowhere")
        except FileNotFoundError as e:
            out["missing"] = str(e)
    out["left"] = sorted(n for n in os.listdir("/dev") if "p" in n[4:])
    print(json.dumps(out))
""")


@pytest.mark.blockdev
def test_resolve_and_partition_nodes_in_a_bare_dev(kernel, tmp_path):
    image = tmp_path / "disk.img"
    with open(image, "wb") as f:
        f.truncate(64 * MIB)
    # Names of this run's own: a test run beside this one (another root on
    # the machine) may have the same table and label on a device of its own.
    label, home = f"tag{os.getpid()}", f"home{os.getpid()}"
    run("sfdisk", "-q", str(image), input=GPT3.replace("name=home", f"name={home}"))
    with loop.attach(image, partscan=True) as device:
        run("mkfs.ext4", "-q", "-L", label, device.partitions()[1])
        uuid = blkid.probe(device.partitions()[1]).uuid
    argv = [sys.executable, "-c", BARE_DEV, str(image), uuid, label, home]
    out = json.loads(run("unshare", "-m", "--propagation", "private", *argv))
    parts = out["parts"]
    assert len(parts) == 3 and out["exist"] == [True] * 3
    found = (out["uuid"], out["by"], out["label"], out["partuuid"], out["partlabel"])
    assert found == (parts[1], parts[1], parts[1], parts[2], parts[2])
    assert out["missing"] == "[Errno 2] no device holds it: 'LABEL=nowhere'"
    assert out["left"] == []


# A node left by another device, in a /dev of tmpfs as BARE_DEV makes it:
# image A's partitions are attached first; every other loop device's p2
# node is then made with A's p2's number, as an earlier device leaves it.
# Image B's partscan must replace the node it gets, resolve must give B's
# p2 through a node that is B's p2, and a node made stale afterwards must
# never be given (nor a /dev/disk link that names a device not probed).
STALE = BARE_DEV.split("image, uuid")[0] + textwrap.dedent("""
    import subprocess
    a, b, place, label = sys.argv[1:]
    out = {}
    with loop.attach(a, partscan=True) as da:
        theirs = os.stat(da.path + "p2").st_rdev
        for n in range(64):
            if n != da.number:
                os.mknod(f"/dev/loop{n}p2", 0o600 | stat.S_IFBLK, theirs)
        with loop.attach(b, partscan=True) as db:
            node = db.path + "p2"
            out["sysfs"] = open(f"/sys/class/block/loop{db.number}p2/dev").read().strip()
            out["node"] = "%d:%d" % divmod(os.stat(node).st_rdev, 256)
            tag = "PARTUUID=" + blkid.probe(b).partitions[1].uuid
            out["resolved"] = blkid.resolve(tag) == node
            cmd = [sys.executable, "-m", "velkora", "mount", tag, place]
            subprocess.run(cmd, check=True)
            out["mounted"] = open(place + "/whose").read()
            subprocess.run(["umount", place], check=True)
            # B's p2 node now names A's p2: never given for B's tag, and
            # A's tag is A's own node alone.
            os.unlink(node)
            os.mknod(node, 0o600 | stat.S_IFBLK, theirs)
            try:
                out["stale"] = blkid.resolve(tag)
            except FileNotFoundError as e:
                out["stale"] = e.strerror
            out["theirs"] = blkid.resolve("PARTUUID=" + blkid.probe(a).partitions[1].uuid) == da.path + "p2"
            # velkora blkid lists B's p2 by its node only if the node is B's.
            value = ["blkid", "-p", "-s", "UUID", "-o", "value", da.path + "p2"]
            a_uuid = subprocess.run(value, capture_output=True, text=True).stdout.strip()
            listed = subprocess.run([sys.executable, "-m", "velkora", "blkid"], capture_output=True, text=True)
            out["listed"] = [line for line in listed.stdout.splitlines() if a_uuid in line]
            out["listed_a"] = da.path + "p2"
            out["command"] = subprocess.run(cmd, capture_output=True, text=True).stderr
            # udev's link, pointing at a device that does not hold the label.
            os.makedirs("/dev/disk/by-label")
            os.symlink(f"../../loop{da.number}p1", "/dev/disk/by-label/" + label)
            out["link"] = blkid.resolve("/dev/disk/by-label/" + label) == f"/dev/loop{db.number}p3"
            # A second device on image B: its link alone does not settle it.
            with loop.attach(b, partscan=True, read_only=True) as dc:
                tag = "/dev/disk/by-partuuid/" + blkid.probe(b).partitions[0].uuid
                os.makedirs(os.path.dirname(tag))
                os.symlink(f"../../loop{db.number}p1", tag)
                try:
                    out["clone"] = blkid.resolve(tag)
                except OSError as e:
                    out["clone"] = [e.strerror, sorted(f"/dev/loop{d.number}p1" for d in (db, dc))]
    print(json.dumps(out))
""")


@pytest.mark.blockdev
def test_a_stale_partition_node_is_replaced_and_never_given(kernel, tmp_path):
    images, label = [], f"whose{os.getpid()}"
    for whose in ("a", "b"):
        image = tmp_path / f"{whose}.img"
        with open(image, "wb") as f:
            f.truncate(64 * MIB)
        run("sfdisk", "-q", str(image), input=GPT3)
        (tmp_path / whose).mkdir()
        (tmp_path / whose / "whose").write_text(whose)
        with loop.attach(image, partscan=True) as device:
            run("mkfs.ext4", "-q", "-d", str(tmp_path / whose), device.partitions()[1])
            if whose == "b":  # the label the /dev/disk link names, on p3
                run("mkfs.ext4", "-q", "-L", label, device.partitions()[2])
        images.append(str(image))
    (tmp_path / "place").mkdir()
    argv = [sys.executable, "-c", STALE, *images, str(tmp_path / "place"), label]
    out = json.loads(run("unshare", "-m", "--propagation", "private", *argv))
    assert out["node"] == out["sysfs"] and out["resolved"] and out["mounted"] == "b"
    assert out["stale"].startswith("no device holds it (/dev/loop") and out["theirs"]
    assert [line.split(":")[0] for line in out["listed"]] == [out["listed_a"]]
    assert "no device holds it" in out["command"]
    assert out["link"]
    assert out["clone"][0] == "held by more than one filesystem: " + ", ".join(out["clone"][1])


# Where /dev/loopNpM is no block device (a link, a FIFO), resolve passes
# it over without opening it: a writer waiting on the FIFO is never let go.
NOT_A_NODE = BARE_DEV.split("image, uuid")[0] + textwrap.dedent("""
    import threading, time
    image, fifo, label = sys.argv[1:]
    os.mkfifo(fifo)
    let_go = []
    def writer():
        os.close(os.open(fifo, os.O_WRONLY))  # blocks until a reader opens it
        let_go.append(True)
    threading.Thread(target=writer, daemon=True).start()
    out = []
    with loop.attach(image, partscan=True, read_only=True) as d:
        node = d.partitions()[0]
        for make in (lambda: os.symlink(fifo, node), lambda: os.mkfifo(node)):
            os.unlink(node)
            make()
            try:
                out.append(blkid.resolve("PARTLABEL=" + label))
            except FileNotFoundError as e:
                out.append(e.strerror)
            time.sleep(0.1)
            out.append(bool(let_go))
        os.unlink(node)
    if not let_go:
        os.close(os.open(fifo, os.O_RDONLY | os.O_NONBLOCK))
    print(json.dumps(out))
""")


@pytest.mark.blockdev
def test_resolve_never_opens_a_partition_node_that_is_no_block_device(kernel, tmp_path):
    image, label = tmp_path / "disk.img", f"esp{os.getpid()}"
    with open(image, "wb") as f:
        f.truncate(64 * MIB)
    run("sfdisk", "-q", str(image), input=GPT3.replace("name=esp", f"name={label}"))
    argv = [sys.executable, "-c", NOT_A_NODE, str(image), str(tmp_path / "fifo"), label]
    out = json.loads(run("unshare", "-m", "--propagation", "private", *argv))
    assert [x if isinstance(x, bool) else x.split(" (")[0] for x in out] == ["no device holds it", False] * 2


# A loop device given another image (a detach, then an attach at its
# number) after the device was read, before resolve gives it: after its
# table is read (PARTUUID), or once every device is probed (UUID). The
# new image's node is never given for the old image's tag (blkid -p).
@pytest.mark.blockdev
@pytest.mark.parametrize("key", ["PARTUUID", "UUID"])
def test_a_loop_device_reused_while_resolving_is_read_again(kernel, tmp_path, monkeypatch, key):
    images = []
    for whose in "ab":
        images.append(tmp_path / f"{whose}.img")
        with open(images[-1], "wb") as f:
            f.truncate(64 * MIB)
        if key == "UUID":
            run("mkfs.ext4", "-q", str(images[-1]))
        else:
            run("sfdisk", "-q", str(images[-1]), input=GPT3)
    held = blkid.probe(images[0])
    value = held.partitions[1].uuid if key == "PARTUUID" else held.uuid
    device, reused, seen = loop.attach(images[0], partscan=True), [], []

    def reuse():
        device.detach()
        device.close()
        said = subprocess.run(["losetup", device.path, str(images[1])], capture_output=True)
        reused.append(said.returncode == 0)
        if said.returncode == 0 and key == "PARTUUID":
            run("partx", "-a", device.path)

    if key == "PARTUUID":
        read = blkid._read

        def reuse_on_read(path):  # p2's, after the listing's: the table is read
            seen.append(path)
            if path.endswith(f"/loop{device.number}p2/partition") and seen.count(path) == 2:
                reuse()
            return read(path)

        monkeypatch.setattr(blkid, "_read", reuse_on_read)
    else:
        one_filesystem = blkid._one_filesystem

        def reuse_once_probed(held):
            if not reused:
                reuse()
            return one_filesystem(held)

        monkeypatch.setattr(blkid, "_one_filesystem", reuse_once_probed)
    try:
        given = blkid.resolve(f"{key}={value}")
        theirs = subprocess.run(["blkid", "-p", "-s", "PART_ENTRY_UUID" if key == "PARTUUID" else "UUID",
                                 "-o", "value", given], capture_output=True, text=True).stdout.strip()  # fmt: skip
    except FileNotFoundError:
        given = None
    finally:
        if reused == [True]:
            subprocess.run(["partx", "-d", device.path], capture_output=True)  # losetup's device keeps them
            run("losetup", "-d", device.path)
        else:
            device.close()
    if reused != [True]:
        pytest.skip("another run took the loop number meanwhile")
    assert given is None or theirs == value

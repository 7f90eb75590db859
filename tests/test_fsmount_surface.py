"""velkora.fsmount's public face: its names, every constant pinned against
the kernel's own uapi header, multi-phase loading (isolated subinterpreters,
no GIL on free-threaded builds), and what it exports."""

import re
import subprocess
import sys
import sysconfig
import types

import pytest

import velkora.fsmount as f
from support.headers import NEWER, header_values

FUNCTIONS = {"fsopen", "fspick", "fsconfig", "fsmount", "open_tree", "move_mount", "mount_setattr"}
CONSTANTS = [
    "AT_FDCWD", "AT_EMPTY_PATH", "AT_RECURSIVE", "AT_SYMLINK_NOFOLLOW", "AT_NO_AUTOMOUNT",
    "FSOPEN_CLOEXEC", "FSPICK_CLOEXEC", "FSPICK_SYMLINK_NOFOLLOW", "FSPICK_NO_AUTOMOUNT", "FSPICK_EMPTY_PATH",
    "FSCONFIG_SET_FLAG", "FSCONFIG_SET_STRING", "FSCONFIG_SET_BINARY", "FSCONFIG_SET_PATH",
    "FSCONFIG_SET_PATH_EMPTY", "FSCONFIG_SET_FD", "FSCONFIG_CMD_CREATE", "FSCONFIG_CMD_RECONFIGURE",
    "FSCONFIG_CMD_CREATE_EXCL", "FSMOUNT_CLOEXEC",
    "MOUNT_ATTR_RDONLY", "MOUNT_ATTR_NOSUID", "MOUNT_ATTR_NODEV", "MOUNT_ATTR_NOEXEC", "MOUNT_ATTR__ATIME",
    "MOUNT_ATTR_RELATIME", "MOUNT_ATTR_NOATIME", "MOUNT_ATTR_STRICTATIME", "MOUNT_ATTR_NODIRATIME",
    "MOUNT_ATTR_IDMAP", "MOUNT_ATTR_NOSYMFOLLOW", "MOUNT_ATTR_SIZE_VER0",
    "MOVE_MOUNT_F_SYMLINKS", "MOVE_MOUNT_F_AUTOMOUNTS", "MOVE_MOUNT_F_EMPTY_PATH", "MOVE_MOUNT_T_SYMLINKS",
    "MOVE_MOUNT_T_AUTOMOUNTS", "MOVE_MOUNT_T_EMPTY_PATH", "MOVE_MOUNT_SET_GROUP", "MOVE_MOUNT_BENEATH",
    "OPEN_TREE_CLONE", "OPEN_TREE_CLOEXEC", "MS_UNBINDABLE", "MS_PRIVATE", "MS_SLAVE", "MS_SHARED",
]  # fmt: skip


def test_every_constant_is_the_kernel_headers(tmp_path):
    # AT_RECURSIVE is in <linux/fcntl.h> where the C library's <fcntl.h> lacks it.
    includes = "#include <fcntl.h>\n#include <linux/mount.h>\n#ifndef AT_RECURSIVE\n#include <linux/fcntl.h>\n#endif"
    header = header_values(CONSTANTS, includes, tmp_path)
    absent = {name for name, value in header.items() if value == "absent"}
    assert absent <= set(NEWER)  # only what an older header may lack
    assert {n: getattr(f, n) for n in CONSTANTS if n not in absent} == {
        n: int(v) for n, v in header.items() if n not in absent
    }
    # What an older header lacks, pinned to the kernel's numbers.
    assert (f.FSCONFIG_CMD_CREATE_EXCL, f.MOVE_MOUNT_BENEATH) == (8, 0x200)


def test_exactly_the_documented_names():
    public = {name for name in dir(f) if not name.startswith("__")}
    assert public == FUNCTIONS | set(CONSTANTS)
    assert all(type(getattr(f, name)) is int for name in CONSTANTS)
    for name in FUNCTIONS:
        function = getattr(f, name)
        assert isinstance(function, types.BuiltinFunctionType)
        assert function.__doc__.startswith(f"{name}(") and "Raises OSError" in function.__doc__
    assert f.__name__ == "velkora.fsmount"


@pytest.mark.skipif(sys.version_info < (3, 12), reason="isolated subinterpreters came with Python 3.12")
def test_loads_and_works_in_an_isolated_subinterpreter(double):
    got = double.program("subinterpreter", "velkora.fsmount")
    assert got["inside"] == "imported fsopen gave 42"  # the stand-in's fd: the call was made there
    assert got["after"] == "ValueError"


def test_free_threaded_interpreters_keep_the_gil_off():
    code = "import sys, velkora.fsmount; print(getattr(sys, '_is_gil_enabled', lambda: True)())"
    run = subprocess.run([sys.executable, "-W", "error", "-c", code], capture_output=True, text=True)
    assert (run.returncode, run.stderr) == (0, "")
    assert run.stdout.strip() == str(not sysconfig.get_config_var("Py_GIL_DISABLED"))


def test_only_the_init_function_is_exported_and_only_libc_is_needed():
    path = f.__file__
    symbols = subprocess.run(["nm", "-D", "--defined-only", path], check=True, capture_output=True, text=True)
    assert [line.split()[-1] for line in symbols.stdout.splitlines()] == ["PyInit_fsmount"]
    dynamic = subprocess.run(["readelf", "-d", path], check=True, capture_output=True, text=True).stdout
    needed = re.findall(r"\(NEEDED\)\s+Shared library: \[(.+?)\]", dynamic)
    # Sanitizer builds add their runtime; the wheels need the C library alone.
    assert {name for name in needed if not name.startswith(("libasan.", "libubsan."))} <= {"libc.so.6"}

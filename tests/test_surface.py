"""The module's public face: name, docstrings, functions and constants."""

import re
import subprocess
import sys
import sysconfig
import types

import pytest

import velkora
import velkora.mount as m

CONSTANTS = {
    "MS_RDONLY": 1,
    "MS_NOSUID": 2,
    "MS_NODEV": 4,
    "MS_NOEXEC": 8,
    "MS_REMOUNT": 32,
    "MS_BIND": 4096,
    "MS_REC": 16384,
    "MNT_FORCE": 1,
    "MNT_DETACH": 2,
    "MNT_EXPIRE": 4,
}
FUNCTIONS = {"mount", "umount"}

MOUNT_DOC = (
    'mount(source: str, target: str, fstype: str = "btrfs", flags: int = 0, data: str = "") -> None\n'
    "\n"
    "Mount a filesystem.\n"
    "\n"
    "Calls mount(2). Raises OSError on failure."
)
UMOUNT_DOC = (
    "umount(target: str, flags: int = 0) -> None\n"
    "\n"
    "Unmount a filesystem.\n"
    "\n"
    "Calls umount2(2). Raises OSError on failure."
)


def test_identity():
    assert m.__name__ == "velkora.mount"
    assert m.__doc__ == "Low-level mount/umount helpers."


def test_exactly_the_documented_names():
    public = {name for name in dir(m) if not name.startswith("__")}
    assert public == FUNCTIONS | set(CONSTANTS)
    assert {name: getattr(m, name) for name in CONSTANTS} == CONSTANTS
    assert all(type(getattr(m, name)) is int for name in CONSTANTS)
    assert all(isinstance(getattr(m, name), types.BuiltinFunctionType) for name in FUNCTIONS)


@pytest.mark.parametrize("name", ["MS_MOVE", "MS_PRIVATE", "MS_SHARED", "UMOUNT_NOFOLLOW", "umount2"])
def test_other_names_are_absent(name):
    with pytest.raises(AttributeError):
        getattr(m, name)


@pytest.mark.parametrize("function, doc", [(m.mount, MOUNT_DOC), (m.umount, UMOUNT_DOC)])
def test_docstrings_whole(function, doc):
    assert function.__doc__ == doc
    assert function.__text_signature__ is None


def test_import_brings_in_nothing_else():
    code = "import sys; before = set(sys.modules); import velkora.mount; print(*set(sys.modules) - before)"
    out = subprocess.run([sys.executable, "-c", code], check=True, capture_output=True, text=True).stdout
    # Under a C locale the interpreter may load a codec lazily at any point.
    assert {name for name in out.split() if not name.startswith("encodings.")} == {"velkora", "velkora.mount"}


def test_version_comes_from_the_metadata():
    from importlib.metadata import version

    assert velkora.__version__ == version("velkora")
    with pytest.raises(AttributeError):
        velkora.__author__  # noqa: B018


def test_free_threaded_interpreters_keep_the_gil_off():
    # -W error: the warning that a module turned the GIL back on would fail the import.
    code = "import sys, velkora.mount; print(getattr(sys, '_is_gil_enabled', lambda: True)())"
    run = subprocess.run([sys.executable, "-W", "error", "-c", code], capture_output=True, text=True)
    assert (run.returncode, run.stderr) == (0, "")
    free_threaded = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
    assert run.stdout.split() == [str(not free_threaded)]


@pytest.mark.skipif(sys.version_info < (3, 12), reason="isolated subinterpreters came with Python 3.12")
def test_isolated_subinterpreters_refuse_the_import_cleanly(double):
    got = double.program("subinterpreter")
    refused = r"ImportError: module (velkora\.)?mount does not support loading in subinterpreters"
    assert re.fullmatch(refused, got["inside"])
    assert (got["after"], got["flag"]) == ("ValueError", 4096)  # the main interpreter's module is unharmed

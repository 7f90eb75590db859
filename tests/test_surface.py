"""The native modules' public faces: names, docstrings, constants pinned to
the kernel's headers, what each shared object exports and needs, and how each
loads (no GIL on free-threaded builds, isolated subinterpreters)."""

import ast
import inspect
import platform
import re
import subprocess
import sys
import sysconfig
import types
from pathlib import Path

import pytest

import velkora
import velkora._btrfs as b
import velkora._chroot as c
import velkora._guard as g
import velkora._loop as lo
import velkora._mounts as t
import velkora._userns as u
import velkora.fsmount as f
import velkora.mount as m
from support.headers import NEWER, c_name, header_values
from velkora import flags

FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
NATIVE = {
    "velkora.mount": m,
    "velkora.fsmount": f,
    "velkora._mounts": t,
    "velkora._loop": lo,
    "velkora._guard": g,
    "velkora._chroot": c,
    "velkora._btrfs": b,
    "velkora._userns": u,
}

BTRFS_CONSTANTS = ["BTRFS_SUPER_MAGIC", "BTRFS_FS_TREE_OBJECTID", "BTRFS_FIRST_FREE_OBJECTID", "BTRFS_SUBVOL_RDONLY"]
BTRFS_HEADERS = "#include <linux/magic.h>\n#include <linux/btrfs.h>\n#include <linux/btrfs_tree.h>"
MOUNT_CONSTANTS = {
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
FSMOUNT_CONSTANTS = [
    "AT_FDCWD", "AT_EMPTY_PATH", "AT_RECURSIVE", "AT_SYMLINK_NOFOLLOW", "AT_NO_AUTOMOUNT",
    "FSOPEN_CLOEXEC", "FSPICK_CLOEXEC", "FSPICK_SYMLINK_NOFOLLOW", "FSPICK_NO_AUTOMOUNT", "FSPICK_EMPTY_PATH",
    "FSCONFIG_SET_FLAG", "FSCONFIG_SET_STRING", "FSCONFIG_SET_BINARY", "FSCONFIG_SET_PATH",
    "FSCONFIG_SET_PATH_EMPTY", "FSCONFIG_SET_FD", "FSCONFIG_CMD_CREATE", "FSCONFIG_CMD_RECONFIGURE",
    "FSCONFIG_CMD_CREATE_EXCL", "FSMOUNT_CLOEXEC", "FSMOUNT_NAMESPACE",
    "MOUNT_ATTR_RDONLY", "MOUNT_ATTR_NOSUID", "MOUNT_ATTR_NODEV", "MOUNT_ATTR_NOEXEC", "MOUNT_ATTR__ATIME",
    "MOUNT_ATTR_RELATIME", "MOUNT_ATTR_NOATIME", "MOUNT_ATTR_STRICTATIME", "MOUNT_ATTR_NODIRATIME",
    "MOUNT_ATTR_IDMAP", "MOUNT_ATTR_NOSYMFOLLOW", "MOUNT_ATTR_SIZE_VER0",
    "MOVE_MOUNT_F_SYMLINKS", "MOVE_MOUNT_F_AUTOMOUNTS", "MOVE_MOUNT_F_EMPTY_PATH", "MOVE_MOUNT_T_SYMLINKS",
    "MOVE_MOUNT_T_AUTOMOUNTS", "MOVE_MOUNT_T_EMPTY_PATH", "MOVE_MOUNT_SET_GROUP", "MOVE_MOUNT_BENEATH",
    "OPEN_TREE_CLONE", "OPEN_TREE_CLOEXEC", "OPEN_TREE_NAMESPACE",
    "MS_UNBINDABLE", "MS_PRIVATE", "MS_SLAVE", "MS_SHARED",
]  # fmt: skip
# Each module's functions, its constants, and what a documented function's
# docstring must be (None: it must name the call and say it raises OSError).
SURFACE = {
    m: ({"mount", "umount"}, set(MOUNT_CONSTANTS)),
    f: (
        {"fsopen", "fspick", "fsconfig", "fsmount", "open_tree", "move_mount", "mount_setattr"},
        set(FSMOUNT_CONSTANTS),
    ),
    t: (
        {
            "listmount",
            "statmount",
            "mount_id",
            "mount",
            "umount",
            "table",
            "record",
            "parse",
            "read",
            "mntns_id",
            "fanotify_init",
            "fanotify_mark",
        },
        # Every MS_*, MNT_* and UMOUNT_NOFOLLOW that velkora.flags names.
        {"LSMT_ROOT"} | {c_name(cls, name) for cls in (flags.MS, flags.MNT) for name in cls.__members__},
    ),
    g: (set(), set()),
    u: ({"make", "run"}, set()),
    c: (
        {"resolve", "set_pdeathsig", "setup_root", "signal_init", "spawn", "unplace", "unshare", "wait_init"},
        {"KIND_FS", "KIND_BIND", "KIND_DIR", "KIND_FILE", "KIND_LINK", "KIND_RESOLV"},
    ),
    b: (
        set(
            "is_subvolume subvolume_id subvol_info fs_uuid ino_lookup reachable roots default_id create snapshot "
            "destroy destroy_id get_flags set_flags set_default clear_received".split()
        ),
        set(BTRFS_CONSTANTS),
    ),
    lo: (
        {"attach", "detach", "status", "set_autoclear", "add_partition", "del_partition"},
        # Written out, not read off the module under test.
        {
            "LO_FLAGS_READ_ONLY",
            "LO_FLAGS_AUTOCLEAR",
            "LO_FLAGS_PARTSCAN",
            "LO_FLAGS_DIRECT_IO",
            "LO_NAME_SIZE",
            "LOOP_SET_FD",
            "LOOP_CLR_FD",
            "LOOP_SET_STATUS64",
            "LOOP_GET_STATUS64",
            "LOOP_SET_DIRECT_IO",
            "LOOP_SET_BLOCK_SIZE",
            "LOOP_CONFIGURE",
            "LOOP_CTL_GET_FREE",
        },  # fmt: skip
    ),
}
# Modules whose functions inspect.signature() reads: all but velkora.mount.
SIGNED = {f, lo, c, t, g, b, u}
MOUNT_DOCS = {
    m.mount: 'mount(source: str, target: str, fstype: str = "btrfs", flags: int = 0, data: str = "") -> None\n'
    "\n"
    "Mount a filesystem.\n"
    "\n"
    "Calls mount(2). Raises OSError on failure.",
    m.umount: "umount(target: str, flags: int = 0) -> None\n"
    "\n"
    "Unmount a filesystem.\n"
    "\n"
    "Calls umount2(2). Raises OSError on failure.",
}


TYPES = {lo: {"Owner"}, g: {"Guard"}, u: {"Owner"}}


@pytest.mark.parametrize("module", list(SURFACE), ids=lambda module: module.__name__)
def test_exactly_the_documented_names(module):
    functions, constants = SURFACE[module]
    names = functions | constants | TYPES.get(module, set())
    assert {name for name in dir(module) if not name.startswith("__")} == names
    assert all(type(getattr(module, name)) is int for name in constants)
    for name in functions:
        function = getattr(module, name)
        assert isinstance(function, types.BuiltinFunctionType)
        if function in MOUNT_DOCS:  # velkora.mount's are fixed to the letter
            assert (function.__doc__, function.__text_signature__) == (MOUNT_DOCS[function], None)
        elif module in SIGNED:  # "Raises" may end a line of the docstring
            assert inspect.signature(function).parameters and "Raises " in " ".join(function.__doc__.split())
        else:
            assert function.__doc__.startswith(f"{name}(") and "Raises " in function.__doc__


def test_identity_and_values():
    assert (m.__name__, m.__doc__) == ("velkora.mount", "Low-level mount/umount helpers.")
    assert (f.__name__, t.__name__) == ("velkora.fsmount", "velkora._mounts")
    assert {name: getattr(m, name) for name in MOUNT_CONSTANTS} == MOUNT_CONSTANTS


def test_loop_constants_are_the_kernel_headers(headers):
    names = SURFACE[lo][1]
    assert {n: getattr(lo, n) for n in names} == {n: int(headers[n]) for n in names}


def test_btrfs_constants_are_the_kernel_headers(tmp_path):
    values = header_values({BTRFS_HEADERS: BTRFS_CONSTANTS}, tmp_path)
    assert {n: getattr(b, n) for n in BTRFS_CONSTANTS} == {n: int(values[n]) for n in BTRFS_CONSTANTS}


def test_the_package_lists_what_its_stub_declares():
    stub = (Path(velkora.__file__).parent / "__init__.pyi").read_text()
    declared = set(re.findall(r'"(\w+)"', re.search(r"^__all__ = \[(.*?)\]$", stub, re.M | re.S)[1]))
    assert set(velkora.__all__) == declared
    assert declared | {"__version__"} <= set(dir(velkora))


def test_fsmount_constants_are_the_kernel_headers(headers):
    absent = {name for name in FSMOUNT_CONSTANTS if headers[name] == "absent"}
    assert absent <= set(NEWER)  # only what an older header may lack
    assert {n: getattr(f, n) for n in FSMOUNT_CONSTANTS if n not in absent} == {
        n: int(headers[n]) for n in FSMOUNT_CONSTANTS if n not in absent
    }
    # What an older header lacks, pinned to the kernel's numbers.
    assert (f.FSCONFIG_CMD_CREATE_EXCL, f.MOVE_MOUNT_BENEATH) == (8, 0x200)
    assert (f.OPEN_TREE_NAMESPACE, f.FSMOUNT_NAMESPACE) == (2, 2)


def test_mount_flag_constants_are_the_kernel_headers(headers):
    # _mounts is the one home of mount(2)'s and umount2(2)'s numbers.
    names = {c_name(cls, name) for cls in (flags.MS, flags.MNT) for name in cls.__members__}
    assert {n: getattr(t, n) for n in names} == {n: int(headers[n]) % 2**32 for n in names}


def _stub_parameters(module):
    # Each function's and method's parameters as its stub declares them:
    # {"name" or "Class.name": [(parameter, kind, has a default), ...]}.
    stub = ast.parse((Path(velkora.__file__).parent / f"{module.__name__.rsplit('.', 1)[1]}.pyi").read_text())

    def parameters(node, method):
        a = node.args
        plain = [(p, inspect.Parameter.POSITIONAL_ONLY) for p in a.posonlyargs]
        plain += [(p, inspect.Parameter.POSITIONAL_OR_KEYWORD) for p in a.args]
        defaults = [False] * (len(plain) - len(a.defaults)) + [True] * len(a.defaults)
        found = [(p.arg, kind, default) for (p, kind), default in zip(plain, defaults)]
        found += [(p.arg, inspect.Parameter.KEYWORD_ONLY, d is not None) for p, d in zip(a.kwonlyargs, a.kw_defaults)]
        return found[1:] if method else found  # self is bound

    declared = {}
    for node in stub.body:
        if isinstance(node, ast.FunctionDef):
            declared[node.name] = parameters(node, False)
        elif isinstance(node, ast.ClassDef) and not node.name.startswith("_"):
            for item in node.body:
                if isinstance(item, ast.FunctionDef):
                    declared[f"{node.name}.{item.name}"] = parameters(item, True)
    return declared


def _runtime_parameters(module):
    # The same, as inspect.signature reads each public callable (a type's
    # methods, dunders among them, with it); a callable without a signature
    # raises ValueError.
    found = {}
    for name in dir(module):
        thing = getattr(module, name)
        if name.startswith("_") or not callable(thing):
            continue
        places = {name: thing}
        if isinstance(thing, type):
            places = {f"{name}.{n}": getattr(thing, n) for n, v in vars(thing).items() if callable(v)}
        for where, function in places.items():
            signature = list(inspect.signature(function).parameters.values())
            bound = signature[1:] if "." in where else signature  # a method's self
            found[where] = [(p.name, p.kind, p.default is not p.empty) for p in bound]
    return found


@pytest.mark.parametrize("module", sorted(SIGNED, key=lambda m: m.__name__), ids=lambda m: m.__name__)
def test_every_callable_has_the_signature_its_stub_declares(module):
    assert _runtime_parameters(module) == _stub_parameters(module)


@pytest.mark.parametrize("module", list(NATIVE.values()), ids=list(NATIVE))
def test_only_the_init_function_is_exported_and_only_libc_is_needed(module):
    path = module.__file__
    symbols = subprocess.run(["nm", "-D", "--defined-only", path], check=True, capture_output=True, text=True)
    init = "PyInit_" + module.__name__.rsplit(".", 1)[1]
    assert [line.split()[-1] for line in symbols.stdout.splitlines()] == [init]
    dynamic = subprocess.run(["readelf", "-d", path], check=True, capture_output=True, text=True).stdout
    needed = re.findall(r"\(NEEDED\)\s+Shared library: \[(.+?)\]", dynamic)
    # Sanitizer builds add their runtime; the wheels need the C library alone.
    # Exactly: a module with no NEEDED at all makes auditwheel refuse the wheel.
    assert {name for name in needed if not name.startswith(("libasan.", "libubsan."))} == {"libc.so.6"}
    # No symbol of the C library newer than the oldest manylinux policy has
    # (2.5; 2.17 on aarch64, whose C library starts there), as auditwheel's
    # "requires no external shared libraries" asks: a newer fstat, fcntl,
    # pipe2 or pthread_sigmask raises the wheel's tag.
    undefined = subprocess.run(["nm", "-D", "--undefined-only", path], check=True, capture_output=True, text=True)
    versions = re.findall(r"@GLIBC_([0-9.]+)", undefined.stdout)
    oldest = (2, 17) if platform.machine() == "aarch64" else (2, 5)
    assert [v for v in versions if tuple(map(int, v.split("."))) > oldest] == []


@pytest.mark.parametrize("name", list(NATIVE))
def test_imports_cleanly_and_keeps_a_free_threaded_gil_off(name):
    # -W error: the warning that a module turned the GIL back on fails the import.
    code = f"import sys, {name}; print(getattr(sys, '_is_gil_enabled', lambda: True)())"
    run = subprocess.run([sys.executable, "-W", "error", "-c", code], capture_output=True, text=True)
    assert (run.returncode, run.stderr) == (0, "")
    if FREE_THREADED:
        assert run.stdout.split() == ["False"]


def test_import_brings_in_nothing_else():
    code = "import sys; before = set(sys.modules); import velkora.mount; print(*set(sys.modules) - before)"
    out = subprocess.run([sys.executable, "-c", code], check=True, capture_output=True, text=True).stdout
    # Under a C locale the interpreter may load a codec lazily at any point.
    assert {name for name in out.split() if not name.startswith("encodings.")} == {"velkora", "velkora.mount"}


def test_version_is_the_projects():
    pyproject = (Path(__file__).resolve().parents[1] / "pyproject.toml").read_text()
    assert velkora.__version__ == re.search(r'^version = "(.+)"$', pyproject, re.M)[1]
    with pytest.raises(AttributeError):
        velkora.__author__  # noqa: B018


@pytest.mark.skipif(sys.version_info < (3, 12), reason="isolated subinterpreters came with Python 3.12")
@pytest.mark.parametrize(
    ("name", "inside"),
    [
        ("velkora.mount", r"ImportError: module (velkora\.)?mount does not support loading in subinterpreters"),
        ("velkora.fsmount", "imported fsopen gave 42"),  # the stand-in's fd: the call was made there
    ],
)
def test_isolated_subinterpreters(double, name, inside):
    got = double.program("subinterpreter", name)
    assert re.fullmatch(inside, got["inside"])
    assert got["after"] == "ValueError"  # the main interpreter's module is unharmed


def test_no_module_of_the_package_imports_itself_back():
    # Every import of velkora's Python modules, at the top or inside a
    # function, as a graph: no module reaches itself again through it.
    source = Path(__file__).resolve().parents[1] / "src" / "velkora"
    graph = {}
    for path in source.rglob("*.py"):  # the packages' modules too (velkora.btrfs, velkora.cli, velkora.fstab)
        parts = path.relative_to(source.parent).with_suffix("").parts
        name = ".".join(parts[:-1] if parts[-1] == "__init__" else parts)
        found = set()
        for node in ast.walk(ast.parse(path.read_text())):
            if isinstance(node, ast.Import):
                found |= {alias.name for alias in node.names}
            elif isinstance(node, ast.ImportFrom) and node.module == "velkora":
                found |= {f"velkora.{alias.name}" for alias in node.names}
            elif isinstance(node, ast.ImportFrom) and node.module:
                found.add(node.module)
        graph[name] = found - {name, "velkora"}

    def reached(start, seen):
        for module in graph.get(start, ()):
            if module not in seen:
                seen.add(module)
                reached(module, seen)
        return seen

    assert [name for name in graph if name in reached(name, set())] == []

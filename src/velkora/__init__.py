"""velkora: Linux mounts from Python, exactly (types: __init__.pyi)."""

__all__ = ["mounted", "overlay", "remount", "FsContext", "DetachedMount"]


def __dir__():
    return sorted(set(globals()) | {"__version__", *__all__})


def __getattr__(name):
    # On demand, from a module of its own: importlib.metadata and the context
    # managers cost far more than the extension that most callers came for.
    # Any other name (a submodule not yet imported, which `from velkora
    # import _mounttable` asks for first) is no attribute.
    if name != "__version__" and name not in __all__:
        raise AttributeError(f"module 'velkora' has no attribute {name!r}")
    from velkora._lazy import attribute

    return attribute(name)

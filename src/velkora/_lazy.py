"""What ``velkora`` looks up on first use (see ``velkora.__getattr__``)."""

from __future__ import annotations

CONTEXTS = ("mounted", "overlay", "FsContext", "DetachedMount")


def attribute(name: str) -> object:
    """The package attribute ``name``: its version, or a context manager."""
    if name == "__version__":
        from importlib.metadata import version

        return version("velkora")
    if name in CONTEXTS:
        from velkora import contexts

        return getattr(contexts, name)
    if name == "remount":
        from velkora._vfs import remount

        return remount
    raise AttributeError(f"module 'velkora' has no attribute {name!r}")

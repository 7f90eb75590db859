"""velkora: direct access to Linux mount(2) and umount2(2).

The system calls live in the native submodule :mod:`velkora.mount`.
"""


def __getattr__(name: str) -> str:
    # Looked up on demand: importlib.metadata costs far more than the whole
    # extension, and most callers never ask.
    if name == "__version__":
        from importlib.metadata import version

        return version("velkora")
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")

"""velkora: Linux mounts from Python, exactly (types: __init__.pyi)."""


def __getattr__(name):
    # On demand, from a module of its own: importlib.metadata and the context
    # managers cost far more than the extension that most callers came for.
    from velkora._lazy import attribute

    return attribute(name)

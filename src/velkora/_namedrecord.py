"""Records as namedtuples made from annotated classes: the type
typing.NamedTuple makes, without importing typing at run time (a command
starts faster). Imports no other module of the package."""

from collections import namedtuple


def record(cls: type, module: str, defaults: tuple = ()) -> type:  # type: ignore[type-arg]
    """The namedtuple of cls's annotated fields, with its docstring, in module."""
    made = namedtuple(cls.__name__, list(cls.__annotations__), defaults=defaults, module=module)  # type: ignore[misc]
    made.__doc__, made.__annotations__ = cls.__doc__, cls.__annotations__
    return made

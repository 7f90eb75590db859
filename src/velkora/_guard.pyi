"""Guard, the base class of velkora's context managers whose clean-up must run."""

from types import TracebackType
from typing import Any

class Guard:
    """A base for context managers whose clean-up must run: subclasses define
    _enter(), _undo() (run where _enter fails or is interrupted) and
    _leave(again), run again with again=True after an interrupt."""

    def __enter__(self) -> Any:
        """Return self._enter(); where it fails or is interrupted, run
        self._undo() first."""

    def __exit__(
        self, exc_type: type[BaseException] | None, exc: BaseException | None, traceback: TracebackType | None, /
    ) -> bool:
        """Run self._leave() to the end; never suppresses an exception."""

"""A context manager base whose __exit__ runs to the end."""

from types import TracebackType

class Guard:
    """A base for context managers whose __exit__ must run: subclasses define
    _leave(again), run again with again=True after an interrupt."""

    def __exit__(
        self, exc_type: type[BaseException] | None, exc: BaseException | None, traceback: TracebackType | None, /
    ) -> bool:
        """Run self._leave() to the end; never suppresses an exception."""

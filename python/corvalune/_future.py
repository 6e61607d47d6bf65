"""A concurrent.futures.Future that is cheap to make and to settle.

A standard Future builds a threading.Condition (with its RLock) when it is
made and takes it for every transition; for a call that takes a microsecond
that is most of the cost. This one guards its state with a bare re-entrant lock and
builds the condition on that lock only when a thread actually has to wait
(result() or exception() before completion, concurrent.futures.wait,
as_completed, repr): every inherited method that takes `_condition` still
works, and takes this same lock.

The protocol that keeps a waiter from missing a transition: every
transition happens under the lock and, under it, notifies the condition if
one exists; a waiter creates the condition first, then takes the lock and
looks at the state. Either the transition comes first (the waiter sees it)
or the waiter holds the lock first (the transition then finds the condition
and notifies it once the waiter sleeps).
"""

from __future__ import annotations

import threading
from concurrent import futures
from concurrent.futures._base import (  # the states the stdlib's helpers read
    CANCELLED,
    CANCELLED_AND_NOTIFIED,
    FINISHED,
    LOGGER,
    PENDING,
    RUNNING,
)
from typing import Any, TypeVar

_T = TypeVar("_T")
_DONE = frozenset({CANCELLED, CANCELLED_AND_NOTIFIED, FINISHED})


class LeanFuture(futures.Future[_T]):
    """A :class:`concurrent.futures.Future` for the executor's calls."""

    def __init__(self) -> None:  # no super().__init__(): it would build the condition
        # Re-entrant, as the standard Future's: concurrent.futures.wait holds
        # every future's condition while it calls their cancelled() and
        # exception(), which take it again.
        self._lock = threading.RLock()
        self._state = PENDING
        self._result: Any = None
        self._exception: BaseException | None = None
        self._waiters: list[Any] = []
        self._done_callbacks: list[Any] = []

    def __getattr__(self, name: str) -> Any:
        # Only called for a missing attribute: the condition, on first need.
        # setdefault is atomic, so two threads end with the same condition.
        if name == "_condition":
            return self.__dict__.setdefault("_condition", threading.Condition(self._lock))
        raise AttributeError(f"{type(self).__name__!r} object has no attribute {name!r}")

    def _notify(self) -> None:
        # Called with the lock held.
        condition = self.__dict__.get("_condition")
        if condition is not None:
            condition.notify_all()

    def set_running_or_notify_cancel(self) -> bool:
        with self._lock:
            if self._state == CANCELLED:
                self._state = CANCELLED_AND_NOTIFIED
                for waiter in self._waiters:
                    waiter.add_cancelled(self)
                return False
            if self._state == PENDING:
                self._state = RUNNING
                return True
            LOGGER.critical("Future %s in unexpected state: %s", id(self), self._state)
            raise RuntimeError("Future in unexpected state")

    def set_result(self, result: _T) -> None:
        self._settle(result, None)

    def set_exception(self, exception: BaseException | None) -> None:
        self._settle(None, exception)

    def _settle(self, result: Any, exception: BaseException | None) -> None:
        # The standard Future's two setters differ only in what the waiters
        # are told; an outcome is final and set once.
        with self._lock:
            if self._state in _DONE:
                raise futures.InvalidStateError(f"{self._state}: {self!r}")
            self._result = result
            self._exception = exception
            self._state = FINISHED
            for waiter in self._waiters:
                if exception is None:
                    waiter.add_result(self)
                else:
                    waiter.add_exception(self)
            self._notify()
        self._invoke_callbacks()

    def done(self) -> bool:
        return self._state in _DONE

    def add_done_callback(self, fn: Any) -> None:
        with self._lock:
            if self._state not in _DONE:
                self._done_callbacks.append(fn)
                return
        try:
            fn(self)
        except Exception:
            LOGGER.exception("exception calling callback for %r", self)

    def result(self, timeout: float | None = None) -> _T:
        if self._state == FINISHED:  # final once set: no lock needed to read it
            if self._exception is not None:
                try:
                    raise self._exception
                finally:
                    self = None  # type: ignore[assignment]  # break the cycle through the traceback
            return self._result  # type: ignore[no-any-return]
        return super().result(timeout)

"""Blocking on task handles (and on corvalune.Executor's futures): wait()
and as_completed(), as in concurrent.futures.

A handle's result() raises until the work is done, so a thread that wants
to block registers a done callback on every pending handle and sleeps on a
condition that the callbacks notify: no polling, no CPU while it waits.
Callbacks cannot be removed from a handle, so one registered for a wait that
has returned still runs once; it only notes a completion nobody reads.
"""

from __future__ import annotations

import threading
import time
from collections.abc import Iterable, Iterator
from concurrent.futures import ALL_COMPLETED as ALL_COMPLETED
from concurrent.futures import FIRST_COMPLETED as FIRST_COMPLETED
from concurrent.futures import FIRST_EXCEPTION as FIRST_EXCEPTION
from typing import Any, Generic, NamedTuple, Protocol, TypeVar

from _corvalune_sys import _blocking


class _Handle(Protocol):
    def done(self) -> bool: ...
    def result(self) -> Any: ...
    def add_done_callback(self, cb: Any, /) -> None: ...


_H = TypeVar("_H", bound=_Handle)


class DoneAndNotDone(NamedTuple, Generic[_H]):
    """What :func:`wait` returns, like concurrent.futures' named 2-tuple."""

    done: set[_H]
    not_done: set[_H]


class _Waiter:
    """Collects handles as their done callbacks report them."""

    def __init__(self) -> None:
        self.condition = threading.Condition(threading.Lock())
        self.finished: list[Any] = []

    def watch(self, handle: _Handle) -> None:
        # The handle it reports is bound here. The callback takes an argument
        # or none: a task handle calls it with none, a concurrent.futures
        # Future (corvalune.Executor's) with itself.
        handle.add_done_callback(lambda *_: self._finished(handle))

    def _finished(self, handle: _Handle) -> None:
        with self.condition:
            self.finished.append(handle)
            self.condition.notify_all()


def _failed(handle: _Handle) -> bool:
    # A cancelled future raises from result() but has not failed, as
    # concurrent.futures.wait counts it.
    cancelled = getattr(handle, "cancelled", None)
    if cancelled is not None and cancelled():
        return False
    try:
        handle.result()
    except BaseException:
        return True
    return False


def _deadline(timeout: float | None) -> float | None:
    return None if timeout is None else time.monotonic() + timeout


def _remaining(deadline: float | None) -> float | None:
    return None if deadline is None else max(0.0, deadline - time.monotonic())


def wait(handles: Iterable[_H], timeout: float | None = None,
         return_when: str = ALL_COMPLETED) -> DoneAndNotDone[_H]:
    """Wait for the handles to complete, as :func:`concurrent.futures.wait`.

    Returns a named 2-tuple of sets ``(done, not_done)``. *return_when* is
    :data:`FIRST_COMPLETED`, :data:`FIRST_EXCEPTION` (a handle whose
    ``result()`` raises; a cancelled future does not count) or
    :data:`ALL_COMPLETED`; *timeout* bounds the wait
    in seconds. The calling thread sleeps while it waits.
    """
    if return_when not in (FIRST_COMPLETED, FIRST_EXCEPTION, ALL_COMPLETED):
        raise ValueError(f"Invalid return condition: {return_when!r}")
    pending = set(handles)
    done = {h for h in pending if h.done()}
    pending -= done

    def satisfied(new: Iterable[_H]) -> bool:
        if not pending:
            return True
        if return_when == FIRST_COMPLETED:
            return bool(done)
        if return_when == FIRST_EXCEPTION:
            return any(_failed(h) for h in new)
        return False

    if satisfied(done):
        return DoneAndNotDone(done, pending)
    waiter = _Waiter()
    for h in pending:
        waiter.watch(h)
    deadline = _deadline(timeout)
    seen = 0
    with waiter.condition:
        while True:
            new = waiter.finished[seen:]
            seen = len(waiter.finished)
            for h in new:
                pending.discard(h)
                done.add(h)
            if satisfied(new):
                break
            remaining = _remaining(deadline)
            if remaining == 0.0:
                break
            with _blocking:  # on a pool thread, another worker takes this one's place
                waiter.condition.wait(remaining)
    return DoneAndNotDone(done, pending)


def as_completed(handles: Iterable[_H], timeout: float | None = None) -> Iterator[_H]:
    """Yield the handles as they complete (finished ones first), as
    :func:`concurrent.futures.as_completed`; each handle once.

    Raises :exc:`TimeoutError` when *timeout* seconds pass, counted from the
    call, before every handle has been yielded.
    """
    deadline = _deadline(timeout)
    unique = list(dict.fromkeys(handles))  # each once, in the order given
    total = len(unique)
    pending = [h for h in unique if not h.done()]
    waiter = _Waiter()
    for h in pending:
        waiter.watch(h)
    return _yield_completed(unique, set(pending), waiter, deadline, total)


def _yield_completed(unique: list[_H], pending: set[_H], waiter: _Waiter, deadline: float | None,
                     total: int) -> Iterator[_H]:
    for h in unique:
        if h not in pending:
            yield h
    seen = 0
    while pending:
        with waiter.condition:
            while seen == len(waiter.finished):
                remaining = _remaining(deadline)
                if remaining == 0.0:
                    raise TimeoutError(f"{len(pending)} (of {total}) futures unfinished")
                with _blocking:
                    waiter.condition.wait(remaining)
            new = waiter.finished[seen:]
            seen = len(waiter.finished)
        for h in new:
            if h in pending:
                pending.discard(h)
                yield h

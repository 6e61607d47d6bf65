"""A concurrent.futures.Future that is cheap to make and to settle.

A standard Future builds a threading.Condition (with its RLock) and two
lists when it is made, and takes the condition for every transition; for a
call that takes a microsecond that is most of the cost, and the objects it
keeps alive until its result is taken drive the cyclic collector (every
future waiting in a long list of submissions is four objects for the young
generation to scan). This one is two objects: it guards its state with a
bare re-entrant lock, and builds the condition on that lock, the waiters'
list and the callbacks' list only when they are needed (a thread that has to
wait: result() or exception() before completion, concurrent.futures.wait,
as_completed, repr; a callback added before completion). Every inherited
method that takes `_condition` still works, and takes this same lock.

A call the pool drops unrun (queued when the pool was shut down) fails its
handle with PoolShutdownError; its future is then cancelled, as
shutdown(cancel_futures=True) would. Watching the handle costs a callback,
so it is armed only once a thread waits for the future (the condition is
built or a callback added while pending) or the executor's shutdown waits.

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

import _corvalune_sys

_T = TypeVar("_T")
_DONE = frozenset({CANCELLED, CANCELLED_AND_NOTIFIED, FINISHED})
_CANCELLED = frozenset({CANCELLED, CANCELLED_AND_NOTIFIED})


def dropped_by_pool(handle: Any) -> bool:
    """Whether a completed pool handle failed because the pool was shut down
    before its work ran."""
    try:
        handle.result()
    except _corvalune_sys.PoolShutdownError:
        return True
    except BaseException:
        pass
    return False


class Future(futures.Future[_T]):
    """A :class:`concurrent.futures.Future` for the executor's calls.

    Named as the class it stands in for, whose repr users know."""

    # Until the first transition, read through the class.
    _state = PENDING
    _result: Any = None
    _exception: BaseException | None = None
    # Read through the class until the first callback is added (by
    # add_done_callback, under the lock); the stdlib's _invoke_callbacks
    # iterates over it.
    _done_callbacks: list[Any] | tuple[()] = ()
    # The condition and the waiters' list once built (see __getattr__), for
    # transitions to notify.
    _cond: threading.Condition | None = None
    _waiter_list: list[Any] | None = None
    # The pool handle of the call while it is queued, and its executor, set
    # by the executor once the call is spawned; whether a waiter has asked
    # to watch the handle.
    _handle: Any = None
    _executor: Any = None
    _watched = False
    # Whether result() may first poll for the call's outcome and settle it on
    # the waiting thread (calls in sub-interpreters: see _settle_on_caller).
    _settles_on_caller = False

    def __init__(self) -> None:  # no super().__init__(): it would build the condition
        # Re-entrant, as the standard Future's: code that holds a future's
        # condition (concurrent.futures.wait holds every future's) may call
        # its methods, and those that wait or change the state take it again.
        self._lock = threading.RLock()

    def __getattr__(self, name: str) -> Any:
        # Only called for a missing attribute: the condition or the waiters'
        # list, on first need (concurrent.futures.wait and as_completed).
        # setdefault is atomic, so two threads end with the same object. The
        # condition is published before the caller takes the lock; the list
        # is made under it (the stdlib touches it only holding the condition).
        if name == "_condition":
            condition = self.__dict__.setdefault("_condition", threading.Condition(self._lock))
            self._cond = condition
            self._watch_pool()
            return condition
        if name == "_waiters":
            waiters: list[Any] = self.__dict__.setdefault("_waiters", [])
            self._waiter_list = waiters
            return waiters
        raise AttributeError(f"{type(self).__name__!r} object has no attribute {name!r}")

    def _set_handle(self, handle: Any, executor: Any) -> None:
        # Kept only while the call waits in the queue (the call drops it as
        # it starts): a handle is one more object for the collector.
        self._executor = executor
        if self._state != PENDING:
            return  # started already
        self._handle = handle
        if self._watched:  # a waiter came first (see _watch_pool)
            handle.add_done_callback(self._pool_settled)

    def _watch_pool(self) -> None:
        # Flag first, handle second (_set_handle sets them the other way
        # round): one of the two sees both and arms the callback; both may,
        # and _pool_settled is idempotent.
        if not self._watched:
            self._watched = True
            handle = self._handle
            if handle is not None:
                handle.add_done_callback(self._pool_settled)

    def _pool_settled(self) -> None:
        handle = self._handle
        if self._state != PENDING or handle is None:
            return  # the call started (it drops the handle), or was cancelled
        try:
            handle.result()
            return  # the call ran
        except _corvalune_sys.PoolShutdownError:
            # Dropped unrun by the pool's shutdown: cancelled, as
            # shutdown(cancel_futures=True) would.
            if self.cancel():
                with self._lock:
                    if self._state == CANCELLED:  # not notified by a second callback
                        self.set_running_or_notify_cancel()
        except BaseException as failure:
            # The job failed before the call could start (a worker that
            # could not attach for want of memory): the call's failure.
            try:
                self._settle(None, failure)
            except futures.InvalidStateError:
                pass  # settled meanwhile by another callback
        self._executor._forget(self)

    def _forget_in_child(self) -> None:
        # A forked child runs none of the parent's calls: cancelled here,
        # running or not. The lock may have been held by a thread that is
        # gone.
        self._lock._at_fork_reinit()  # type: ignore[attr-defined]
        if self._state in _DONE:
            return
        self._state = CANCELLED_AND_NOTIFIED
        for waiter in self._waiter_list or ():
            waiter.add_cancelled(self)
        if self._cond is not None:
            self._cond.notify_all()
        if self._done_callbacks:
            self._invoke_callbacks()

    def set_running_or_notify_cancel(self) -> bool:
        with self._lock:
            if self._state == CANCELLED:
                self._state = CANCELLED_AND_NOTIFIED
                for waiter in self._waiter_list or ():
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
            for waiter in self._waiter_list or ():
                if exception is None:
                    waiter.add_result(self)
                else:
                    waiter.add_exception(self)
            if self._cond is not None:
                self._cond.notify_all()
        if self._done_callbacks:
            self._invoke_callbacks()

    # Single reads of the state need no lock (asyncio reads a finished
    # future's outcome through these, once per future it wraps).
    def cancelled(self) -> bool:
        return self._state in _CANCELLED

    def running(self) -> bool:
        return self._state == RUNNING

    def done(self) -> bool:
        return self._state in _DONE

    def add_done_callback(self, fn: Any) -> None:
        with self._lock:
            pending = self._state not in _DONE
            if pending:
                if self._done_callbacks:
                    self._done_callbacks.append(fn)  # a list once not empty
                else:
                    self._done_callbacks = [fn]
        if pending:
            self._watch_pool()  # outside the lock: the callback may run at once
            return
        try:
            fn(self)
        except Exception:
            LOGGER.exception("exception calling callback for %r", self)

    def result(self, timeout: float | None = None) -> _T:
        try:
            if self._settles_on_caller and self._state == PENDING and (timeout is None or timeout > 0):
                # An outcome due within microseconds is taken here, on this
                # thread, rather than told by the worker through the condition.
                handle = self._handle
                if handle is not None:
                    _corvalune_sys._settle_on_caller(handle)
                    del handle
            if self._state == FINISHED:  # final once set: no lock needed to read it
                if self._exception is not None:
                    raise self._exception
                return self._result  # type: ignore[no-any-return]
            with _corvalune_sys._blocking:  # on a pool thread, another worker takes this one's place
                return super().result(timeout)
        finally:
            # The exception's traceback holds this frame: without self, the
            # future is not in a cycle through its own exception.
            self = None  # type: ignore[assignment]

    def exception(self, timeout: float | None = None) -> BaseException | None:
        if self._state == FINISHED:  # final once set
            return self._exception
        with _corvalune_sys._blocking:
            return super().exception(timeout)

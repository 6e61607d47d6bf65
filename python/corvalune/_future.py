"""A concurrent.futures.Future that is cheap to make and to settle.

A standard Future builds a threading.Condition (with its RLock) and two
lists when it is made, and takes the condition for every transition; for a
call that takes a microsecond that is most of the cost, and the objects it
keeps alive until its result is taken drive the cyclic collector. This one
keeps its state in a native base (_corvalune_sys._FutureCore): making it,
running it, settling it and reading its outcome take no lock while nobody
watches it; the lock, the condition, the waiters' list and the callbacks'
list are made only when needed (a thread that has to wait: result() or
exception() before completion, concurrent.futures.wait, as_completed, repr;
a callback added before completion). The protocol that keeps a watcher from
missing a transition is at the top of the base's header
(corvalune-sys/src/executor/future.hpp). The standard Future's own methods
(cancel, repr, the waits) run unchanged on its `_condition` and `_state`.

A call the pool drops unrun (queued when the pool was shut down) fails its
handle with PoolShutdownError; its future is then cancelled, as
shutdown(cancel_futures=True) would. Watching the handle costs a callback,
so it is armed only once a thread waits for the future (the condition is
built or a callback added while pending) or the executor's shutdown waits.
"""

from __future__ import annotations

from concurrent import futures
from concurrent.futures._base import (  # the states the stdlib's helpers read
    CANCELLED,
    CANCELLED_AND_NOTIFIED,
    FINISHED,
    PENDING,
)
from typing import Any, TypeVar

import _corvalune_sys

_T = TypeVar("_T")
_DONE = frozenset({CANCELLED, CANCELLED_AND_NOTIFIED, FINISHED})


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


class Future(_corvalune_sys._FutureCore, futures.Future[_T]):
    """A :class:`concurrent.futures.Future` for the executor's calls.

    Named as the class it stands in for, whose repr users know."""

    # Whether a waiter has asked to watch the pool handle.
    _watched = False
    # Whether result() may first poll for the call's outcome and settle it on
    # the waiting thread (calls in sub-interpreters: see _settle_on_caller).
    _settles_on_caller = False

    def _watch_pool(self) -> None:
        # Flag first, handle second (the native _set_handle sets them the
        # other way round): one of the two sees both and arms the callback;
        # both may, and _pool_settled is idempotent.
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
                with self._condition:
                    if self._state == CANCELLED:  # not notified by a second callback
                        self.set_running_or_notify_cancel()
        except BaseException as failure:
            # The job failed before the call could start (a worker that
            # could not attach for want of memory): the call's failure.
            try:
                self.set_exception(failure)
            except futures.InvalidStateError:
                pass  # settled meanwhile by another callback
        self._executor._forget(self)

    def _forget_in_child(self) -> None:
        # A forked child runs none of the parent's calls: cancelled here,
        # running or not. The lock may have been held by a thread that is
        # gone.
        lock = self._lock
        if lock is not None:
            lock._at_fork_reinit()
        if self._state in _DONE:
            return
        self._state = CANCELLED_AND_NOTIFIED
        if lock is not None:
            for waiter in self._waiters:
                waiter.add_cancelled(self)
            condition = self._made_condition
            if condition is not None:
                with condition:
                    condition.notify_all()
        if self._done_callbacks:
            self._invoke_callbacks()  # type: ignore[attr-defined]  # the standard Future's

    def _wait_result(self, timeout: float | None) -> _T:
        # result() of a future not finished yet.
        try:
            if self._settles_on_caller and self._state == PENDING and (timeout is None or timeout > 0):
                # An outcome due within microseconds is taken here, on this
                # thread, rather than told by the worker through the condition.
                handle = self._handle
                if handle is not None:
                    _corvalune_sys._settle_on_caller(handle)
                    del handle
            # In a job that forked the call, the call (and the rest of the
            # fork) runs here if it is still queued. A wait with a timeout
            # runs nothing, so it never overruns its timeout.
            helped = "block" if timeout is not None else _corvalune_sys._help_until(self.add_done_callback)
            if helped == "join" or self._state != PENDING:
                # Settled, or running on another thread, which keeps the
                # pool's work moving: nothing need take this thread's place
                # (the watchdog still sees a call that blocks there). Only a
                # call nobody has started yet may need a thread.
                return futures.Future.result(self, timeout)
            with _corvalune_sys._blocking:  # on a pool thread, another worker takes this one's place
                return futures.Future.result(self, timeout)
        finally:
            # The exception's traceback holds this frame: without self, the
            # future is not in a cycle through its own exception.
            self = None  # type: ignore[assignment]

    def exception(self, timeout: float | None = None) -> BaseException | None:
        if self._state == FINISHED:  # final once set
            return self._exception
        if timeout is None:
            _corvalune_sys._help_until(self.add_done_callback)  # as in result()
        with _corvalune_sys._blocking:
            return futures.Future.exception(self, timeout)

"""What the pool runs for corvalune.Executor: a batch of a map() call (one
MapBatch). A submitted call is run by the native job _corvalune_sys._submit_call
spawns, a run of a batch's calls by _corvalune_sys._run_map_calls; both use
_rename_thread, and the submitted call's job logs through LOGGER."""

from __future__ import annotations

import contextvars
import threading
import time
from collections.abc import Callable
from concurrent import futures
from concurrent.futures._base import LOGGER  # noqa: F401  # a submitted call's native job logs through it
from typing import TYPE_CHECKING, Any

from _corvalune_sys import PoolShutdownError, _blocking, _map_report


if TYPE_CHECKING:
    from ._executor import Executor


def _rename_thread(prefix: str) -> tuple[threading.Thread, str]:
    """Gives the calling thread its executor's name while a call runs: the
    thread's Python name only (logging's %(threadName)s, current_thread()),
    never the system's, which stays the pool's."""
    thread = threading.current_thread()
    saved = thread._name  # type: ignore[attr-defined]
    thread._name = f"{prefix}_{saved}"  # type: ignore[attr-defined]
    return thread, saved


# Items per batch of map(): large enough that the batch's fixed costs are
# spread thin, small enough that the first results come early.
MAP_BATCH = 256

# A map call's slot before its outcome: not finished, or cancelled.
_PENDING = object()
_CANCELLED = object()


class MapBatch:
    """One batch of a map() call, spawned as one batch_spawn_callable. Its
    calls share a copy of the caller's context (each runs in its own copy of
    it) and report to the batch one by one, so that results are taken as
    soon as each is ready. Until its last call has reported or been
    cancelled, the batch is among the executor's pending work.

    A call starts by taking its index out of `unstarted`; cancelling takes
    the indexes left there. set.remove and set.pop are atomic, so each call
    is either run or cancelled, never both."""

    __slots__ = ("executor", "context", "fn", "lock", "cond", "results", "left", "waiting", "unstarted",
                 "handle", "watched")

    def __init__(self, executor: Executor, context: contextvars.Context, fn: Callable[..., Any],
                 count: int) -> None:
        self.executor = executor
        self.context = context
        self.fn = fn
        self.lock = threading.Lock()
        self.cond = threading.Condition(self.lock)
        self.results: list[Any] = [_PENDING] * count
        self.left = count
        self.waiting = False
        self.unstarted = set(range(count))
        self.handle: Any = None
        self.watched = False

    def report(self, index: int, outcome: Any) -> None:
        """Records call `index`'s outcome (under the lock, a waiting consumer
        told); the batch leaves the executor's pending work with its last."""
        _map_report(self, index, outcome)

    def cancel(self, *, started_too: bool = False) -> None:
        """Cancels the calls not started yet (and, in a forked child, those
        that were running in the parent and never finish here). The batch
        leaves the executor's pending work once its last call is over."""
        with self.lock:
            cancelled = 0
            while True:
                try:
                    index = self.unstarted.pop()
                except KeyError:
                    break
                self.results[index] = _CANCELLED
                cancelled += 1
            if started_too:
                for index, outcome in enumerate(self.results):
                    if outcome is _PENDING:
                        self.results[index] = _CANCELLED
                        cancelled += 1
            self.left -= cancelled
            last = cancelled > 0 and self.left == 0
            if self.waiting:
                self.cond.notify_all()
        if last:
            self.executor._forget(self)

    def _watch_pool(self) -> None:
        # Only once someone waits for the batch: a batch the pool drops at
        # its shutdown has its calls cancelled. Flag first, handle second
        # (spawn sets them the other way round): one of the two sees both
        # and arms; both may, and cancel() may run twice.
        if not self.watched:
            self.watched = True
            if self.handle is not None:
                self.handle.add_done_callback(self._pool_settled)

    def _pool_settled(self) -> None:
        # Every job of the batch is over: a call still unstarted never runs.
        try:
            self.handle.result()
            return
        except PoolShutdownError:
            self.cancel()  # dropped unrun by the pool's shutdown
            return
        except BaseException as exc:
            # A job failed before its calls could start (no memory to enter
            # Python): those calls fail with its error, rather than leave
            # their results to be waited for forever.
            failure = exc
        while True:
            try:
                index = self.unstarted.pop()
            except KeyError:
                break
            if self.results[index] is _PENDING:  # not reported before its job failed
                self.report(index, (False, failure))
        del failure

    def _forget_in_child(self) -> None:
        self.lock._at_fork_reinit()  # type: ignore[attr-defined]
        self.cancel(started_too=True)


# Calls of a map() batch run per job (_corvalune_sys._run_map_calls, which
# runs them and reports each outcome as soon as it is known): the pool enters
# Python once per run of this many, not once per call, and a batch still
# gives every worker runs to take (256 calls make 16 of them).
MAP_RUN = 16


# How long a consumer waits for a call's outcome before it looks again.
_LOOK_AGAIN = 1.0


def take_result(batch: MapBatch, index: int, end_time: float | None) -> Any:
    """The result of call `index` once it is ready; its exception raised."""
    results = batch.results
    outcome = results[index]
    if outcome is not _PENDING:
        # Final once set (a call's outcome or its cancellation, each written
        # once, under the lock, over _PENDING), and this iterator is the
        # slot's only other writer: taken without the lock.
        results[index] = None
    else:
        # About to wait (outside the lock: the callback may run at once).
        batch._watch_pool()
        with batch.lock:  # the condition's lock: waiting on the condition below is allowed
            while results[index] is _PENDING:
                remaining = None if end_time is None else end_time - time.monotonic()
                if remaining is not None and remaining <= 0:
                    batch.waiting = False
                    raise TimeoutError()
                batch.waiting = True
                # In slices: a report whose notification failed (no memory
                # for it) has recorded the outcome all the same.
                look = _LOOK_AGAIN if remaining is None else min(remaining, _LOOK_AGAIN)
                with _blocking:  # on a pool thread, another worker takes this one's place
                    batch.cond.wait(look)
            batch.waiting = False
            outcome = results[index]
            results[index] = None  # taken: not kept alive by the batch
    if outcome is _CANCELLED:
        raise futures.CancelledError()
    ok, value = outcome
    del outcome
    if ok:
        return value
    try:
        raise value
    finally:
        del value  # the traceback must not hold the exception in a cycle

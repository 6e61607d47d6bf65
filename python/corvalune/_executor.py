"""A concurrent.futures executor over Corvalune's shared worker pool."""

from __future__ import annotations

import collections
import contextvars
import itertools
import os
import threading
import time
import weakref
from collections.abc import Callable, Iterable, Iterator
from concurrent import futures
from typing import Any, ParamSpec, TypeVar

import _corvalune_sys

from . import _future
from ._work import MAP_BATCH, MAP_RUN, MapBatch, take_result

_P = ParamSpec("_P")
_T = TypeVar("_T")

_REFUSED = "cannot schedule new futures after shutdown"


# Every executor, for a forked child to forget their pending work.
_executors: weakref.WeakSet[Executor] = weakref.WeakSet()


class Executor(futures.ThreadPoolExecutor):
    """An executor that runs calls on Corvalune's process-wide worker pool.

    A :class:`concurrent.futures.ThreadPoolExecutor` (so that
    :meth:`asyncio.loop.set_default_executor` takes it) that starts no
    threads of its own. Futures are :class:`concurrent.futures.Future`
    objects (of a subclass that is cheaper to make and to settle, with the
    same behaviour). Each call runs in a copy of the submitting thread's
    :mod:`contextvars` context, as :func:`asyncio.to_thread` does (unlike
    ``ThreadPoolExecutor.submit`` and :func:`corvalune.spawn_callable`).

    The pool is shared by every executor in the process, so *max_workers*
    does not size it; it is accepted for compatibility (libraries read it to
    size their work) and must be positive when given. With
    *thread_name_prefix*, a pool thread running one of this executor's calls
    is named ``f"{thread_name_prefix}_{its own name}"`` in Python while the
    call runs. :meth:`shutdown` stops this executor, never the shared pool.
    """

    def __init__(self, max_workers: int | None = None, thread_name_prefix: str | None = "") -> None:
        # ThreadPoolExecutor.__init__ is not called: it would make the queue
        # and the thread set of a pool of its own.
        if max_workers is not None and max_workers <= 0:
            raise ValueError("max_workers must be greater than 0")
        if thread_name_prefix is None:  # as ThreadPoolExecutor takes it: no prefix
            thread_name_prefix = ""
        if not isinstance(thread_name_prefix, str):
            raise TypeError(f"thread_name_prefix must be a str, not {type(thread_name_prefix).__name__}")
        self._given_max_workers = max_workers
        self._thread_name_prefix = thread_name_prefix
        self._lock = self._shutdown_lock = threading.Lock()
        self._shutdown = False
        self._broken = False
        self._threads: set[threading.Thread] = set()  # none of its own, ever
        # Submitted calls not yet over, and map batches with calls not yet over.
        self._pending: set[Any] = set()
        self._idle = threading.Condition(self._lock)
        _executors.add(self)

    @property
    def _max_workers(self) -> int:  # type: ignore[override]  # read-only: the pool's size
        # Read by libraries that size their work to an executor (Dask's
        # threaded scheduler among them), as they do for ThreadPoolExecutor:
        # the size given, else the shared pool's size. Sizing work to the
        # pool is using it, so a pool not yet started starts here, as at any
        # first use (honouring CORVALUNE_WORKERS).
        if self._given_max_workers is not None:
            return self._given_max_workers
        size = _corvalune_sys.worker_count()
        if size is None:
            _corvalune_sys.spawn_callable(int)
            size = _corvalune_sys.worker_count()
        assert size is not None
        return size

    def _adjust_thread_count(self) -> None:
        """No threads of its own to start: the shared pool runs the calls."""

    def _initializer_failed(self) -> None:
        """No threads of its own, so no initializer to fail."""

    def submit(self, fn: Callable[_P, _T], /, *args: _P.args, **kwargs: _P.kwargs) -> futures.Future[_T]:
        """Schedules ``fn(*args, **kwargs)`` and returns a Future for it."""
        # An empty keyword dict is not kept while the call waits: one object
        # fewer for the collector per queued call.
        try:
            future: _future.Future[_T] | None = _corvalune_sys._submit_call(
                self, _future.Future, fn, args, kwargs or None)
        except _corvalune_sys.PoolShutdownError as exc:
            # The shared pool's refusal after its shutdown, in the words that
            # concurrent.futures users know.
            raise _corvalune_sys.PoolShutdownError(_REFUSED) from exc
        if future is None:
            raise RuntimeError(_REFUSED)
        return future

    submit.__doc__ = futures.Executor.submit.__doc__

    def map(self, fn: Callable[..., _T], *iterables: Iterable[Any], timeout: float | None = None,
            chunksize: int = 1, buffersize: int | None = None) -> Iterator[_T]:
        """Returns an iterator equivalent to ``map(fn, *iterables)``, whose
        calls run on the pool in batches (of at least *chunksize* items).

        Results come in order, as they are asked for; a call's exception is
        raised when its result would be. *timeout* counts from this call.
        With *buffersize*, at most that many calls are queued or running
        ahead of the results taken so far; without it, every call is queued
        at once. Once the iterator stops early (it timed out, a call's
        exception was raised, or it was closed or dropped), the calls not
        started yet are cancelled.
        """
        if buffersize is not None and not isinstance(buffersize, int):
            raise TypeError("buffersize must be an integer or None")
        if buffersize is not None and buffersize < 1:
            raise ValueError("buffersize must be None or > 0")
        if chunksize < 1:
            raise ValueError("chunksize must be >= 1.")
        end_time = None if timeout is None else timeout + time.monotonic()
        size = max(chunksize, MAP_BATCH)
        limit = buffersize
        if limit is not None:
            size = min(size, limit)
        args = zip(*iterables)
        context = contextvars.copy_context()
        queued: collections.deque[MapBatch] = collections.deque()

        def queue_next(count: int) -> int:
            chunk = list(itertools.islice(args, count))
            if chunk:
                queued.append(self._spawn_map_batch(fn, context, chunk))
            return len(chunk)

        if limit is None:
            while queue_next(size):
                pass
            return self._map_results(queued, None, 0, size, end_time)
        ahead = 0
        while ahead < limit:
            spawned = queue_next(min(size, limit - ahead))
            if not spawned:
                break
            ahead += spawned
        return self._map_results(queued, queue_next, limit, size, end_time)

    def _spawn_map_batch(self, fn: Callable[..., Any], context: contextvars.Context,
                         chunk: list[tuple[Any, ...]]) -> MapBatch:
        batch = MapBatch(self, context, fn, len(chunk))
        with self._lock:
            if self._shutdown:
                raise RuntimeError(_REFUSED)
            self._pending.add(batch)
        try:
            batch.handle = self._spawn_batch_handle(batch, fn, chunk)
        except BaseException as exc:
            self._forget(batch)
            if isinstance(exc, _corvalune_sys.PoolShutdownError):
                raise _corvalune_sys.PoolShutdownError(_REFUSED) from exc
            raise
        if batch.watched:  # a waiter looked at it before it had its handle
            batch.handle.add_done_callback(batch._pool_settled)
        return batch

    def _spawn_batch_handle(self, batch: MapBatch, fn: Callable[..., Any],
                            chunk: list[tuple[Any, ...]]) -> Any:
        """Puts one batch of map() on the pool and returns its handle."""
        return _corvalune_sys.batch_spawn_callable(
            _corvalune_sys._run_map_calls,
            [(batch, first, chunk[first:first + MAP_RUN]) for first in range(0, len(chunk), MAP_RUN)])

    @staticmethod
    def _map_results(queued: collections.deque[MapBatch], queue_next: Callable[[int], int] | None,
                     limit: int, size: int, end_time: float | None) -> Iterator[Any]:
        ahead = sum(len(batch.results) for batch in queued)
        # Topped up once half a batch's room is free: batches stay large
        # without the calls ahead ever exceeding the limit.
        top_up = max(1, size // 2)
        try:
            while queued:
                batch = queued[0]
                for index in range(len(batch.results)):
                    # Yielded straight from the call: this frame keeps no
                    # reference to a result once it is handed out.
                    yield take_result(batch, index, end_time)
                    ahead -= 1
                    if queue_next is not None and limit - ahead >= top_up:
                        spawned = queue_next(min(size, limit - ahead))
                        ahead += spawned
                        if not spawned:
                            queue_next = None
                queued.popleft()
        finally:
            # Stopped early: what has not started will not be wanted.
            for batch in queued:
                batch.cancel()

    def _forget(self, work: Any) -> None:
        """Takes a future or map batch whose calls are over off the pending
        list."""
        pending = self._pending
        pending.discard(work)
        # Only shutdown() waits for the set to empty, and it raises the flag
        # before it looks at the set: either this sees the flag or shutdown()
        # sees the set without this work (the set's own lock orders the two).
        # Notified under the lock: a shutdown() that saw this work is
        # waiting, or has not yet looked again.
        if not pending and self._shutdown:
            with self._lock:
                self._idle.notify_all()

    def shutdown(self, wait: bool = True, *, cancel_futures: bool = False) -> None:
        """Stops accepting new calls; with *wait*, returns once every call
        submitted so far has finished or been cancelled. With
        *cancel_futures*, calls that have not started are cancelled. The
        shared pool keeps running."""
        with self._lock:
            self._shutdown = True
            pending = list(self._pending)
        if cancel_futures:
            for work in pending:
                if work.cancel():  # a future not started: the pool only has to skip it
                    self._forget(work)
        if wait:
            if _corvalune_sys._runs_on_this_thread(self):
                # One of this executor's calls would wait for itself, and hold
                # its pool thread for good.
                raise RuntimeError("cannot join current thread")
            for work in pending:
                work._watch_pool()
            with self._lock:
                while self._pending:
                    with _corvalune_sys._blocking:  # on a pool thread, another worker takes this one's place
                        self._idle.wait()

    def _forget_in_child(self) -> None:
        # In a forked child none of the parent's calls will ever run or
        # finish: their futures are cancelled, and nothing is waited for.
        self._lock._at_fork_reinit()  # type: ignore[attr-defined]
        pending = list(self._pending)
        self._pending.clear()
        for work in pending:
            work._forget_in_child()


def _settle_awaiting(awaiting: Any, future: futures.Future[Any]) -> None:
    """For a call submitted by asyncio's run_in_executor: copies a cancelled
    call, or concurrent.futures' CancelledError or InvalidStateError, to the
    asyncio future awaiting it, on its loop, converted as asyncio converts
    them (results and other exceptions go through the loop's mailbox)."""
    loop = awaiting.get_loop()
    if not awaiting.cancelled() and not loop.is_closed():
        loop.call_soon_threadsafe(_copy_state, future, awaiting)


def _copy_state(future: futures.Future[Any], awaiting: Any) -> None:
    from asyncio.futures import _copy_future_state  # type: ignore[attr-defined]

    if not awaiting.cancelled():
        _copy_future_state(future, awaiting)


def _after_fork_in_child() -> None:
    for executor in list(_executors):
        executor._forget_in_child()


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_after_fork_in_child)

"""A concurrent.futures executor over Corvalune's shared worker pool."""

from __future__ import annotations

import collections
import contextvars
import itertools
import threading
import time
from _thread import get_ident as _get_ident
from collections.abc import Callable, Iterable, Iterator
from concurrent import futures
from concurrent.futures._base import LOGGER
from typing import Any, ParamSpec, TypeVar

import _corvalune_sys

from . import _future

_P = ParamSpec("_P")
_T = TypeVar("_T")


class _Running(threading.local):
    """The executors whose map() calls are running on this thread, innermost
    last."""

    def __init__(self) -> None:
        self.executors: list[Executor] = []


_running = _Running()


def _run_work_item(executor: Executor, future: _future.Future[Any], context: contextvars.Context,
                   fn: Callable[..., Any], args: tuple[Any, ...], kwargs: dict[str, Any] | None) -> None:
    if not future.set_running_or_notify_cancel():
        executor._forget(future)
        return
    # The future stays listed as pending until its callbacks have run, and
    # names this thread until then: a call (or callback) that waits for the
    # executor from this thread would wait for itself.
    future._runner = _get_ident()
    failure: BaseException | None = None
    try:
        result = context.run(fn, *args, **kwargs) if kwargs else context.run(fn, *args)
    except BaseException as exc:
        result, failure = None, exc
    try:
        future._settle(result, failure)
    except BaseException:
        # A done callback raised what the future's own handling lets through
        # (KeyboardInterrupt, SystemExit): nobody on this pool thread can
        # take it, so it is logged as ThreadPoolExecutor logs a failure of
        # its worker, and the callbacks after it do not run, as there.
        LOGGER.critical("Exception in worker", exc_info=True)
    finally:
        # Whatever happened, the call is over: shutdown(wait=True) must not
        # wait for it.
        executor._forget(future)
    if failure is not None:
        # The exception's traceback holds this frame for as long as the
        # future holds the exception; without these names the frame keeps
        # nothing else alive, and the future is not in a cycle with itself.
        del executor, future, context, fn, args, kwargs, failure


# Items per batch of map(): large enough that the batch's fixed costs are
# spread thin, small enough that the first results come early.
_MAP_BATCH = 256


_PENDING = object()


class _MapBatch:
    """One batch of a map() call, spawned as one batch_spawn_callable. Its
    calls share a copy of the caller's context (each runs in its own copy of
    it) and report to the batch one by one, so that results are taken as
    soon as each is ready; its future completes with its last call and is
    what the executor's shutdown(wait=True) waits for."""

    __slots__ = ("executor", "context", "fn", "future", "lock", "cond", "results", "left", "waiting")

    def __init__(self, executor: Executor, context: contextvars.Context, fn: Callable[..., Any],
                 future: futures.Future[None], count: int) -> None:
        self.executor = executor
        self.context = context
        self.fn = fn
        self.future = future
        self.lock = threading.Lock()
        self.cond = threading.Condition(self.lock)
        self.results: list[Any] = [_PENDING] * count
        self.left = count
        self.waiting = False


def _run_map_item(batch: _MapBatch, index: int, args: tuple[Any, ...]) -> None:
    _running.executors.append(batch.executor)
    try:
        outcome = (True, batch.context.copy().run(batch.fn, *args))
    except BaseException as exc:
        outcome = (False, exc)
    finally:
        _running.executors.pop()
    with batch.lock:  # the condition's own lock, without its Python-level wrapper
        batch.results[index] = outcome
        batch.left -= 1
        last = batch.left == 0
        if batch.waiting:
            batch.cond.notify_all()
    del outcome
    if last:
        batch.future.set_result(None)


def _take_result(batch: _MapBatch, index: int, end_time: float | None) -> Any:
    """The result of call `index` once it is ready; its exception raised."""
    with batch.lock:  # the condition's lock: waiting on the condition below is allowed
        while batch.results[index] is _PENDING:
            remaining = None if end_time is None else end_time - time.monotonic()
            if remaining is not None and remaining <= 0:
                batch.waiting = False
                raise TimeoutError()
            batch.waiting = True
            batch.cond.wait(remaining)
        batch.waiting = False
        ok, value = batch.results[index]
        batch.results[index] = None  # taken: not kept alive by the batch
    if ok:
        return value
    try:
        raise value
    finally:
        del value  # the traceback must not hold the exception in a cycle


class Executor(futures.Executor):
    """An executor that runs calls on Corvalune's process-wide worker pool.

    Futures are :class:`concurrent.futures.Future` objects (of a subclass
    that is cheaper to make and to settle, with the same behaviour). Each
    call runs in a copy of the submitting thread's :mod:`contextvars`
    context, as :func:`asyncio.to_thread` does. The pool is shared by every
    executor in the process, so *max_workers* does not size it; it is
    accepted for compatibility and must be positive when given.
    :meth:`shutdown` stops this executor, never the shared pool.

    It works with :meth:`asyncio.loop.run_in_executor`.
    """

    def __init__(self, max_workers: int | None = None, thread_name_prefix: str = "") -> None:
        if max_workers is not None and max_workers <= 0:
            raise ValueError("max_workers must be greater than 0")
        self._given_max_workers = max_workers
        self._lock = threading.Lock()
        self._shutdown = False
        self._pending: set[futures.Future[Any]] = set()
        self._idle = threading.Condition(self._lock)

    @property
    def _max_workers(self) -> int:
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

    def submit(self, fn: Callable[_P, _T], /, *args: _P.args, **kwargs: _P.kwargs) -> futures.Future[_T]:
        """Schedules ``fn(*args, **kwargs)`` and returns a Future for it."""
        # Listed before the check, shutdown() lists before it looks: either
        # this call sees the flag or shutdown() sees the future (the set's
        # own lock orders the two).
        future: futures.Future[_T] = _future.Future()
        self._pending.add(future)
        if self._shutdown:
            self._forget(future)
            raise RuntimeError("cannot schedule new futures after shutdown")
        context = contextvars.copy_context()
        try:
            # An empty keyword dict is not kept while the call waits: one
            # object fewer for the collector per queued call.
            _corvalune_sys.spawn_callable(_run_work_item, (self, future, context, fn, args, kwargs or None))
        except RuntimeError as exc:
            self._forget(future)
            # The shared pool's refusal after its shutdown, in the words that
            # concurrent.futures users know.
            if isinstance(exc, _corvalune_sys.PoolShutdownError):
                raise RuntimeError("cannot schedule new futures after shutdown") from exc
            raise
        except BaseException:
            self._forget(future)
            raise
        return future

    submit.__doc__ = futures.Executor.submit.__doc__

    def map(self, fn: Callable[..., _T], *iterables: Iterable[Any], timeout: float | None = None,
            chunksize: int = 1, buffersize: int | None = None) -> Iterator[_T]:
        """Returns an iterator equivalent to ``map(fn, *iterables)``, whose
        calls run on the pool in batches (of at least *chunksize* items).

        Results come in order, as they are asked for; a call's exception is
        raised when its result would be. *timeout* counts from this call.
        With *buffersize*, at most that many calls are queued ahead of the
        results taken so far; without it, every call is queued at once.
        """
        if buffersize is not None and not isinstance(buffersize, int):
            raise TypeError("buffersize must be an integer or None")
        if buffersize is not None and buffersize < 1:
            raise ValueError("buffersize must be None or > 0")
        if chunksize < 1:
            raise ValueError("chunksize must be >= 1.")
        end_time = None if timeout is None else timeout + time.monotonic()
        size = max(chunksize, _MAP_BATCH)
        if buffersize is not None:
            size = min(size, buffersize)
        args = zip(*iterables)
        context = contextvars.copy_context()
        queued: collections.deque[_MapBatch] = collections.deque()

        def queue_next() -> bool:
            chunk = list(itertools.islice(args, size))
            if not chunk:
                return False
            queued.append(self._spawn_map_batch(fn, context, chunk))
            return True

        if buffersize is None:
            while queue_next():
                pass
        else:
            for _ in range(-(-buffersize // size)):
                if not queue_next():
                    break
        return self._map_results(queued, queue_next if buffersize is not None else None, end_time)

    def _spawn_map_batch(self, fn: Callable[..., Any], context: contextvars.Context,
                         chunk: list[tuple[Any, ...]]) -> _MapBatch:
        with self._lock:
            if self._shutdown:
                raise RuntimeError("cannot schedule new futures after shutdown")
            future: futures.Future[None] = futures.Future()
            # Running from the start: a batch already queued is not cancelled.
            future.set_running_or_notify_cancel()
            self._pending.add(future)
        future.add_done_callback(self._forget)
        batch = _MapBatch(self, context, fn, future, len(chunk))
        try:
            _corvalune_sys.batch_spawn_callable(_run_map_item, [(batch, i, a) for i, a in enumerate(chunk)])
        except BaseException as exc:
            future.set_result(None)
            if isinstance(exc, _corvalune_sys.PoolShutdownError):
                raise RuntimeError("cannot schedule new futures after shutdown") from exc
            raise
        return batch

    @staticmethod
    def _map_results(queued: collections.deque[_MapBatch], queue_next: Callable[[], bool] | None,
                     end_time: float | None) -> Iterator[Any]:
        while queued:
            batch = queued.popleft()
            for index in range(len(batch.results)):
                # Yielded straight from the call: this frame keeps no
                # reference to a result once it is handed out.
                yield _take_result(batch, index, end_time)
            if queue_next is not None:
                queue_next()

    def _forget(self, future: futures.Future[Any]) -> None:
        pending = self._pending
        pending.discard(future)
        # Only shutdown() waits for the set to empty, and it raises the flag
        # before it looks at the set: either this sees the flag or shutdown()
        # sees the set without this future (the set's own lock orders the
        # two). Notified under the lock: a shutdown() that saw this future
        # is waiting, or has not yet looked again.
        if not pending and self._shutdown:
            with self._lock:
                self._idle.notify_all()

    def shutdown(self, wait: bool = True, *, cancel_futures: bool = False) -> None:
        """Stops accepting new calls; with *wait*, returns once every call
        submitted so far has finished. With *cancel_futures*, calls that have
        not started are cancelled. The shared pool keeps running."""
        with self._lock:
            self._shutdown = True
            pending = list(self._pending)
        if cancel_futures:
            for future in pending:
                future.cancel()
        if wait:
            # One of this executor's calls would wait for itself, and hold its
            # pool thread for good.
            me = _get_ident()
            if (any(running is self for running in _running.executors)
                    or any(getattr(f, "_runner", None) == me for f in pending)):
                raise RuntimeError("cannot join current thread")
            with self._lock:
                while self._pending:
                    self._idle.wait()

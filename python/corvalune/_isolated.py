"""A concurrent.futures executor whose calls run in the pool workers'
sub-interpreters, each with its own interpreter lock."""

from __future__ import annotations

import collections
import functools
import itertools
import time
import uuid
from collections.abc import Callable, Iterable, Iterator
from concurrent import futures
from typing import Any, ParamSpec, TypeVar

import _corvalune_sys

from . import _future
from ._executor import Executor

_P = ParamSpec("_P")
_T = TypeVar("_T")

# Items per batch of map(): one batch_spawn_isolated, which crosses once per
# chunk of it. Larger than Executor.map's: a crossing costs more than a
# callable job, so chunks of tiny calls must be long to spread it thin.
_MAP_BATCH = 2048

_SHUT_DOWN = "cannot schedule new futures after shutdown"


def _settle(executor: InterpreterExecutor, future: futures.Future[Any], handle: Any) -> None:
    """The done callback of one submitted call (run on the completing
    worker, attached to the main interpreter)."""
    try:
        if future.set_running_or_notify_cancel():
            try:
                value = handle.result()
            except BaseException as exc:  # the call's own failure, whatever its kind
                future.set_exception(exc)
                del exc
            else:
                future.set_result(value)
    finally:
        executor._forget(future)


def _settle_batch(future: futures.Future[Any], handle: Any) -> None:
    try:
        pairs = handle.result()
    except BaseException as exc:
        future.set_exception(exc)
        del exc
    else:
        future.set_result(pairs)


class InterpreterExecutor(Executor):
    """An executor whose calls run on Corvalune's shared pool, each in the
    running worker's own sub-interpreter, so that pure-Python work runs in
    parallel on an interpreter with a GIL.

    Calls cross by value: the function by reference (a module-level function
    of an importable module, a builtin, a method of an importable class, a
    :func:`functools.partial` of those), arguments and results by pickle. A
    call whose function or arguments cannot cross raises :exc:`TypeError` at
    :meth:`submit`. An exception raised by the call is raised by its future
    with the remote traceback as its ``__cause__``. *initializer* runs with
    *initargs* once in each sub-interpreter before its first call of this
    executor. *max_workers* is accepted for compatibility, as by
    :class:`corvalune.Executor`; :meth:`shutdown` stops this executor, never
    the pool or its sub-interpreters.

    A future can be cancelled until its call's outcome arrives; a call
    already running then still runs to its end.
    """

    def __init__(self, max_workers: int | None = None, thread_name_prefix: str = "",
                 initializer: Callable[..., object] | None = None, initargs: tuple[Any, ...] = ()) -> None:
        super().__init__(max_workers, thread_name_prefix)
        if initializer is not None and not callable(initializer):
            raise TypeError("initializer must be a callable")
        # Keyed by a token of this executor: each sub-interpreter runs it once.
        self._initializer = (uuid.uuid4().hex, initializer, tuple(initargs)) if initializer is not None else None

    def submit(self, fn: Callable[_P, _T], /, *args: _P.args, **kwargs: _P.kwargs) -> futures.Future[_T]:
        """Schedules ``fn(*args, **kwargs)`` in a sub-interpreter and returns
        a Future for it."""
        # Listed before the check, as Executor.submit does.
        future: futures.Future[_T] = _future.Future()
        self._pending.add(future)
        if self._shutdown:
            self._forget(future)
            raise RuntimeError(_SHUT_DOWN)
        try:
            handle = _corvalune_sys.spawn_isolated(fn, args, kwargs or None, self._initializer)
        except BaseException as exc:
            self._forget(future)
            if isinstance(exc, _corvalune_sys.PoolShutdownError):
                raise RuntimeError(_SHUT_DOWN) from exc
            raise
        handle.add_done_callback(functools.partial(_settle, self, future, handle))
        return future

    def map(self, fn: Callable[..., _T], *iterables: Iterable[Any], timeout: float | None = None,
            chunksize: int = 1, buffersize: int | None = None) -> Iterator[_T]:
        """Returns an iterator equivalent to ``map(fn, *iterables)``, whose
        calls run in sub-interpreters in batches (of at least *chunksize*
        items), each crossing once per chunk rather than once per call.

        Results come in order; a call's exception is raised when its result
        would be. *timeout* counts from this call. With *buffersize*, at
        most that many calls are queued ahead of the results taken so far.
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
        queued: collections.deque[futures.Future[Any]] = collections.deque()

        def queue_next() -> bool:
            chunk = list(itertools.islice(args, size))
            if not chunk:
                return False
            queued.append(self._spawn_batch(fn, chunk))
            return True

        if buffersize is None:
            while queue_next():
                pass
        else:
            for _ in range(-(-buffersize // size)):
                if not queue_next():
                    break
        return self._results(queued, queue_next if buffersize is not None else None, end_time)

    def _spawn_batch(self, fn: Callable[..., Any], chunk: list[tuple[Any, ...]]) -> futures.Future[Any]:
        with self._lock:
            if self._shutdown:
                raise RuntimeError(_SHUT_DOWN)
            future: futures.Future[Any] = _future.Future()
            # Running from the start: a batch already queued is not cancelled.
            future.set_running_or_notify_cancel()
            self._pending.add(future)
        future.add_done_callback(self._forget)
        try:
            handle = _corvalune_sys.batch_spawn_isolated(fn, chunk, self._initializer, True)
        except BaseException as exc:
            future.set_result([])
            if isinstance(exc, _corvalune_sys.PoolShutdownError):
                raise RuntimeError(_SHUT_DOWN) from exc
            raise
        handle.add_done_callback(functools.partial(_settle_batch, future, handle))
        return future

    @staticmethod
    def _results(queued: collections.deque[futures.Future[Any]], queue_next: Callable[[], bool] | None,
                 end_time: float | None) -> Iterator[Any]:
        while queued:
            future = queued.popleft()
            pairs = future.result(None if end_time is None else max(0.0, end_time - time.monotonic()))
            del future
            for index in range(len(pairs)):
                ok, value = pairs[index]
                pairs[index] = None  # taken: not kept alive by the batch
                if not ok:
                    try:
                        raise value
                    finally:
                        del value, pairs
                yield value
                del value
            if queue_next is not None:
                queue_next()

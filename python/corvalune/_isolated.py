"""A concurrent.futures executor whose calls run in the pool workers'
sub-interpreters, each with its own interpreter lock."""

from __future__ import annotations

import functools
import uuid
from collections.abc import Callable, Iterable, Iterator
from concurrent import futures
from typing import Any, ParamSpec, TypeVar

import _corvalune_sys

from . import _future
from ._executor import Executor
from ._work import MapBatch

_P = ParamSpec("_P")
_T = TypeVar("_T")

# Items per batch of map() (at least): one batch_spawn_isolated, crossing
# once per chunk of it. Larger than Executor.map's: a crossing costs more
# than a callable job, so chunks of tiny calls must be long to spread it.
_MAP_BATCH = 2048

_REFUSED = "cannot schedule new futures after shutdown"


def _settle(executor: InterpreterExecutor, future: _future.Future[Any], handle: Any) -> None:
    """The done callback of one submitted call (run on the completing
    worker, attached to the main interpreter)."""
    try:
        future._handle = None  # done with: no cycle through the record's callbacks
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


def _report(batch: MapBatch) -> None:
    """The done callback of one map batch: each call's outcome, at once (the
    batch crossed back as one). Calls cancelled meanwhile are skipped: they
    ran, but nobody wants them. A report that fails for want of memory
    leaves its call and those after it to be reported: tried twice more."""
    for attempt in range(3):
        try:
            _report_outcomes(batch)
            return
        except BaseException:
            if attempt == 2:
                raise  # calls a consumer will wait for: at least say so


def _report_outcomes(batch: MapBatch) -> None:
    try:
        pairs = batch.handle.result()
    except BaseException as exc:  # the pool dropped the batch: every call fails so
        pairs = [(False, exc)] * len(batch.results)
        del exc
    for index, outcome in enumerate(pairs):
        try:
            batch.unstarted.remove(index)
        except KeyError:
            continue  # cancelled, or reported already
        try:
            batch.report(index, outcome)  # which, when it fails, has recorded nothing
        except BaseException:
            batch.unstarted.add(index)
            raise


class InterpreterExecutor(Executor):
    """An executor whose calls run on Corvalune's shared pool, each in the
    running worker's own sub-interpreter, so that pure-Python work runs in
    parallel on an interpreter with a GIL.

    Calls cross by value: the function by reference (a module-level function
    of an importable module, a builtin, a method of an importable class, a
    :func:`functools.partial` of those), arguments and results by pickle. A
    call whose function or arguments cannot cross raises :exc:`TypeError` at
    :meth:`submit` (or :meth:`map`). An exception raised by the call is
    raised by its future with the remote traceback as its ``__cause__``.
    *initializer* runs with *initargs* once in each sub-interpreter before
    its first call of this executor. *max_workers* is accepted for
    compatibility, as by :class:`corvalune.Executor`; :meth:`shutdown` stops
    this executor, never the pool or its sub-interpreters. Calls do not see
    the caller's :mod:`contextvars`, nor *thread_name_prefix*: neither
    crosses to another interpreter.

    A future can be cancelled until its call's outcome arrives; a call
    already running then still runs to its end.
    """

    def __init__(self, max_workers: int | None = None, thread_name_prefix: str | None = "",
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
        future: _future.Future[_T] = _future.Future()
        self._pending.add(future)
        if self._shutdown:
            self._forget(future)
            raise RuntimeError(_REFUSED)
        try:
            handle = _corvalune_sys.spawn_isolated(fn, args, kwargs or None, self._initializer)
        except BaseException as exc:
            self._forget(future)
            if isinstance(exc, _corvalune_sys.PoolShutdownError):
                raise _corvalune_sys.PoolShutdownError(_REFUSED) from exc
            raise
        # Settled first; the handle kept for shutdown() to see a call the
        # pool dropped.
        handle.add_done_callback(functools.partial(_settle, self, future, handle))
        future._set_handle(handle, self)
        future._settles_on_caller = True
        return future

    def map(self, fn: Callable[..., _T], *iterables: Iterable[Any], timeout: float | None = None,
            chunksize: int = 1, buffersize: int | None = None) -> Iterator[_T]:
        """Returns an iterator equivalent to ``map(fn, *iterables)``, whose
        calls run in sub-interpreters in batches (of at least *chunksize*
        items), crossing once per chunk of a batch rather than once per call.

        Results come in order; a call's exception is raised when its result
        would be. *timeout* counts from this call. With *buffersize*, at most
        that many calls are queued or running ahead of the results taken so
        far. Once the iterator stops early, the calls of batches not started
        yet are cancelled.
        """
        return super().map(fn, *iterables, timeout=timeout, chunksize=max(chunksize, _MAP_BATCH),
                           buffersize=buffersize)

    def _spawn_batch_handle(self, batch: MapBatch, fn: Callable[..., Any], chunk: list[tuple[Any, ...]]) -> Any:
        """One batch of map(): a batch_spawn_isolated that reports every
        call's outcome when it completes. The batch's context stays behind:
        nothing of the caller's context reaches another interpreter."""
        handle = batch.handle = _corvalune_sys.batch_spawn_isolated(fn, chunk, self._initializer, True)
        # The handle is the batch's before the report can run (at once, when
        # the batch is done already).
        handle.add_done_callback(functools.partial(_report, batch))
        return handle

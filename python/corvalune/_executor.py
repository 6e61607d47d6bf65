"""A concurrent.futures executor over Corvalune's shared worker pool."""

from __future__ import annotations

import contextvars
import threading
from collections.abc import Callable
from concurrent import futures
from typing import Any, ParamSpec, TypeVar

import _corvalune_sys

_P = ParamSpec("_P")
_T = TypeVar("_T")


class _Running(threading.local):
    """The executors whose calls are running on this thread, innermost last."""

    def __init__(self) -> None:
        self.executors: list[Executor] = []


_running = _Running()


def _run_work_item(executor: Executor, future: futures.Future[Any], context: contextvars.Context,
                   fn: Callable[..., Any], args: tuple[Any, ...], kwargs: dict[str, Any]) -> None:
    if not future.set_running_or_notify_cancel():
        return
    # Kept until the future's callbacks have run: a callback that waits for
    # the executor from this thread would wait for itself just the same.
    _running.executors.append(executor)
    try:
        result = context.run(fn, *args, **kwargs)
    except BaseException as exc:
        future.set_exception(exc)
        # The exception's traceback holds this frame for as long as the
        # future holds the exception; without these names the frame keeps
        # nothing else alive, and the future is not in a cycle with itself.
        del executor, future, context, fn, args, kwargs
    else:
        future.set_result(result)
    finally:
        _running.executors.pop()


class Executor(futures.Executor):
    """An executor that runs calls on Corvalune's process-wide worker pool.

    Futures are standard :class:`concurrent.futures.Future` objects. Each
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
        with self._lock:
            if self._shutdown:
                raise RuntimeError("cannot schedule new futures after shutdown")
            future: futures.Future[_T] = futures.Future()
            self._pending.add(future)
        future.add_done_callback(self._forget)
        context = contextvars.copy_context()
        try:
            _corvalune_sys.spawn_callable(_run_work_item, (self, future, context, fn, args, kwargs))
        except RuntimeError as exc:
            self._forget(future)
            # The shared pool's refusal after its shutdown, in the words that
            # concurrent.futures users know.
            if "has been shut down" in str(exc):
                raise RuntimeError("cannot schedule new futures after shutdown") from exc
            raise
        except BaseException:
            self._forget(future)
            raise
        return future

    submit.__doc__ = futures.Executor.submit.__doc__

    def _forget(self, future: futures.Future[Any]) -> None:
        with self._lock:
            self._pending.discard(future)
            if not self._pending:
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
            if any(running is self for running in _running.executors):
                raise RuntimeError("cannot join current thread")
            with self._lock:
                while self._pending:
                    self._idle.wait()

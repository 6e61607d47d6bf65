"""Corvalune: a native work-stealing task pool for Python.

One process-wide pool of native worker threads runs native transforms,
Python callables and coroutines; every spawn returns a handle that can be
polled, given callbacks and awaited from asyncio.

Calls spawned with spawn_callable and batch_spawn_callable run in the pool
thread's own contextvars context, as ThreadPoolExecutor.submit's do; those
of Executor run in a copy of the caller's, as asyncio.to_thread's do.
"""

from __future__ import annotations

import asyncio as _asyncio
import atexit as _atexit
import inspect as _inspect
from collections.abc import Coroutine as _Coroutine
from typing import Any as _Any
from typing import TypeVar as _TypeVar

import _corvalune_sys
from _corvalune_sys import BatchCallableTask as BatchCallableTask
from _corvalune_sys import BatchNativeTask as BatchNativeTask
from _corvalune_sys import CallableTask as CallableTask
from _corvalune_sys import CancellationToken as CancellationToken
from _corvalune_sys import NativeTask as NativeTask
from _corvalune_sys import PanicInTask as PanicInTask
from _corvalune_sys import PoolShutdownError as PoolShutdownError
from _corvalune_sys import RegisteredWorker as RegisteredWorker
from _corvalune_sys import RegistrationError as RegistrationError
from _corvalune_sys import TaskCancelled as TaskCancelled
from _corvalune_sys import batch_spawn_callable as batch_spawn_callable
from _corvalune_sys import batch_spawn_isolated as batch_spawn_isolated
from _corvalune_sys import batch_spawn_native_pipeline as batch_spawn_native_pipeline
from _corvalune_sys import configure as configure
from _corvalune_sys import default_worker_count as default_worker_count
from _corvalune_sys import is_free_threaded as is_free_threaded
from _corvalune_sys import native_pipeline_transform as native_pipeline_transform
from _corvalune_sys import register_worker as register_worker
from _corvalune_sys import run_level1 as run_level1
from _corvalune_sys import shutdown as shutdown
from _corvalune_sys import spawn_callable as spawn_callable
from _corvalune_sys import spawn_coroutine as spawn_coroutine
from _corvalune_sys import spawn_isolated as spawn_isolated
from _corvalune_sys import spawn_native_pipeline as spawn_native_pipeline
from _corvalune_sys import worker_count as worker_count

from ._crossing import IsolatedCallError as IsolatedCallError
from ._executor import Executor as Executor
from ._isolated import InterpreterExecutor as InterpreterExecutor
from ._stats import PoolStats as PoolStats
from ._stats import WorkerStats as WorkerStats
from ._stats import stats as stats
from ._wait import ALL_COMPLETED as ALL_COMPLETED
from ._wait import FIRST_COMPLETED as FIRST_COMPLETED
from ._wait import FIRST_EXCEPTION as FIRST_EXCEPTION
from ._wait import as_completed as as_completed
from ._wait import wait as wait

__all__ = [
    "PanicInTask", "TaskCancelled", "RegistrationError", "PoolShutdownError",
    "CancellationToken", "RegisteredWorker", "NativeTask", "CallableTask",
    "BatchNativeTask", "BatchCallableTask",
    "is_free_threaded", "register_worker", "spawn_coroutine", "run_level1",
    "native_pipeline_transform", "spawn_native_pipeline", "batch_spawn_native_pipeline",
    "spawn_callable", "batch_spawn_callable", "spawn_isolated", "batch_spawn_isolated",
    "configure", "worker_count", "default_worker_count", "shutdown", "__version__",
    "Executor", "InterpreterExecutor", "IsolatedCallError", "run", "wait", "as_completed",
    "FIRST_COMPLETED", "FIRST_EXCEPTION", "ALL_COMPLETED",
    "stats", "PoolStats", "WorkerStats",
]
__version__: str = _corvalune_sys.__version__

_T = _TypeVar("_T")

# Stop the workers before the interpreter finalizes, so that none of them
# touches the interpreter while it is being torn down.
_atexit.register(_corvalune_sys.shutdown)


def run(coro: _Coroutine[_Any, _Any, _T], *, level1: bool = False) -> _T:
    """Run a coroutine to completion and return its result.

    With *level1* false (the default), run it in a new asyncio event loop,
    exactly as :func:`asyncio.run` does, so that every asyncio feature is
    available. With *level1* true, drive it on Corvalune's worker pool
    without an event loop (:func:`run_level1`): the coroutine may then await
    Corvalune's task handles and objects that have an ``add_done_callback()``
    method, such as :class:`asyncio.Future`.
    """
    if level1:
        if not (hasattr(coro, "send") and hasattr(coro, "throw")):
            if not _inspect.isawaitable(coro):
                # The same error as asyncio.run gives for a non-awaitable.
                raise TypeError("An asyncio.Future, a coroutine or an awaitable is required")
            coro = _await(coro)
        return run_level1(coro)
    return _asyncio.run(coro)


async def _await(awaitable: _Any) -> _Any:
    return await awaitable

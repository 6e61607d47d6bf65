"""Dask on Corvalune's pool, in one process or across a cluster.

Locally, Dask's threaded scheduler takes any executor::

    dask.config.set(pool=corvalune.Executor(), scheduler="threads")

On a ``distributed`` cluster, register :class:`CorvalunePlugin` and every
worker process runs its tasks on its own Corvalune pool, so Dask's tasks and
the batches they spawn share one set of threads instead of two pools
competing for the same cores::

    client.register_plugin(corvalune.dask.CorvalunePlugin())

Needs the ``corvalune[dask]`` extra.
"""

from __future__ import annotations

from concurrent import futures

from distributed import Worker, WorkerPlugin

from ._executor import Executor

__all__ = ["CorvalunePlugin"]


class CorvaluneThreadPoolExecutor(Executor):
    """:class:`corvalune.Executor` under the name a Dask worker looks for.

    A worker gives tasks their worker context (``get_worker()``, the task's
    key in the thread state, profiling) only on executors whose type name
    contains ``ThreadPoolExecutor``; without it ``get_worker()`` fails
    inside tasks.
    """


class CorvalunePlugin(WorkerPlugin):
    """Runs a Dask worker's tasks on the worker process's Corvalune pool.

    On setup it puts a :class:`CorvaluneThreadPoolExecutor` in place of the
    worker's ``"default"`` executor; on teardown (the plugin removed or the
    worker closing) it puts the worker's own executor back, for the worker to
    shut down as usual, and stops its own without waiting, as a worker closing
    after a failure must not block on a running task. The pool's threads
    belong to the process and stop at its exit.

    Tasks that wait for pool work they spawned (a batch, an executor's
    future) do not stall the pool, however many run at once: the package's
    own waits let another worker take their thread's place, and work queued
    behind threads blocked in any other way (``Event.wait``, a lock) gets an
    extra worker within about 50 ms.

    Tasks that call ``distributed.secede()`` (and so ``worker_client()``)
    need the worker's own thread pool: they fail on this executor.
    """

    idempotent = True
    name = "corvalune"

    def __init__(self) -> None:
        # Set per worker: each worker unpickles its own copy of the plugin.
        self._replaced: futures.Executor | None = None
        self._ours: CorvaluneThreadPoolExecutor | None = None

    def setup(self, worker: Worker) -> None:
        ours = CorvaluneThreadPoolExecutor()
        self._replaced = worker.executors["default"]
        self._ours = ours
        worker.executors["default"] = ours

    def teardown(self, worker: Worker) -> None:
        ours, self._ours = self._ours, None
        if ours is None:
            return
        # Put back only what this plugin replaced, not another plugin's choice.
        if worker.executors.get("default") is ours and self._replaced is not None:
            worker.executors["default"] = self._replaced
        self._replaced = None
        ours.shutdown(wait=False)

"""corvalune.stats(): what the pool is doing, as figures."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Literal

import _corvalune_sys

WorkerKind = Literal["pool", "extra", "registered"]


@dataclass(frozen=True, slots=True)
class WorkerStats:
    """One worker's figures since it joined the pool."""

    id: int
    #: ``"pool"`` (started with the pool), ``"extra"`` (started while
    #: workers were blocked, retired when idle) or ``"registered"``
    #: (a thread that called :func:`corvalune.register_worker`).
    kind: WorkerKind
    #: ``"corvalune-worker-<i>"`` for the pool's threads, ``None`` for
    #: registered threads.
    name: str | None
    jobs_run: int
    #: Jobs taken from other workers' queues.
    steals: int
    #: Times the worker went to sleep for want of work.
    parks: int
    local_queue_depth: int
    #: In one of the package's own waits (a future's ``result()``,
    #: :func:`corvalune.wait`, ...).
    blocked: bool


@dataclass(frozen=True, slots=True)
class PoolStats:
    """A snapshot of the pool: each worker's own counters, read without
    stopping it (exact while the pool is idle)."""

    workers: tuple[WorkerStats, ...]
    global_queue_depth: int
    #: Extra workers started since the pool started.
    extra_started: int
    #: Over the pool's life, the workers that have left included.
    jobs_run: int
    steals: int
    parks: int
    #: Of the extra workers, those started at once for a worker blocked in
    #: one of the package's waits, and those started because queued work
    #: made no progress for 50 ms with some worker neither running nor
    #: runnable.
    extra_for_blocked: int = 0
    extra_for_stall: int = 0
    #: Tasks run by waits (a future's ``result()``, :func:`corvalune.wait`,
    #: ...) that ran the work they waited for, in this process.
    jobs_helped: int = 0
    #: Sub-interpreters that exist now (each serves one thread's isolated
    #: calls).
    sub_interpreters: int = 0

    def count(self, kind: WorkerKind) -> int:
        """The number of workers of that kind."""
        return sum(1 for w in self.workers if w.kind == kind)


def stats() -> PoolStats:
    """The pool's figures now (all zero, no workers, before it starts)."""
    raw = _corvalune_sys._pool_stats()
    if raw is None:
        return PoolStats((), 0, 0, 0, 0, 0)
    depth, (extra_started, for_blocked, for_stall), (gone_jobs, gone_steals, gone_parks), rows, helped, subs = raw
    workers = tuple(
        WorkerStats(id, kind, None if kind == "registered" else f"corvalune-worker-{index}",
                    jobs, steals, parks, queued, blocked)
        for id, kind, index, jobs, steals, parks, queued, blocked in rows)
    return PoolStats(workers, depth, extra_started,
                     gone_jobs + sum(w.jobs_run for w in workers),
                     gone_steals + sum(w.steals for w in workers),
                     gone_parks + sum(w.parks for w in workers),
                     for_blocked, for_stall, helped, subs)

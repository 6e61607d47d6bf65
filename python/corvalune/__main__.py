"""Corvalune side by side with the standard library.

Runs two workloads through the standard library and through Corvalune and
prints wall time, throughput and speed-up for each contestant:

* hashing N payloads of 64 bytes with the pipeline transform (100 rounds):
  a serial loop, ThreadPoolExecutor over chunks, spawn_native_pipeline per
  item, and batch_spawn_native_pipeline;
* M small Python callables: ThreadPoolExecutor.submit per call, then
  spawn_callable per call, then batch_spawn_callable.

Usage: python -m corvalune [--payloads N] [--callables M] [--workers W]
"""

from __future__ import annotations

import argparse
import concurrent.futures
import os
import sys
import threading
import time
from collections.abc import Callable
from typing import Any

import corvalune

ROUNDS = 100
PAYLOAD_SIZE = 64


class Progress:
    """A live progress line on standard error while a contestant runs."""

    def __init__(self, label: str, total: int) -> None:
        self.label = label
        self.total = total
        self.done = 0
        self._stop = threading.Event()
        self._live = sys.stderr.isatty()
        self._thread = threading.Thread(target=self._show, daemon=True)

    def __enter__(self) -> Progress:
        self._started = time.perf_counter()
        self._thread.start()
        return self

    def __exit__(self, *exc: object) -> None:
        self._stop.set()
        self._thread.join()
        if self._live:
            sys.stderr.write("\r\033[K")
            sys.stderr.flush()

    def _show(self) -> None:
        while not self._stop.wait(0.1):
            elapsed = time.perf_counter() - self._started
            line = f"  {self.label}: {self.done:,}/{self.total:,} items, {elapsed:5.1f} s"
            if self._live:
                sys.stderr.write("\r\033[K" + line)
            else:
                sys.stderr.write(line + "\n")
            sys.stderr.flush()


def chunks(n: int, size: int) -> list[range]:
    return [range(start, min(n, start + size)) for start in range(0, n, size)]


def wait_all(handles: list[Any], progress: Progress) -> list[Any]:
    # corvalune.wait sleeps until every handle of a slice is done; most are
    # done by the time their slice comes, and cost it one done() each.
    results: list[Any] = []
    for start in range(0, len(handles), 1024):
        part = handles[start:start + 1024]
        corvalune.wait(part)
        results.extend(handle.result() for handle in part)
        progress.done = len(results)
    return results


# --- the native workload ---------------------------------------------------------

def native_serial(payloads: list[bytes], progress: Progress) -> list[bytes]:
    out: list[bytes] = []
    transform = corvalune.native_pipeline_transform
    for part in chunks(len(payloads), 20_000):
        out.extend([transform(payloads[i], ROUNDS) for i in part])
        progress.done = len(out)
    return out


def native_thread_pool(payloads: list[bytes], progress: Progress, workers: int) -> list[bytes]:
    transform = corvalune.native_pipeline_transform

    def run(part: range) -> list[bytes]:
        return [transform(payloads[i], ROUNDS) for i in part]

    out: list[bytes] = []
    with concurrent.futures.ThreadPoolExecutor(workers) as pool:
        for result in pool.map(run, chunks(len(payloads), 10_000)):
            out.extend(result)
            progress.done = len(out)
    return out


def native_spawn_each(payloads: list[bytes], progress: Progress) -> list[bytes]:
    spawn = corvalune.spawn_native_pipeline
    handles = [spawn(p, ROUNDS) for p in payloads]
    return wait_all(handles, progress)


def follow(batch: corvalune.BatchNativeTask | corvalune.BatchCallableTask[int], progress: Progress) -> None:
    """Waits for a batch, showing the items of its finished chunks."""
    while corvalune.wait([batch], timeout=0.1).not_done:
        progress.done = batch.progress()[0]
    progress.done = batch.progress()[0]


def native_batch(payloads: list[bytes], progress: Progress) -> list[bytes]:
    batch = corvalune.batch_spawn_native_pipeline(payloads, ROUNDS)
    follow(batch, progress)
    return batch.result()


# --- the callable workload ---------------------------------------------------------

def small_call(x: int) -> int:
    return x * 2 + 1


def calls_thread_pool(n: int, progress: Progress, workers: int) -> list[int]:
    with concurrent.futures.ThreadPoolExecutor(workers) as pool:
        futures = [pool.submit(small_call, i) for i in range(n)]
        out = []
        for i, future in enumerate(futures):
            out.append(future.result())
            if i % 1024 == 0:
                progress.done = i
    progress.done = n
    return out


def calls_spawn_each(n: int, progress: Progress) -> list[int]:
    spawn = corvalune.spawn_callable
    handles = [spawn(small_call, (i,)) for i in range(n)]
    return wait_all(handles, progress)


def calls_batch(n: int, progress: Progress) -> list[int]:
    batch = corvalune.batch_spawn_callable(small_call, [(i,) for i in range(n)])
    follow(batch, progress)
    return batch.result()


# --- the report ----------------------------------------------------------------------

Row = tuple[str, str, int, float]


def measure(workload: str, label: str, total: int, fn: Callable[[Progress], object],
            check: Callable[[object], bool]) -> Row:
    with Progress(label, total) as progress:
        started = time.perf_counter()
        result = fn(progress)
        elapsed = time.perf_counter() - started
    if not check(result):
        raise SystemExit(f"{label}: wrong result")
    print(f"  {label:<46} {elapsed:8.3f} s", flush=True)
    return workload, label, total, elapsed


def print_table(rows: list[Row]) -> None:
    print()
    print(f"{'workload':<10} {'contestant':<46} {'wall':>9} {'items/s':>13} {'speed-up':>9}")
    baseline: dict[str, float] = {}
    for workload, label, total, elapsed in rows:
        base = baseline.setdefault(workload, elapsed)
        print(f"{workload:<10} {label:<46} {elapsed:8.3f}s {total / elapsed:13,.0f} {base / elapsed:8.1f}x")
    print("\nSpeed-up is against the first (standard library) contestant of each workload.")


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(prog="python -m corvalune", description=__doc__.split("\n\n")[0])
    parser.add_argument("--payloads", type=int, default=1_000_000, help="payloads to hash (default 1,000,000)")
    parser.add_argument("--callables", type=int, default=100_000, help="small callables to run (default 100,000)")
    parser.add_argument("--workers", type=int, default=0,
                        help="Corvalune pool size, 0 for automatic (default); the thread pools get as many threads")
    args = parser.parse_args(argv)

    size = corvalune.configure(args.workers)
    cpus = os.process_cpu_count()  # the affinity set where the system has one (Linux), else every CPU
    print(f"corvalune {corvalune.__version__}: pool of {size} workers on {cpus} CPUs "
          f"(automatic size here: {corvalune.default_worker_count()})")
    print(f"native workload:   {args.payloads:,} payloads of {PAYLOAD_SIZE} bytes, pipeline transform, "
          f"{ROUNDS} rounds")
    print(f"callable workload: {args.callables:,} calls of a small Python function\n")

    payloads = [i.to_bytes(8, "little") * (PAYLOAD_SIZE // 8) for i in range(args.payloads)]
    expected = native_serial(payloads[:1000], Progress("warm-up", 1000))
    check_native = lambda r: len(r) == len(payloads) and r[:1000] == expected  # noqa: E731
    n = args.callables
    check_calls = lambda r: r == [small_call(i) for i in range(n)]  # noqa: E731

    rows = [
        measure("native", "serial loop of native_pipeline_transform", len(payloads),
                lambda p: native_serial(payloads, p), check_native),
        measure("native", f"ThreadPoolExecutor({size}) over chunks", len(payloads),
                lambda p: native_thread_pool(payloads, p, size), check_native),
        measure("native", "spawn_native_pipeline per item", len(payloads),
                lambda p: native_spawn_each(payloads, p), check_native),
        measure("native", "batch_spawn_native_pipeline", len(payloads),
                lambda p: native_batch(payloads, p), check_native),
        measure("callables", f"ThreadPoolExecutor({size}).submit per call", n,
                lambda p: calls_thread_pool(n, p, size), check_calls),
        measure("callables", "spawn_callable per call", n, lambda p: calls_spawn_each(n, p), check_calls),
        measure("callables", "batch_spawn_callable", n, lambda p: calls_batch(n, p), check_calls),
    ]
    print_table(rows)


if __name__ == "__main__":
    main()

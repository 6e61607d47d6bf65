"""Wake-up latency: how long a submission waits for a pool thread, and how
long a blocked caller waits for the news that its job has ended.

Each sample submits one trivial job that reads the clock (time.perf_counter_ns,
one monotonic clock for all threads) as it runs:
  - submit -> start: from just before the submission to that reading;
  - end -> return: from that reading to the blocked call returning in the
    caller (run_level1, an executor future's result(); a spawned callable's
    done callback setting a threading.Event).
Two states of the pool: "idle", where the caller sleeps 5 ms before each
submission (every pool thread has parked), and "back to back", where each
submission follows the previous result at once (a program that awaits one
result at a time). The median and the 90th percentile are printed, in
microseconds; figures go to a JSON file.

Usage: python bench/wakeup.py [--samples N] [--json PATH]
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import sys
import threading
import time
from collections.abc import Callable

import corvalune

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
clock = time.perf_counter_ns

Sample = tuple[int, int]  # (submit -> start, end -> return), ns


def via_callable() -> Sample:
    done = threading.Event()
    t0 = clock()
    h = corvalune.spawn_callable(clock)
    h.add_done_callback(done.set)
    done.wait()
    t1 = clock()
    stamp = h.result()
    return stamp - t0, t1 - stamp


async def stamp_coroutine() -> int:
    return clock()


def via_level1() -> Sample:
    t0 = clock()
    stamp = corvalune.run_level1(stamp_coroutine())
    t1 = clock()
    return stamp - t0, t1 - stamp


EXECUTOR = corvalune.Executor()


def via_executor() -> Sample:
    t0 = clock()
    stamp = EXECUTOR.submit(clock).result()
    t1 = clock()
    return stamp - t0, t1 - stamp


def measure(fn: Callable[[], Sample], samples: int, idle: bool) -> list[Sample]:
    for _ in range(20):  # warm
        fn()
    out = []
    for _ in range(samples):
        if idle:
            time.sleep(0.005)
        out.append(fn())
    return out


def summary(values: list[int]) -> dict:
    values = sorted(v / 1000 for v in values)
    return {"median_us": statistics.median(values), "p90_us": values[len(values) * 9 // 10]}


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--samples", type=int, default=300, help="samples per case (idle ones sleep 5 ms each)")
    parser.add_argument("--json", default=os.path.join(ROOT, "build", "wakeup-results.json"))
    args = parser.parse_args()
    corvalune.configure(2)  # the size bench/suite.py measures
    results: dict[str, dict] = {"workers": {"pool": corvalune.worker_count()}}
    print(f"wake-up latency, pool of {corvalune.worker_count()} workers, {args.samples} samples per case "
          f"(median / 90th percentile, us)")
    print(f"{'':<58} {'submit -> start':>20} {'end -> return':>20}")
    for name, fn, what in (("spawn_callable", via_callable, "spawn_callable, done callback sets an Event"),
                           ("run_level1", via_level1, "run_level1 of a coroutine"),
                           ("executor", via_executor, "Executor.submit(f).result()")):
        for idle in (True, False):
            rows = measure(fn, args.samples, idle)
            start = summary([r[0] for r in rows])
            back = summary([r[1] for r in rows])
            key = f"{name} {'idle' if idle else 'back to back'}"
            results[key] = {"submit_to_start": start, "end_to_return": back}
            label = f"{what}, {'idle pool' if idle else 'back to back'}"
            print(f"{label:<58} {start['median_us']:>9.1f} / {start['p90_us']:<8.1f} "
                  f"{back['median_us']:>9.1f} / {back['p90_us']:<8.1f}")
    EXECUTOR.shutdown()
    os.makedirs(os.path.dirname(args.json), exist_ok=True)
    with open(args.json, "w") as f:
        json.dump(results, f, indent=2)
    print(f"figures written to {args.json}")
    return 0


if __name__ == "__main__":
    sys.exit(main())

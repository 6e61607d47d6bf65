"""Soak: a bounded mixed workload whose resident memory must stay flat.

Runs every entry point in a loop for --seconds (default 60), samples the
resident set size once a second, and fails if it grew by more than
--max-growth-mb (default 16) between the end of the warm-up (the first
quarter) and the end.
"""

from __future__ import annotations

import argparse
import asyncio
import os
import sys
import threading
import time

import corvalune


def rss_mb() -> float:
    with open(f"/proc/{os.getpid()}/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 2**20


def wait(handle):
    while not handle.done():
        time.sleep(0.0002)
    return handle


async def coro(i: int) -> int:
    await asyncio.sleep(0)
    return await corvalune.spawn_callable(abs, (-i,))


def one_round(i: int) -> None:
    calls = [corvalune.spawn_callable(divmod, (i, 7)) for _ in range(50)]
    natives = [corvalune.spawn_native_pipeline(b"x" * 64, 100) for _ in range(50)]
    for h in calls + natives:
        h.add_done_callback(lambda: None)
    batch = corvalune.batch_spawn_native_pipeline([b"y" * 64] * 500, 100)
    cbatch = corvalune.batch_spawn_callable(str, [(k,) for k in range(200)])
    for h in calls + natives + [batch, cbatch]:
        wait(h).result()
    try:
        wait(corvalune.spawn_callable(int, ("x",))).result()
    except ValueError:
        pass
    assert corvalune.run_level1(coro(i)) == i
    done = threading.Event()
    token = corvalune.CancellationToken()
    if i % 2:
        token.cancel()
    corvalune.spawn_coroutine(coro(i), lambda r, e: done.set(), token)
    done.wait(30)

    async def awaiting():
        return await asyncio.gather(*(corvalune.spawn_native_pipeline(b"z", 10) for _ in range(20)))

    asyncio.run(awaiting())
    with corvalune.register_worker() as worker:
        corvalune.spawn_callable(int)
        worker.run_until_idle()


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--seconds", type=float, default=60)
    parser.add_argument("--max-growth-mb", type=float, default=16)
    args = parser.parse_args()
    started = time.monotonic()
    samples: list[tuple[float, float]] = []
    i = 0
    next_sample = started
    while (now := time.monotonic()) - started < args.seconds:
        one_round(i)
        i += 1
        if now >= next_sample:
            samples.append((now - started, rss_mb()))
            next_sample = now + 1
    warm = [rss for t, rss in samples if t >= args.seconds / 4]
    growth = warm[-1] - warm[0]
    print(f"soak: {i} rounds in {args.seconds:.0f} s; RSS after warm-up {warm[0]:.1f} MB, "
          f"at the end {warm[-1]:.1f} MB, peak {max(r for _, r in samples):.1f} MB, growth {growth:+.1f} MB")
    if growth > args.max_growth_mb:
        print(f"soak: FAILED: resident memory grew by more than {args.max_growth_mb} MB", file=sys.stderr)
        return 1
    print("1 passed, 0 failed")
    return 0


if __name__ == "__main__":
    sys.exit(main())

"""A program that ends while Corvalune still has work in flight.

Run by test_exit.py many times: it must always exit with status 0 within
the shutdown wait, never crash and never hang. The seed picks a mix.
"""

import asyncio
import concurrent.futures
import random
import sys
import threading
import time

import corvalune

seed = int(sys.argv[1])
rng = random.Random(seed)
configured = rng.random() < 0.5
if configured:
    corvalune.configure(rng.choice([1, 2, 3]))

keep = []


def sleeper(seconds):
    time.sleep(seconds)
    return seconds


def busy(n):
    return sum(i * i for i in range(n))


def callback(*args):
    keep.append(args)


# Callable tasks, some still running or queued at exit.
for _ in range(rng.randint(0, 30)):
    if rng.random() < 0.5:
        h = corvalune.spawn_callable(sleeper, (rng.choice([0.001, 0.02, 0.2]),))
    else:
        h = corvalune.spawn_callable(busy, (rng.randint(10, 20000),))
    if rng.random() < 0.5:
        h.add_done_callback(callback)
    keep.append(h)

# Native tasks with done callbacks, some finishing during the exit.
for _ in range(rng.randint(0, 30)):
    h = corvalune.spawn_native_pipeline(b"x" * rng.randint(0, 4096), rng.choice([0, 100, 200_000]))
    h.add_done_callback(callback)
    keep.append(h)

# Batches.
if rng.random() < 0.5:
    keep.append(corvalune.batch_spawn_native_pipeline([b"y" * 64] * rng.randint(1, 5000), 1000))
if rng.random() < 0.5:
    b = corvalune.batch_spawn_callable(sleeper, [(0.01,)] * rng.randint(1, 20))
    b.add_done_callback(callback)
    keep.append(b)


# Suspended coroutines: one waits on a future nothing completes, one on a
# future completed during the exit.
class Wait:
    def __init__(self, fut):
        self.fut = fut

    def __await__(self):
        return (yield self.fut)


never = concurrent.futures.Future()
later = concurrent.futures.Future()


async def waiter(fut):
    value = await Wait(fut)
    await corvalune.spawn_callable(sleeper, (0.01,))
    return value


token = corvalune.CancellationToken()
corvalune.spawn_coroutine(waiter(never), callback)
corvalune.spawn_coroutine(waiter(later), callback, token)
threading.Timer(rng.choice([0.0, 0.01, 0.05]), later.set_result, (1,)).start()
if rng.random() < 0.3:
    token.cancel()


# A pending await: an event loop on a daemon thread awaiting a long task,
# still running when the main module ends.
def loop_thread():
    async def main():
        await corvalune.spawn_callable(sleeper, (0.3,))

    asyncio.run(main())


threading.Thread(target=loop_thread, daemon=True).start()

# Isolated calls in the workers' sub-interpreters: some queued, some
# running (pure Python, interrupted by the exit) when the main module ends,
# and sub-interpreters still being made. Making one takes a worker ~0.15 s
# where the standard library has no bytecode caches (the exit waits for
# it), so these mixes run on pools of at most three workers.
if configured and rng.random() < 0.5:
    import isolated_calls

    for _ in range(rng.randint(1, 20)):
        choice = rng.random()
        if choice < 0.3:
            h = corvalune.spawn_isolated(time.sleep, (rng.choice([0.001, 0.02]),))
        elif choice < 0.7:
            h = corvalune.batch_spawn_isolated(isolated_calls.square, [(i,) for i in range(rng.randint(1, 500))])
        else:
            h = corvalune.spawn_isolated(isolated_calls.busy, (rng.choice([0.02, 0.3]),))
        if rng.random() < 0.5:
            h.add_done_callback(callback)
        keep.append(h)

# A registered worker left registered half the time.
if rng.random() < 0.5:
    worker = corvalune.register_worker()
    worker.run_one()
    keep.append(worker)

time.sleep(rng.choice([0.0, 0.005, 0.03]))
print(f"END {time.monotonic()!r}", flush=True)

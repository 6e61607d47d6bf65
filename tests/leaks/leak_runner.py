"""Reference-leak check over every entry point, for a debug interpreter.

Runs each scenario many times and checks that sys.gettotalrefcount()
returns to its baseline: a scenario that leaks one reference per run shows
up as thousands. Run with python3.14d and the extension built for it:

    python3.14d tests/leaks/leak_runner.py [--runs N]
"""

from __future__ import annotations

import argparse
import asyncio
import contextlib
import gc
import io
import logging
import sys
import threading
import time
import types

import _corvalune_sys as m

# Interpreter caches (thread states, free lists, asyncio's per-loop state)
# grow by a bounded amount; a leak grows with the number of runs. A scenario
# passes when its references after the warm-up grow by less than one per 20
# runs: a leak of one reference per run shows up as the full run count.
MIN_TOLERANCE = 50


def wait(handle):
    deadline = time.monotonic() + 30
    while not handle.done():
        if time.monotonic() > deadline:
            raise AssertionError("a task did not complete")
        time.sleep(0)
    return handle


def quiesce():
    """Lets every worker finish and drains references queued by detached threads."""
    for _ in range(3):
        wait(m.batch_spawn_callable(int, [()] * 64))
    gc.collect()


def make_sub_interpreters():
    """Has every pool thread make its sub-interpreter before anything is
    counted: the counts cover every interpreter, and one made during a
    measurement (a worker's first isolated job) would count its own
    references (about 31,600) as the scenario's leak."""
    import _interpreters

    for _ in range(100):
        if len(_interpreters.list_all()) > m.worker_count():  # the main one and one per worker
            return
        # Short enough not to look like a stall to the watchdog.
        wait(m.batch_spawn_isolated(time.sleep, [(0.02,)] * m.worker_count()))
    raise AssertionError("the pool threads did not all make a sub-interpreter")


def swallow(fn, *args, **kwargs):
    try:
        fn(*args, **kwargs)
    except BaseException:
        pass


def blocking_in_a_pool_thread():
    with m._blocking:
        return m._pool_stats()


def raiser():
    raise ValueError("boom")


async def coro_value():
    await asyncio.sleep(0)
    return 5


async def coro_raise():
    raise KeyError("k")


@types.coroutine
def yields_42():
    yield 42


async def awaits_handle():
    return await m.spawn_callable(int, ("3",))


class Payload(bytes):
    pass


def scenarios():
    done = threading.Event()

    def callback(result, error):
        done.set()

    def token_scenario():
        token = m.CancellationToken()
        token.cancel()
        swallow(token.throw_if_cancelled)
        done.clear()
        m.spawn_coroutine(coro_value(), callback, token)
        done.wait(30)

    def coroutine_scenario():
        done.clear()
        m.spawn_coroutine(coro_raise(), callback)
        done.wait(30)

    def registration_scenario():
        with m.register_worker("NATIVE") as worker:
            worker.worker_id()
            handle = m.spawn_callable(int)
            worker.run_until_idle()
            wait(handle).result()
        swallow(worker.run_one)
        swallow(m.register_worker, "daemon")
        swallow(m.register_worker, 5)

    async def awaiting():
        a = m.spawn_native_pipeline(b"abc")
        b = m.spawn_callable(raiser)
        await a
        with contextlib.suppress(ValueError):
            await b

    def blocking_and_stats_scenario():
        m._pool_stats()
        m._set_extra_worker_limit(m._set_extra_worker_limit(0))
        swallow(m._set_extra_worker_limit, -1)
        with m._blocking:
            pass
        wait(m.spawn_callable(blocking_in_a_pool_thread))

    def callbacks_scenario():
        handle = m.spawn_callable(int)
        handle.add_done_callback(lambda: None)
        handle.add_done_callback(lambda h: None)
        handle.add_done_callback(lambda: 1 / 0)  # printed and discarded
        wait(handle)
        handle.add_done_callback(lambda h: None)

    def isolated_executor_scenario():
        import corvalune

        with corvalune.InterpreterExecutor(initializer=abs, initargs=(1,)) as ex:
            ex.submit(abs, -1).result()
            swallow(list, ex.map(int, ["1", "x"]))

    def executor_scenario():
        import corvalune
        from concurrent import futures

        with corvalune.Executor() as ex:
            ex.submit(divmod, 7, 2).result()
            swallow(ex.submit(raiser).result)
            f = ex.submit(time.sleep, 0.0001)
            f.add_done_callback(lambda f: None)
            futures.wait([f, ex.submit(int, "x")])
            repr(f)
            swallow(list, ex.map(divmod, [7, 1], [2, 0]))  # a result, then ZeroDivisionError
            asyncio.run(in_executor(ex))

    async def in_executor(ex):
        loop = asyncio.get_running_loop()
        await asyncio.gather(loop.run_in_executor(ex, divmod, 7, 2), loop.run_in_executor(ex, raiser),
                             return_exceptions=True)

    return {
        "Executor": executor_scenario,
        "native_pipeline_transform": lambda: m.native_pipeline_transform(Payload(b"abc"), 5),
        "transform argument errors": lambda: (swallow(m.native_pipeline_transform, bytearray(b"x")),
                                              swallow(m.native_pipeline_transform, b"x", -1)),
        "spawn_native_pipeline": lambda: wait(m.spawn_native_pipeline(b"abc", 3)).result(),
        "spawn_callable": lambda: wait(m.spawn_callable(dict, ((("a", 1),),), {"b": 2})).result(),
        "spawn_callable raising": lambda: swallow(wait(m.spawn_callable(raiser)).result),
        "spawn_callable argument errors": lambda: (swallow(m.spawn_callable, int, [1]),
                                                   swallow(m.spawn_callable, int, None, [])),
        "done callbacks": callbacks_scenario,
        "await handles": lambda: asyncio.run(awaiting()),
        "iteration": lambda: list(iter(wait(m.spawn_callable(int)))) if False else swallow(next, wait(m.spawn_callable(int))),
        "batch_spawn_native_pipeline": lambda: wait(m.batch_spawn_native_pipeline([b"a", bytearray(b"b"), [1, 2]])).result(),
        "batch native conversion errors": lambda: (swallow(m.batch_spawn_native_pipeline, [b"a", [256]]),
                                                   swallow(m.batch_spawn_native_pipeline, [b"a"], -1),
                                                   swallow(m.batch_spawn_native_pipeline, "abc")),
        "batch_spawn_callable raising items": lambda: swallow(wait(m.batch_spawn_callable(
            lambda x: 1 / x, [(1,), (0,), (2,)])).result),
        "batch callable conversion errors": lambda: swallow(m.batch_spawn_callable, int, [(1,), [2]]),
        "batch progress": lambda: wait(m.batch_spawn_callable(int, [()] * 3)).progress(),
        "result before completion": lambda: swallow(m.spawn_callable(time.sleep, (0.0001,)).result),
        "failure never retrieved (logged)": lambda: wait(m.spawn_callable(raiser)),
        "empty batches": lambda: (m.batch_spawn_callable(int, []).result(), m.batch_spawn_native_pipeline([]).result()),
        "spawn_isolated": lambda: wait(m.spawn_isolated(divmod, (7, 2), None)).result(),
        "spawn_isolated payloads out of band": lambda: wait(m.spawn_isolated(
            bytes, (bytearray(100_000),))).result(),
        "spawn_isolated raising": lambda: (swallow(wait(m.spawn_isolated(int, ("x",))).result),
                                           swallow(wait(m.spawn_isolated(sys.exit, (3,))).result)),
        "spawn_isolated refusals": lambda: (swallow(m.spawn_isolated, abs, (threading.Lock(),)),
                                            swallow(m.spawn_isolated, lambda: 1)),
        "batch_spawn_isolated": lambda: (wait(m.batch_spawn_isolated(abs, [(i,) for i in range(-5, 5)])).result(),
                                         wait(m.batch_spawn_isolated(int, [("1",), ("x",)], None, True)).result()),
        "InterpreterExecutor": isolated_executor_scenario,
        "run_level1": lambda: m.run_level1(coro_value()),
        "run_level1 raising": lambda: swallow(m.run_level1, coro_raise()),
        "run_level1 awaiting a handle": lambda: m.run_level1(awaits_handle()),
        "run_level1 cannot drive": lambda: swallow(m.run_level1, yields_42()),
        "run_level1 without send": lambda: swallow(m.run_level1, 42),
        "spawn_coroutine raising": coroutine_scenario,
        "cancelled coroutine": token_scenario,
        "wrong token type": lambda: swallow(m.spawn_coroutine, coro_value(), None, object()),
        "registration": registration_scenario,
        "pool functions": lambda: (m.worker_count(), m.default_worker_count(), m.is_free_threaded(),
                                   swallow(m.configure, 2), swallow(m.configure, "x")),
        "pool statistics and blocking scope": blocking_and_stats_scenario,
    }


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=10_000)
    parser.add_argument("--only", help="run the scenarios whose name contains this text")
    args = parser.parse_args()
    if not hasattr(sys, "gettotalrefcount"):
        print("leak_runner: needs a debug interpreter (sys.gettotalrefcount)", file=sys.stderr)
        return 2
    m.configure(2)
    # A failure nobody retrieves is logged: to nobody here.
    logging.getLogger("corvalune").addHandler(logging.NullHandler())
    logging.getLogger("corvalune").propagate = False
    failures = 0
    chosen = {name: fn for name, fn in scenarios().items() if not args.only or args.only in name}
    make_sub_interpreters()
    for name, scenario in chosen.items():
        with contextlib.redirect_stderr(io.StringIO()):
            for _ in range(min(1000, args.runs)):
                scenario()
            quiesce()
            before = sys.gettotalrefcount()
            for _ in range(args.runs):
                scenario()
            quiesce()
            after = sys.gettotalrefcount()
        delta = after - before
        ok = delta < max(MIN_TOLERANCE, args.runs // 20)
        failures += not ok
        print(f"{'ok  ' if ok else 'LEAK'} {name:<36} {delta:+d} references over {args.runs} runs", flush=True)
    print(f"{len(chosen) - failures} passed, {failures} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())

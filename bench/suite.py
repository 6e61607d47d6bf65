"""Corvalune against the standard library, pair by pair.

Each pair is measured in this one process run (or in fresh child processes
where the pool size or a clean process matters), alternating contestants,
repeated; the median and the spread (min-max) of each are reported with the
ratio and its target. Figures go to a JSON file and a table.

Usage: python bench/suite.py [--repeat N] [--json PATH] [--quick]
"""

from __future__ import annotations

import argparse
import asyncio
import concurrent.futures
import hashlib
import json
import os
import platform
import statistics
import subprocess
import sys
import textwrap
import time
from collections.abc import Callable

import corvalune

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def no_op() -> None:
    pass


def median_spread(samples: list[float]) -> dict:
    return {"median": statistics.median(samples), "min": min(samples), "max": max(samples), "samples": samples}


def alternate(repeat: int, a: Callable[[], float], b: Callable[[], float]) -> tuple[dict, dict]:
    """Runs a, b, a, b, ... and returns their median/spread."""
    sa, sb = [], []
    for _ in range(repeat):
        sa.append(a())
        sb.append(b())
    return median_spread(sa), median_spread(sb)


def timed(fn: Callable[[], object]) -> float:
    t = time.perf_counter()
    fn()
    return time.perf_counter() - t


def wait_all(handles) -> None:
    for h in handles:
        while not h.done():
            pass
        h.result()


def child(code: str, env: dict | None = None) -> dict:
    full = dict(os.environ)
    full.pop("CORVALUNE_WORKERS", None)
    full.update(env or {})
    out = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                         env=full, check=True, timeout=600).stdout
    return json.loads(out.strip().splitlines()[-1])


# --- the pairs ------------------------------------------------------------------------

def pair_transform_vs_sha256(repeat: int, n: int) -> dict:
    transform = corvalune.native_pipeline_transform
    sha = hashlib.sha256

    def ours() -> float:
        return timed(lambda: [transform(b"abc") for _ in range(n)]) / n

    def theirs() -> float:
        return timed(lambda: [sha(b"abc").digest() for _ in range(n)]) / n

    a, b = alternate(repeat, ours, theirs)
    return {"corvalune": a, "stdlib": b, "unit": "s/call", "ratio": b["median"] / a["median"],
            "target": 1.0, "what": "native_pipeline_transform(b'abc') vs hashlib.sha256(b'abc').digest(), per call"}


def pair_spawn_native(repeat: int, n: int) -> dict:
    spawn = corvalune.spawn_native_pipeline

    def ours() -> float:
        return timed(lambda: wait_all([spawn(b"", 0) for _ in range(n)])) / n

    def theirs() -> float:
        with concurrent.futures.ThreadPoolExecutor(2) as ex:
            return timed(lambda: [f.result() for f in [ex.submit(no_op) for _ in range(n)]]) / n

    a, b = alternate(repeat, ours, theirs)
    return {"corvalune": a, "stdlib": b, "unit": "s/item", "ratio": b["median"] / a["median"], "target": 20.0,
            "what": f"{n:,} spawn_native_pipeline(b'', 0) then every result() vs ThreadPoolExecutor(2) no-op"}


def pair_spawn_callable(repeat: int, n: int) -> dict:
    spawn = corvalune.spawn_callable

    def ours() -> float:
        return timed(lambda: wait_all([spawn(no_op) for _ in range(n)])) / n

    def theirs() -> float:
        with concurrent.futures.ThreadPoolExecutor(2) as ex:
            return timed(lambda: [f.result() for f in [ex.submit(no_op) for _ in range(n)]]) / n

    a, b = alternate(repeat, ours, theirs)
    return {"corvalune": a, "stdlib": b, "unit": "s/item", "ratio": b["median"] / a["median"], "target": 10.0,
            "what": f"{n:,} spawn_callable(no_op) then every result() vs ThreadPoolExecutor(2)"}


def pair_await_sequential(repeat: int, n: int) -> dict:
    def f() -> bytes:
        return corvalune.native_pipeline_transform(b"abc")

    async def ours_main() -> None:
        for _ in range(n):
            await corvalune.spawn_native_pipeline(b"abc")

    async def theirs_main() -> None:
        loop = asyncio.get_running_loop()
        for _ in range(n):
            await loop.run_in_executor(None, f)

    a, b = alternate(repeat, lambda: timed(lambda: asyncio.run(ours_main())) / n,
                     lambda: timed(lambda: asyncio.run(theirs_main())) / n)
    return {"corvalune": a, "stdlib": b, "unit": "s/await", "ratio": b["median"] / a["median"], "target": 3.0,
            "what": f"{n:,} sequential awaits: spawn_native_pipeline(b'abc') vs loop.run_in_executor(None, f)"}


def pair_await_gather(repeat: int, n: int) -> dict:
    def f() -> bytes:
        return corvalune.native_pipeline_transform(b"abc")

    async def ours_main() -> None:
        await asyncio.gather(*(corvalune.spawn_native_pipeline(b"abc") for _ in range(n)))

    async def theirs_main() -> None:
        loop = asyncio.get_running_loop()
        await asyncio.gather(*(loop.run_in_executor(None, f) for _ in range(n)))

    a, b = alternate(repeat, lambda: timed(lambda: asyncio.run(ours_main())) / n,
                     lambda: timed(lambda: asyncio.run(theirs_main())) / n)
    return {"corvalune": a, "stdlib": b, "unit": "s/task", "ratio": b["median"] / a["median"], "target": 3.0,
            "what": f"asyncio.gather of {n:,}: spawn_native_pipeline vs run_in_executor"}


def pair_batch(repeat: int, n: int) -> dict:
    code = f"""
        import json, time, corvalune
        payloads = [i.to_bytes(8, "little") * 8 for i in range({n})]
        corvalune.configure()
        def run():
            t = time.perf_counter()
            b = corvalune.batch_spawn_native_pipeline(payloads, 100)
            while not b.done():
                time.sleep(0.0005)
            b.result()
            return time.perf_counter() - t
        run()
        print(json.dumps([run() for _ in range({repeat})]))
    """
    # The pool and the one worker take turns, a fresh child each time: a
    # stretch of load on the shared host then lands on both sides, instead of
    # on every sample of one of them.
    many_samples: list[float] = []
    one_samples: list[float] = []
    for _ in range(3):
        many_samples += child(code)
        one_samples += child(code, {"CORVALUNE_WORKERS": "1"})
    many, one = median_spread(many_samples), median_spread(one_samples)
    transform = corvalune.native_pipeline_transform
    payloads = [i.to_bytes(8, "little") * 8 for i in range(n)]
    serial = median_spread([timed(lambda: [transform(p, 100) for p in payloads]) for _ in range(repeat)])
    return {"corvalune": many, "stdlib": serial, "one_worker": one, "unit": "s/batch",
            "ratio": min(one["median"], serial["median"]) / many["median"], "target": 1.8,
            "what": f"batch_spawn_native_pipeline of {n:,} x 64 B, 100 rounds, vs CORVALUNE_WORKERS=1 "
                    f"({one['median']:.3f} s) and a serial comprehension ({serial['median']:.3f} s), "
                    f"medians of {len(many_samples)} runs in turns"}


def pair_level1(repeat: int, n: int) -> dict:
    async def trivial() -> int:
        return 1

    a, b = alternate(repeat, lambda: timed(lambda: [corvalune.run_level1(trivial()) for _ in range(n)]) / n,
                     lambda: timed(lambda: [asyncio.run(trivial()) for _ in range(n)]) / n)
    return {"corvalune": a, "stdlib": b, "unit": "s/run", "ratio": b["median"] / a["median"], "target": 8.0,
            "what": "run_level1 of a trivial coroutine vs asyncio.run"}


def pair_spawn_coroutine(repeat: int, n: int) -> dict:
    import threading

    async def trivial() -> int:
        return 1

    def ours() -> float:
        done = threading.Event()
        left = [n]

        def cb(result, exc):
            left[0] -= 1
            if left[0] == 0:
                done.set()

        def go() -> None:
            for _ in range(n):
                corvalune.spawn_coroutine(trivial(), cb)
            done.wait(120)
        return timed(go) / n

    async def theirs_main() -> None:
        await asyncio.gather(*(asyncio.create_task(trivial()) for _ in range(n)))

    def theirs() -> float:
        loop = asyncio.new_event_loop()
        try:
            return timed(lambda: loop.run_until_complete(theirs_main())) / n
        finally:
            loop.close()

    a, b = alternate(repeat, ours, theirs)
    return {"corvalune": a, "stdlib": b, "unit": "s/coroutine", "ratio": b["median"] / a["median"],
            "target": 4.0, "what": f"{n:,} spawn_coroutine vs create_task + gather in one running loop"}


def executor_pairs(repeat: int, n: int) -> dict:
    """corvalune.Executor against ThreadPoolExecutor(2): submit + result(),
    map, and loop.run_in_executor one at a time and under asyncio.gather,
    in one run."""
    ours, theirs = corvalune.Executor(), concurrent.futures.ThreadPoolExecutor(2)

    def submit_result(ex: concurrent.futures.Executor) -> float:
        t = time.perf_counter()
        fs = [ex.submit(no_op) for _ in range(n)]
        for f in fs:
            f.result()
        return (time.perf_counter() - t) / n

    def map_all(ex: concurrent.futures.Executor) -> float:
        t = time.perf_counter()
        for _ in ex.map(abs, range(2 * n)):
            pass
        return (time.perf_counter() - t) / (2 * n)

    def in_executor(ex: concurrent.futures.Executor) -> float:
        async def main() -> float:
            loop = asyncio.get_running_loop()
            t = time.perf_counter()
            for _ in range(n // 10):
                await loop.run_in_executor(ex, no_op)
            return (time.perf_counter() - t) / (n // 10)
        return asyncio.run(main())

    def gathered(ex: concurrent.futures.Executor) -> float:
        async def main() -> float:
            loop = asyncio.get_running_loop()
            t = time.perf_counter()
            await asyncio.gather(*(loop.run_in_executor(ex, no_op) for _ in range(n // 5)))
            return (time.perf_counter() - t) / (n // 5)
        return asyncio.run(main())

    rows = {}
    for key, name, fn, target in (("13a", "submit + result()", submit_result, 4.0), ("13b", "map", map_all, 12.0),
                                  ("13c", "sequential run_in_executor", in_executor, 1.0),
                                  ("13d", "run_in_executor under gather", gathered, 2.0)):
        fn(ours), fn(theirs)  # warm
        a, b = alternate(repeat, lambda: fn(ours), lambda: fn(theirs))
        rows[f"{key} Executor {name}"] = {
            "corvalune": a, "stdlib": b, "unit": "s/call", "ratio": b["median"] / a["median"], "target": target,
            "what": f"corvalune.Executor vs ThreadPoolExecutor(2), {name}, "
                    f"{2 * n if name == 'map' else n // 10 if 'sequential' in name else n // 5 if 'gather' in name else n:,} calls"}
    theirs.shutdown()
    return {"pairs": rows}


def isolated_pairs(repeat: int, calls: int, tiny: int) -> dict:
    """Isolated calls in the workers' sub-interpreters against a serial loop
    and concurrent.futures.InterpreterPoolExecutor(2): pure-Python work,
    map of a tiny call, submit + result(), and the first use (making the
    interpreters) with the memory each costs. In a fresh process."""
    code = f"""
        import concurrent.futures, json, os, statistics, sys, time
        sys.path.insert(0, {os.path.join(ROOT, "bench")!r})
        import _interpreters, corvalune, isolated_work
        def rss():
            with open("/proc/self/statm") as f:
                return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
        corvalune.configure(2)
        before, t = rss(), time.perf_counter()
        # Both workers make their interpreter: one long call each, at once.
        ex = corvalune.InterpreterExecutor()
        list(ex.map(isolated_work.spin, [200_000] * 2, chunksize=1))
        first_use = time.perf_counter() - t
        made = len(_interpreters.list_all()) - 1
        per_interp = (rss() - before) / max(made, 1)
        # n for a ~1.5 ms call.
        n = 20_000
        t = time.perf_counter(); isolated_work.spin(n); one = time.perf_counter() - t
        n = max(1000, int(n * 0.0015 / one))
        ipe = concurrent.futures.InterpreterPoolExecutor(2)
        list(ipe.map(abs, range(4)))
        def serial(): 
            t = time.perf_counter()
            for _ in range({calls}): isolated_work.spin(n)
            return time.perf_counter() - t
        def ours():
            t = time.perf_counter(); list(ex.map(isolated_work.spin, [n] * {calls})); return time.perf_counter() - t
        def theirs():
            t = time.perf_counter(); list(ipe.map(isolated_work.spin, [n] * {calls})); return time.perf_counter() - t
        def ours_map():
            t = time.perf_counter(); list(ex.map(abs, range({tiny}))); return (time.perf_counter() - t) / {tiny}
        def theirs_map():
            t = time.perf_counter(); list(ipe.map(abs, range(2000))); return (time.perf_counter() - t) / 2000
        def ours_submit():
            t = time.perf_counter()
            for i in range(5000): ex.submit(abs, i).result()
            return (time.perf_counter() - t) / 5000
        def theirs_submit():
            t = time.perf_counter()
            for i in range(500): ipe.submit(abs, i).result()
            return (time.perf_counter() - t) / 500
        out = {{"first_use": first_use, "interpreters": made, "bytes_per_interpreter": per_interp, "n": n}}
        for name, fns in (("cpu", (serial, ours, theirs)), ("map", (ours_map, theirs_map)),
                          ("submit", (ours_submit, theirs_submit))):
            samples = [[] for _ in fns]
            for _ in range({repeat}):
                for k, fn in enumerate(fns):
                    samples[k].append(fn())
            out[name] = samples
        ipe.shutdown()
        print(json.dumps(out))
    """
    r = child(code)

    def fmt(samples: list[float], scale: float, unit: str) -> str:
        return (f"{statistics.median(samples) * scale:.2f} {unit} "
                f"({min(samples) * scale:.2f}-{max(samples) * scale:.2f})")

    serial, ours, theirs = r["cpu"]
    speedups = [s / o for s, o in zip(serial, ours)]
    lines = [
        f"{calls} calls of a {r['n']:,}-step loop (~1.5 ms): serial {fmt(serial, 1e3, 'ms')}, "
        f"InterpreterExecutor.map {fmt(ours, 1e3, 'ms')}, InterpreterPoolExecutor(2).map {fmt(theirs, 1e3, 'ms')}; "
        f"{statistics.median(speedups):.2f}x serial ({min(speedups):.2f}-{max(speedups):.2f}), "
        f"{statistics.median(theirs) / statistics.median(ours):.2f}x InterpreterPoolExecutor",
        f"map(abs, range({tiny:,})): {fmt(r['map'][0], 1e6, 'us/item')}; "
        f"InterpreterPoolExecutor(2) over 2,000: {fmt(r['map'][1], 1e6, 'us/item')}",
        f"submit(abs) + result(), one at a time: {fmt(r['submit'][0], 1e6, 'us')}; "
        f"InterpreterPoolExecutor(2): {fmt(r['submit'][1], 1e6, 'us')}",
        f"first use, {r['interpreters']} interpreters made: {r['first_use'] * 1e3:.0f} ms; "
        f"{r['bytes_per_interpreter'] / 2**20:.1f} MiB resident each",
    ]
    return {"lines": lines, "raw": r,
            "what": "isolated calls (targets: >= 1.8x serial and faster than InterpreterPoolExecutor; "
                    "map <= 5 us/item; submit + result <= 20 us)"}


def idle_pool(seconds: float, sizes: tuple[int, ...] = (2, 6, 32)) -> dict:
    """CPU and context switches of a started pool left alone, once it has been
    idle for 100 ms, at several sizes (the main thread's one sleep included)."""
    code = f"""
        import json, resource, time, corvalune
        h = corvalune.spawn_callable(int)  # starts the pool and runs a job
        while not h.done():
            time.sleep(0.001)
        time.sleep(0.1)
        t0, r0 = time.monotonic(), resource.getrusage(resource.RUSAGE_SELF)
        time.sleep({seconds})
        t1, r1 = time.monotonic(), resource.getrusage(resource.RUSAGE_SELF)
        cpu = (r1.ru_utime - r0.ru_utime) + (r1.ru_stime - r0.ru_stime)
        switches = (r1.ru_nvcsw - r0.ru_nvcsw) + (r1.ru_nivcsw - r0.ru_nivcsw)
        print(json.dumps({{"cpu_share": cpu / (t1 - t0), "switches_per_s": switches / (t1 - t0),
                          "workers": corvalune.worker_count()}}))
    """
    lines = []
    rows = []
    ok = True
    for n in sizes:
        r = child(code, {"CORVALUNE_WORKERS": str(n)})
        rows.append(r)
        met = r["cpu_share"] <= 0.001 and r["switches_per_s"] < 10
        ok &= met
        lines.append(f"{r['workers']:>3} workers: {r['cpu_share']:.4%} of a core, "
                     f"{r['switches_per_s']:.1f} context switches/s  {'ok' if met else 'MISSED'}")
    return {"lines": lines, "ok": ok, "by_size": rows,
            "what": f"idle pool after 100 ms idle, over {seconds:g} s (targets: < 0.1 % of a core, < 10 switches/s)"}


def nested_batch(repeat: int, sizes: tuple[int, ...] = (2, 6)) -> dict:
    """64 x 64 KiB batch: serially, spawned from the main thread, and spawned
    from inside a pool task; the spawner blocks on a threading.Event set by a
    done callback (so a blocked pool thread cannot help)."""
    code = f"""
        import json, threading, time, corvalune
        payloads = [bytes([i]) * 65536 for i in range(64)]
        transform = corvalune.native_pipeline_transform

        def spawned():
            done = threading.Event()
            t = time.perf_counter()
            b = corvalune.batch_spawn_native_pipeline(payloads)
            b.add_done_callback(done.set)
            done.wait()
            b.result()
            return time.perf_counter() - t

        def in_task():
            done = threading.Event()
            h = corvalune.spawn_callable(spawned)
            h.add_done_callback(done.set)
            done.wait()
            return h.result()

        def serial():
            t = time.perf_counter()
            [transform(p) for p in payloads]
            return time.perf_counter() - t

        runs = {{"serial": [], "main": [], "task": []}}
        for k in range({repeat} + 3):
            for name, fn in (("serial", serial), ("main", spawned), ("task", in_task)):
                v = fn()
                if k >= 3:
                    runs[name].append(v)
        print(json.dumps(runs))
    """
    lines = []
    rows = []
    ok = True
    for n in sizes:
        r = {k: median_spread(v) for k, v in child(code, {"CORVALUNE_WORKERS": str(n)}).items()}
        rows.append({"workers": n, **{k: v["median"] for k, v in r.items()}})
        s, m, t = (r[k]["median"] for k in ("serial", "main", "task"))
        ratio, base = (t / s, "serial") if n == 2 else (t / m, "from main")
        met = ratio <= 1.2
        ok &= met
        lines.append(f"{n} workers: serial {s * 1e3:.2f} ms, from main {m * 1e3:.2f} ms "
                     f"({r['main']['min'] * 1e3:.2f}-{r['main']['max'] * 1e3:.2f}), from a pool task {t * 1e3:.2f} ms "
                     f"({r['task']['min'] * 1e3:.2f}-{r['task']['max'] * 1e3:.2f}): {ratio:.2f}x {base} (<= 1.2x) "
                     f"{'ok' if met else 'MISSED'}")
    return {"lines": lines, "ok": ok, "by_size": rows, "what": f"64 x 64 KiB batch, medians of {repeat} runs"}


def fork_join(repeat: int, depth: int = 6, fanout: int = 4) -> dict:
    """A fork-join tree on a pool of 6: every task submits its children to
    corvalune.Executor and calls result() on each; leaves hash 2 MB (about
    1 ms, without the interpreter lock). Against the leaves run serially and
    the same tree run level by level with ThreadPoolExecutor(6).map; the peak
    thread count and extra workers of the fork-join runs."""
    code = f"""
        import hashlib, json, os, threading, time, corvalune
        from concurrent.futures import ThreadPoolExecutor
        leaf_data = bytes(2_000_000)
        depth, fanout = {depth}, {fanout}

        def leaf():
            hashlib.sha256(leaf_data).digest()
            return 1

        ex = corvalune.Executor()

        def node(d):
            if d == 0:
                return leaf()
            children = [ex.submit(node, d - 1) for _ in range(fanout)]
            return sum(f.result() for f in children)

        peak, stop = [0], threading.Event()

        def sample():
            while not stop.is_set():
                peak[0] = max(peak[0], len(os.listdir("/proc/self/task")))
                stop.wait(0.002)

        def tree():
            t = time.perf_counter()
            assert ex.submit(node, depth).result() == fanout ** depth
            return time.perf_counter() - t

        def serial():
            t = time.perf_counter()
            assert sum(leaf() for _ in range(fanout ** depth)) == fanout ** depth
            return time.perf_counter() - t

        def levels(tpe):
            t = time.perf_counter()
            nodes = [0]
            for _ in range(depth):
                nodes = list(tpe.map(lambda n: n, [n for n in nodes for _ in range(fanout)]))
            assert sum(tpe.map(lambda _: leaf(), nodes)) == fanout ** depth
            return time.perf_counter() - t

        threading.Thread(target=sample, daemon=True).start()
        runs = {{"tree": [], "serial": [], "levels": []}}
        with ThreadPoolExecutor(6) as tpe:
            for k in range({repeat} + 1):
                for name, fn in (("tree", tree), ("serial", serial), ("levels", lambda: levels(tpe))):
                    v = fn()
                    if k >= 1:
                        runs[name].append(v)
        stop.set()
        runs["peak_threads"] = peak[0]
        runs["extra_started"] = corvalune.stats().extra_started
        print(json.dumps(runs))
    """
    out = child(code, {"CORVALUNE_WORKERS": "6"})
    r = {k: median_spread(out[k]) for k in ("tree", "serial", "levels")}
    t, s, lv = (r[k]["median"] for k in ("tree", "serial", "levels"))
    speedup, vs_levels = s / t, lv / t
    ok = speedup >= 1.6 and vs_levels >= 1.0 and out["extra_started"] <= 2
    lines = [f"tree {t * 1e3:.0f} ms ({r['tree']['min'] * 1e3:.0f}-{r['tree']['max'] * 1e3:.0f}), serial "
             f"{s * 1e3:.0f} ms, ThreadPoolExecutor(6) level by level {lv * 1e3:.0f} ms "
             f"({r['levels']['min'] * 1e3:.0f}-{r['levels']['max'] * 1e3:.0f})",
             f"{speedup:.2f}x serial (>= 1.6x), {vs_levels:.2f}x level by level (>= 1x), "
             f"{out['extra_started']} extra workers (<= 2), peak {out['peak_threads']} threads in the process "
             f"(6 workers, the main thread, the watchdog, the sampler, ThreadPoolExecutor's 6): "
             f"{'ok' if ok else 'MISSED'}"]
    return {"lines": lines, "ok": ok, "what": f"depth {depth} x fanout {fanout}, 1 ms leaves, medians of {repeat} runs",
            "speedup": speedup, "vs_levels": vs_levels, "extra_started": out["extra_started"],
            "peak_threads": out["peak_threads"]}


def dask_cluster(repeat: int, tasks: int, layouts: tuple[tuple[int, int], ...] = ((1, 2), (1, 4), (2, 2))) -> dict:
    """Dask tasks that each spawn a batch and wait for it (on a
    threading.Event set by a done callback), on a LocalCluster: the workers'
    own thread pools against corvalune.dask's plugin, alternating on one
    cluster per layout (worker processes x threads per worker)."""
    try:
        import distributed  # noqa: F401
    except ImportError:
        return {"skipped": "install the dask extra (pip install corvalune[dask])"}
    code_template = """
        import json, threading, time, corvalune, corvalune.dask
        from distributed import Client, LocalCluster, wait

        def task(i):
            done = threading.Event()
            b = corvalune.batch_spawn_native_pipeline([bytes([i % 256]) * 16384 for _ in range(32)], 2)
            b.add_done_callback(done.set)
            done.wait()
            return len(b.result())

        def run(client):
            t = time.perf_counter()
            wait(client.map(task, range({tasks}), pure=False))
            return time.perf_counter() - t

        if __name__ == "__main__":
            with LocalCluster(n_workers={procs}, threads_per_worker={threads}, processes=True, host="127.0.0.1",
                              dashboard_address=None) as cluster, Client(cluster) as client:
                runs = {{"own": [], "plugin": []}}
                for k in range({repeat} + 1):
                    for name in ("own", "plugin"):
                        if name == "plugin":
                            client.register_plugin(corvalune.dask.CorvalunePlugin())
                        v = run(client)
                        if name == "plugin":
                            client.unregister_worker_plugin("corvalune")
                        if k:
                            runs[name].append(v)
            print(json.dumps(runs))
    """
    lines = []
    for procs, threads in layouts:
        code = code_template.format(tasks=tasks, procs=procs, threads=threads, repeat=repeat)
        r = {k: median_spread(v) for k, v in child(code).items()}
        own, plugin = r["own"], r["plugin"]
        lines.append(f"{procs} process(es) x {threads} threads: own thread pools {own['median'] * 1e3:.0f} ms "
                     f"({own['min'] * 1e3:.0f}-{own['max'] * 1e3:.0f}), plugin {plugin['median'] * 1e3:.0f} ms "
                     f"({plugin['min'] * 1e3:.0f}-{plugin['max'] * 1e3:.0f}): "
                     f"{own['median'] / plugin['median']:.2f}x")
    return {"lines": lines,
            "what": f"Dask: {tasks} tasks, each a 32 x 16 KiB batch (2 rounds) waited on, medians of {repeat} runs"}


def core_bench(*args: str) -> list[dict] | None:
    """The results of the C++ benchmark binary run with `args`, or None when
    it has not been built."""
    exe = os.path.join(ROOT, "build", "bench", "corvalune-core", "corvalune_core_bench")
    if not os.path.exists(exe):
        return None
    out = subprocess.run([exe, *args, "--benchmark_format=json"], capture_output=True, text=True,
                         check=True).stdout
    return json.loads(out)["benchmarks"]


NOT_BUILT = {"skipped": "build the C++ benchmarks first (make bench)"}


def scheduler_bench() -> dict:
    benchmarks = core_bench("--benchmark_filter=ForkJoinTree|WakeUp", "--benchmark_repetitions=3")
    if benchmarks is None:
        return NOT_BUILT
    runs: dict[str, list[dict]] = {}
    for b in benchmarks:
        if b.get("run_type") == "iteration":
            runs.setdefault(b["run_name"], []).append(b)
    one = [b["real_time"] for b in runs["BM_ForkJoinTree/workers:1/real_time"]]
    two = [b["real_time"] for b in runs["BM_ForkJoinTree/workers:2/real_time"]]
    speedup = statistics.median(one) / statistics.median(two)
    lines = [f"fork-join tree of depth 16 (10 us leaves): 1 worker {statistics.median(one):.0f} ms, "
             f"2 workers {statistics.median(two):.0f} ms ({min(two):.0f}-{max(two):.0f}): {speedup:.2f}x (>= 1.8x) "
             f"{'ok' if speedup >= 1.8 else 'MISSED'}"]
    for kind in ("Global", "Local"):
        rs = runs[f"BM_WakeUp{kind}/iterations:200"]
        med = [b["median_us"] for b in rs]
        p90 = [b["p90_us"] for b in rs]
        lines.append(f"wake-up, {kind.lower()} push on an idle pool: median {statistics.median(med):.1f} us "
                     f"({min(med):.1f}-{max(med):.1f} over 3 runs), 90th percentile {statistics.median(p90):.1f} us")
    return {"lines": lines, "ok": speedup >= 1.8, "what": "scheduler (C++)"}


def memory_per_task(n: int) -> dict:
    code = f"""
        import gc, json, os, time, corvalune
        def rss():
            with open("/proc/self/statm") as f:
                return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
        corvalune.configure()
        warm = [corvalune.spawn_native_pipeline(b"", 0) for _ in range(1000)]
        for h in warm:
            while not h.done(): time.sleep(0)
        del warm
        gc.collect()
        before = rss()
        held = [corvalune.spawn_native_pipeline(b"", 0) for _ in range({n})]
        for h in held:
            while not h.done(): time.sleep(0)
        time.sleep(0.1)
        after = rss()
        print(json.dumps({{"bytes_per_task": (after - before) / {n} - 8}}))
    """
    r = child(code)
    return {"value": r["bytes_per_task"], "unit": "bytes", "target_max": 128,
            "what": f"resident memory per completed NativeTask held, over {n:,} (the list slot excluded)"}


def kernel_bench() -> dict:
    benchmarks = core_bench("--benchmark_filter=transform", "--benchmark_repetitions=5",
                            "--benchmark_report_aggregates_only=true")
    if benchmarks is None:
        return NOT_BUILT
    medians = {b["run_name"]: b["real_time"] for b in benchmarks if b["aggregate_name"] == "median"}
    rows = {}
    for args in ("64/100", "65536/0"):
        k, p = medians[f"transform/kernel/{args}"], medians[f"transform/plain_loop/{args}"]
        rows[args] = {"kernel_ns": k, "plain_loop_ns": p, "overhead": k / p - 1}
    return {"rows": rows, "target_max_overhead": 0.05,
            "what": "transform kernel vs a plain loop of the same arithmetic (C++), 64 B/100 rounds and 64 KiB/0 rounds"}


def against_target(row: dict) -> str:
    return f"{row['ratio']:.2f}x (target {row['target']:g}x)"


# The per-task pairs that the summary at the end shows, in its order.
PER_TASK = (
    ("3", "tiny native task vs ThreadPoolExecutor(2)"),
    ("4", "callable task vs ThreadPoolExecutor(2)"),
    ("5a", "sequential await of one handle vs run_in_executor"),
    ("7a", "run_level1 of a trivial coroutine vs asyncio.run"),
    ("7b", "spawn_coroutine vs create_task + gather"),
    ("13a", "Executor.submit + result() vs ThreadPoolExecutor(2)"),
    ("13b", "Executor.map vs ThreadPoolExecutor(2).map"),
    ("13d", "gathered run_in_executor on Executor vs on ThreadPoolExecutor(2)"),
    ("6", "1,000,000 x 64 B batch vs one worker"),
    ("9", "memory per held completed NativeTask"),
)


def print_per_task(results: dict) -> None:
    """The cost of one task, pair by pair, each against its target."""
    by_number = {key.split()[0]: row for key, row in results.items() if key != "machine"}
    lines = []
    for number, name in PER_TASK:
        row = by_number.get(number)
        if row is None:
            continue
        if "ratio" in row:
            per = row["corvalune"]["median"]
            lines.append(f"{name:<66} {against_target(row):>20}  ({per * 1e6:.2f} us each, "
                         f"{row['corvalune']['min'] * 1e6:.2f}-{row['corvalune']['max'] * 1e6:.2f})")
        elif "value" in row:
            lines.append(f"{name:<66} {row['value']:>9.1f} bytes (target <= {row['target_max']:g})")
    if lines:
        print("\nthe cost of one task:")
        for line in lines:
            print(f"    {line}")


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--quick", action="store_true", help="smaller sizes, for a smoke run")
    parser.add_argument("--only", nargs="*", help="run only the pairs with these numbers (e.g. 8 10 11)")
    parser.add_argument("--json", default=os.path.join(ROOT, "build", "bench-results.json"))
    args = parser.parse_args()
    q = 10 if args.quick else 1
    corvalune.configure(2)
    r = args.repeat
    machine = {"cpus": os.cpu_count(), "processor": platform.processor() or platform.machine(),
               "python": sys.version.split()[0], "pool": corvalune.worker_count()}
    pairs: dict[str, Callable[[], dict]] = {
        "1 transform vs sha256": lambda: pair_transform_vs_sha256(r, 200_000 // q),
        "2 kernel vs plain loop": lambda: kernel_bench(),
        "3 spawn_native_pipeline vs TPE": lambda: pair_spawn_native(r, 100_000 // q),
        "4 spawn_callable vs TPE": lambda: pair_spawn_callable(r, 100_000 // q),
        "5a sequential await": lambda: pair_await_sequential(r, 5_000 // q),
        "5b gather": lambda: pair_await_gather(r, 20_000 // q),
        "6 batch 1M": lambda: pair_batch(r, 1_000_000 // q),
        "7a run_level1 vs asyncio.run": lambda: pair_level1(r, 5_000 // q),
        "7b spawn_coroutine vs create_task": lambda: pair_spawn_coroutine(r, 10_000 // q),
        "8 idle pool": lambda: idle_pool(2.0 / (2 if args.quick else 1)),
        "9 memory per NativeTask": lambda: memory_per_task(1_000_000 // q),
        "10 nested batch": lambda: nested_batch(25 // (5 if args.quick else 1), sizes=(2, 6, 32)),
        "11 scheduler": lambda: scheduler_bench(),
        "13 executor": lambda: executor_pairs(r, 50_000 // q),
        "12 dask": lambda: dask_cluster(r, 200 // q),
        "15 fork-join": lambda: fork_join(r),
        "14 isolated": lambda: isolated_pairs(max(3, r // 2) if not args.quick else 1, 400 // q, 100_000 // q),
    }
    results: dict[str, dict] = {"machine": machine}
    for key, run in pairs.items():
        if not args.only or key.split()[0] in args.only:
            row = run()
            # A measurement of several pairs at once gives one row per pair.
            results.update(row["pairs"] if "pairs" in row else {key: row})
    os.makedirs(os.path.dirname(args.json), exist_ok=True)
    with open(args.json, "w") as f:
        json.dump(results, f, indent=2)

    print(f"\nmachine: {results['machine']}")
    print(f"{'#':<42} {'corvalune':>12} {'stdlib':>12} {'ratio (target)':>20}  ")
    for key, row in results.items():
        if key == "machine":
            continue
        if "ratio" in row:
            unit = row["unit"]
            met = "ok" if row["ratio"] >= row["target"] else "MISSED"
            print(f"{key:<42} {row['corvalune']['median']:12.3e} {row['stdlib']['median']:12.3e} "
                  f"{against_target(row):>20}  {met}   {unit}; {row['what']}")
        elif "value" in row:
            met = "ok" if row["value"] <= row["target_max"] else "MISSED"
            print(f"{key:<42} {row['value']:12.4g} {'':>12} {'(target <= ' + format(row['target_max'], 'g') + ')':>20}  "
                  f"{met}   {row['unit']}; {row['what']}")
        elif "rows" in row:
            for args_, v in row["rows"].items():
                met = "ok" if v["overhead"] <= row["target_max_overhead"] else "MISSED"
                print(f"{key + ' ' + args_:<42} {v['kernel_ns']:10.1f}ns {v['plain_loop_ns']:10.1f}ns "
                      f"{v['overhead']:+7.1%} {'<=+5%':>8}  {met}")
        elif "lines" in row:
            print(f"{key:<42} {row['what']}")
            for line in row["lines"]:
                print(f"{'':<4}{line}")
        else:
            print(f"{key:<42} {row}")
    print_per_task(results)
    print(f"\nfigures written to {args.json}")
    if args.only:
        return 0  # the charts show whole runs only
    try:
        import plot  # bench/plot.py: needs matplotlib, a development dependency
    except ImportError as exc:
        print(f"no charts: {exc}")
    else:
        for path in plot.draw(results, os.path.join(ROOT, "bench")):
            print(f"chart written to {path}")
    return 0


if __name__ == "__main__":
    sys.exit(main())

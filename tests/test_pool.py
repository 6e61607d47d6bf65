"""Pool sizing, configure, worker_count, shutdown, thread names.

The pool is process-wide and fixed once started, so each case runs in a
fresh interpreter.
"""

import textwrap

import pytest

from conftest import run_python

WARNING_TAIL = '"; expected a positive integer (using the default worker count)\n'


def pool_threads_snippet():
    return textwrap.dedent("""
    import os
    def pool_threads():
        names = []
        for tid in os.listdir("/proc/self/task"):
            try:
                with open(f"/proc/self/task/{tid}/comm") as f:
                    names.append(f.read().strip())
            except OSError:
                pass
        return [n for n in names if n.startswith("corvalune-work")]
    """)


@pytest.mark.parametrize(
    "value, expected, warns",
    [
        ("6", 6, False),
        (" 6 ", 6, False),
        ("+6", 6, False),
        ("006", 6, False),
        ("0", None, False),
        ("00", None, False),
        ("", None, True),
        ("-1", None, True),
        ("abc", None, True),
        ("6 workers", None, True),
        ("+", None, True),
        ("18446744073709551616", None, True),
        ("18446744073709551615", None, True),  # no pool can be that large
    ],
)
def test_workers_environment_variable(value, expected, warns):
    proc = run_python(
        """
        import _corvalune_sys as m
        auto = m.default_worker_count()
        n = m.configure()
        print(n, auto, m.worker_count())
        """,
        env={"CORVALUNE_WORKERS": value},
    )
    n, auto, count = proc.stdout.split()
    assert int(n) == int(count) == (expected if expected is not None else int(auto))
    if warns:
        assert proc.stderr == f'corvalune: ignoring CORVALUNE_WORKERS="{value}' + WARNING_TAIL
    else:
        assert proc.stderr == ""


def test_default_worker_count_ignores_the_environment():
    proc = run_python(
        """
        import os
        import _corvalune_sys as m
        cpus = len(os.sched_getaffinity(0))
        print(m.default_worker_count(), max(cpus, min(cpus + 4, 32)), m.worker_count())
        """,
        env={"CORVALUNE_WORKERS": "3"},
    )
    got, expected, count = proc.stdout.split()
    assert got == expected
    assert count == "None"


def test_configure_starts_once_and_then_always_refuses():
    proc = run_python(
        """
        import _corvalune_sys as m
        assert m.worker_count() is None
        m.shutdown()                       # before the start: returns, starts nothing
        assert m.worker_count() is None
        assert m.configure(3) == 3
        assert m.worker_count() == 3
        for args in [(3,), (0,), (), (5,)]:
            try:
                m.configure(*args)
            except RuntimeError as e:
                print(e)
            else:
                raise AssertionError("configure after start must raise")
        m.shutdown()
        m.shutdown()
        assert m.worker_count() == 3
        """
    )
    message = (
        "the Corvalune worker pool has already started with 3 workers, and its size is fixed "
        "once it has been used. Set CORVALUNE_WORKERS before the first Corvalune call (or before "
        "importing) to change it"
    )
    assert proc.stdout.splitlines() == [message] * 4


def test_explicit_size_wins_over_the_environment():
    proc = run_python(
        "import _corvalune_sys as m; print(m.configure(4))", env={"CORVALUNE_WORKERS": "8"}
    )
    assert proc.stdout.strip() == "4"


def test_pool_threads_are_named_and_end_after_shutdown():
    proc = run_python(
        pool_threads_snippet()
        + textwrap.dedent("""
        import threading, time
        import _corvalune_sys as m
        m.configure(3)
        deadline = time.monotonic() + 10
        while len(pool_threads()) < 3 and time.monotonic() < deadline:
            time.sleep(0.001)
        print(sorted(set(pool_threads())), len(pool_threads()))
        # Each worker runs Python code, and so joins threading's registry.
        barrier = threading.Barrier(4)
        for _ in range(3):
            m.spawn_callable(barrier.wait, (10,))
        barrier.wait(10)
        listed = lambda: sorted(t.name for t in threading.enumerate() if t.name.startswith("corvalune"))
        print(listed())
        m.shutdown()
        while pool_threads() and time.monotonic() < deadline:
            time.sleep(0.001)
        print(len(pool_threads()), m.worker_count(), listed())
        """)
    )
    # Linux keeps 15 bytes of a thread name: "corvalune-worker-<i>" becomes "corvalune-worke".
    assert proc.stdout.splitlines() == [
        "['corvalune-worke'] 3",
        "['corvalune-worker-0', 'corvalune-worker-1', 'corvalune-worker-2']",
        "0 3 []",
    ]


def test_concurrent_configure_has_one_winner_and_the_loser_joins_its_threads():
    proc = run_python(
        pool_threads_snippet()
        + textwrap.dedent("""
        import threading
        import _corvalune_sys as m
        barrier = threading.Barrier(2)
        results = {}
        def start(n):
            barrier.wait()
            try:
                results[n] = m.configure(n)
            except RuntimeError as e:
                results[n] = str(e)
        threads = [threading.Thread(target=start, args=(n,)) for n in (2, 5)]
        for t in threads: t.start()
        for t in threads: t.join()
        winner = [n for n, r in results.items() if isinstance(r, int)]
        assert len(winner) == 1, results
        winner = winner[0]
        loser = ({2, 5} - {winner}).pop()
        assert results[winner] == winner
        assert f"already started with {winner} workers" in results[loser], results
        assert m.worker_count() == winner
        assert len(pool_threads()) <= winner
        print("ok")
        """)
    )
    assert proc.stdout.strip() == "ok"


def test_shutdown_returns_and_can_repeat():
    # A worker blocked in native code never observes the stop; shutdown gives up
    # after its wait instead of hanging, and the process still exits cleanly.
    proc = run_python(
        """
        import time
        import _corvalune_sys as m
        m.configure(2)
        t0 = time.monotonic()
        m.shutdown()
        first = time.monotonic() - t0
        t0 = time.monotonic()
        m.shutdown()
        second = time.monotonic() - t0
        print(first < 5, second < 5)
        """
    )
    assert proc.stdout.split() == ["True", "True"]


def test_package_registers_shutdown_at_exit():
    proc = run_python(
        """
        import atexit, corvalune
        corvalune.configure(2)
        print(corvalune.worker_count())
        """
    )
    assert proc.stdout.strip() == "2"
    assert proc.stderr == ""


def test_work_submitted_by_an_exit_hook_after_shutdown_is_refused():
    # Hooks run last-registered first: the package's shutdown runs before
    # a hook registered ahead of the import, which then submits work.
    proc = run_python(
        """
        import atexit
        import _corvalune_sys as m
        def late():
            try:
                m.spawn_callable(print, ("ran",))
            except m.PoolShutdownError as exc:
                print("refused:", type(exc).__mro__[1].__name__, exc)
        atexit.register(late)
        import corvalune
        corvalune.spawn_callable(int)
        """,
        timeout=60,
    )
    assert proc.stdout == "refused: RuntimeError the Corvalune worker pool has been shut down; it accepts no new work\n"


def test_stats_add_up_to_the_jobs_spawned():
    run_python("""
        import threading, corvalune
        assert corvalune.stats() == corvalune.PoolStats((), 0, 0, 0, 0, 0)  # does not start the pool
        n = corvalune.worker_count() or corvalune.default_worker_count()
        corvalune.wait([corvalune.spawn_callable(int) for _ in range(3000)])
        with corvalune.register_worker() as worker:
            handles = [corvalune.spawn_callable(int) for _ in range(500)]
            worker.run_until_idle()
            corvalune.wait(handles)
            both = corvalune.stats()
        threading.Event().wait(0.2)  # the pool's threads go back to sleep
        after = corvalune.stats()
        # An extra worker may come and go when the burst keeps every worker
        # waiting for the interpreter lock long enough to look stalled.
        assert [w.kind for w in both.workers if w.kind != "extra"] == ["pool"] * n + ["registered"], both
        pool = [w for w in after.workers if w.kind == "pool"]
        assert sorted(w.name for w in pool) == sorted(f"corvalune-worker-{i}" for i in range(n)), after
        # The registered thread's jobs stay counted after it left.
        assert after.jobs_run == both.jobs_run == 3500, (both, after)
        registered = [w for w in both.workers if w.kind == "registered"]
        assert sum(w.jobs_run for w in after.workers) + registered[0].jobs_run == 3500
        assert after.steals <= after.jobs_run and after.parks >= n
        assert after.global_queue_depth == 0 and all(w.local_queue_depth == 0 for w in after.workers)
        assert not any(w.blocked for w in after.workers)
    """)


def test_work_the_stopped_pool_drops_fails_its_waiters_and_never_runs():
    # Both workers are held while work queues up behind them; a coroutine
    # parked on one of the held calls is woken only after the stop. Extra
    # workers the stalled pool may start meanwhile take held calls queued
    # first, never the work under test.
    proc = run_python(
        """
        import threading
        import _corvalune_sys as m
        m.configure(2)
        gate, held, told = threading.Event(), threading.Semaphore(0), threading.Semaphore(0)
        ran, log = [], []
        def hold():
            held.release()
            gate.wait(30)
        def tell(what):
            return lambda result, exc: (log.append((what, result, type(exc).__name__)), told.release())
        async def parked():
            try:
                await m.spawn_callable(hold)
                ran.append("parked resumed")
            finally:
                log.append("finally")
        async def queued():
            ran.append("queued")
        m.spawn_coroutine(parked(), tell("parked"))
        m.spawn_callable(hold)
        held.acquire(); held.acquire()
        for _ in range(1000):
            m.spawn_callable(gate.wait, (30,))
        handles = [m.spawn_callable(ran.append, ("callable",)), m.spawn_native_pipeline(b"x"),
                   m.batch_spawn_callable(ran.append, [("batch",)] * 3), m.batch_spawn_native_pipeline([b"x"] * 3)]
        for h in handles:
            h.add_done_callback(lambda: log.append("callback"))
        m.spawn_coroutine(queued(), tell("queued"))
        level1 = []
        def root():
            try:
                m.run_level1(queued())
            except m.PoolShutdownError as exc:
                level1.append(type(exc).__name__)
        waiter = threading.Thread(target=root)
        waiter.start()
        waiter.join(0.2)  # its root is queued by now (or refused, the same error)
        m.shutdown()
        for h in handles:
            try:
                h.result()
            except m.PoolShutdownError as exc:
                print(h.done(), exc)
        waiter.join(10)
        print(level1)
        gate.set()
        assert told.acquire(timeout=10) and told.acquire(timeout=10)
        print(sorted(log, key=str), ran)
        """,
        timeout=60,
    )
    dropped = "the Corvalune worker pool was shut down before this work ran"
    assert proc.stdout.splitlines() == [f"True {dropped}"] * 4 + [
        "['PoolShutdownError']",
        "[('parked', None, 'PoolShutdownError'), ('queued', None, 'PoolShutdownError'), "
        "'callback', 'callback', 'callback', 'callback', 'finally'] []",
    ]


def test_jobs_submitted_one_at_a_time_find_a_worker_searching():
    # The worker that ran the last job searches on (warm) for the next; a
    # pool of two that parked both workers after every job (the last
    # searcher woke the other, which then held the one search slot) parked
    # about once per job.
    run_python("""
        import corvalune
        corvalune.configure(2)
        async def one():
            return 1
        for _ in range(100):
            corvalune.run_level1(one())
        before = corvalune.stats().parks
        for _ in range(2000):
            corvalune.run_level1(one())
        parks = corvalune.stats().parks - before
        assert parks < 500, parks
    """)

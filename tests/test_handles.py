"""Task handles shared by NativeTask and CallableTask: polling, results, done
callbacks, awaiting from asyncio and by hand, iteration, the class surface."""

import asyncio
import collections
import gc
import logging
import sys
import textwrap
import threading
import time
import weakref

import pytest

import _corvalune_sys as m
from conftest import ABC_100, DEADLINE, WAIT_NOTE, PoolGate, eventually, quiesce, run_python, wait_done, wait_result

KINDS = ["native", "callable"]
CLASS_OF = {"native": "NativeTask", "callable": "CallableTask"}


def spawn_ok(kind):
    """Spawns work of the given kind; returns the handle and its expected result."""
    if kind == "native":
        return m.spawn_native_pipeline(b"abc"), ABC_100
    return m.spawn_callable(list, (("result", 42),)), ["result", 42]


def spawn_quick(kind, i):
    if kind == "native":
        payload, rounds = bytes([i % 256]) * (i % 5), i % 17
        return m.spawn_native_pipeline(payload, rounds), m.native_pipeline_transform(payload, rounds)
    return m.spawn_callable(pow, (i, 2)), i * i


async def await_it(h):
    async with asyncio.timeout(DEADLINE):
        return await h


# --- done() and result() ---------------------------------------------------


@pytest.mark.parametrize("kind", KINDS)
def test_result_before_completion_raises_and_changes_nothing(kind):
    with PoolGate():
        h, expected = spawn_ok(kind)
        for _ in range(2):
            assert h.done() is False
            with pytest.raises(RuntimeError) as info:
                h.result()
            assert str(info.value) == "task not completed"
            assert info.value.__notes__ == [WAIT_NOTE]
            assert type(info.value) is RuntimeError
    assert wait_result(h) == expected
    assert h.done() is True


@pytest.mark.parametrize("kind", KINDS)
def test_done_implies_the_result_is_readable(kind):
    # The done flag must never be visible before the stored outcome.
    deadline = time.monotonic() + DEADLINE
    for i in range(200):
        h, expected = spawn_quick(kind, i)
        while not h.done():
            assert time.monotonic() < deadline
            time.sleep(0)  # lets a callable task have the interpreter
        assert h.result() == expected


# --- done callbacks ----------------------------------------------------------


@pytest.mark.parametrize("kind", KINDS)
def test_callbacks_registered_while_pending_run_in_order_with_zero_or_one_argument(kind):
    calls = []
    with PoolGate():
        h, expected = spawn_ok(kind)
        assert h.add_done_callback(lambda: calls.append("no argument")) is None
        h.add_done_callback(lambda task: calls.append(("handle", task)))
        h.add_done_callback(cb=lambda task: calls.append(("result", task.result())))
        assert calls == []
    wait_done(h)
    quiesce()
    assert calls == ["no argument", ("handle", h), ("result", expected)]

    # On a finished handle the callback runs before add_done_callback returns.
    h.add_done_callback(lambda: calls.append("late"))
    h.add_done_callback(lambda task: calls.append(task is h))
    assert calls[3:] == ["late", True]


@pytest.mark.parametrize("kind", KINDS)
def test_callback_registered_right_after_spawning_runs_exactly_once(kind):
    hits, seen = [], []
    handles, expected = [], []
    for i in range(200):
        h, value = spawn_quick(kind, i)
        h.add_done_callback(lambda i=i: hits.append(i))
        h.add_done_callback(lambda task, i=i: seen.append((i, task.result())))
        handles.append(h)
        expected.append((i, value))
    wait_done(*handles)
    quiesce()
    assert sorted(hits) == list(range(200))
    assert sorted(seen) == expected


@pytest.mark.parametrize("kind", KINDS)
def test_registrations_from_several_threads_racing_completion_each_run_once(kind):
    hits = []
    threads_n, per_thread = 4, 100
    with PoolGate() as gate:
        h, _ = spawn_ok(kind)
        barrier = threading.Barrier(threads_n + 1)

        def register(t):
            barrier.wait()
            for i in range(per_thread):
                h.add_done_callback(lambda t=t, i=i: hits.append((t, i)))

        threads = [threading.Thread(target=register, args=(t,)) for t in range(threads_n)]
        for t in threads:
            t.start()
        barrier.wait()
        gate.open()
        for t in threads:
            t.join()
    wait_done(h)
    quiesce()
    counts = collections.Counter(hits)
    assert counts == {(t, i): 1 for t in range(threads_n) for i in range(per_thread)}


@pytest.mark.parametrize("kind", KINDS)
def test_completion_releases_callbacks_and_resolvers(kind):
    class Callback:
        def __call__(self):
            pass

    with PoolGate():
        h, expected = spawn_ok(kind)
        holder = [h]
        baseline = sys.getrefcount(holder[0])
        cb = Callback()
        cb_ref = weakref.ref(cb)
        h.add_done_callback(cb)
        h.add_done_callback(lambda task: None)
        del cb
        assert cb_ref() is not None  # the pending handle keeps it
    wait_done(h)
    quiesce()
    assert asyncio.run(await_it(h)) == expected
    eventually(lambda: cb_ref() is None, "a done callback outlived the completion")
    eventually(lambda: sys.getrefcount(holder[0]) == baseline, "callbacks or resolvers still hold the handle")


@pytest.mark.parametrize("kind", KINDS)
def test_failing_callbacks_print_tracebacks_and_the_next_ones_still_run(kind):
    spawn = "m.spawn_native_pipeline(b'abc')" if kind == "native" else "m.spawn_callable(tuple, ('ab',))"
    expected = repr(ABC_100) if kind == "native" else "('a', 'b')"
    proc = run_python(
        f"""
        import threading, time
        import _corvalune_sys as m
        m._set_extra_worker_limit(0)  # the held worker is not replaced
        m.configure(1)
        release, started = threading.Event(), threading.Event()
        def occupy():
            started.set()
            release.wait(30)
        blocker = m.spawn_callable(occupy)
        assert started.wait(30)
        h = {spawn}
        calls = []
        def failing():
            raise ZeroDivisionError(f"callback failed after {{len(calls)}} calls")
        h.add_done_callback(failing)
        assert h.add_done_callback(5) is None
        h.add_done_callback(lambda: calls.append("after failures"))
        h.add_done_callback(lambda task: calls.append(task is h))
        release.set()
        deadline = time.monotonic() + 30
        while len(calls) < 2:
            assert time.monotonic() < deadline
            time.sleep(0.001)
        h.add_done_callback(failing)
        h.add_done_callback(lambda: calls.append("late"))
        print(calls)
        print(h.result() == {expected})
        """
    )
    assert proc.stdout.splitlines() == ["['after failures', True, 'late']", "True"]
    err = proc.stderr
    assert err.count("ZeroDivisionError: callback failed after 0 calls") == 1
    assert err.count("ZeroDivisionError: callback failed after 2 calls") == 1
    assert err.count("TypeError: 'int' object is not callable") == 1
    assert "Traceback (most recent call last):" in err
    assert "in failing" in err


@pytest.mark.parametrize("kind", KINDS)
def test_add_done_callback_arguments(kind):
    h, _ = spawn_ok(kind)
    wait_done(h)
    name = f"{CLASS_OF[kind]}.add_done_callback()"
    with pytest.raises(TypeError) as info:
        h.add_done_callback()
    assert str(info.value) == f"{name} missing 1 required positional argument: 'cb'"
    with pytest.raises(TypeError) as info:
        h.add_done_callback(print, print)
    assert str(info.value).startswith(f"{name} takes 1 positional argument")
    assert str(info.value).endswith(" but 2 were given")
    with pytest.raises(TypeError) as info:
        h.add_done_callback(callback=print)
    assert str(info.value) == f"{name} got an unexpected keyword argument 'callback'"
    with pytest.raises(TypeError) as info:
        h.add_done_callback(print, cb=print)
    assert str(info.value) == f"{name} got multiple values for argument 'cb'"


# --- awaiting with asyncio ---------------------------------------------------


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("finished_first", [False, True], ids=["pending", "finished"])
def test_await_gives_the_result(kind, finished_first):
    h, expected = spawn_ok(kind)
    if finished_first:
        wait_done(h)
    assert asyncio.run(await_it(h)) == expected
    # And again, one await after the other.
    assert asyncio.run(await_it(h)) == expected


@pytest.mark.parametrize("kind", KINDS)
def test_concurrent_awaits_of_one_handle_get_the_same_result(kind):
    async def main(gate, h):
        first = asyncio.ensure_future(await_it(h))
        second = asyncio.ensure_future(await_it(h))
        await asyncio.sleep(0)  # both are now waiting on the pending handle
        assert not h.done()
        gate.open()
        results = await asyncio.gather(first, second)
        return results + [await await_it(h)]

    with PoolGate() as gate:
        h, expected = spawn_ok(kind)
        results = asyncio.run(main(gate, h))
    assert results == [expected] * 3


@pytest.mark.parametrize("kind", KINDS)
def test_loops_in_different_threads_await_one_handle(kind):
    results = {}
    with PoolGate():
        h, expected = spawn_ok(kind)

        def run(i):
            results[i] = asyncio.run(await_it(h))

        threads = [threading.Thread(target=run, args=(i,)) for i in range(3)]
        for t in threads:
            t.start()
    for t in threads:
        t.join(DEADLINE)
    assert results == {i: expected for i in range(3)}


# --- awaiting and iterating without an event loop ----------------------------


@pytest.mark.parametrize("kind", KINDS)
def test_await_without_a_running_loop_polls_the_handle(kind):
    async def coroutine():
        return await h

    with PoolGate():
        h, expected = spawn_ok(kind)
        it = h.__await__()
        assert it is h
        assert iter(h) is h
        assert next(it) is None
        assert next(it) is None
        coro = coroutine()
        assert coro.send(None) is None
    deadline = time.monotonic() + DEADLINE
    while True:
        assert time.monotonic() < deadline
        try:
            assert next(it) is None
        except StopIteration as stop:
            assert stop.value == expected
            break
    # Once done it keeps ending with the result.
    for _ in range(2):
        with pytest.raises(StopIteration) as info:
            next(h)
        assert info.value.value == expected
    with pytest.raises(StopIteration) as info:
        coro.send(None)
    assert info.value.value == expected


def test_iterating_a_failed_handle_raises_its_exception():
    h = m.spawn_callable(int, ("not a number",))
    wait_done(h)
    with pytest.raises(ValueError) as first:
        next(h)
    with pytest.raises(ValueError) as second:
        next(iter(h))
    assert first.value is second.value
    with pytest.raises(ValueError) as third:
        h.result()
    assert third.value is first.value


# --- cancelling an awaiting asyncio task -------------------------------------


QUIESCE_SNIPPET = """
def quiesce(n):
    release, started = threading.Event(), threading.Semaphore(0)
    def occupy():
        started.release()
        release.wait(30)
    blockers = [m.spawn_callable(occupy) for _ in range(n)]
    for _ in range(n):
        assert started.acquire(timeout=30)
    release.set()
    while not all(b.done() for b in blockers):
        time.sleep(0.001)
"""


def test_cancelled_awaits_never_report_errors_on_the_loop():
    proc = run_python(
        textwrap.dedent("""
        import asyncio, threading, time
        import _corvalune_sys as m
        m.configure(2)
        """)
        + QUIESCE_SNIPPET
        + textwrap.dedent("""
        reported = []

        async def await_it(h):
            return await h

        def spawn(i):
            if i % 3 == 0:
                return m.spawn_native_pipeline(b"race", i % 64), m.native_pipeline_transform(b"race", i % 64)
            if i % 3 == 1:
                return m.spawn_callable(abs, (-i,)), i
            return m.spawn_callable(int, ("x",)), ValueError

        async def main():
            loop = asyncio.get_running_loop()
            loop.set_exception_handler(lambda loop, context: reported.append(context))
            handles = []
            timeouts = cancelled = finished = 0
            # Timeouts close to the duration of the work.
            for i in range(40):
                h = m.spawn_callable(time.sleep, ((i % 5) * 0.005,))
                handles.append(h)
                try:
                    assert await asyncio.wait_for(h, 0.01) is None
                    finished += 1
                except TimeoutError:
                    timeouts += 1
            # Cancellation right around completion.
            for i in range(900):
                h, expected = spawn(i)
                handles.append(h)
                task = asyncio.ensure_future(await_it(h))
                for _ in range(i % 4):
                    await asyncio.sleep(0)
                task.cancel()
                try:
                    value = await task
                except asyncio.CancelledError:
                    cancelled += 1
                except ValueError:
                    assert expected is ValueError
                    finished += 1
                else:
                    assert value == expected, (i, value, expected)
                    finished += 1
            deadline = time.monotonic() + 30
            while not all(h.done() for h in handles):
                assert time.monotonic() < deadline
                await asyncio.sleep(0.001)
            quiesce(2)  # every resolver has returned
            for _ in range(5):
                await asyncio.sleep(0)  # and every scheduled completion has run
            for h in handles:
                # A failure whose await was cancelled was never retrieved, and
                # would be logged when its handle goes (at once, or at exit if
                # a cycle holds it): that log is not the loop's error report.
                try:
                    h.result()
                except ValueError:
                    pass
            print(timeouts > 0, cancelled > 0, finished > 0, reported)

        asyncio.run(main())
        """)
    )
    assert proc.stdout.splitlines() == ["True True True []"]
    assert proc.stderr == ""


def test_completion_after_the_loop_closed_is_silent():
    proc = run_python(
        """
        import asyncio, threading, time
        import _corvalune_sys as m
        m._set_extra_worker_limit(0)  # the held worker is not replaced
        m.configure(1)
        release, started = threading.Event(), threading.Event()
        def occupy():
            started.set()
            release.wait(30)
        blocker = m.spawn_callable(occupy)
        assert started.wait(30)
        handles = [m.spawn_native_pipeline(b"abc"), m.spawn_callable(int, ("7",)), m.spawn_callable(int, ("x",))]
        loop = asyncio.new_event_loop()
        reported = []
        loop.set_exception_handler(lambda loop, context: reported.append(context))
        async def start_awaiting():
            return [h.__await__() for h in handles]
        iterators = loop.run_until_complete(start_awaiting())
        loop.close()
        release.set()
        deadline = time.monotonic() + 30
        while not all(h.done() for h in handles):
            assert time.monotonic() < deadline
            time.sleep(0.001)
        # With one worker, a new task starts only after the resolvers returned.
        follow = m.spawn_callable(int, ("5",))
        while not follow.done():
            assert time.monotonic() < deadline
            time.sleep(0.001)
        print(handles[1].result(), follow.result(), reported)
        """
    )
    assert proc.stdout.splitlines() == ["7 5 []"]
    assert proc.stderr == ""


# --- failures nobody retrieved -------------------------------------------------


class Crash(Exception):
    pass


def crash():
    raise Crash("background job crashed")


@pytest.mark.parametrize(
    "how, logged",
    [("dropped at once", 1), ("dropped when done", 1), ("result read", 0), ("awaited", 0), ("callback", 0)],
)
def test_a_failure_nobody_retrieved_is_logged_once(how, logged, caplog):
    caplog.set_level(logging.ERROR, logger="corvalune")

    def reports():
        return [r for r in caplog.records if r.name == "corvalune"]

    if how == "dropped at once":
        with PoolGate():
            m.spawn_callable(crash)  # collected before it runs: reported when it fails
        eventually(lambda: reports(), "the failure was never reported")
    else:
        h = m.spawn_callable(crash)
        wait_done(h)
        if how == "result read":
            with pytest.raises(Crash):
                h.result()
        elif how == "awaited":
            with pytest.raises(Crash):
                asyncio.run(await_it(h))
        elif how == "callback":
            h.add_done_callback(lambda: None)
        del h  # reported, if at all, as the handle is collected
    quiesce()
    gc.collect()
    assert len(reports()) == logged
    for record in reports():
        assert record.levelno == logging.ERROR
        assert record.getMessage() == "CallableTask exception was never retrieved"
        assert record.exc_info[0] is Crash and str(record.exc_info[1]) == "background job crashed"


# --- the classes ---------------------------------------------------------------


@pytest.mark.parametrize(
    "name, doc",
    [
        ("NativeTask", "An awaitable native task handle driven directly by Corvalune's work-stealing pool."),
        ("CallableTask", "An awaitable generic Python callable task executed on Corvalune's work-stealing pool."),
    ],
)
def test_handle_class_surface(name, doc):
    cls = getattr(m, name)
    assert cls.__module__ == "builtins"
    assert cls.__name__ == cls.__qualname__ == name
    assert cls.__doc__ == doc
    assert cls.__bases__ == (object,)
    for args in [(), (1,)]:
        with pytest.raises(TypeError):
            cls(*args)
    with pytest.raises(TypeError):
        type("Derived", (cls,), {})
    for method, signature in [("done", "($self)"), ("result", "($self)"), ("add_done_callback", "($self, cb)")]:
        func = getattr(cls, method)
        assert func.__text_signature__ == signature
        assert func.__doc__ is None
    assert not hasattr(cls, "progress")  # the batches' only


@pytest.mark.parametrize("kind", KINDS)
def test_handle_instances(kind):
    h, _ = spawn_ok(kind)
    assert type(h) is getattr(m, CLASS_OF[kind])
    with pytest.raises(AttributeError):
        h.extra = 1
    with pytest.raises(TypeError):
        weakref.ref(h)
    with pytest.raises(TypeError):
        h.done(1)
    with pytest.raises(TypeError):
        h.result(1)
    wait_done(h)


@pytest.mark.parametrize("raised", ["SystemExit(7)", "KeyboardInterrupt()"])
def test_a_callback_raising_base_exceptions_never_ends_the_process(raised):
    proc = run_python(
        f"""
        import threading, time
        import _corvalune_sys as m
        def boom(*args):
            raise {raised}
        ran = threading.Event()
        h = m.spawn_callable(time.sleep, (0.05,))
        h.add_done_callback(boom)
        h.add_done_callback(ran.set)
        assert ran.wait(30)          # on a worker: the next callback still runs
        h.add_done_callback(boom)    # done already: runs here, on the main thread
        print("still running")
        """,
        check=False,
    )
    assert (proc.returncode, proc.stdout) == (0, "still running\n")
    name = raised.split("(")[0]
    assert proc.stderr.count("Exception ignored in corvalune done callback") == 2
    assert proc.stderr.count(name) == 2


def test_a_callback_failing_inside_with_a_missing_argument_runs_once():
    calls = []

    def helper(required):
        pass

    def cb(*args):
        calls.append(args)
        helper()  # TypeError: missing 1 required positional argument

    seen = []
    hook, sys.unraisablehook = sys.unraisablehook, seen.append
    try:
        h = m.spawn_callable(int)
        wait_done(h)
        h.add_done_callback(cb)
    finally:
        sys.unraisablehook = hook
    assert calls == [()]
    assert [type(u.exc_value) for u in seen] == [TypeError]


def test_callback_added_during_finalization_runs_on_the_attached_thread():
    proc = run_python(
        """
        import os
        import _corvalune_sys as m
        h = m.spawn_callable(int)
        while not h.done():
            pass
        class AddsOnCollection:
            def __del__(self):
                h.add_done_callback(lambda: os.write(1, b"ran"))
        keep = AddsOnCollection()  # collected while the interpreter finalizes
        """
    )
    assert (proc.stdout, proc.stderr) == ("ran", "")

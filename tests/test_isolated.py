"""Isolated calls: spawn_isolated, batch_spawn_isolated and InterpreterExecutor
run Python calls in the workers' own sub-interpreters, by value."""

import asyncio
import os
import pickle
import threading

import pytest

import _corvalune_sys as m
import corvalune
import isolated_calls as calls
from conftest import PoolGate, run_python, wait_result

HERE = os.path.dirname(os.path.abspath(__file__))
BIG = 100_000  # past the out-of-band threshold


def test_each_thread_keeps_one_sub_interpreter():
    wait_result(m.spawn_callable(int))
    seen = wait_result(m.batch_spawn_isolated(calls.interpreter, [()] * 400))
    by_thread = {}
    for interp, thread in seen:
        by_thread.setdefault(thread, set()).add(interp)
    assert all(interp != 0 for interp, _ in seen)  # never the main interpreter
    assert all(len(interps) == 1 for interps in by_thread.values())
    # Later jobs on a thread find the same interpreter.
    again = {t: i for i, t in (wait_result(m.spawn_isolated(calls.interpreter)) for _ in range(50))}
    assert all(by_thread.get(t, {i}) == {i} for t, i in again.items())


def test_a_registered_thread_runs_isolated_jobs_in_a_sub_interpreter_of_its_own():
    seen = []

    def body():
        with m.register_worker() as worker:
            for _ in range(2):
                handle = m.spawn_isolated(calls.interpreter)
                while not handle.done():
                    worker.run_one()
                seen.append(handle.result())

    with PoolGate():  # every pool worker is busy: this thread runs its own jobs
        thread = threading.Thread(target=body)
        thread.start()
        thread.join(30)
    assert len(seen) == 2 and seen[0] == seen[1] and seen[0][0] != 0
    assert seen[0][1] == thread.ident


@pytest.mark.parametrize("args, kwargs", [
    ((1, "two", [3.0], {"four": (4,)}), {"k": None}),
    ((b"x" * BIG, bytearray(b"y" * BIG), memoryview(b"z" * BIG)), None),
    (([memoryview(b"nested")],), {"big": b"q" * BIG}),
])
def test_arguments_and_results_cross_by_value(args, kwargs):
    def plain(value):
        if isinstance(value, (list, tuple)):
            return [(type(v), plain(v)) for v in value]
        return bytes(value) if isinstance(value, memoryview) else value

    got_args, got_kwargs = wait_result(m.spawn_isolated(calls.echo, args, kwargs))
    assert plain(got_args) == plain(args)
    assert got_kwargs == (kwargs or {})


@pytest.mark.parametrize("func, args, expected", [
    (abs, (-3,), 3),
    (calls.triple, (5,), 15),
    (calls.Scale(2).apply, (4,), 8),
    (str.upper, ("a",), "A"),
])
def test_functions_cross_by_reference(func, args, expected):
    assert wait_result(m.spawn_isolated(func, args)) == expected


def test_exception_keeps_its_type_message_and_remote_traceback():
    with pytest.raises(ValueError, match="^odd$") as info:
        wait_result(m.spawn_isolated(calls.fail, ("odd",)))
    cause = info.value.__cause__
    assert isinstance(cause, corvalune._crossing.RemoteTraceback)
    assert "in fail" in str(cause) and "ValueError: odd" in str(cause)


def test_unpicklable_exception_arrives_as_a_stand_in():
    with pytest.raises(corvalune.IsolatedCallError) as info:
        wait_result(m.spawn_isolated(calls.fail_unpicklable))
    exc = info.value
    assert exc.type_name == "isolated_calls.Unpicklable"
    assert exc.message == "kept message"
    assert "in fail_unpicklable" in exc.traceback_text
    assert str(exc) == "isolated_calls.Unpicklable: kept message"


@pytest.mark.parametrize("kind", ["SystemExit", "KeyboardInterrupt"])
def test_base_exceptions_are_the_calls_failure(kind):
    with pytest.raises(BaseException) as info:
        wait_result(m.spawn_isolated(calls.raise_base, (kind,)))
    assert type(info.value).__name__ == kind
    # The worker and its interpreter carry on.
    assert wait_result(m.batch_spawn_isolated(calls.square, [(i,) for i in range(20)])) == [i * i for i in range(20)]


def test_the_module_stays_refused_inside():
    with pytest.raises(ImportError, match="does not support loading in subinterpreters"):
        wait_result(m.spawn_isolated(calls.import_module))


def defined_here():
    pass


defined_here.__module__ = "__main__"


@pytest.mark.parametrize("call, message", [
    (lambda: m.spawn_isolated(calls.echo, (1, threading.Lock())), r"argument 1 cannot be sent.*_thread.lock"),
    (lambda: m.spawn_isolated(calls.echo, None, {"lock": threading.Lock()}), r"keyword argument 'lock' cannot"),
    (lambda: m.spawn_isolated(defined_here), r"defined in the main script.*move it to a module"),
    (lambda: m.spawn_isolated(lambda: 1), r"the function cannot be sent"),
    (lambda: m.batch_spawn_isolated(calls.echo, [(i,) for i in range(99)] + [(threading.Lock(),)]),
     r"item 99 cannot be sent"),
    (lambda: m.batch_spawn_isolated(defined_here, []), r"defined in the main script"),
])
def test_what_cannot_cross_raises_at_submission(call, message):
    with pytest.raises(TypeError, match=message):
        call()


def test_batch_results_in_order_and_outcome_pairs():
    items = [(i,) for i in range(1000)]
    assert wait_result(m.batch_spawn_isolated(calls.square, items)) == [i * i for i in range(1000)]
    pairs = wait_result(m.batch_spawn_isolated(calls.fail, [("a",), ("b",)], None, True))
    assert [(ok, str(e)) for ok, e in pairs] == [(False, "a"), (False, "b")]
    with pytest.raises(ValueError, match="^a$"):
        wait_result(m.batch_spawn_isolated(calls.fail, [("a",), ("b",)]))
    assert wait_result(m.batch_spawn_isolated(calls.square, [])) == []


def test_handles_behave_like_every_other_handle():
    done = threading.Event()
    handle = m.spawn_isolated(calls.square, (7,))
    handle.add_done_callback(done.set)
    assert done.wait(30) and handle.result() == 49
    assert corvalune.wait([m.spawn_isolated(calls.square, (2,))], timeout=30).not_done == set()

    async def main():
        return await m.spawn_isolated(calls.square, (3,)), await m.batch_spawn_isolated(calls.square, [(4,)])

    assert asyncio.run(main()) == (9, [16])


def test_executor_submit_map_and_initializer():
    with corvalune.InterpreterExecutor(initializer=calls.initialize, initargs=("ready",)) as ex:
        assert ex.submit(calls.square, 6).result(30) == 36
        assert list(ex.map(calls.square, range(5000))) == [i * i for i in range(5000)]
        # Once per sub-interpreter, before its first call of this executor.
        assert all(seen.count("ready") == 1 for seen in (ex.submit(calls.initialized).result(30) for _ in range(20)))
        results = ex.map(calls.fail, ["x", "y"])
        with pytest.raises(ValueError, match="^x$"):
            next(results)
        with pytest.raises(TypeError, match="argument 0 cannot be sent"):
            ex.submit(calls.echo, threading.Lock())
    with pytest.raises(RuntimeError, match="cannot schedule new futures after shutdown"):
        ex.submit(calls.square, 1)


def test_every_future_is_settled_once_whoever_waits_for_it():
    # Calls end before, around and after the moment a waiting result() stops
    # polling for them (50 us), so the worker settles some and hands others
    # to the caller; some futures have a second waiter or are cancelled.
    durations = [0, 0, 20e-6, 45e-6, 60e-6, 200e-6]
    errors = []

    def caller(k):
        try:
            for i in range(300):
                value = ValueError(f"{k}-{i}") if i % 7 == 0 else (k, i)
                future = ex.submit(calls.busy_then, durations[i % len(durations)], value)
                if i % 11 == 0 and future.cancel():
                    continue
                if i % 5 == 0:
                    other = threading.Thread(target=future.exception, args=(30,))
                    other.start()
                try:
                    got = future.result(30)
                except ValueError as exc:
                    got = exc
                if i % 5 == 0:
                    other.join(30)
                assert (str(got) == str(value)) if isinstance(value, ValueError) else got == value, (got, value)
        except BaseException as exc:
            errors.append(exc)

    with corvalune.InterpreterExecutor() as ex:
        threads = [threading.Thread(target=caller, args=(k,)) for k in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(120)
        assert not errors and not any(t.is_alive() for t in threads), errors
    assert not ex._pending


def test_map_raises_at_the_failing_item():
    with corvalune.InterpreterExecutor() as ex:
        with pytest.raises(TypeError, match="item 2 cannot be sent"):
            ex.map(calls.echo, [1, 2, threading])  # a module cannot be pickled
        results = ex.map(pickle.loads, [pickle.dumps(1), b"junk", pickle.dumps(3)])
        assert next(results) == 1
        with pytest.raises(pickle.UnpicklingError):
            next(results)


@pytest.mark.parametrize("workers", [1, 2])
def test_a_call_that_never_returns_holds_one_worker_and_exit_ends_it(workers):
    # With one worker, the spinning call holds the whole pool: though it is
    # at work on the CPU, an extra worker takes the queued calls.
    run_python(f"""
        import sys
        sys.path.insert(0, {HERE!r})
        import time, corvalune, isolated_calls as calls
        corvalune.configure({workers})
        spinning = corvalune.spawn_isolated(calls.spin)
        time.sleep(0.2)
        with corvalune.InterpreterExecutor() as ex:
            assert list(ex.map(calls.square, range(100))) == [i * i for i in range(100)]
        assert not spinning.done()
    """, timeout=60)


def test_exit_ends_every_sub_interpreter_quietly():
    proc = run_python(f"""
        import sys
        sys.path.insert(0, {HERE!r})
        import corvalune, isolated_calls as calls
        corvalune.configure(3)
        with corvalune.InterpreterExecutor() as ex:
            list(ex.map(calls.square, range(3000)))
        queued = [corvalune.spawn_isolated(calls.square, (i,)) for i in range(200)]
    """, timeout=60)
    assert proc.stderr == ""

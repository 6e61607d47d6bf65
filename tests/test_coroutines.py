"""Coroutines driven natively on the pool: run_level1, detached coroutine tasks
(spawn_coroutine), CancellationToken and corvalune.run.

run_level1 is mostly called through `level1()`, on a helper thread, so that a
lost wake-up fails the test instead of hanging it.
"""

import asyncio
import collections
import concurrent.futures
import contextvars
import inspect
import sys
import textwrap
import threading
import time
import types
import weakref

import pytest

import _corvalune_sys as m
import corvalune
from conftest import DEADLINE, PoolGate, eventually, quiesce, run_python, wait_result

PAD = " " * 29


def cannot_drive(type_name):
    return (
        f"corvalune Level 1 executor cannot drive an awaitable of type '{type_name}': "
        "only objects exposing add_done_callback() \n"
        f"{PAD}(e.g. asyncio.Future) are supported. Use corvalune.run(coro) or \n"
        f"{PAD}corvalune.run(coro, level1=False) for full asyncio support."
    )


class Token:
    pass


class Failure(Exception):
    pass


class Future(concurrent.futures.Future):
    """A thread-safe future that tells when a waiter has registered on it."""

    def __init__(self):
        super().__init__()
        self.registered = threading.Event()

    def add_done_callback(self, fn):
        super().add_done_callback(fn)
        self.registered.set()


class Wait:
    """Awaits a future by yielding the future itself to the executor."""

    def __init__(self, fut):
        self.fut = fut

    def __await__(self):
        return (yield self.fut)


class Manual:
    """Keeps the callbacks it is given ("keep"), forgets them ("drop") or
    refuses them ("refuse"); the test wakes the waiter by hand."""

    def __init__(self, value=None, mode="keep"):
        self.value, self.mode, self.callbacks = value, mode, []
        self.registered = threading.Event()

    def add_done_callback(self, cb):
        if self.mode == "refuse":
            raise Failure("no callbacks here")
        if self.mode == "keep":
            self.callbacks.append(cb)
        self.registered.set()

    def exception(self):
        return None

    def result(self):
        return self.value

    def __await__(self):
        return (yield self)


class BrokenLookup:
    @property
    def add_done_callback(self):
        raise Failure("lookup fails")

    def __await__(self):
        return (yield self)


@types.coroutine
def yield_value(value):
    return (yield value)


async def returning(value):
    return value


async def raising(exc):
    raise exc


class Outcomes:
    """A done_callback recording its calls."""

    def __init__(self):
        self.calls, self.threads, self.called = [], [], threading.Event()

    def __call__(self, result, exception):
        self.calls.append((result, exception))
        self.threads.append(threading.get_ident())
        self.called.set()

    def wait(self):
        assert self.called.wait(DEADLINE), "done_callback was never called"
        quiesce()  # a second report would have been made by now
        [outcome] = self.calls
        return outcome

    def wait_cancelled(self):
        result, exc = self.wait()
        assert result is None and type(exc) is m.TaskCancelled and exc.args == ("cancelled",)


def level1(coro):
    box = {}

    def target():
        try:
            box["value"] = m.run_level1(coro)
        except BaseException as e:
            box["error"] = e

    t = threading.Thread(target=target, daemon=True)
    t.start()
    t.join(DEADLINE)
    assert not t.is_alive(), f"run_level1 did not return within {DEADLINE} s"
    if "error" in box:
        raise box.pop("error")
    return box["value"]


# --- run_level1 -------------------------------------------------------------


def test_returns_the_coroutine_value():
    obj = Token()
    assert m.run_level1(returning(obj)) is obj
    assert m.run_level1(main_coro=returning(5)) == 5
    assert level1(returning(None)) is None


@pytest.mark.parametrize("exc", [ValueError("boom"), KeyboardInterrupt(), m.TaskCancelled("mine")],
                         ids=lambda e: type(e).__name__)
def test_raises_the_very_exception_object_with_its_traceback(exc):
    with pytest.raises(type(exc)) as info:
        level1(raising(exc))
    assert info.value is exc
    tb, names = exc.__traceback__, []
    while tb:
        names.append(tb.tb_frame.f_code.co_name)
        tb = tb.tb_next
    assert "raising" in names


def test_an_object_without_send_raises_attribute_error():
    with pytest.raises(AttributeError):
        level1(42)


class OddStop(StopIteration):
    @property
    def value(self):
        raise Failure("no value here")


@pytest.mark.parametrize("stop, expected", [(StopIteration(7), 7), (OddStop("x"), None)])
def test_stop_iteration_out_of_send(stop, expected):
    class HandMade:
        def send(self, v):
            raise stop

        def throw(self, e):
            raise e

    assert level1(HandMade()) == expected


def test_yielding_none_lets_the_coroutine_continue():
    async def main():
        steps = []
        for i in range(5):
            await asyncio.sleep(0)
            steps.append(i)
        return steps

    assert level1(main()) == [0, 1, 2, 3, 4]


def test_awaits_the_module_task_handles():
    err, gate = Failure("from a callable task"), threading.Event()
    threading.Timer(0.05, gate.set).start()

    def fail():
        raise err

    async def main():
        pending = await m.spawn_callable(gate.wait, (DEADLINE,))  # most likely still running
        square = await m.spawn_callable(pow, (3, 4))
        digest = await m.spawn_native_pipeline(b"abc", 7)
        try:
            await m.spawn_callable(fail)
        except Failure as e:
            return pending, square, digest, e

    assert level1(main()) == (True, 81, m.native_pipeline_transform(b"abc", 7), err)


@pytest.mark.parametrize("when", ["already_done", "completed_later"])
@pytest.mark.parametrize("outcome", ["result", "exception"])
def test_awaits_a_future_completed_by_another_thread(when, outcome):
    fut, payload, err = Future(), Token(), Failure("from the future")

    def complete():
        if when == "completed_later":
            assert fut.registered.wait(DEADLINE)
        fut.set_result(payload) if outcome == "result" else fut.set_exception(err)

    async def main():
        try:
            return "sent", await Wait(fut)
        except Failure as e:
            return "thrown", e

    completer = threading.Thread(target=complete)
    completer.start()
    if when == "already_done":  # add_done_callback then calls back at once, mid-step
        completer.join()
    assert level1(main()) == (("sent", payload) if outcome == "result" else ("thrown", err))
    completer.join(DEADLINE)


class LyingFuture(Future):
    """Says it holds no exception, and then fails to give its result."""

    def exception(self, timeout=None):
        return None

    def result(self, timeout=None):
        raise Failure("no result after all")


@pytest.mark.parametrize(
    "make, finish, expected",
    [(Future, Future.cancel, concurrent.futures.CancelledError),
     (LyingFuture, lambda f: f.set_result(1), Failure)],
    ids=["cancelled", "result_raises"],
)
def test_a_failed_awaitable_throws_into_the_coroutine(make, finish, expected):
    fut = make()

    def complete():
        assert fut.registered.wait(DEADLINE)
        finish(fut)

    async def main():
        try:
            await Wait(fut)
        except expected as exc:
            return "caught", type(exc)
        return "resumed as if it had succeeded"

    threading.Timer(0.01, complete).start()
    assert level1(main()) == ("caught", expected)


@pytest.mark.parametrize(
    "yielded, type_name",
    [(42, "int"), (Manual(mode="refuse"), "Manual"), (BrokenLookup(), "BrokenLookup")],
    ids=["int", "add_done_callback_raises", "lookup_raises"],
)
def test_an_awaitable_that_cannot_be_driven(yielded, type_name):
    async def main():
        await yield_value(yielded)
        return "went on"

    with pytest.raises(TypeError) as info:
        level1(main())
    assert type(info.value) is TypeError and info.value.args == (cannot_drive(type_name),)

    out = Outcomes()
    m.spawn_coroutine(main(), out)
    result, exc = out.wait()
    assert result is None and type(exc) is TypeError and str(exc) == cannot_drive(type_name)


def test_a_resume_callback_called_twice_or_late_reports_once():
    aw, out = Manual("first"), Outcomes()

    async def body():
        return await aw

    m.spawn_coroutine(body(), out)
    assert aw.registered.wait(DEADLINE)
    [cb] = aw.callbacks
    assert cb(aw) == ()
    assert cb(aw, "extra", key="ignored") == ()
    assert out.wait() == ("first", None)
    aw.value = "late"
    assert cb(aw) == () and cb() == ()
    quiesce()
    assert out.calls == [("first", None)]


def test_an_awaitable_dropping_its_callback_disconnects_run_level1():
    # A quiet process: nothing else goes through the module meanwhile. The
    # expected answer takes milliseconds; 15 s keeps a hang from costing 30.
    proc = run_python(
        """
        import faulthandler
        import _corvalune_sys as m
        faulthandler.dump_traceback_later(15, exit=True)

        class Dropper:
            def add_done_callback(self, cb):
                pass
            def __await__(self):
                return (yield self)

        async def main():
            await Dropper()

        try:
            m.run_level1(main())
        except RuntimeError as e:
            print(type(e).__name__, e, sep="|")
        """
    )
    assert proc.stdout == "RuntimeError|coroutine channel disconnected before completion\n"


def test_sigint_interrupts_a_wait_that_would_never_end():
    proc = run_python(
        """
        import faulthandler, os, signal, threading, time
        import _corvalune_sys as m
        faulthandler.dump_traceback_later(30, exit=True)
        signal.signal(signal.SIGINT, signal.default_int_handler)  # even if started ignoring it
        callbacks, registered, finished, sent = [], threading.Event(), threading.Event(), []

        class Never:
            def add_done_callback(self, cb):
                callbacks.append(cb)
                registered.set()
            def exception(self):
                return None
            def result(self):
                return "late"
            def __await__(self):
                return (yield self)

        async def main():
            await Never()
            finished.set()

        def interrupt():
            assert registered.wait(30)
            sent.append(time.monotonic())
            os.kill(os.getpid(), signal.SIGINT)

        threading.Timer(0.05, interrupt).start()
        try:
            m.run_level1(main())
        except KeyboardInterrupt:
            print(time.monotonic() - sent[0])
        # The coroutine stays suspended, and goes on detached when woken.
        assert not finished.is_set()
        callbacks[0]()
        assert finished.wait(30)
        print("OK")
        """
    )
    delay, ok = proc.stdout.split()
    assert ok == "OK" and float(delay) < 2.0
    assert proc.stderr == ""


ONE_WORKER = """
import asyncio, faulthandler, threading, time
import _corvalune_sys as m
faulthandler.dump_traceback_later(30, exit=True)
assert m.configure(1) == 1

async def plain():
    return "plain"

async def awaits_a_handle():
    await asyncio.sleep(0)
    return await m.spawn_callable(pow, (2, 10))

def wait(h):
    end = time.monotonic() + 30
    while not h.done():
        assert time.monotonic() < end, "the task never completed"
        time.sleep(0.001)
    return h.result()
"""


@pytest.mark.parametrize(
    "body",
    [
        """
        print(wait(m.spawn_callable(lambda: m.run_level1(plain()))))
        print(wait(m.spawn_callable(lambda: m.run_level1(awaits_a_handle()))))
        """,
        """
        gate, running = threading.Event(), threading.Event()
        blocker = m.spawn_callable(lambda: (running.set(), gate.wait(30)))
        assert running.wait(30)
        with m.register_worker():
            print(m.run_level1(plain()))
            print(m.run_level1(awaits_a_handle()))
        gate.set()
        wait(blocker)
        """,
    ],
    ids=["in_the_only_pool_worker", "on_a_registered_thread_while_the_only_worker_is_busy"],
)
def test_run_level1_on_a_thread_with_its_own_queue(body):
    proc = run_python(ONE_WORKER + textwrap.dedent(body))
    assert proc.stdout.splitlines() == ["plain", "1024"]


@pytest.mark.parametrize("use_level1", [False, True], ids=["asyncio", "level1"])
def test_package_run(use_level1):
    async def main():
        try:
            asyncio.get_running_loop()
            in_loop = True
        except RuntimeError:
            in_loop = False
        return in_loop, await m.spawn_callable(pow, (2, 5))

    got = corvalune.run(main(), level1=True) if use_level1 else corvalune.run(main())
    assert got == (not use_level1, 32)


# --- spawn_coroutine ----------------------------------------------------------


def test_spawn_returns_none_at_once_and_runs_on_the_pool():
    ran, threads = threading.Event(), []

    async def body():
        threads.append(threading.get_ident())
        ran.set()

    with PoolGate():
        assert m.spawn_coroutine(body()) is None
        assert not ran.is_set()
    assert ran.wait(DEADLINE)
    assert threads[0] != threading.get_ident()


def test_done_callback_receives_the_outcome():
    err, first, second = KeyError("missing"), Outcomes(), Outcomes()
    m.spawn_coroutine(returning(5), first)
    m.spawn_coroutine(coro=raising(err), done_callback=second)
    assert first.wait() == (5, None)
    result, exc = second.wait()
    assert result is None and exc is err
    assert threading.get_ident() not in first.threads + second.threads


@pytest.mark.parametrize(
    "spawn",
    [
        lambda c: m.spawn_coroutine(c),
        lambda c: m.spawn_coroutine(c, None, None),
        lambda c: m.spawn_coroutine(c, done_callback=None, cancellation_token=None),
    ],
)
def test_without_a_callback_the_coroutine_still_runs(spawn):
    ran = threading.Event()

    async def body():
        await asyncio.sleep(0)
        ran.set()

    assert spawn(body()) is None
    assert ran.wait(DEADLINE)


def test_failing_done_callbacks_are_reported_and_the_others_still_run():
    proc = run_python(
        """
        import sys, threading
        import _corvalune_sys as m
        m._set_extra_worker_limit(0)  # one worker: the callbacks run in order
        m.configure(1)
        reported = []
        sys.unraisablehook = lambda u: reported.append(type(u.exc_value).__name__)
        ran, done = [], threading.Event()

        async def body(i):
            ran.append(i)
            return i

        def raising(result, exc):
            raise ValueError("from the callback")

        def exiting(result, exc):
            raise SystemExit(3)

        for i, cb in enumerate([42, raising, exiting, lambda: None]):
            m.spawn_coroutine(body(i), cb)
        m.spawn_coroutine(body(4), lambda r, e: done.set())
        assert done.wait(30)
        print(sorted(ran), reported)
        """
    )
    # Even SystemExit only reaches the unraisable hook: the process goes on.
    assert proc.stdout == "[0, 1, 2, 3, 4] ['TypeError', 'ValueError', 'SystemExit', 'TypeError']\n"
    assert proc.stderr == ""


@pytest.mark.parametrize("bad, type_name", [(object(), "object"), (m.CancellationToken, "type")])
def test_a_token_of_another_type_spawns_nothing(bad, type_name):
    started = threading.Event()

    async def body():
        started.set()

    coro, out = body(), Outcomes()
    counts = sys.getrefcount(coro), sys.getrefcount(out)
    with pytest.raises(TypeError) as info:
        m.spawn_coroutine(coro, out, cancellation_token=bad)
    assert str(info.value) == f"'{type_name}' object is not an instance of 'CancellationToken'"
    assert info.value.__notes__ == ["while processing 'cancellation_token'"]
    quiesce()
    assert not started.is_set() and out.calls == []
    assert inspect.getcoroutinestate(coro) == inspect.CORO_CREATED
    assert (sys.getrefcount(coro), sys.getrefcount(out)) == counts
    coro.close()


def _spawn_and_forget(case, sink):
    """Spawns one coroutine; returns weak references to what its task holds."""
    payload, token, fut, manual = Token(), m.CancellationToken(), Future(), Manual()
    awaited = {"dropped": Manual(mode="drop"), "resumed": manual, "resumed_by_concurrent_future": Wait(fut)}.get(case)

    async def body():
        if case == "exception":
            raise Failure(payload)
        if case == "cannot_drive":
            await yield_value(42)
        if awaited is not None:
            await awaited
        return payload

    class Recorder:
        def __call__(self, result, exc):
            sink.append((type(result).__name__, type(exc).__name__))

    coro, callback = body(), Recorder()
    refs = [weakref.ref(x) for x in (payload, token, fut, manual, coro, callback, awaited or Token())]
    if case == "cancelled":
        token.cancel()
    m.spawn_coroutine(coro, callback, token)
    if case == "resumed":  # like an asyncio future: callbacks are let go once called
        assert manual.registered.wait(DEADLINE)
        cb = manual.callbacks.pop()
        threading.Thread(target=cb, args=(manual,)).start()
    elif case == "resumed_by_concurrent_future":  # keeps its callbacks after calling them
        assert fut.registered.wait(DEADLINE)
        fut.set_result(None)
    return refs


@pytest.mark.parametrize(
    "case, reported",
    [
        ("value", [("Token", "NoneType")]),
        ("resumed", [("Token", "NoneType")]),
        ("resumed_by_concurrent_future", [("Token", "NoneType")]),
        ("exception", [("NoneType", "Failure")]),
        ("cannot_drive", [("NoneType", "TypeError")]),
        ("cancelled", [("NoneType", "TaskCancelled")]),
        ("dropped", []),  # the callback is released without being called
    ],
)
def test_no_reference_outlives_the_task(case, reported):
    sink = []
    refs = _spawn_and_forget(case, sink)
    try:
        eventually(lambda: all(r() is None for r in refs), "")
    except AssertionError:
        raise AssertionError(f"kept alive: {[r() for r in refs if r() is not None]}; reported: {sink}") from None
    quiesce()
    assert sink == reported


# --- cancellation -------------------------------------------------------------


def test_a_token_cancelled_before_spawning_stops_the_body_from_running():
    token, ran, out = m.CancellationToken(), threading.Event(), Outcomes()

    async def body():
        ran.set()

    token.cancel()
    m.spawn_coroutine(body(), out, token)
    out.wait_cancelled()
    assert not ran.is_set()


def test_one_token_stops_every_coroutine_given_it():
    token, futs, outs = m.CancellationToken(), [Future() for _ in range(3)], [Outcomes() for _ in range(3)]
    seen, thrown = [], []

    async def body(fut):
        try:
            seen.append(await Wait(fut))
        except BaseException as e:
            thrown.append(e)
            raise

    for fut, out in zip(futs, outs):
        m.spawn_coroutine(body(fut), out, cancellation_token=token)
    for fut in futs:
        assert fut.registered.wait(DEADLINE)
    token.cancel()
    completers = [threading.Thread(target=fut.set_result, args=(i,)) for i, fut in enumerate(futs)]
    for t in completers:
        t.start()
    for out in outs:
        out.wait_cancelled()
    assert seen == []
    assert [(type(e), e.args) for e in thrown] == [(m.TaskCancelled, ("coroutine cancelled cooperatively",))] * 3
    assert len({id(e) for e in thrown + [out.calls[0][1] for out in outs]}) == 6  # all fresh


@pytest.mark.parametrize("answer", ["return", "await_another", "yield_none", "raise", "let_through"])
def test_what_the_coroutine_does_about_cancellation_is_discarded(answer):
    token, fut, other, out = m.CancellationToken(), Future(), Manual(), Outcomes()
    cleaned, went_on = threading.Event(), threading.Event()

    async def body():
        try:
            try:
                await Wait(fut)
            except m.TaskCancelled:
                if answer == "return":
                    return "swallowed"
                if answer == "await_another":
                    await other
                elif answer == "yield_none":
                    await asyncio.sleep(0)
                elif answer == "raise":
                    raise Failure("instead")
                else:
                    raise
                went_on.set()
        finally:
            cleaned.set()

    m.spawn_coroutine(body(), out, token)
    assert fut.registered.wait(DEADLINE)
    token.cancel()
    fut.set_result("value")
    out.wait_cancelled()
    eventually(cleaned.is_set, "the finally block never ran")
    assert not other.registered.is_set() and not went_on.is_set()


def test_cancelling_its_own_token_mid_step_is_an_ordinary_exception():
    token, out, raised = m.CancellationToken(), Outcomes(), []

    async def body():
        await asyncio.sleep(0)
        token.cancel()
        try:
            token.throw_if_cancelled()
        except m.TaskCancelled as e:
            raised.append(e)
            raise

    m.spawn_coroutine(body(), out, token)
    result, exc = out.wait()
    assert result is None and exc is raised[0] and exc.args == ("operation was cancelled",)


def test_token_states():
    token = m.CancellationToken()
    assert token.is_cancelled() is False
    assert token.throw_if_cancelled() is None
    assert token.cancel() is None
    assert token.cancel() is None
    assert token.is_cancelled() is True
    with pytest.raises(m.TaskCancelled) as info:
        token.throw_if_cancelled()
    assert type(info.value) is m.TaskCancelled and info.value.args == ("operation was cancelled",)
    assert m.CancellationToken().is_cancelled() is False


def test_token_class_surface():
    T = m.CancellationToken
    assert (T.__doc__, T.__text_signature__) == ("", "()")
    for name, doc in [
        ("cancel", "Trigger cancellation across all threads watching this token."),
        ("is_cancelled", "Check whether cancellation was requested."),
        ("throw_if_cancelled", "Raise `TaskCancelled` if this token has been cancelled."),
    ]:
        assert (getattr(T, name).__text_signature__, getattr(T, name).__doc__) == ("($self)", doc)
    for args, kwargs, message in [
        ((1,), {}, "CancellationToken() takes 0 positional arguments but 1 was given"),
        ((), {"cancelled": True}, "CancellationToken() got an unexpected keyword argument 'cancelled'"),
    ]:
        with pytest.raises(TypeError) as info:
            T(*args, **kwargs)
        assert str(info.value) == message
    token = T()
    ref = weakref.ref(token)
    assert ref() is token
    del token
    assert ref() is None


# --- many at once ---------------------------------------------------------------


def test_many_coroutines_from_several_threads_report_exactly_once():
    threads_n, per_thread = 4, 500
    total = threads_n * per_thread
    reports, lock, all_in = [], threading.Lock(), threading.Event()
    barrier = threading.Barrier(threads_n)

    def done(result, exc):
        with lock:
            reports.append((result, exc))
            if len(reports) == total:
                all_in.set()

    async def body(t, i):
        return t, i, await m.spawn_callable(pow, (i, 2))

    def spawn(t):
        barrier.wait()
        for i in range(per_thread):
            m.spawn_coroutine(body(t, i), done)

    spawners = [threading.Thread(target=spawn, args=(t,)) for t in range(threads_n)]
    for s in spawners:
        s.start()
    assert all_in.wait(DEADLINE), f"{len(reports)} of {total} reports"
    quiesce()
    assert collections.Counter(reports) == {((t, i, i * i), None): 1 for t in range(threads_n) for i in range(per_thread)}


def test_a_coroutine_polling_a_pending_handle_lets_other_threads_run():
    """A coroutine awaiting a pending handle yields None at every step and is
    stepped again at once; the worker must still let go of the interpreter
    between steps, or the awaited callable (and every other thread) starves."""
    proc = run_python(
        """
        import faulthandler, threading, time
        faulthandler.dump_traceback_later(60, exit=True)
        import _corvalune_sys as m
        m.configure(2)

        async def waiter(seconds):
            return await m.spawn_callable(time.sleep, (seconds,))

        done = threading.Event()
        m.spawn_coroutine(waiter(0.05), lambda result, exc: done.set())
        ticks = 0
        deadline = time.monotonic() + 30
        while not done.is_set() and time.monotonic() < deadline:
            ticks += 1
            time.sleep(0.001)
        print(done.is_set(), m.run_level1(waiter(0.02)), ticks > 0)
        """,
        timeout=90,
    )
    assert proc.stdout.split() == ["True", "None", "True"], proc.stderr


VAR = contextvars.ContextVar("VAR", default="unset")


@pytest.mark.parametrize("spawn", ["run_level1", "spawn_coroutine"])
def test_each_coroutine_runs_in_a_context_of_its_own(spawn):
    # Copied from the spawner's at spawn, kept across steps on any thread,
    # and seen by no other work.
    async def body(tag):
        seen = [VAR.get()]
        VAR.set(tag)
        for _ in range(3):
            await m.spawn_callable(time.sleep, (0.005,))
            seen.append(VAR.get())
        return seen

    def spawned(tag):
        VAR.set("spawner")
        if spawn == "run_level1":
            return m.run_level1(body(tag))
        out = concurrent.futures.Future()
        m.spawn_coroutine(body(tag), lambda result, exc: out.set_result(result))
        return out.result(DEADLINE)

    with concurrent.futures.ThreadPoolExecutor(4) as spawners:
        assert list(spawners.map(spawned, "abcd")) == [["spawner", t, t, t] for t in "abcd"]
    barrier = threading.Barrier(m.worker_count())  # one call on every worker
    calls = [m.spawn_callable(lambda: (barrier.wait(DEADLINE), VAR.get())[1]) for _ in range(barrier.parties)]
    assert [wait_result(c) for c in calls] == ["unset"] * barrier.parties


@pytest.mark.parametrize("spawn", ["run_level1", "spawn_coroutine"])
def test_a_coroutine_waiting_on_a_pending_handle_costs_no_cpu(spawn):
    proc = run_python(
        f"""
        import os, threading, time
        import _corvalune_sys as m
        m.configure(2)
        def pool_cpu_seconds():
            total = 0
            for tid in os.listdir("/proc/self/task"):
                with open(f"/proc/self/task/{{tid}}/stat") as f:
                    stat = f.read()
                if "(corvalune-worke)" in stat:
                    fields = stat[stat.rindex(")") + 2:].split()
                    total += int(fields[11]) + int(fields[12])
            return total / os.sysconf("SC_CLK_TCK")
        async def main():
            return await m.spawn_callable(time.sleep, (1.0,))
        before, t0 = pool_cpu_seconds(), time.monotonic()
        if "{spawn}" == "run_level1":
            m.run_level1(main())
        else:
            done = threading.Event()
            m.spawn_coroutine(main(), lambda result, exc: done.set())
            done.wait(30)
        share = (pool_cpu_seconds() - before) / (time.monotonic() - t0)
        print(share < 0.1, round(share, 3))
        """
    )
    assert proc.stdout.split()[0] == "True", proc.stdout


def test_deeply_nested_run_level1_returns_or_raises_recursion_error():
    # Each level blocks a thread in run_level1 from inside a step, so the C
    # stacks of the pool threads run out: the result, or RecursionError.
    proc = run_python(
        """
        import sys
        import _corvalune_sys as m
        sys.setrecursionlimit(10**6)
        async def nested(n):
            return m.run_level1(nested(n - 1)) + 1 if n else 0
        for depth in (100, 20000):
            try:
                print(m.run_level1(nested(depth)) == depth)
            except RecursionError:
                print("RecursionError")
        """,
        timeout=120,
    )
    assert proc.stdout.splitlines()[0] == "True"
    assert proc.stdout.splitlines()[1] in ("True", "RecursionError")


def test_an_awaitable_that_calls_back_at_once_and_runs_level1_inside():
    proc = run_python(
        """
        import _corvalune_sys as m
        m.configure(1)
        async def inner():
            return "inner"
        class Eager:
            def add_done_callback(self, cb):
                cb(self)  # queues the waiting task while its step still runs
                self.nested = m.run_level1(inner())
            def exception(self):
                return None
            def result(self):
                return "resumed"
            def __await__(self):
                return (yield self)
        async def main():
            eager = Eager()
            return await eager, eager.nested
        print(m.run_level1(main()))
        """,
        timeout=60,
    )
    assert proc.stdout == "('resumed', 'inner')\n"


def test_a_level1_coroutine_parks_on_a_pending_handle():
    gate = threading.Event()
    h = m.spawn_callable(gate.wait, (DEADLINE,))
    yields = []

    class Counted:
        def __await__(self):
            it = h.__await__()
            while True:
                try:
                    y = next(it)
                except StopIteration as stop:
                    return stop.value
                yields.append(y)
                gate.set()  # the handle finishes once the coroutine has parked on it
                yield y

    async def main():
        return await Counted()

    assert level1(main()) is True
    # Parked once on the handle, instead of yielding None in a busy loop.
    assert yields == [h]


def test_run_level1_inside_a_running_loop_on_a_registered_thread():
    proc = run_python(
        """
        import asyncio
        import _corvalune_sys as m
        async def inner():
            return await m.spawn_callable(lambda: 42)
        async def main():
            with m.register_worker():
                return m.run_level1(inner())
        print(asyncio.run(main()))
        """,
        timeout=60,
    )
    assert proc.stdout == "42\n"


def test_an_interrupt_from_looking_up_add_done_callback_ends_the_coroutine():
    class Interrupting:
        def __getattr__(self, name):
            raise KeyboardInterrupt

        def __await__(self):
            return (yield self)

    async def main():
        await Interrupting()

    with pytest.raises(KeyboardInterrupt):
        level1(main())


def test_a_cycle_through_a_resume_callback_is_collected():
    # The coroutine parks on an object that keeps its callback and is
    # referenced by nothing else: the object and the callback form a cycle
    # that only the collector can free.
    parked, refs = threading.Event(), []

    class Keeper:
        def __init__(self):
            self.callbacks = []
            refs.append(weakref.ref(self))

        def add_done_callback(self, cb):
            self.callbacks.append(cb)
            parked.set()

    class Parks:
        def __await__(self):
            yield Keeper()

    async def body():
        await Parks()

    m.spawn_coroutine(body(), Outcomes())
    assert parked.wait(DEADLINE)
    eventually(lambda: refs[0]() is None, "the keeper and its resume callback were never collected")


@pytest.mark.parametrize("where", ["pool thread", "registered thread"])
def test_run_level1_on_a_worker_sleeps_until_its_result_arrives(where):
    # With nothing it can help with, the waiting thread sleeps: it must not
    # wake to look for work while its result is pending (a pool thread not
    # at all, another thread only for the 50 ms signal check).
    started, release, tids = threading.Event(), threading.Event(), []
    blocker = m.spawn_callable(lambda: (started.set(), release.wait(DEADLINE))[1])
    assert started.wait(DEADLINE)

    async def awaiter():
        return await blocker

    def waiter():
        tids.append(threading.get_native_id())
        return m.run_level1(awaiter())

    def switches():
        with open(f"/proc/self/task/{tids[0]}/status") as f:
            return int(next(line for line in f if line.startswith("voluntary_ctxt_switches")).split()[1])

    if where == "pool thread":
        outer = m.spawn_callable(waiter)
    else:
        def registered():
            with m.register_worker():
                return waiter()

        outer = concurrent.futures.ThreadPoolExecutor(1).submit(registered)
    while not tids:
        time.sleep(0.001)
    time.sleep(0.05)
    before = switches()
    time.sleep(0.5)
    woke = switches() - before
    release.set()
    assert (wait_result(outer) if where == "pool thread" else outer.result(DEADLINE)) is True
    assert woke < 40, woke


def test_run_level1_on_pool_threads_keeps_every_result():
    # A waiting worker that took a job and found its result in the same look
    # used to lose the result ("coroutine channel disconnected"): a binary
    # tree of nested waits, and many flat ones, count every result.
    proc = run_python(
        """
        import _corvalune_sys as m, corvalune

        async def both(h1, h2):
            return (await h1) + (await h2)

        def node(depth):
            if depth == 0:
                return 1
            return m.run_level1(both(m.spawn_callable(node, (depth - 1,)), m.spawn_callable(node, (depth - 1,))))

        async def value(i):
            return i

        for _ in range(3):
            tree = m.spawn_callable(node, (9,))
            flat = [m.spawn_callable(lambda i: m.run_level1(value(i)), (i,)) for i in range(3000)]
            assert corvalune.wait([tree, *flat], timeout=50).not_done == set()
            assert tree.result() == 512
            assert [h.result() for h in flat] == list(range(3000))
        print("OK")
        """,
        env={"CORVALUNE_WORKERS": "6"},
        timeout=120,
    )
    assert proc.stdout == "OK\n", proc.stderr

"""register_worker and RegisteredWorker: kinds, the handle's life cycle, owner
thread checks, and work that really moves to and from a registered thread.

Scenarios that depend on the pool's size run in a fresh interpreter with a
one-worker pool whose only worker is kept busy (HELD_POOL below), so that
whatever the registered thread spawns stays in its own queue until run_one or
run_until_idle runs it, or until deregistration hands it to the pool.
"""

import sys
import textwrap
import threading
import time

import pytest

import _corvalune_sys as m
from conftest import DEADLINE, quiesce, run_python

DEREGISTERED = "worker has already been deregistered"
SENT = "corvalune_sys::PyRegisteredWorker is unsendable, but sent to another thread"
DROPPED = "corvalune_sys::PyRegisteredWorker is unsendable, but is being dropped on another thread"

# One pool worker, blocked in `hold` until `gate` is set (and no extra worker
# started in its place); the main thread is registered as `w` afterwards.
# `me` is the main thread, `pool_ident` the pool worker.
HELD_POOL = """
import sys, threading, time
import _corvalune_sys as m
DEADLINE = 30
# The held worker looks stalled: no extra worker may take the registered
# thread's jobs in its place.
m._set_extra_worker_limit(0)
assert m.configure(1) == 1
gate, running, pool_ident = threading.Event(), threading.Event(), []
def hold():
    pool_ident.append(threading.get_ident())
    running.set()
    gate.wait(DEADLINE)
blocker = m.spawn_callable(hold)
assert running.wait(DEADLINE)
def wait_done(*handles):
    end = time.monotonic() + DEADLINE
    for h in handles:
        while not h.done():
            assert time.monotonic() < end, f"{h!r} never completed"
            time.sleep(0.001)
me = threading.get_ident()
w = m.register_worker()
assert w.worker_id() > m.worker_count()
"""
RELEASE = """
gate.set()
wait_done(blocker)
print("OK")
"""


def run_held(body, **kwargs):
    proc = run_python(HELD_POOL + textwrap.dedent(body) + RELEASE, **kwargs)
    assert proc.stdout.splitlines()[-1:] == ["OK"], proc.stdout
    return proc


@pytest.fixture
def settled():
    """Every pool thread has registered and nothing is left running."""
    quiesce()


def next_id():
    with m.register_worker() as w:
        return w.worker_id()


class LowerLies(str):
    def lower(self):
        return "native"


@pytest.mark.parametrize(
    "args, kwargs",
    [((), {}), (("Bilingual",), {}), (("BILINGUAL",), {}), (("NATIVE",), {}), ((), {"kind": "native"})],
)
def test_accepted_kinds(args, kwargs):
    w = m.register_worker(*args, **kwargs)
    assert type(w) is m.RegisteredWorker
    assert w.deregister() is None


@pytest.mark.parametrize(
    "kind, error, message, notes",
    [
        ("daemon", m.RegistrationError, "invalid worker kind: 'daemon', expected 'bilingual' or 'native'", None),
        ("Daemon", m.RegistrationError, "invalid worker kind: 'daemon', expected 'bilingual' or 'native'", None),
        # Full lower-casing: the dotted capital I becomes "i" plus a combining dot.
        ("NAT\u0130VE", m.RegistrationError, "invalid worker kind: 'nati\u0307ve', expected 'bilingual' or 'native'", None),
        ("", m.RegistrationError, "invalid worker kind: '', expected 'bilingual' or 'native'", None),
        # The text is lower-cased as text, whatever a subclass's lower() says.
        (LowerLies("Daemon"), m.RegistrationError, "invalid worker kind: 'daemon', expected 'bilingual' or 'native'", None),
        (1, TypeError, "'int' object is not an instance of 'str'", ["while processing 'kind'"]),
        (None, TypeError, "'None' is not an instance of 'str'", ["while processing 'kind'"]),
        (b"native", TypeError, "'bytes' object is not an instance of 'str'", ["while processing 'kind'"]),
    ],
    ids=["daemon", "Daemon", "dotted-I", "empty", "str-subclass", "int", "None", "bytes"],
)
def test_refused_kind_registers_nothing(settled, kind, error, message, notes):
    before = next_id()
    with pytest.raises(error) as info:
        m.register_worker(kind=kind)
    assert type(info.value) is error
    assert str(info.value) == message
    assert getattr(info.value, "__notes__", None) == notes
    assert next_id() == before + 1  # no registration consumed an id


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        (("native", 1), {}, "register_worker() takes from 0 to 1 positional arguments but 2 were given"),
        ((), {"kinds": "native"}, "register_worker() got an unexpected keyword argument 'kinds'"),
        (("native",), {"kind": "native"}, "register_worker() got multiple values for argument 'kind'"),
    ],
)
def test_argument_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        m.register_worker(*args, **kwargs)
    assert str(info.value) == message


def test_class_surface():
    with pytest.raises(TypeError):
        m.RegisteredWorker()
    cls = m.RegisteredWorker
    for name in ("worker_id", "run_one", "run_until_idle", "deregister", "__enter__"):
        assert getattr(cls, name).__text_signature__ == "($self)"
    assert cls.__exit__.__text_signature__ == "($self, _exc_type=None, _exc_val=None, _exc_tb=None)"
    assert m.register_worker.__text_signature__ == '(kind="bilingual")'


def test_idle_pool_runs_nothing(settled):
    with m.register_worker() as w:
        assert w.run_one() is False
        assert w.run_until_idle() is None


@pytest.mark.parametrize("ending", ["deregister", "__exit__"])
@pytest.mark.parametrize("method", ["worker_id", "run_one", "run_until_idle"])
def test_use_after_deregistration(ending, method):
    w = m.register_worker()
    assert getattr(w, ending)() is None
    with pytest.raises(m.RegistrationError, match=f"^{DEREGISTERED}$"):
        getattr(w, method)()
    assert w.deregister() is None
    assert w.__exit__(None, None, None) is None


def test_with_block():
    with m.register_worker() as w:
        assert isinstance(w.worker_id(), int)
    with pytest.raises(m.RegistrationError, match=DEREGISTERED):
        w.run_one()

    class Boom(Exception):
        pass

    w = m.register_worker()
    with pytest.raises(Boom):
        with w as entered:
            assert entered is w
            raise Boom
    with pytest.raises(m.RegistrationError, match=DEREGISTERED):
        w.worker_id()


def test_two_threads_get_distinct_ids():
    ids = []

    def register():
        with m.register_worker() as w:
            ids.append(w.worker_id())
            ready.set()
            release.wait(DEADLINE)

    ready, release = threading.Event(), threading.Event()
    t = threading.Thread(target=register)
    t.start()
    try:
        assert ready.wait(DEADLINE)
        with m.register_worker() as w:
            ids.append(w.worker_id())
    finally:
        release.set()
        t.join(DEADLINE)
    assert len(set(ids)) == 2 and min(ids) > 0


@pytest.mark.parametrize(
    "method, args",
    [("worker_id", ()), ("run_one", ()), ("run_until_idle", ()), ("deregister", ()), ("__enter__", ()),
     ("__exit__", (None, None, None))],
)
def test_call_from_another_thread_panics(method, args):
    w = m.register_worker()
    wid = w.worker_id()
    caught = []

    def call():
        try:
            try:
                getattr(w, method)(*args)
            except Exception as e:  # must not catch it
                caught.append(("Exception", e))
        except BaseException as e:
            caught.append(("BaseException", e))

    t = threading.Thread(target=call)
    t.start()
    t.join(DEADLINE)
    [(clause, exc)] = caught
    assert clause == "BaseException"
    assert type(exc).__name__ == "PanicException" and not isinstance(exc, Exception)
    assert str(exc) == SENT
    # untouched on its owner
    assert w.worker_id() == wid
    assert w.run_one() in (True, False)
    assert w.deregister() is None
    caught.clear()  # the traceback's frame holds `w`: no cycle left for another thread's collection


def test_dropped_on_another_thread_is_reported():
    proc = run_python(
        """
        import sys, threading
        import _corvalune_sys as m
        seen = []
        sys.unraisablehook = lambda u: seen.append((u.exc_type, str(u.exc_value)))
        box = [m.register_worker()]
        first = box[0].worker_id()
        t = threading.Thread(target=box.clear)
        t.start()
        t.join()
        print(len(seen), seen[:1])  # reported once
        with m.register_worker() as again:
            assert again.worker_id() > first
        print("OK")
        """
    )
    assert proc.stdout.splitlines() == ["1 " + repr([(RuntimeError, DROPPED)]), "OK"]


@pytest.mark.parametrize("driver", ["run_one", "run_until_idle"])
def test_spawned_tasks_run_on_the_registered_thread(driver):
    run_held(
        f"""
        seen, outcome = [], []
        def call(x):
            seen.append(("call", threading.get_ident()))
            return x + 1
        async def coro():
            seen.append(("coro", threading.get_ident()))
            return 5
        def done(result, exc):
            outcome.append((result, exc, threading.get_ident()))
        h1 = m.spawn_callable(call, (41,))
        h2 = m.spawn_native_pipeline(b"abc")
        m.spawn_coroutine(coro(), done)
        assert not h1.done() and not h2.done() and not seen
        if {driver!r} == "run_one":
            assert w.run_one() is True and h1.done() and not h2.done()
            assert w.run_one() is True and h2.done() and not outcome
            assert w.run_one() is True
        else:
            assert w.run_until_idle() is None
        assert w.run_one() is False
        assert h1.result() == 42
        assert h2.result() == m.native_pipeline_transform(b"abc")
        assert seen == [("call", me), ("coro", me)]
        assert outcome == [(5, None, me)]
        w.deregister()
        """
    )


@pytest.mark.parametrize(
    "n, groups",
    [
        # two registered workers: at most 8 chunks
        (10, [[0, 1], [2, 3], [4, 5], [6, 7], [8, 9]]),
        (17, [[0, 1, 2], [3, 4, 5], [6, 7, 8], [9, 10, 11], [12, 13, 14], [15, 16]]),
    ],
)
def test_batch_chunks_counted_with_registered_thread(n, groups):
    run_held(
        f"""
        ran = []
        def item(i):
            ran.append((i, threading.get_ident()))
            return i * i
        h = m.batch_spawn_callable(item, [(i,) for i in range({n})])
        got = []
        while True:
            del ran[:]
            if not w.run_one():
                break
            assert all(t == me for _, t in ran)
            got.append([i for i, _ in ran])
            assert h.done() == (len(got) == {len(groups)})
        assert got == {groups!r}, got
        assert h.result() == [i * i for i in range({n})]
        payloads = [bytes([i]) for i in range({n})]
        nb = m.batch_spawn_native_pipeline(payloads, rounds=3)
        runs = 0
        while w.run_one():
            runs += 1
        assert runs == {len(groups)} and nb.done()
        assert nb.result() == [m.native_pipeline_transform(p, 3) for p in payloads]
        w.deregister()
        """
    )


@pytest.mark.parametrize("ending", ["deregister", "__exit__", "del", "register again"])
def test_queued_jobs_survive_the_end_of_registration(ending):
    run_held(
        f"""
        ran, outcome = [], threading.Event()
        def call(x):
            ran.append(threading.get_ident())
            return x
        async def coro():
            return threading.get_ident()
        hs = [m.spawn_callable(call, (i,)) for i in range(3)]
        hs.append(m.spawn_native_pipeline(b"abc"))
        got = []
        m.spawn_coroutine(coro(), lambda r, e: (got.append((r, e)), outcome.set()))
        hs += [m.batch_spawn_callable(call, [(i,) for i in range(3, 7)])]
        assert not any(h.done() for h in hs) and not ran
        ending = {ending!r}
        if ending == "deregister":
            w.deregister()
        elif ending == "__exit__":
            w.__exit__(None, None, None)
        elif ending == "del":
            del w
        else:
            first = w.worker_id()
            w2 = m.register_worker()
            assert w2.worker_id() == first + 1
            # the old queue is no longer this thread's: nothing is left in it
            w.deregister()
        gate.set()
        wait_done(*hs)
        assert outcome.wait(DEADLINE)
        assert [h.result() for h in hs[:3]] == [0, 1, 2]
        assert hs[3].result() == m.native_pipeline_transform(b"abc")
        assert hs[4].result() == [3, 4, 5, 6]
        assert ran == pool_ident * 7 and got == [(pool_ident[0], None)]
        if ending == "register again":
            w2.deregister()
        """
    )


@pytest.mark.parametrize(
    "outer, inner, expected",
    [
        ("run_one", "run_one()", "True"),
        ("run_until_idle", "run_one()", "True"),
        ("run_one", "run_until_idle()", "None"),
        ("run_one", "worker_id()", "w.worker_id()"),
        ("run_one", "deregister()", "RuntimeError('Already borrowed')"),
        ("run_until_idle", "__exit__(None, None, None)", "RuntimeError('Already borrowed')"),
    ],
)
def test_reentry_from_a_task(outer, inner, expected):
    # The second task has run once the outer call returns if the inner call
    # ran it, or if the outer call runs until idle.
    both = inner.startswith("run") or outer == "run_until_idle"
    run_held(
        f"""
        order, caught = [], []
        def reenter():
            order.append("outer")
            try:
                caught.append(w.{inner})
            except BaseException as e:
                caught.append(e)
        h1 = m.spawn_callable(reenter)
        h2 = m.spawn_callable(order.append, ("second",))
        w.{outer}()
        assert order == (["outer", "second"] if {both} else ["outer"]), order
        w.run_until_idle()
        assert h1.done() and h2.done() and order == ["outer", "second"]
        [got] = caught
        assert type(got) is type({expected}) and repr(got) == repr({expected}), got
        w.worker_id()  # still registered
        w.deregister()
        """
    )


@pytest.mark.parametrize("caller", ["registered_main_thread", "pool_task"])
def test_shutdown_waits_only_for_pool_threads_and_then_refuses_work(caller):
    proc = run_python(
        f"""
        import time
        import _corvalune_sys as m
        import corvalune
        m.configure(2)
        w = m.register_worker()
        start = time.monotonic()
        if "{caller}" == "pool_task":
            h = m.spawn_callable(m.shutdown)
            while not h.done():
                w.run_one()
            assert h.result() is None
        else:
            assert m.shutdown() is None
        # The registered caller (or the task calling it) cannot leave while
        # it waits: nothing to wait for but the other pool threads.
        print(time.monotonic() - start < 0.4)

        async def co():
            return 1
        coros = [co(), co()]
        for call in [lambda: m.spawn_callable(print), lambda: m.spawn_native_pipeline(b"x"),
                     lambda: m.batch_spawn_callable(print, [()]), lambda: m.batch_spawn_native_pipeline([b"x"]),
                     lambda: m.spawn_coroutine(coros[0]), lambda: m.run_level1(coros[1]),
                     lambda: corvalune.Executor().submit(print)]:
            try:
                call()
            except RuntimeError as exc:
                print(type(exc).__name__)
        for c in coros:
            c.close()
        # Nothing is queued, and an empty batch queues nothing.
        print(w.run_one(), m.batch_spawn_callable(print, []).result())
        """
    )
    assert proc.stdout.splitlines() == ["True", *["PoolShutdownError"] * 7, "False []"]
    assert proc.stderr == ""


def test_a_pool_thread_cannot_register_and_stays_the_worker_it_was():
    proc = run_python(
        """
        import _corvalune_sys as m
        m.configure(1)
        async def co():
            return "level1"
        def task():
            try:
                with m.register_worker():
                    pass
            except m.RegistrationError as exc:
                refused = str(exc)
            return refused, m.run_level1(co()), m.spawn_callable(int, ("7",))
        h = m.spawn_callable(task)
        while not h.done():
            pass
        refused, level1, inner = h.result()
        later = m.spawn_callable(int, ("8",))
        while not (inner.done() and later.done()):
            pass
        print(refused)
        print(level1, inner.result(), later.result())
        """,
        timeout=60,
    )
    assert proc.stdout.splitlines() == [
        "register_worker() cannot be called on a Corvalune pool thread: it is a worker of the pool already",
        "level1 7 8",
    ]


def test_a_new_thread_with_the_old_threads_id_is_not_the_owner():
    proc = run_python(
        """
        import threading, time
        import _corvalune_sys as m
        box = {}
        def register_and_leave():
            w = m.register_worker()
            # Queued on this thread's own queue, which it never runs: the pool
            # steals them once the thread has gone.
            box["handles"] = [m.spawn_callable(int, (str(i),)) for i in range(3)]
            box["worker"], box["ident"] = w, threading.get_ident()
        def newcomer():
            w = box["worker"]
            for call in (w.deregister, w.worker_id, w.run_one):
                try:
                    call()
                except BaseException as exc:  # PanicException is a BaseException
                    print(exc)
        for target in (register_and_leave, newcomer):
            t = threading.Thread(target=target)
            t.start()
            t.join()
        end = time.monotonic() + 30
        while not all(h.done() for h in box["handles"]):
            assert time.monotonic() < end
            time.sleep(0.001)
        print([h.result() for h in box["handles"]])
        """
    )
    assert proc.stdout.splitlines() == [SENT] * 3 + ["[0, 1, 2]"]

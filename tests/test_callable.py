"""spawn_callable: argument rules, call semantics, stored outcomes, nesting,
concurrency and the references a callable task holds."""

import asyncio
import collections
import inspect
import sys
import threading
import weakref

import pytest

import _corvalune_sys as m
from conftest import DEADLINE, PoolGate, eventually, quiesce, wait_done, wait_result


def record(*args, **kwargs):
    return args, kwargs


class Token:
    pass


class Abort(BaseException):
    pass


class Failure(Exception):
    pass


def test_signature_and_docstring():
    f = m.spawn_callable
    assert f.__text_signature__ == "(func, args=None, kwargs=None)"
    assert str(inspect.signature(f)) == "(func, args=None, kwargs=None)"
    assert f.__doc__ == "Spawn any arbitrary Python callable directly onto Corvalune's work-stealing pool."


@pytest.mark.parametrize(
    "args, kwargs, message, note",
    [
        ((), {}, "spawn_callable() missing 1 required positional argument: 'func'", None),
        ((print, None, None, 1), {}, "spawn_callable() takes from 1 to 3 positional arguments but 4 were given", None),
        ((print,), {"kw": {}}, "spawn_callable() got an unexpected keyword argument 'kw'", None),
        ((print,), {"func": print}, "spawn_callable() got multiple values for argument 'func'", None),
        ((print, (), None), {"args": ()}, "spawn_callable() got multiple values for argument 'args'", None),
        ((print, [1]), {}, "'list' object is not an instance of 'tuple'", "while processing 'args'"),
        ((print, "ab"), {}, "'str' object is not an instance of 'tuple'", "while processing 'args'"),
        ((print,), {"args": {}}, "'dict' object is not an instance of 'tuple'", "while processing 'args'"),
        ((print, None, [("k", 1)]), {}, "'list' object is not an instance of 'dict'", "while processing 'kwargs'"),
        ((print,), {"kwargs": (1,)}, "'tuple' object is not an instance of 'dict'", "while processing 'kwargs'"),
        ((print, (), 5), {}, "'int' object is not an instance of 'dict'", "while processing 'kwargs'"),
        # args is checked before kwargs
        ((print, [1], [2]), {}, "'list' object is not an instance of 'tuple'", "while processing 'args'"),
    ],
)
def test_argument_errors(args, kwargs, message, note):
    with pytest.raises(TypeError) as info:
        m.spawn_callable(*args, **kwargs)
    assert type(info.value) is TypeError
    assert str(info.value) == message
    assert getattr(info.value, "__notes__", None) == ([note] if note else None)


def test_rejected_arguments_run_nothing():
    ran = []
    for bad in ([1, 2], {"a": 1}):
        with pytest.raises(TypeError):
            m.spawn_callable(ran.append, bad)
    with pytest.raises(TypeError):
        m.spawn_callable(ran.append, (1,), [("k", 1)])
    quiesce()
    assert ran == []


Point = collections.namedtuple("Point", "x y")


@pytest.mark.parametrize(
    "call, expected",
    [
        (lambda: m.spawn_callable(record), ((), {})),
        (lambda: m.spawn_callable(record, None, None), ((), {})),
        (lambda: m.spawn_callable(record, (), {}), ((), {})),
        (lambda: m.spawn_callable(record, (1,), None), ((1,), {})),
        (lambda: m.spawn_callable(record, None, {"k": 1}), ((), {"k": 1})),
        (lambda: m.spawn_callable(record, (1, 2), {"x": 3}), ((1, 2), {"x": 3})),
        (lambda: m.spawn_callable(func=record, kwargs={"x": 3}, args=(1, 2)), ((1, 2), {"x": 3})),
        (lambda: m.spawn_callable(record, ((1, 2),)), (((1, 2),), {})),
        (lambda: m.spawn_callable(record, Point(1, 2)), ((1, 2), {})),
        (lambda: m.spawn_callable(record, None, collections.OrderedDict(b=2, a=1)), ((), {"b": 2, "a": 1})),
        (lambda: m.spawn_callable(record, (None,), {"args": None}), ((None,), {"args": None})),
    ],
)
def test_call_is_func_star_args_star_star_kwargs(call, expected):
    assert wait_result(call()) == expected


def test_return_value_is_stored_as_is():
    h = m.spawn_callable(lambda: None)
    assert wait_result(h) is None
    assert h.done() is True

    h = m.spawn_callable(Token)
    first = wait_result(h)
    assert type(first) is Token
    baseline = sys.getrefcount(first)
    for _ in range(1000):
        assert h.result() is first
    assert sys.getrefcount(first) == baseline


def test_await_and_iteration_give_the_returned_object_itself():
    values = [None, (1,), ("a", "b"), (), [1, 2], {"k": 1}, 0, "text"]
    handles = [m.spawn_callable(lambda v=v: v) for v in values]
    wait_done(*handles)

    async def main():
        for h, v in zip(handles, values):
            async with asyncio.timeout(DEADLINE):
                result = await h
            assert result is v, (result, v)

    asyncio.run(main())
    for h, v in zip(handles, values):
        with pytest.raises(StopIteration) as info:
            next(h)
        assert info.value.value is v


@pytest.mark.parametrize(
    "make",
    [
        lambda: ValueError("x"),
        lambda: KeyboardInterrupt(),
        lambda: SystemExit(3),
        lambda: Abort("stop"),
        lambda: Failure("with", "args"),
    ],
    ids=["ValueError", "KeyboardInterrupt", "SystemExit", "BaseException-subclass", "Exception-subclass"],
)
def test_raised_exception_is_stored_and_reraised_as_the_same_object(make):
    raised = []

    def fail():
        exc = make()
        raised.append(exc)
        raise exc

    h = m.spawn_callable(fail)
    wait_done(h)
    (exc,) = raised
    baseline = sys.getrefcount(exc)
    for _ in range(3):
        with pytest.raises(BaseException) as info:
            h.result()
        assert info.value is exc
        del info
    for _ in range(1000):
        try:
            h.result()
        except BaseException:
            pass
    assert sys.getrefcount(exc) == baseline
    # The worker that ran it goes on serving.
    assert [wait_result(m.spawn_callable(abs, (-i,))) for i in range(5)] == list(range(5))


def test_await_raises_the_stored_exception():
    h = m.spawn_callable(int, ("x",))
    wait_done(h)
    with pytest.raises(ValueError) as from_result:
        h.result()

    async def main():
        try:
            async with asyncio.timeout(DEADLINE):
                await h
        except ValueError as e:
            return e

    assert asyncio.run(main()) is from_result.value


def test_non_callable_fails_at_result_not_at_spawn():
    h = m.spawn_callable(42)
    assert type(h) is m.CallableTask
    wait_done(h)
    with pytest.raises(TypeError) as first:
        h.result()
    assert str(first.value) == "'int' object is not callable"

    async def main():
        try:
            async with asyncio.timeout(DEADLINE):
                await h
        except TypeError as e:
            return e

    assert asyncio.run(main()) is first.value


def test_args_and_kwargs_are_read_when_the_call_runs():
    kwargs = {"a": 1}
    with PoolGate():
        h = m.spawn_callable(record, (0,), kwargs)
        kwargs["b"] = 2
        del kwargs["a"]
        assert not h.done()
    assert wait_result(h) == ((0,), {"b": 2})


def test_spawn_from_inside_a_callable_task():
    def fan_out():
        return [m.spawn_callable(pow, (i, 3)) for i in range(20)]

    inner = wait_result(m.spawn_callable(fan_out))
    assert [type(h) for h in inner] == [m.CallableTask] * 20
    assert [wait_result(h) for h in inner] == [i**3 for i in range(20)]


def test_nested_task_is_taken_by_another_worker_while_its_spawner_waits():
    wait_done(m.spawn_callable(int))
    if m.worker_count() < 2:
        pytest.skip("needs two workers")

    def outer():
        finished = threading.Event()
        inner = m.spawn_callable(pow, (3, 4))
        inner.add_done_callback(finished.set)
        # The spawning worker is busy here; another one has to take the job.
        assert finished.wait(DEADLINE)
        return inner.result()

    assert wait_result(m.spawn_callable(outer)) == 81


def test_spawns_from_several_threads_all_complete():
    threads_n, per_thread = 4, 250
    handles = [[] for _ in range(threads_n)]
    barrier = threading.Barrier(threads_n)

    def spawner(t):
        barrier.wait()
        for i in range(per_thread):
            handles[t].append(m.spawn_callable(divmod, (t * 1000 + i, 7)))

    threads = [threading.Thread(target=spawner, args=(t,)) for t in range(threads_n)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(DEADLINE)
    for t in range(threads_n):
        assert len(handles[t]) == per_thread
        assert [wait_result(h) for h in handles[t]] == [divmod(t * 1000 + i, 7) for i in range(per_thread)]


def _run_and_forget(raising):
    arg, kwarg, value, error = Token(), Token(), Token(), Failure()

    def func(a, k):
        assert a is arg and k is kwarg
        if raising:
            raise error
        return value

    refs = [weakref.ref(o) for o in (arg, kwarg, value, error, func)]
    h = m.spawn_callable(func, (arg,), {"k": kwarg})
    wait_done(h)
    try:
        result = h.result()
    except Failure as e:
        assert raising and e is error
    else:
        assert not raising and result is value
        del result
    # The exception's traceback holds this frame; the handle must not be in it.
    del h, arg, kwarg, value, error, func
    return refs


@pytest.mark.parametrize("raising", [False, True], ids=["value", "exception"])
def test_no_reference_outlives_the_task_and_its_handle(raising):
    refs = _run_and_forget(raising)
    eventually(
        lambda: all(r() is None for r in refs),
        "objects kept alive: " + repr([r() for r in refs if r() is not None]),
    )


def test_no_reference_outlives_a_handle_dropped_before_completion():
    def start():
        arg, kwarg = Token(), Token()
        refs = [weakref.ref(arg), weakref.ref(kwarg)]
        m.spawn_callable(record, (arg,), {"k": kwarg})  # handle dropped at once
        return refs

    with PoolGate():
        refs = start()
        assert all(r() is not None for r in refs)  # the queued job holds them
    eventually(lambda: all(r() is None for r in refs), "a dropped task kept its arguments")

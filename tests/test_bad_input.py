"""Random argument shapes and types never crash the module.

Every module function and method is called with random positional and
keyword arguments of many types. Only argument errors, state errors and the
module's own exceptions may come out, and the pool keeps working after.
"""

import asyncio
import time

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import _corvalune_sys as m

# Random callbacks (a bytes object, an int) fail when they are called; the
# pool reports each through sys.unraisablehook, which is expected here.
pytestmark = pytest.mark.filterwarnings("ignore::pytest.PytestUnraisableExceptionWarning")

ALLOWED = (TypeError, OverflowError, ValueError, RuntimeError, m.PanicInTask, m.TaskCancelled,
           m.RegistrationError)

values = st.one_of(
    st.none(), st.booleans(), st.integers(), st.floats(allow_nan=True), st.text(max_size=8),
    st.binary(max_size=64), st.builds(bytearray, st.binary(max_size=16)),
    st.lists(st.integers(min_value=-300, max_value=300), max_size=8),
    st.lists(st.binary(max_size=8), max_size=4), st.tuples(st.integers()),
    st.dictionaries(st.text(max_size=4), st.integers(), max_size=3),
    st.just(object()), st.just(int), st.just(print), st.just(m.CancellationToken()),
    st.sampled_from(["native", "NATIVE", "bilingual", "daemon"]),
)
arguments = st.tuples(st.lists(values, max_size=4),
                      st.dictionaries(st.sampled_from(["payload", "rounds", "payloads", "func", "args",
                                                       "kwargs", "args_list", "workers", "kind", "coro",
                                                       "done_callback", "cancellation_token", "cb",
                                                       "main_coro", "bogus"]), values, max_size=3))

# Functions whose successful calls would block or change the process.
SKIP = {"shutdown", "configure", "run_level1"}
FUNCTIONS = sorted(name for name in m.__all__ if callable(getattr(m, name))
                   and not isinstance(getattr(m, name), type) and name not in SKIP)


def settle(result):
    """Waits for a returned handle, so that its work does not pile up."""
    if hasattr(result, "done") and hasattr(result, "result"):
        deadline = time.monotonic() + 30
        while not result.done() and time.monotonic() < deadline:
            time.sleep(0.0005)
        try:
            result.result()
        except BaseException:
            pass
    elif isinstance(result, m.RegisteredWorker):
        result.deregister()


def call(fn, args, kwargs):
    try:
        result = fn(*args, **kwargs)
    except ALLOWED:
        return
    settle(result)


@settings(max_examples=300, deadline=None, suppress_health_check=list(HealthCheck))
@given(st.sampled_from(FUNCTIONS), arguments)
def test_module_functions(name, args_kwargs):
    args, kwargs = args_kwargs
    call(getattr(m, name), args, kwargs)


@settings(max_examples=200, deadline=None, suppress_health_check=list(HealthCheck))
@given(st.sampled_from(["done", "result", "add_done_callback", "__await__", "__next__"]),
       st.sampled_from(["native", "callable", "batch_native", "batch_callable"]), arguments)
def test_handle_methods(method, kind, args_kwargs):
    args, kwargs = args_kwargs
    h = {"native": lambda: m.spawn_native_pipeline(b"x", 1),
         "callable": lambda: m.spawn_callable(int),
         "batch_native": lambda: m.batch_spawn_native_pipeline([b"x"], 1),
         "batch_callable": lambda: m.batch_spawn_callable(int, [()])}[kind]()
    settle(h)
    try:
        getattr(h, method)(*args, **kwargs)
    except (StopIteration, *ALLOWED):
        pass


@settings(max_examples=100, deadline=None, suppress_health_check=list(HealthCheck))
@given(st.sampled_from(["worker_id", "run_one", "run_until_idle", "deregister", "__enter__", "__exit__"]),
       arguments)
def test_worker_and_token_methods(method, args_kwargs):
    args, kwargs = args_kwargs
    with m.register_worker() as worker:
        try:
            getattr(worker, method)(*args, **kwargs)
        except ALLOWED:
            pass
    token = m.CancellationToken()
    for name in ("cancel", "is_cancelled", "throw_if_cancelled"):
        try:
            getattr(token, name)(*args, **kwargs)
        except ALLOWED:
            pass


@settings(max_examples=60, deadline=None, suppress_health_check=list(HealthCheck))
@given(st.lists(values, max_size=3))
def test_level1_with_random_awaitables(yielded):
    async def main():
        for value in yielded:
            await asyncio.sleep(0)
        return len(yielded)

    class Odd:
        def __init__(self, value):
            self.value = value

        def __await__(self):
            return (yield self.value)

    async def odd():
        for value in yielded:
            await Odd(value)

    assert m.run_level1(main()) == len(yielded)
    try:
        m.run_level1(odd())
    except (AttributeError, *ALLOWED):
        pass


def test_the_pool_still_works_afterwards():
    async def main():
        a = await m.spawn_native_pipeline(b"abc")
        b = await m.spawn_callable(sum, ([1, 2, 3],))
        c = await m.batch_spawn_native_pipeline([b"abc"] * 10)
        return a, b, c

    a, b, c = asyncio.run(main())
    assert a == m.native_pipeline_transform(b"abc") and b == 6 and c == [a] * 10


class LyingLength:
    """Two payloads that claim to be 2**62."""

    def __len__(self):
        return 2**62

    def __getitem__(self, i):
        if i < 2:
            return b"ab"
        raise IndexError(i)


class InterruptedLength:
    def __len__(self):
        raise KeyboardInterrupt

    def __getitem__(self, i):
        raise IndexError(i)


def test_a_length_is_only_a_hint():
    h = m.batch_spawn_native_pipeline(LyingLength())
    while not h.done():
        time.sleep(0.001)
    assert h.result() == [m.native_pipeline_transform(b"ab")] * 2
    # A lazy range of 10**12 items fails at its first item, not at reserving.
    try:
        m.batch_spawn_callable(print, range(10**12))
    except TypeError as exc:
        assert str(exc) == "'int' object is not an instance of 'tuple'"
        assert exc.__notes__ == ["while processing item 0", "while processing 'args_list'"]
    else:
        raise AssertionError("no TypeError")


def test_interrupts_from_a_length_hint_propagate():
    for spawn in (m.batch_spawn_native_pipeline, lambda seq: m.batch_spawn_callable(print, seq)):
        try:
            spawn(InterruptedLength())
        except KeyboardInterrupt:
            pass
        else:
            raise AssertionError("KeyboardInterrupt was swallowed")

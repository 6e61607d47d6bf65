"""corvalune.wait and corvalune.as_completed over task handles."""

import threading
import time
from concurrent import futures

import pytest

import corvalune
from conftest import DEADLINE


def gated(event, value=None, error=None):
    """A callable handle that finishes (with value, or raising error) once event is set."""

    def body():
        assert event.wait(DEADLINE)
        if error is not None:
            raise error
        return value

    return corvalune.spawn_callable(body)


def test_wait_returns_on_each_condition_and_sleeps_meanwhile():
    go_a, go_b = threading.Event(), threading.Event()
    a, b = gated(go_a, value=1), gated(go_b, error=ValueError("b"))

    cpu = time.thread_time()
    done, not_done = corvalune.wait([a, b], timeout=0.3)
    assert (done, not_done) == (set(), {a, b})
    assert time.thread_time() - cpu < 0.1  # slept, did not poll

    threading.Timer(0.05, go_b.set).start()
    assert corvalune.wait([a, b], return_when=corvalune.FIRST_EXCEPTION, timeout=DEADLINE) == ({b}, {a})
    assert corvalune.wait([a, b], return_when=corvalune.FIRST_COMPLETED) == ({b}, {a})

    threading.Timer(0.05, go_a.set).start()
    assert corvalune.wait([a, b, a], timeout=DEADLINE) == ({a, b}, set())
    with pytest.raises(ValueError):
        corvalune.wait([a], return_when="SOMETIMES")


def test_a_cancelled_future_is_no_exception():
    go = threading.Event()
    cancelled, pending = futures.Future(), gated(go)
    cancelled.cancel()
    threading.Timer(0.05, go.set).start()
    assert corvalune.wait([cancelled, pending], timeout=DEADLINE, return_when=corvalune.FIRST_EXCEPTION) == \
        ({cancelled, pending}, set())


def test_as_completed_yields_each_handle_once_in_completion_order_then_times_out():
    first, second, never = threading.Event(), threading.Event(), threading.Event()
    done = corvalune.spawn_callable(int)
    corvalune.wait([done])
    late, early = gated(second, "late"), gated(first, "early")
    hung = gated(never)
    try:
        threading.Timer(0.05, first.set).start()
        early.add_done_callback(lambda _: second.set())  # "late" finishes after "early", however loaded the host
        it = corvalune.as_completed([late, done, early, done, late], timeout=DEADLINE)
        assert [next(it), next(it), next(it)] == [done, early, late]
        with pytest.raises(StopIteration):
            next(it)

        it = corvalune.as_completed([done, hung], timeout=0.1)
        assert next(it) is done
        with pytest.raises(TimeoutError, match=r"^1 \(of 2\) futures unfinished$"):
            next(it)
    finally:
        never.set()


def test_the_executors_futures_can_be_waited_on_beside_handles():
    go = threading.Event()
    with corvalune.Executor() as ex:
        future, handle = ex.submit(go.wait, DEADLINE), gated(go, value=2)
        threading.Timer(0.05, go.set).start()
        assert corvalune.wait([future, handle], timeout=DEADLINE) == ({future, handle}, set())
        later = ex.submit(pow, 3, 2)
        assert list(corvalune.as_completed([later], timeout=DEADLINE)) == [later]

"""A stored exception whose traceback leads back to its handle is collected.

`h.result()` raises the stored exception; its traceback holds the frame
that holds `h`, and `h` holds the exception: a reference cycle. The handles
of callable work take part in cycle collection so that such a cycle is
freed instead of leaking the handle, the exception and every frame.
"""

import gc
import time
import weakref

import pytest

import _corvalune_sys as m


class Marker(Exception):
    pass


def raiser():
    raise Marker("stored")


def wait_done(h):
    deadline = time.monotonic() + 30
    while not h.done():
        assert time.monotonic() < deadline, "task did not complete"
        time.sleep(0.001)
    return h


def spawn_failing_callable():
    return m.spawn_callable(raiser)


def spawn_failing_batch():
    return m.batch_spawn_callable(raiser, [(), ()])


@pytest.mark.parametrize("spawn", [spawn_failing_callable, spawn_failing_batch])
def test_exception_cycle_through_the_handle_is_collected(spawn):
    def hold_and_raise():
        h = wait_done(spawn())
        try:
            h.result()
        except Marker as exc:
            # The traceback holds this frame, which holds `h`.
            return weakref.ref(exc), weakref.ref(h.result.__self__.__class__)
        raise AssertionError("result() did not raise")

    exc_ref, _ = hold_and_raise()
    gc.collect()
    assert exc_ref() is None, gc.get_referrers(exc_ref())


class Box:
    pass


def test_value_cycle_through_the_handle_is_collected():
    """A handle is tracked by the collector once its value could refer back
    to it (until then it is left out, to keep collections short)."""

    def hold():
        box = Box()
        h = wait_done(m.spawn_callable(lambda: box))
        box.handle = h  # h -> its value -> h
        return weakref.ref(box)

    box_ref = hold()
    gc.collect()
    assert box_ref() is None


def test_pending_callbacks_survive_a_collection():
    """A handle dropped while its work is pending still runs its callbacks."""
    import threading

    gate = threading.Event()
    called = threading.Event()
    h = m.spawn_callable(gate.wait, (30,))
    h.add_done_callback(lambda: called.set())
    del h
    gc.collect()
    gate.set()
    assert called.wait(30)


def test_result_after_collection_of_a_live_cycle_is_intact():
    h = wait_done(m.spawn_callable(raiser))
    for _ in range(3):
        gc.collect()
        with pytest.raises(Marker):
            h.result()
    ok = wait_done(m.spawn_callable(tuple, ("ab",)))
    gc.collect()
    assert ok.result() == ("a", "b")

"""Handles inside asyncio's structured APIs, on the default loop and on uvloop.

Cancelling the task that awaits a handle cancels only the wait: the work
finishes on the pool and nothing is ever logged on the loop afterwards.
"""

import asyncio
import itertools
import sys
import threading

import pytest
import uvloop

import _corvalune_sys as m
import corvalune

LOOPS = {"asyncio": asyncio.new_event_loop, "uvloop": uvloop.new_event_loop}


@pytest.fixture(params=sorted(LOOPS))
def run(request):
    """Runs a coroutine on the chosen loop, failing on anything the loop logs."""
    def runner(coro):
        errors = []
        with asyncio.Runner(loop_factory=LOOPS[request.param]) as r:
            r.get_loop().set_exception_handler(lambda loop, ctx: errors.append(ctx))
            result = r.run(coro)
            # Let late completions arrive while the loop still runs.
            r.run(asyncio.sleep(0.05))
        assert not errors, errors
        return result
    return runner


def blocker():
    gate = threading.Event()
    return gate, m.spawn_callable(gate.wait, (30,))


def test_task_group_gathers_every_kind(run):
    async def main():
        async with asyncio.TaskGroup() as tg:
            tasks = [tg.create_task(_await(h)) for h in (
                m.spawn_callable(pow, (2, 10)),
                m.spawn_native_pipeline(b"abc"),
                m.batch_spawn_callable(abs, [(-1,), (-2,)]),
                m.batch_spawn_native_pipeline([b"abc"]),
            )]
        return [t.result() for t in tasks]

    abc = m.native_pipeline_transform(b"abc")
    assert run(main()) == [1024, abc, [1, 2], [abc]]


async def _await(h):
    return await h


def test_timeout_shield_and_cancellation_log_nothing(run):
    async def main():
        gate, h = blocker()
        with pytest.raises(TimeoutError):
            async with asyncio.timeout(0.01):
                await h
        shielded = asyncio.ensure_future(_await(h))
        with pytest.raises(TimeoutError):
            await asyncio.wait_for(asyncio.shield(shielded), 0.01)
        task = asyncio.ensure_future(_await(h))
        await asyncio.sleep(0)
        task.cancel()
        gate.set()  # completion races the cancellation
        with pytest.raises(asyncio.CancelledError):
            await task
        return await shielded

    assert run(main()) is True


def test_cancellation_racing_completion_many_times(run):
    async def main():
        for i in range(300):
            h = m.spawn_callable(int, (i,))
            task = asyncio.ensure_future(_await(h))
            if i % 3:
                await asyncio.sleep(0)
            task.cancel()
            try:
                await task
            except asyncio.CancelledError:
                pass
    run(main())


def test_wait_and_as_completed(run):
    async def main():
        gate, slow = blocker()
        fast = [asyncio.ensure_future(_await(m.spawn_callable(int, (i,)))) for i in range(5)]
        slow_task = asyncio.ensure_future(_await(slow))
        done, pending = await asyncio.wait(fast + [slow_task], return_when=asyncio.FIRST_COMPLETED)
        assert done and slow_task in pending
        seen = []
        for next_done in asyncio.as_completed(fast):
            seen.append(await next_done)
        gate.set()
        assert await slow_task is True
        return sorted(seen)

    assert run(main()) == [0, 1, 2, 3, 4]


def test_a_closed_loop_stays_silent():
    gate, h = blocker()
    loop = uvloop.new_event_loop()
    errors = []
    loop.set_exception_handler(lambda loop, ctx: errors.append(ctx))
    task = loop.create_task(_await(h))
    loop.run_until_complete(asyncio.sleep(0.01))
    task.cancel()
    loop.run_until_complete(asyncio.sleep(0))
    loop.close()
    gate.set()
    deadline = 300
    while not h.done() and deadline:
        threading.Event().wait(0.01)
        deadline -= 1
    assert h.result() is True and not errors


class _LoopWithoutAttributes(asyncio.SelectorEventLoop):
    """A loop that takes no new attributes, as some C loops are."""

    def __setattr__(self, name, value):
        if name == "_corvalune_mailbox":
            raise AttributeError(name)
        super().__setattr__(name, value)


def _checked(gate, i):
    gate.wait(10)  # pending when awaited: an outcome ready at once skips the loop
    if i % 7 == 0:
        raise ValueError(i)
    return i


@pytest.mark.parametrize("loop_factory", [asyncio.new_event_loop, _LoopWithoutAttributes])
def test_a_burst_of_outcomes_reaches_every_awaiting_future(loop_factory):
    # Completions share one scheduled drain per burst where the loop keeps a
    # mailbox, and are scheduled one by one where it cannot.
    gate = threading.Event()

    async def main():
        handles = [m.spawn_callable(_checked, (gate, i)) for i in range(3000)]
        asyncio.get_running_loop().call_later(0.05, gate.set)
        outcomes = await asyncio.gather(*handles, return_exceptions=True)
        return outcomes, hasattr(asyncio.get_running_loop(), "_corvalune_mailbox")

    with asyncio.Runner(loop_factory=loop_factory) as r:
        outcomes, has_mailbox = r.run(main())
    assert has_mailbox is (loop_factory is asyncio.new_event_loop)
    for i, outcome in enumerate(outcomes):
        if i % 7 == 0:
            assert type(outcome) is ValueError and outcome.args == (i,)
        else:
            assert outcome == i


class _Flaky:
    """A loop that refuses every other scheduling from a pool thread with
    MemoryError, and whose futures refuse results divisible by 5."""

    _refusals = itertools.count()

    def call_soon_threadsafe(self, *args, **kwargs):
        if threading.current_thread() is not threading.main_thread() and next(self._refusals) % 2 == 0:
            raise MemoryError
        return super().call_soon_threadsafe(*args, **kwargs)

    def create_future(self):
        return _FlakyFuture(loop=self)


class _FlakyFuture(asyncio.Future):
    def set_result(self, result):
        if result % 5 == 0:
            raise MemoryError
        super().set_result(result)


class _FlakyLoop(_Flaky, asyncio.SelectorEventLoop):
    pass


class _FlakyLoopWithoutAttributes(_Flaky, _LoopWithoutAttributes):
    pass


def _gated(gate, i):
    gate.wait(10)
    return i


@pytest.mark.parametrize("loop_factory, via", [(_FlakyLoop, "await"), (_FlakyLoopWithoutAttributes, "await"),
                                               (_FlakyLoop, "run_in_executor")])
def test_a_failed_handoff_to_the_loop_still_resumes_the_awaiting_coroutine(loop_factory, via):
    # A failed scheduling is tried again and a future that refuses its result
    # gets the failure: no awaiting coroutine is left waiting.
    gate = threading.Event()
    unraisable = []

    async def main():
        loop = asyncio.get_running_loop()
        if via == "await":
            awaitables = [m.spawn_callable(_gated, (gate, i)) for i in range(300)]
        else:
            ex = corvalune.Executor()
            awaitables = [loop.run_in_executor(ex, _gated, gate, i) for i in range(300)]
        loop.call_later(0.05, gate.set)
        return await asyncio.wait_for(asyncio.gather(*awaitables, return_exceptions=True), 30)

    hook, sys.unraisablehook = sys.unraisablehook, unraisable.append
    try:
        with asyncio.Runner(loop_factory=loop_factory) as r:
            outcomes = r.run(main())
    finally:
        sys.unraisablehook = hook
    assert not unraisable
    assert [type(o) if i % 5 == 0 else o for i, o in enumerate(outcomes)] == [
        MemoryError if i % 5 == 0 else i for i in range(300)]


class _LosesFirstDrain(asyncio.SelectorEventLoop):
    """Takes the first scheduling from a pool thread and never runs it, as
    when running a callback fails before it is called (no memory)."""

    lost = False

    def call_soon_threadsafe(self, *args, **kwargs):
        if not self.lost and threading.current_thread() is not threading.main_thread():
            self.lost = True
            return None
        return super().call_soon_threadsafe(*args, **kwargs)


def test_a_drain_that_never_runs_does_not_silence_the_mailbox():
    first_gate, second_gate = threading.Event(), threading.Event()

    async def main():
        loop = asyncio.get_running_loop()
        first = asyncio.ensure_future(_await(m.spawn_callable(_gated, (first_gate, 1))))
        loop.call_later(0.01, first_gate.set)
        await asyncio.sleep(0.3)  # the first drain is lost and overdue
        second = m.spawn_callable(_gated, (second_gate, 2))
        loop.call_later(0.01, second_gate.set)
        return await asyncio.wait_for(asyncio.gather(first, _await(second)), 10)

    with asyncio.Runner(loop_factory=_LosesFirstDrain) as r:
        assert r.run(main()) == [1, 2]


def test_a_loop_and_its_mailbox_are_collected():
    import gc
    import time
    import weakref

    async def main():
        await m.spawn_native_pipeline(b"abc")
        return weakref.ref(asyncio.get_running_loop())

    loop = asyncio.run(main())
    # A worker may have let go of its references while detached: they are
    # released at the next attach through the module (a spawn here).
    deadline = time.monotonic() + 10
    while loop() is not None and time.monotonic() < deadline:
        m.spawn_callable(int)
        gc.collect()
        time.sleep(0.01)
    assert loop() is None

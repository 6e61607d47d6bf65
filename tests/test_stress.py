"""Four threads submit 100,000 handles through every entry point at once:
every handle completes with the right result and every callback fires
exactly once."""

import asyncio
import collections
import threading
import time

import _corvalune_sys as m

TOTAL = 100_000
THREADS = 4
DEADLINE = 120


def test_every_handle_completes_and_every_callback_fires_once():
    fired = collections.Counter()
    fired_lock = threading.Lock()
    expected = {}
    handles = []
    handles_lock = threading.Lock()
    coroutines_done = collections.Counter()
    errors = []

    def on_done(key):
        def cb():
            with fired_lock:
                fired[key] += 1
        return cb

    def coroutine_done(key):
        def cb(result, exc):
            with fired_lock:
                coroutines_done[key] += 1
            if exc is not None or result != key:
                errors.append((key, result, exc))
        return cb

    async def coro(key):
        await asyncio.sleep(0)
        return await m.spawn_callable(int, (key,))

    abc = m.native_pipeline_transform(b"abc", 10)

    def submitter(index):
        local = []
        for i in range(index, TOTAL, THREADS):
            kind = i % 6
            if kind == 0:
                h, want = m.spawn_callable(str, (i,)), str(i)
            elif kind == 1:
                h, want = m.spawn_native_pipeline(b"abc", 10), abc
            elif kind == 2:
                h, want = m.batch_spawn_callable(abs, [(-i,), (i,)]), [i, i]
            elif kind == 3:
                h, want = m.batch_spawn_native_pipeline([b"abc"] * 3, 10), [abc] * 3
            elif kind == 4:
                m.spawn_coroutine(coro(i), coroutine_done(i))
                continue
            else:
                h, want = m.spawn_callable(divmod, (i, 7)), divmod(i, 7)
            # Half the callbacks race completion, half come after it.
            if i % 2:
                h.add_done_callback(on_done(i))
            local.append((i, h, want))
        with handles_lock:
            handles.extend(local)

    threads = [threading.Thread(target=submitter, args=(k,)) for k in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()

    deadline = time.monotonic() + DEADLINE
    for i, h, want in handles:
        while not h.done():
            assert time.monotonic() < deadline, f"handle {i} never completed"
            time.sleep(0.0005)
        assert h.result() == want, i
        if i % 2 == 0:
            h.add_done_callback(on_done(i))
    coroutine_count = sum(1 for i in range(TOTAL) if i % 6 == 4)
    while True:
        with fired_lock:
            done = sum(coroutines_done.values()) == coroutine_count and \
                sum(fired.values()) == len(handles)
        if done:
            break
        assert time.monotonic() < deadline, "callbacks missing"
        time.sleep(0.01)
    time.sleep(0.05)  # a duplicate call would show up here
    assert not errors, errors[:5]
    assert len(handles) == TOTAL - coroutine_count
    assert all(n == 1 for n in fired.values()) and len(fired) == len(handles)
    assert all(n == 1 for n in coroutines_done.values()) and len(coroutines_done) == coroutine_count

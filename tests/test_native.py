"""native_pipeline_transform and spawn_native_pipeline: the transform's
results, argument conversion, the payload copy, and running without the
interpreter lock."""

import inspect
import os
import random
import sys
import threading

import pytest

import _corvalune_sys as m
from conftest import DEADLINE, PoolGate, wait_done, wait_result

MASK = (1 << 64) - 1
FUNCS = ["native_pipeline_transform", "spawn_native_pipeline"]


def reference(payload, rounds=100):
    h = 0xCBF29CE484222325
    for b in payload:
        h = ((h ^ b) * 0x100000001B3) & MASK
    lanes = [0, 0, 0, 0]
    for i in range(rounds):
        h = ((h << 13) | (h >> 51)) & MASK
        h ^= (i * 0x517CC1B727220A95) & MASK
        h = (h + 0x9E3779B97F4A7C15) & MASK
        if i % 4 == 0:
            lanes[(i // 4) % 4] = h
    return b"".join(lane.to_bytes(8, "little") for lane in lanes)


def run(func_name, *args, **kwargs):
    """Calls either entry point and returns the 32 bytes."""
    if func_name == "native_pipeline_transform":
        return m.native_pipeline_transform(*args, **kwargs)
    h = m.spawn_native_pipeline(*args, **kwargs)
    assert type(h) is m.NativeTask
    return wait_result(h)


def lanes(result):
    return [int.from_bytes(result[i : i + 8], "little") for i in range(0, 32, 8)]


@pytest.mark.parametrize("func_name", FUNCS)
@pytest.mark.parametrize(
    "payload, rounds, hexdigest",
    [
        (b"abc", 1, "f8f833aa619a7a92" + "00" * 24),
        (b"abc", 5, "f8f833aa619a7a92f3a5179ed6e2af70" + "00" * 16),
        (b"abc", 100, "806483d8ba2cd1df3c973ad015ecadb622e6316cc35f8e05f1fb1d5fa14a77e1"),
        (b"", 100, "b2804a84f0d233c8dfd68cc66ad91bd07e48e0caa18697f31459d6c4622828df"),
    ],
)
def test_worked_examples(func_name, payload, rounds, hexdigest):
    result = run(func_name, payload, rounds)
    assert type(result) is bytes
    assert result.hex() == hexdigest
    assert run(func_name, payload=payload, rounds=rounds) == result
    if rounds == 100:
        assert run(func_name, payload) == result


def test_reference_matches_the_worked_example_lanes():
    assert lanes(reference(b"abc")) == [
        0xDFD12CBAD8836480, 0xB6ADEC15D03A973C, 0x058E5FC36C31E622, 0xE1774AA15F1DFBF1,
    ]


@pytest.mark.parametrize("payload", [b"", b"\x00", b"abc", bytes(range(256)), b"\xff" * 1000])
def test_round_count_properties(payload):
    rounds = list(range(0, 21)) + [95, 96, 97, 98, 99, 100, 101]
    results = {r: m.native_pipeline_transform(payload, r) for r in rounds}
    for r, result in results.items():
        assert result == reference(payload, r), r
    assert results[0] == bytes(32)
    assert results[1] == results[2] == results[3] == results[4]
    assert lanes(results[1])[1:] == [0, 0, 0]
    assert lanes(results[5])[0] == lanes(results[4])[0] and lanes(results[5])[2:] == [0, 0]
    for r in range(13, 21):
        assert 0 not in lanes(results[r]), r
    # Rounds 97 to 99 move only the running hash.
    assert results[97] == results[98] == results[99] == results[100] != results[101]
    assert results[96] != results[97]


def test_spawned_results_match_the_direct_transform():
    rng = random.Random(20240611)
    cases = [(rng.randbytes(rng.randrange(0, 300)), rng.randrange(0, 300)) for _ in range(150)]
    cases += [(b"", 0), (b"x" * 100_000, 1000)]
    handles = [m.spawn_native_pipeline(p, r) for p, r in cases]
    for (payload, rounds), h in zip(cases, handles):
        expected = reference(payload, rounds)
        assert m.native_pipeline_transform(payload, rounds) == expected
        assert wait_result(h) == expected


def test_spawn_from_threads_and_from_a_pool_worker():
    payloads = [bytes([i]) * i for i in range(64)]
    results = {}

    def spawner(t):
        hs = [m.spawn_native_pipeline(p, 20 + t) for p in payloads]
        results[t] = [wait_result(h) for h in hs]

    threads = [threading.Thread(target=spawner, args=(t,)) for t in range(3)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(DEADLINE)
    for t in range(3):
        assert results[t] == [reference(p, 20 + t) for p in payloads]

    # From inside a callable task the job goes on that worker's own queue.
    inner = wait_result(m.spawn_callable(lambda: [m.spawn_native_pipeline(p, 7) for p in payloads]))
    assert [wait_result(h) for h in inner] == [reference(p, 7) for p in payloads]


def test_result_is_a_new_bytes_object_each_time():
    h = m.spawn_native_pipeline(b"abc", 5)
    first = wait_result(h)
    second = h.result()
    assert first == second == reference(b"abc", 5)
    assert first is not second
    assert type(first) is type(second) is bytes and len(first) == 32


def test_payload_is_copied_when_spawning():
    payload = os.urandom(1 << 16)
    expected = m.native_pipeline_transform(payload, 50)
    with PoolGate():
        baseline = sys.getrefcount(payload)
        h = m.spawn_native_pipeline(payload, 50)
        assert sys.getrefcount(payload) == baseline  # the object itself is not kept
        del payload
        # Reuse the freed memory while the task is still queued.
        junk = [b"\xaa" * (1 << 16) for _ in range(16)]
        assert not h.done()
    assert wait_result(h) == expected
    del junk


class BytesSubclass(bytes):
    def __iter__(self):
        raise AssertionError("the payload is read as raw bytes")

    def __len__(self):
        return 0


@pytest.mark.parametrize("func_name", FUNCS)
def test_accepted_argument_types(func_name):
    class Index:
        def __index__(self):
            return 5

    class Rounds(int):
        pass

    expected = reference(b"abc", 5)
    assert run(func_name, BytesSubclass(b"abc"), 5) == expected
    assert run(func_name, b"abc", Index()) == expected
    assert run(func_name, b"abc", Rounds(5)) == expected
    assert run(func_name, b"abc", True) == reference(b"abc", 1)
    assert run(func_name, b"abc", False) == bytes(32)


@pytest.mark.parametrize("func_name", FUNCS)
@pytest.mark.parametrize(
    "payload, message",
    [
        (bytearray(b"abc"), "'bytearray' object is not an instance of 'bytes'"),
        ("abc", "'str' object is not an instance of 'bytes'"),
        (None, "'None' is not an instance of 'bytes'"),
        (memoryview(b"abc"), "'memoryview' object is not an instance of 'bytes'"),
        (97, "'int' object is not an instance of 'bytes'"),
        ([97], "'list' object is not an instance of 'bytes'"),
    ],
)
def test_payload_must_be_bytes(func_name, payload, message):
    func = getattr(m, func_name)
    for call in (lambda: func(payload), lambda: func(payload=payload, rounds=1), lambda: func(payload, -1)):
        with pytest.raises(TypeError) as info:
            call()
        assert type(info.value) is TypeError
        assert str(info.value) == message
        assert info.value.__notes__ == ["while processing 'payload'"]


@pytest.mark.parametrize("func_name", FUNCS)
@pytest.mark.parametrize(
    "rounds, exc_type",
    [
        (-1, OverflowError),
        (2**64, OverflowError),
        (-(2**70), OverflowError),
        (None, TypeError),
        (1.5, TypeError),
        ("3", TypeError),
        (b"3", TypeError),
    ],
)
def test_rounds_must_be_an_unsigned_64_bit_integer(func_name, rounds, exc_type):
    func = getattr(m, func_name)
    for call in (lambda: func(b"abc", rounds), lambda: func(b"abc", rounds=rounds)):
        with pytest.raises(exc_type) as info:
            call()
        assert type(info.value) is exc_type
        assert info.value.__notes__ == ["while processing 'rounds'"]


@pytest.mark.parametrize("func_name", FUNCS)
@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, "{}() missing 1 required positional argument: 'payload'"),
        ((), {"rounds": 1}, "{}() missing 1 required positional argument: 'payload'"),
        ((b"", 1, 2), {}, "{}() takes from 1 to 2 positional arguments but 3 were given"),
        ((b"",), {"round": 1}, "{}() got an unexpected keyword argument 'round'"),
        ((b"",), {"payload": b""}, "{}() got multiple values for argument 'payload'"),
        ((b"", 1), {"rounds": 1}, "{}() got multiple values for argument 'rounds'"),
    ],
)
def test_binding_errors(func_name, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        getattr(m, func_name)(*args, **kwargs)
    assert str(info.value) == message.format(func_name)
    assert getattr(info.value, "__notes__", None) is None


def test_signatures_and_docstrings():
    for func in (m.native_pipeline_transform, m.spawn_native_pipeline):
        assert func.__text_signature__ == "(payload, rounds=100)"
        assert str(inspect.signature(func)) == "(payload, rounds=100)"
        assert func.__self__ is m
    assert m.spawn_native_pipeline.__doc__ == (
        "Spawn a native compute pipeline task directly onto Corvalune's work-stealing pool,\n"
        "returning an awaitable NativeTask."
    )
    first, second = m.native_pipeline_transform.__doc__.split("\n")
    assert "CPU-intensive native computation step" in first
    assert second == "Releases the GIL during execution to simulate a real-world native compute task."


def test_direct_transform_lets_other_python_threads_run():
    # While one thread is inside the transform, another Python thread keeps
    # making progress. Were the interpreter lock held, the spinner could only
    # count in the few bytecodes around the call.
    payload = bytes(1 << 20)
    state = {"inside": False, "stop": False}
    progress = []

    def spin():
        n = 0
        while not state["stop"]:
            if state["inside"]:
                n += 1
        progress.append(n)

    old_interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-4)
    spinner = threading.Thread(target=spin)
    spinner.start()
    try:
        state["inside"] = True
        result = m.native_pipeline_transform(payload, 200_000_000)
        state["inside"] = False
    finally:
        state["stop"] = True
        spinner.join(DEADLINE)
        sys.setswitchinterval(old_interval)
    assert len(result) == 32
    assert progress[0] > 300_000, progress

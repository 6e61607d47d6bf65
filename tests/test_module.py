"""The module surface: names, exceptions, docstrings, argument errors."""

import importlib
import inspect
import shutil
import subprocess
import sys
import tomllib
from pathlib import Path

import pytest

import _corvalune_sys as m
import corvalune

PYPROJECT = Path(__file__).resolve().parent.parent / "pyproject.toml"

# Every name the finished module adds, in the order it adds them.
FULL_ORDER = [
    "PanicInTask", "TaskCancelled", "RegistrationError", "PoolShutdownError",
    "CancellationToken", "RegisteredWorker", "NativeTask", "CallableTask",
    "BatchNativeTask", "BatchCallableTask",
    "is_free_threaded", "register_worker", "spawn_coroutine", "run_level1",
    "native_pipeline_transform", "spawn_native_pipeline", "batch_spawn_native_pipeline",
    "spawn_callable", "batch_spawn_callable", "spawn_isolated", "batch_spawn_isolated",
    "configure", "worker_count",
    "default_worker_count", "shutdown", "__version__",
]


def test_all_lists_every_name_in_order_of_addition():
    assert m.__all__ == FULL_ORDER
    assert all(hasattr(m, name) for name in FULL_ORDER)
    with open(PYPROJECT, "rb") as f:
        assert m.__version__ == tomllib.load(f)["project"]["version"]


@pytest.mark.parametrize(
    "name, doc, base",
    [
        ("PanicInTask", "Raised when an in-flight native task panics inside the shared executor.", Exception),
        ("TaskCancelled", "Raised when a task is cancelled cooperatively.", Exception),
        ("RegistrationError", "Raised when worker registration fails or is invoked with invalid state.", Exception),
        ("PoolShutdownError", None, RuntimeError),
    ],
)
def test_exceptions(name, doc, base):
    exc = getattr(m, name)
    assert exc.__module__ == "corvalune"
    assert exc.__name__ == name
    if doc is not None:
        assert exc.__doc__ == doc
    assert exc.__bases__ == (base,)
    others = {"PanicInTask", "TaskCancelled", "RegistrationError", "PoolShutdownError"} - {name}
    assert not any(issubclass(exc, getattr(m, o)) for o in others)


def test_second_import_shares_the_type_objects():
    saved = sys.modules.pop("_corvalune_sys")
    try:
        again = importlib.import_module("_corvalune_sys")
        assert again is not saved
        for name in ("PanicInTask", "TaskCancelled", "RegistrationError", "PoolShutdownError"):
            assert getattr(again, name) is getattr(saved, name)
        assert again.__all__ == saved.__all__
    finally:
        sys.modules["_corvalune_sys"] = saved


@pytest.mark.parametrize(
    "name, signature, doc_start",
    [
        ("is_free_threaded", "()", "Check whether the active Python runtime has free-threading (PEP 779 / No-GIL) enabled."),
        ("configure", "(workers=0)", "Set the size of Corvalune's shared worker pool.\n\n`workers = 0` selects"),
        ("worker_count", "()", "Number of workers in the shared pool, or `None` if the pool has not started."),
        ("default_worker_count", "()", "The worker count that `configure(0)` would choose on this machine."),
        ("shutdown", "()", "Stop Corvalune's background workers before the interpreter shuts down.\n\nRegistered as an `atexit` hook"),
    ],
)
def test_function_signatures_and_docstrings(name, signature, doc_start):
    func = getattr(m, name)
    assert func.__text_signature__ == signature
    assert func.__doc__.startswith(doc_start)
    assert str(inspect.signature(func)) == signature
    assert func.__self__ is m
    assert func.__module__ == "_corvalune_sys"


def test_configure_docstring_is_exact():
    assert m.configure.__doc__ == (
        "Set the size of Corvalune's shared worker pool.\n\n"
        "`workers = 0` selects the automatic count (one worker per logical CPU plus a small\n"
        "blocking headroom). The pool is process-wide and its size is fixed once it starts,\n"
        "so this must run before any Corvalune operation; otherwise a `RuntimeError` reports\n"
        "the size that is actually running, and `CORVALUNE_WORKERS` is the way to configure a\n"
        "pool that something else started first."
    )
    assert m.__doc__ == "Python extension module definition."


@pytest.mark.parametrize("name", ["is_free_threaded", "worker_count", "default_worker_count", "shutdown"])
def test_no_argument_functions_refuse_arguments(name):
    with pytest.raises(TypeError):
        getattr(m, name)(1)


@pytest.mark.parametrize(
    "args, kwargs, exc_type, message, note",
    [
        ((1, 2), {}, TypeError, "configure() takes from 0 to 1 positional arguments but 2 were given", None),
        ((), {"worker": 1}, TypeError, "configure() got an unexpected keyword argument 'worker'", None),
        ((1,), {"workers": 2}, TypeError, "configure() got multiple values for argument 'workers'", None),
        (("4",), {}, TypeError, "'str' object cannot be interpreted as an integer", "while processing 'workers'"),
        ((None,), {}, TypeError, "'NoneType' object cannot be interpreted as an integer", "while processing 'workers'"),
        ((4.0,), {}, TypeError, "'float' object cannot be interpreted as an integer", "while processing 'workers'"),
        ((-1,), {}, OverflowError, None, "while processing 'workers'"),
        ((2**64,), {}, OverflowError, None, "while processing 'workers'"),
        ((2**64 - 1,), {}, ValueError, "cannot start a Corvalune worker pool of 18446744073709551615 "
         "workers: the most a pool can have is 32768", None),
        ((2**40,), {}, ValueError, "cannot start a Corvalune worker pool of 1099511627776 "
         "workers: the most a pool can have is 32768", None),
    ],
)
def test_configure_argument_errors(args, kwargs, exc_type, message, note):
    # None of these start the pool.
    with pytest.raises(exc_type) as info:
        m.configure(*args, **kwargs)
    if message is not None:
        assert str(info.value) == message
    assert getattr(info.value, "__notes__", None) == ([note] if note else None)


def test_is_free_threaded_on_this_interpreter():
    assert m.is_free_threaded() is (not sys._is_gil_enabled())


@pytest.mark.parametrize(
    "replacement, expected",
    [
        (lambda: False, True),
        (lambda: True, False),
        (lambda: 0, False),
        (lambda: None, False),
        (lambda: 1 / 0, False),
        ("not callable", False),
    ],
)
def test_is_free_threaded_never_raises(monkeypatch, replacement, expected):
    monkeypatch.setattr(sys, "_is_gil_enabled", replacement)
    assert m.is_free_threaded() is expected


def test_is_free_threaded_without_the_probe(monkeypatch):
    monkeypatch.delattr(sys, "_is_gil_enabled")
    assert m.is_free_threaded() is False


def test_package_reexports_the_module():
    import corvalune

    for name in m.__all__:
        assert getattr(corvalune, name) is getattr(m, name)


@pytest.mark.parametrize("config", ["legacy", "isolated"])
def test_sub_interpreters_cannot_import_the_module(config):
    import _interpreters

    interp = _interpreters.create(_interpreters.new_config(config))
    try:
        failure = _interpreters.run_string(interp, "import _corvalune_sys")
    finally:
        _interpreters.destroy(interp)
    assert (failure.type.__name__, failure.msg) == (
        "ImportError", "module _corvalune_sys does not support loading in subinterpreters")


def test_only_the_module_entry_point_is_exported():
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm is not installed")
    out = subprocess.run([nm, "-D", "--defined-only", m.__file__], capture_output=True, text=True,
                         check=True).stdout
    assert [line.split()[-1] for line in out.splitlines()] == ["PyInit__corvalune_sys"]


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: m.spawn_callable(print, None, None, 1, foo=1),
         "spawn_callable() got an unexpected keyword argument 'foo'"),
        (lambda: m.spawn_callable(print, **{"\udc80": 1}),
         "spawn_callable() got an unexpected keyword argument '\udc80'"),
    ],
    ids=["keyword_before_surplus", "unencodable_keyword"],
)
def test_keyword_errors_follow_cpython(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


@pytest.mark.parametrize("kind", ["\ud800", "nat\x00ive"])
def test_an_unknown_worker_kind_is_quoted_whole(kind):
    with pytest.raises(m.RegistrationError) as info:
        m.register_worker(kind)
    assert str(info.value) == f"invalid worker kind: '{kind}', expected 'bilingual' or 'native'"


@pytest.mark.parametrize("level1", [False, True])
@pytest.mark.parametrize("bad", [42, None, print])
def test_run_refuses_what_is_not_awaitable_in_both_modes(bad, level1):
    with pytest.raises(TypeError, match="^An asyncio.Future, a coroutine or an awaitable is required$"):
        corvalune.run(bad, level1=level1)

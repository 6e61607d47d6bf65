"""How isolated calls cross between the main interpreter and the workers'
sub-interpreters: both sides of it, by value.

A call crosses as one pickle (protocol 5): the function by reference, its
arguments by value. What comes back is one pickle of the outcome. Large
``bytes``, ``bytearray`` and ``memoryview`` payloads travel out of band:
the pickle only names them, and the receiving interpreter makes its own
object from the sender's memory, one copy in all.

This module imports nothing but the standard library: the sub-interpreters
load it from its file (as ``_corvalune_crossing``), never through the
``corvalune`` package, whose native module they refuse. So nothing defined
here is ever pickled by name: the two sides may know it under two names.

Outcomes, as pickled by the sub-interpreter:
    (True, value)
    (False, exception_pickle_or_None, type_name, message, traceback_text)
"""

from __future__ import annotations

# The native pickle and io modules: their Python wrappers import much more
# (re, struct, ...), which every sub-interpreter would pay for when it starts.
import _io
import _pickle as pickle
import sys

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any

_PROTOCOL = 5
_FunctionType = type(lambda: None)
_BuiltinType = type(len)
# Top-level arguments and results at least this large cross out of band;
# below it, the plain pickle path is cheaper than the copy it saves.
_OUT_OF_BAND = 16 * 1024
# Functions each sub-interpreter keeps resolved, by their pickle.
_CACHE_LIMIT = 512


class IsolatedCallError(Exception):
    """An isolated call raised an exception that could not be sent back:
    its type name, message and traceback text, as a stand-in."""

    def __init__(self, type_name: str, message: str, traceback_text: str) -> None:
        super().__init__(f"{type_name}: {message}" if message else type_name)
        self.type_name = type_name
        self.message = message
        self.traceback_text = traceback_text


class RemoteTraceback(Exception):
    """The traceback of an isolated call's exception, as the sub-interpreter
    formatted it: the ``__cause__`` of the exception ``result()`` raises."""

    def __init__(self, text: str) -> None:
        super().__init__(text)
        self.text = text

    def __str__(self) -> str:
        return self.text


class _Bytes:
    """Marks a bytes or memoryview payload to cross out of band."""

    __slots__ = ("value",)

    def __init__(self, value: Any) -> None:
        self.value = value


class _Pickler(pickle.Pickler):
    def reducer_override(self, obj: Any) -> Any:
        kind = type(obj)
        if kind is _Bytes:
            # bytes(b) of the bytes object the receiver makes is that object.
            value = obj.value
            return (type(value), (pickle.PickleBuffer(value),))
        if kind is memoryview:
            # Any memoryview, at any depth: pickle cannot take one otherwise.
            return (memoryview, (pickle.PickleBuffer(obj.cast("B") if obj.c_contiguous else obj.tobytes()),))
        return NotImplemented


def _mark(value: Any) -> Any:
    kind = type(value)
    if kind is bytes:
        return _Bytes(value) if len(value) >= _OUT_OF_BAND else value
    if kind is bytearray:
        # A writable buffer arrives as the bytearray the receiver makes.
        return pickle.PickleBuffer(value) if len(value) >= _OUT_OF_BAND else value
    return value


def _needs_pickler(values: Any) -> bool:
    for value in values:
        kind = type(value)
        if kind is memoryview or ((kind is bytes or kind is bytearray) and len(value) >= _OUT_OF_BAND):
            return True
    return False


def _dumps(obj: Any, out_of_band: bool) -> Any:
    """The pickle of `obj` as bytes, or (bytes, [PickleBuffer, ...]) when
    some of it crosses out of band."""
    if not out_of_band:
        return pickle.dumps(obj, _PROTOCOL)
    buffers: list[pickle.PickleBuffer] = []
    stream = _io.BytesIO()
    _Pickler(stream, _PROTOCOL, buffer_callback=buffers.append).dump(obj)
    data = stream.getvalue()
    return (data, buffers) if buffers else data


# --- the caller's side --------------------------------------------------------


def _where(func: Any) -> str | None:
    """The module a function crossing by reference comes from."""
    while hasattr(func, "func") and hasattr(func, "args"):  # functools.partial
        func = func.func
    owner = getattr(func, "__self__", None)
    if owner is not None and not isinstance(owner, type(sys)):
        func = owner if isinstance(owner, type) else type(owner)
    return getattr(func, "__module__", None)


def _refuse(entry: str, what: str, index: str, value: Any, exc: BaseException) -> None:
    if isinstance(exc, MemoryError):
        raise exc  # no memory to pickle it: nothing says it cannot cross
    raise TypeError(f"{entry}: {what} {index}cannot be sent to a sub-interpreter "
                    f"({type(value).__qualname__}): {exc}") from exc


# The last function checked and its pickle: a burst of calls of one function
# (an executor's map, a loop of submits) checks and pickles it once.
_last_function: tuple[Any, bytes] | None = None


def _check_function(entry: str, func: Any) -> bytes:
    global _last_function
    last = _last_function
    if last is not None and last[0] is func:
        return last[1]
    if not callable(func):
        raise TypeError(f"{entry}: func must be callable, not {type(func).__qualname__}")
    if _where(func) == "__main__":
        name = getattr(func, "__qualname__", None) or repr(func)
        raise TypeError(
            f"{entry}: {name} is defined in the main script (__main__), which sub-interpreters do not "
            f"import: move it to a module and import it from there")
    try:
        key = pickle.dumps(func, _PROTOCOL)
    except Exception as exc:
        _refuse(entry, "the function", "", func, exc)
        raise  # unreachable
    if _by_name_only(func):
        _last_function = (func, key)
    return key


def _by_name_only(func: Any) -> bool:
    """True when `func` pickles as its name and nothing else (so its pickle
    cannot go stale): a function, a class, a builtin of a module."""
    kind = type(func)
    if kind is _FunctionType or isinstance(func, type):
        return True
    return kind is _BuiltinType and isinstance(getattr(func, "__self__", None), (type(None), type(sys)))


def _name_failure(entry: str, args: tuple[Any, ...], kwargs: dict[str, Any] | None, exc: Exception) -> None:
    """Raises a TypeError naming the argument that cannot be pickled."""
    for i, value in enumerate(args):
        try:
            _dumps(_mark(value), True)
        except Exception as inner:
            _refuse(entry, "argument", f"{i} ", value, inner)
    for name, value in (kwargs or {}).items():
        try:
            _dumps(_mark(value), True)
        except Exception as inner:
            _refuse(entry, "keyword argument", f"{name!r} ", value, inner)
    raise TypeError(f"{entry}: the arguments cannot be sent to a sub-interpreter: {exc}") from exc


def send_call(func: Any, args: tuple[Any, ...] | None, kwargs: dict[str, Any] | None,
              initializer: Any = None) -> Any:
    """The pickle of one call (see _dumps for its form). Raises TypeError
    naming what cannot cross."""
    entry = "spawn_isolated()"
    key = _check_function(entry, func)
    args = args or ()
    big = _needs_pickler(args) or (kwargs is not None and _needs_pickler(kwargs.values()))
    if big:
        args = tuple(_mark(a) for a in args)
        if kwargs:
            kwargs = {k: _mark(v) for k, v in kwargs.items()}
    try:
        return _dumps((key, args, kwargs or None, initializer), big)
    except MemoryError:
        raise
    except Exception as exc:
        if not big:  # a memoryview inside another argument
            try:
                return _dumps((key, args, kwargs or None, initializer), True)
            except MemoryError:
                raise
            except Exception:
                pass
        _name_failure(entry, args, kwargs, exc)
        raise  # unreachable


def send_chunk(func: Any, items: list[tuple[Any, ...]], initializer: Any = None, first: int = 0) -> Any:
    """The pickle of one chunk of a batch: one call per argument tuple.
    `first`: the batch's index of the chunk's first item."""
    entry = "batch_spawn_isolated()"
    key = _check_function(entry, func)
    big = any(_needs_pickler(item) for item in items)
    if big:
        items = [tuple(_mark(a) for a in item) for item in items]
    try:
        return _dumps((key, items, initializer), big)
    except MemoryError:
        raise
    except Exception as exc:
        if not big:  # a memoryview inside an argument
            try:
                return _dumps((key, items, initializer), True)
            except MemoryError:
                raise
            except Exception:
                pass
        for number, item in enumerate(items):
            try:
                _dumps(item, True)
            except MemoryError:
                raise
            except Exception as inner:
                raise TypeError(f"{entry}: item {first + number} cannot be sent to a sub-interpreter: {inner}") from inner
        raise TypeError(f"{entry}: the items cannot be sent to a sub-interpreter: {exc}") from exc


def _rebuild(outcome: tuple[Any, ...]) -> tuple[bool, Any]:
    if outcome[0]:
        return True, outcome[1]
    _, data, type_name, message, text = outcome
    exc: BaseException | None = None
    if data is not None:
        try:
            exc = pickle.loads(data)
        except Exception:
            exc = None
        if not isinstance(exc, BaseException):
            exc = None
    if exc is None:
        exc = IsolatedCallError(type_name, message, text)
    exc.__cause__ = RemoteTraceback(f'\n"""\n{text}"""')
    return False, exc


def take_outcome(data: Any, buffers: list[Any] | None) -> tuple[bool, Any]:
    """(True, value) or (False, exception) of one call's outcome."""
    return _rebuild(pickle.loads(data, buffers=buffers))


def take_outcomes(data: Any, buffers: list[Any] | None) -> list[tuple[bool, Any]]:
    """The outcomes of one chunk, in order."""
    return [_rebuild(outcome) for outcome in pickle.loads(data, buffers=buffers)]


# --- the sub-interpreter's side ------------------------------------------------

_functions: dict[bytes, Any] = {}
# The initializers run here, by their executor's token, oldest first; only
# the latest few hundred are remembered, so that executors made one after
# another do not grow it without end.
_initialized: dict[Any, None] = {}
_INITIALIZED_LIMIT = 256


def _resolve(key: bytes) -> Any:
    func = _functions.get(key)
    if func is None:
        func = pickle.loads(key)
        if len(_functions) >= _CACHE_LIMIT:
            _functions.clear()
        _functions[key] = func
    return func


def _source_line(filename: str, lineno: int) -> str | None:
    try:
        with open(filename, encoding="utf-8", errors="replace") as f:
            for number, line in enumerate(f, 1):
                if number == lineno:
                    return line.strip()
    except OSError:
        pass
    return None


def _format(exc: BaseException) -> str:
    """The traceback text of `exc` as traceback.format_exception writes it
    (without its column marks), made without importing traceback: that
    import costs a new sub-interpreter far more than the call it reports."""
    if "traceback" in sys.modules:
        return "".join(sys.modules["traceback"].format_exception(exc))
    parts: list[str] = []
    seen: set[int] = set()
    while exc is not None and id(exc) not in seen:
        seen.add(id(exc))
        lines = ["Traceback (most recent call last):\n"] if exc.__traceback__ is not None else []
        tb = exc.__traceback__
        while tb is not None:
            code = tb.tb_frame.f_code
            lines.append(f'  File "{code.co_filename}", line {tb.tb_lineno}, in {code.co_name}\n')
            source = _source_line(code.co_filename, tb.tb_lineno)
            if source:
                lines.append(f"    {source}\n")
            tb = tb.tb_next
        try:
            text = str(exc)
        except Exception:
            text = "<exception str() failed>"
        name = type(exc).__qualname__
        if type(exc).__module__ not in ("builtins", "__main__"):
            name = f"{type(exc).__module__}.{name}"
        lines.append(f"{name}: {text}\n" if text else f"{name}\n")
        parts[:0] = lines
        if exc.__cause__ is not None:
            parts.insert(0, "\nThe above exception was the direct cause of the following exception:\n\n")
            exc = exc.__cause__
        elif exc.__context__ is not None and not exc.__suppress_context__:
            parts.insert(0, "\nDuring handling of the above exception, another exception occurred:\n\n")
            exc = exc.__context__
        else:
            break
    return "".join(parts)


def _failure(exc: BaseException) -> tuple[Any, ...]:
    text = _format(exc)
    type_name = type(exc).__qualname__
    module = type(exc).__module__
    if module not in ("builtins", "__main__"):
        type_name = f"{module}.{type_name}"
    try:
        message = str(exc)
    except Exception:
        message = "<exception str() failed>"
    try:
        data = pickle.dumps(exc, _PROTOCOL)
    except Exception:
        data = None
    exc.__traceback__ = None  # the frames are done with
    return (False, data, type_name, message, text)


def _initialize(initializer: Any) -> None:
    # (token, initializer, initargs): run once per interpreter and token.
    token, func, args = initializer
    if token not in _initialized:
        if len(_initialized) >= _INITIALIZED_LIMIT:
            del _initialized[next(iter(_initialized))]
        _initialized[token] = None
        func(*args)


def _call(func: Any, args: tuple[Any, ...], kwargs: dict[str, Any] | None) -> tuple[Any, ...]:
    try:
        return (True, func(*args, **kwargs) if kwargs else func(*args))
    except BaseException as exc:  # SystemExit and KeyboardInterrupt too: the call's failure
        return _failure(exc)


def _send_back(outcome: Any, big: bool) -> Any:
    try:
        return _dumps(outcome, big)
    except BaseException as exc:
        if not big:  # a memoryview inside the result
            try:
                return _dumps(outcome, True)
            except BaseException:
                pass
        return None, exc


def run_call(data: Any, buffers: list[Any] | None) -> Any:
    """Runs one call; returns the pickle of its outcome (see _dumps)."""
    try:
        key, args, kwargs, initializer = pickle.loads(data, buffers=buffers)
        func = _resolve(key)
        if initializer is not None:
            _initialize(initializer)
    except BaseException as exc:
        return _dumps(_failure(exc), False)
    outcome = _call(func, args, kwargs)
    del args, kwargs
    value = outcome[1] if outcome[0] else None
    big = outcome[0] and _needs_pickler((value,))
    sent = _send_back((True, _mark(value)) if big else outcome, big)
    if type(sent) is tuple and sent[0] is None:
        sent = _dumps(_failure(sent[1]), False)
    return sent


def run_chunk(data: Any, buffers: list[Any] | None, count: int) -> Any:
    """Runs the `count` calls of one chunk; returns the pickle of their
    outcomes."""
    try:
        key, items, initializer = pickle.loads(data, buffers=buffers)
        func = _resolve(key)
        if initializer is not None:
            _initialize(initializer)
    except BaseException as exc:
        # Every call of the chunk fails the same way.
        return _dumps([_failure(exc)] * count, False)
    outcomes = [_call(func, item, None) for item in items]
    del items
    big = any(o[0] and _needs_pickler((o[1],)) for o in outcomes)
    if big:
        outcomes = [(True, _mark(o[1])) if o[0] else o for o in outcomes]
    sent = _send_back(outcomes, big)
    if type(sent) is tuple and sent[0] is None:
        # Some result cannot be pickled: those calls fail, the others keep
        # their values.
        checked = []
        for outcome in outcomes:
            try:
                _dumps(outcome, big)
                checked.append(outcome)
            except BaseException as exc:
                checked.append(_failure(exc))
        sent = _dumps(checked, big)
    return sent

"""Functions the isolated-call tests run in sub-interpreters: importable by
reference, and importing nothing that sub-interpreters refuse."""

import functools
import threading

_initialized = []


def interpreter():
    """(interpreter id, thread id) of the running call."""
    import _interpreters

    return _interpreters.get_current()[0], threading.get_ident()


def echo(*args, **kwargs):
    return args, kwargs


def fail(text):
    raise ValueError(text)


class Unpicklable(Exception):
    def __reduce__(self):
        raise TypeError("not this one")


def fail_unpicklable():
    raise Unpicklable("kept message")


def raise_base(kind):
    raise {"SystemExit": SystemExit(3), "KeyboardInterrupt": KeyboardInterrupt()}[kind]


def import_module():
    import _corvalune_sys  # noqa: F401


def spin():
    while True:
        pass


def square(x):
    return x * x


def initialize(value):
    _initialized.append(value)


def initialized():
    return list(_initialized)


class Scale:
    def __init__(self, factor):
        self.factor = factor

    def apply(self, x):
        return self.factor * x


triple = functools.partial(Scale(3).apply)


def busy(seconds):
    """Pure-Python work for `seconds`."""
    import time

    end = time.monotonic() + seconds
    while time.monotonic() < end:
        pass


def busy_then(seconds, value):
    """`value` after pure-Python work for `seconds`; raises it if it is an exception."""
    busy(seconds)
    if isinstance(value, BaseException):
        raise value
    return value

"""Corvalune: a native work-stealing task pool for Python.

One process-wide pool of native worker threads runs native transforms,
Python callables and coroutines; every spawn returns a handle that can be
polled, given callbacks and awaited from asyncio.
"""

import asyncio as _asyncio
import atexit as _atexit

import _corvalune_sys
from _corvalune_sys import *  # noqa: F401,F403

__all__ = list(_corvalune_sys.__all__) + ["run"]
__version__ = _corvalune_sys.__version__

# Stop the workers before the interpreter finalizes, so that none of them
# touches the interpreter while it is being torn down.
_atexit.register(_corvalune_sys.shutdown)


def run(coro, *, level1=False):
    """Run a coroutine to completion and return its result.

    With *level1* false (the default), run it in a new asyncio event loop,
    exactly as :func:`asyncio.run` does, so that every asyncio feature is
    available. With *level1* true, drive it on Corvalune's worker pool
    without an event loop (:func:`run_level1`): the coroutine may await
    Corvalune's task handles and objects with ``add_done_callback()`` such
    as :class:`asyncio.Future`.
    """
    if level1:
        return _corvalune_sys.run_level1(coro)
    return _asyncio.run(coro)

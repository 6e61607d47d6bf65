"""Corvalune: a native work-stealing task pool for Python.

One process-wide pool of native worker threads runs native transforms,
Python callables and coroutines; every spawn returns a handle that can be
polled, given callbacks and awaited from asyncio.
"""

import atexit as _atexit

import _corvalune_sys
from _corvalune_sys import *  # noqa: F401,F403

__all__ = list(_corvalune_sys.__all__)
__version__ = _corvalune_sys.__version__

# Stop the workers before the interpreter finalizes, so that none of them
# touches the interpreter while it is being torn down.
_atexit.register(_corvalune_sys.shutdown)

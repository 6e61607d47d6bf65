"""Helpers shared by the test modules: fresh interpreters, waiting for
handles, and holding the pool's workers."""

import gc
import os
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import _corvalune_sys as m

# Tests here hold every worker (PoolGate) and need what they queue meanwhile
# to stay queued: the pool of this process never adds extra workers. Tests
# of extra workers run in fresh interpreters (run_python).
m._set_extra_worker_limit(0)


def run_python(code, *, env=None, timeout=60, check=True):
    """Runs `code` in a fresh interpreter (the pool is per process)."""
    full_env = dict(os.environ)
    full_env.pop("CORVALUNE_WORKERS", None)
    if env:
        full_env.update(env)
    proc = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        env=full_env,
        timeout=timeout,
    )
    if check and proc.returncode != 0:
        raise AssertionError(
            f"child exited with {proc.returncode}\nstdout:\n{proc.stdout}\nstderr:\n{proc.stderr}"
        )
    return proc


@pytest.fixture
def python():
    return run_python


DEADLINE = 30.0
# The note of the error that result() raises before the work is done.
WAIT_NOTE = "wait for it first: `await handle`, or `corvalune.wait([handle])` from a thread"
ABC_100 = bytes.fromhex("806483d8ba2cd1df3c973ad015ecadb622e6316cc35f8e05f1fb1d5fa14a77e1")


def wait_done(*handles, timeout=DEADLINE):
    deadline = time.monotonic() + timeout
    for h in handles:
        while not h.done():
            if time.monotonic() > deadline:
                raise AssertionError(f"{h!r} did not complete within {timeout} s")
            time.sleep(0.0005)


def wait_result(handle):
    wait_done(handle)
    return handle.result()


class PoolGate:
    """Occupies every pool worker until opened, so that work spawned inside
    the block stays queued. Entering also proves that every worker has
    finished what it was running before, done callbacks included."""

    def __enter__(self):
        wait_done(m.spawn_callable(int))  # starts the pool if needed
        n = m.worker_count()
        self._open = threading.Event()
        started = threading.Semaphore(0)

        def occupy():
            started.release()
            self._open.wait(DEADLINE)

        self._blockers = [m.spawn_callable(occupy) for _ in range(n)]
        for _ in range(n):
            if not started.acquire(timeout=DEADLINE):
                self._open.set()
                raise AssertionError("the pool workers did not all pick up a gate task")
        return self

    def open(self):
        self._open.set()

    def __exit__(self, *exc_info):
        self._open.set()
        wait_done(*self._blockers)


def quiesce():
    """Returns once every worker has finished the work it had started."""
    with PoolGate():
        pass


def eventually(predicate, what):
    """Polls `predicate`, letting a pool thread attach between looks (which
    releases references dropped by detached threads) and collecting cycles."""
    deadline = time.monotonic() + DEADLINE
    while not predicate():
        if time.monotonic() > deadline:
            raise AssertionError(what)
        wait_done(m.spawn_callable(int))
        gc.collect()

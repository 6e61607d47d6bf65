import os
import subprocess
import sys
import textwrap

import pytest


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

"""A virtual environment of one's own beside the project's (make venv): made
from the project's CPython 3.14, its pip installs libraries, and corvalune
is importable in it."""

import os
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent


def test_a_layered_venv_installs_beside_corvalune(tmp_path):
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "PYTHONPATH", "CORVALUNE_WORKERS")}
    # A wheel the provisioned interpreter ships, so that no network is needed.
    wheels = Path(sys.base_prefix) / "share" / "python-wheels"
    if not list(wheels.glob("setuptools-*.whl")):
        pytest.skip(f"no setuptools wheel in {wheels} to install offline")
    venv = tmp_path / "env"

    def run(*cmd):
        proc = subprocess.run([str(c) for c in cmd], cwd=tmp_path, env=env, capture_output=True, text=True,
                              timeout=300)
        assert proc.returncode == 0, proc.stderr[-4000:]
        return proc.stdout

    run(ROOT / "tools" / "make-venv.sh", "--layered", venv)
    run(venv / "bin" / "pip", "install", "-q", "--no-index", "--find-links", wheels, "setuptools")
    out = run(venv / "bin" / "python", "-c", "import corvalune, setuptools; print(setuptools.__file__); "
              "print(corvalune.Executor().submit(pow, 2, 5).result())")
    assert out.splitlines()[0].startswith(str(venv)) and out.splitlines()[1] == "32"

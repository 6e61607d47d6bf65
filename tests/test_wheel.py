"""The distribution as users get it: `python -m build` (isolated, build
requirements from PyPI) makes the sdist and, from the sdist alone, the wheel;
the wheel goes into a fresh environment outside the source tree."""

import os
import re
import subprocess
import sys
import tarfile
import textwrap
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
BUILD_TIMEOUT = 900

# The build counts against the first test's limit.
pytestmark = pytest.mark.timeout(BUILD_TIMEOUT + 180)


def run(cmd, *, cwd, timeout=120):
    env = dict(os.environ)
    # Nothing may lead the children back to the source tree or to a build made
    # for the tests (nor carry a sanitizer runtime into the compiler).
    for name in ("PYTHONPATH", "PYTHONHOME", "MYPYPATH", "LD_PRELOAD", "PYTHONMALLOC", "CORVALUNE_WORKERS"):
        env.pop(name, None)
    env["PYTHONNOUSERSITE"] = "1"
    # Ninja would otherwise take every core of a shared machine.
    env.setdefault("CMAKE_BUILD_PARALLEL_LEVEL", os.environ.get("JOBS", "2"))
    proc = subprocess.run([str(c) for c in cmd], cwd=cwd, env=env, capture_output=True, text=True,
                          timeout=timeout)
    assert proc.returncode == 0, (
        f"{cmd} exited with {proc.returncode}\nstdout:\n{proc.stdout[-6000:]}\nstderr:\n{proc.stderr[-6000:]}")
    return proc


@pytest.fixture(scope="module")
def dist(tmp_path_factory):
    out = tmp_path_factory.mktemp("dist")
    run([sys.executable, "-m", "build", "--outdir", out, ROOT], cwd=out, timeout=BUILD_TIMEOUT)
    (sdist,) = out.glob("corvalune-*.tar.gz")
    (wheel,) = out.glob("corvalune-*.whl")
    return sdist, wheel


@pytest.fixture(scope="module")
def venv_python(dist, tmp_path_factory):
    env_dir = tmp_path_factory.mktemp("venv") / "env"
    # Debian's interpreter may lack ensurepip: the outer pip installs into it.
    run([sys.executable, "-m", "venv", "--without-pip", env_dir], cwd=env_dir.parent)
    python = env_dir / "bin" / "python"
    run([sys.executable, "-m", "pip", "--python", python, "install", "--no-deps", "--no-index",
         "--disable-pip-version-check", dist[1]], cwd=env_dir.parent)
    return python


def test_sdist_leaves_out_local_state(dist):
    with tarfile.open(dist[0]) as tar:
        tops = {Path(name).parts[1] for name in tar.getnames() if len(Path(name).parts) > 1}
    assert not tops & {"build", ".venv", ".toolchain", "dist", ".git"}, sorted(tops)


def test_installed_wheel_imports_and_spawns(venv_python, tmp_path):
    proc = run([venv_python, ROOT / "tests" / "wheel_smoke.py"], cwd=tmp_path, timeout=60)
    assert " OK on " in proc.stdout


def test_type_checker_reads_installed_type_information(venv_python, tmp_path):
    (tmp_path / "use.py").write_text(textwrap.dedent("""\
        import _corvalune_sys
        import corvalune
        reveal_type(corvalune.spawn_callable(int, ("7",)))
    """))
    # A missing stub package or py.typed marker fails --strict (import-untyped).
    proc = run([sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--python-executable",
                venv_python, "use.py"], cwd=tmp_path, timeout=180)
    assert re.search(r'Revealed type is "_corvalune_sys\.CallableTask\[(builtins\.)?int\]"', proc.stdout), proc.stdout

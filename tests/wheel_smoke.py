"""Checks an installed corvalune: run by the wheel test and by cibuildwheel,
with the interpreter of the environment the wheel went into and a working
directory outside the source tree."""

import importlib.metadata
import sys
import sysconfig
import time
from pathlib import Path

import _corvalune_sys
import corvalune

site = {Path(sysconfig.get_paths()[k]).resolve() for k in ("purelib", "platlib")}


def installed(path):
    """The installed root `path` lies in, or fails if it lies in none."""
    path = Path(path).resolve()
    root = next((s for s in site if path.is_relative_to(s)), None)
    assert root is not None, f"{path} is not under {sorted(site)}: the source tree was imported"
    return root


installed(corvalune.__file__)
root = installed(_corvalune_sys.__file__)
# PEP 561 locations: the marker inside the package, the extension's stubs as a
# stub-only package (a lone .pyi beside the .so is not read by type checkers).
assert (Path(corvalune.__file__).parent / "py.typed").is_file(), "py.typed missing"
assert (root / "_corvalune_sys-stubs" / "__init__.pyi").is_file(), "stubs missing"

dist = importlib.metadata.version("corvalune")
assert corvalune.__version__ == dist, (corvalune.__version__, dist)

handle = corvalune.spawn_callable(int, ("7",))
deadline = time.monotonic() + 30
while not handle.done():
    assert time.monotonic() < deadline, "spawned callable did not complete within 30 s"
    time.sleep(0.001)
assert handle.result() == 7, handle.result()
print(f"corvalune {dist} OK on {sys.platform} {sysconfig.get_platform()}")

"""The typed example program also runs (a fresh interpreter: it shuts the pool down)."""

import pathlib
import subprocess
import sys


def test_typed_example_runs():
    example = pathlib.Path(__file__).parent / "typing" / "example.py"
    proc = subprocess.run([sys.executable, str(example)], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    assert "806483d8ba2cd1df3c973ad015ecadb622e6316cc35f8e05f1fb1d5fa14a77e1" in proc.stdout

"""python -m corvalune, the demo: runs to its table where the system has no
CPU affinity call (macOS), and checks its own results."""

from conftest import run_python


def test_demo_runs_without_cpu_affinity():
    proc = run_python("""
        import os
        del os.sched_getaffinity
        os.process_cpu_count = os.cpu_count  # as os defines it on such systems
        from corvalune.__main__ import main
        main(["--payloads", "3000", "--callables", "3000", "--workers", "2"])
    """, timeout=120)
    assert "batch_spawn_callable" in proc.stdout.splitlines()[-3]

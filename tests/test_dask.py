"""Dask on the pool: the threaded scheduler locally, and corvalune.dask's
worker plugin on a real two-process cluster."""

import os
import subprocess
import sys
import textwrap

import pytest

pytest.importorskip("distributed")

from conftest import run_python  # noqa: E402

# A task that spawns a batch and blocks its thread, without spinning, until
# the batch is done; it returns the digests and its thread's OS name.
SPAWN_AND_WAIT = """
    import threading, corvalune

    PAYLOADS = [bytes([i]) * 256 for i in range(16)]

    def spawn_and_wait(i):
        done = threading.Event()
        batch = corvalune.batch_spawn_native_pipeline(PAYLOADS[i:] + PAYLOADS[:i], 10)
        batch.add_done_callback(done.set)
        assert done.wait(60)
        with open(f"/proc/self/task/{threading.get_native_id()}/comm") as f:
            return batch.result(), f.read().strip()
"""

LOCAL = SPAWN_AND_WAIT + """
    import dask

    serial = [[corvalune.native_pipeline_transform(p, 10) for p in PAYLOADS[i:] + PAYLOADS[:i]] for i in range(16)]
    # As many tasks at once as the pool has threads, each waiting for a
    # batch queued behind all of them: extra workers run the batches.
    with dask.config.set(pool=corvalune.Executor(), scheduler="threads"):
        out = dask.compute(*[dask.delayed(spawn_and_wait)(i) for i in range(16)])
    assert [digests for digests, _ in out] == serial
    assert {comm for _, comm in out} == {"corvalune-worke"}
    print("ok")
"""


def test_threaded_scheduler_at_the_pools_size_runs_tasks_that_wait_for_their_batches():
    assert run_python(LOCAL, timeout=120).stdout.strip() == "ok"


CLUSTER = SPAWN_AND_WAIT + """
    import corvalune.dask
    from distributed import Client, LocalCluster, get_worker

    def task(i):
        # get_worker() fails unless the worker ran the task with its context.
        return *spawn_and_wait(i), get_worker().address

    if __name__ == "__main__":
        serial = [[corvalune.native_pipeline_transform(p, 10) for p in PAYLOADS[i:] + PAYLOADS[:i]] for i in range(16)]
        with LocalCluster(n_workers=2, threads_per_worker=2, processes=True, host="127.0.0.1",
                          dashboard_address=None) as cluster, Client(cluster) as client:
            client.register_plugin(corvalune.dask.CorvalunePlugin())
            out = client.gather(client.map(task, range(16), pure=False))
            assert [d for d, _, _ in out] == serial
            assert {c for _, c, _ in out} == {"corvalune-worke"}, out
            assert len({a for _, _, a in out}) == 2, "expected both workers to run tasks"
            # Removing the plugin gives the workers their own thread pools back.
            client.unregister_worker_plugin("corvalune")
            after = client.gather(client.map(task, range(4), pure=False))
            assert [d for d, _, _ in after] == serial[:4]
            assert "corvalune-worke" not in {c for _, c, _ in after}, after
            client.register_plugin(corvalune.dask.CorvalunePlugin())
            assert client.submit(task, 3, pure=False).result()[1] == "corvalune-worke"
        print("closed")
"""


def test_cluster_tasks_run_on_each_workers_pool_and_close_cleanly(tmp_path):
    # A script file, not -c: the worker processes are spawned and re-import __main__.
    script = tmp_path / "cluster.py"
    script.write_text(textwrap.dedent(CLUSTER))
    env = {k: v for k, v in os.environ.items() if k != "CORVALUNE_WORKERS"}
    proc = subprocess.run([sys.executable, str(script)], capture_output=True, text=True, env=env, timeout=120)
    assert proc.returncode == 0 and proc.stdout.strip().endswith("closed"), proc.stderr
    # Closing with the plugin still registered must not leave threads,
    # processes or semaphores behind, nor fail the plugin's teardown.
    for sign in ("leak", "still alive", "Traceback", "failed to teardown", "Killing"):
        assert sign not in proc.stderr, proc.stderr

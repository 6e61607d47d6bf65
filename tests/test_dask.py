"""Dask on the pool: the threaded scheduler locally, and corvalune.dask's
worker plugin on a real two-process cluster."""

import os
import subprocess
import sys
import textwrap
import threading

import pytest

pytest.importorskip("distributed")

import dask  # noqa: E402

import corvalune  # noqa: E402

PAYLOADS = [bytes([i]) * 256 for i in range(16)]


def thread_comm():
    # The OS name of a pool thread, as Python's name for it says nothing.
    with open(f"/proc/self/task/{threading.get_native_id()}/comm") as f:
        return f.read().strip()


def spawn_and_wait(i):
    # Blocks its thread without spinning, so the batch needs other pool threads.
    done = threading.Event()
    batch = corvalune.batch_spawn_native_pipeline(PAYLOADS[i:] + PAYLOADS[:i], 10)
    batch.add_done_callback(done.set)
    assert done.wait(30)
    return batch.result(), thread_comm()


def test_threaded_scheduler_runs_tasks_and_their_batches_on_the_pool():
    serial = [[corvalune.native_pipeline_transform(p, 10) for p in PAYLOADS[i:] + PAYLOADS[:i]] for i in range(8)]
    # Dask runs as many tasks at once as the executor reports; each blocks a
    # pool thread, so all but one thread are blocked and that one must run
    # every batch.
    size = corvalune.Executor()._max_workers
    if size < 2:
        pytest.skip("needs a pool of at least 2 threads")
    with dask.config.set(pool=corvalune.Executor(max_workers=size - 1), scheduler="threads"):
        out = dask.compute(*[dask.delayed(spawn_and_wait)(i) for i in range(8)])
    assert [digests for digests, _ in out] == serial
    assert {comm for _, comm in out} == {"corvalune-worke"}


CLUSTER = """
    import os, threading, corvalune, corvalune.dask
    from distributed import Client, LocalCluster, get_worker

    PAYLOADS = [bytes([i]) * 256 for i in range(16)]

    def task(i):
        done = threading.Event()
        batch = corvalune.batch_spawn_native_pipeline(PAYLOADS[i:] + PAYLOADS[:i], 10)
        batch.add_done_callback(done.set)
        assert done.wait(30)
        with open(f"/proc/self/task/{threading.get_native_id()}/comm") as f:
            comm = f.read().strip()
        # get_worker() fails unless the worker ran the task with its context.
        return batch.result(), comm, get_worker().address

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

"""A process that forks after the pool started: the child never hangs, and
its first use of the pool starts a fresh pool of the same size (the parent's
queued work is not run there)."""

import os

import pytest

from conftest import run_python

WATCHDOG = """
import faulthandler, sys
faulthandler.dump_traceback_later(60, exit=True)
"""


@pytest.mark.parametrize("busy_parent", [False, True])
def test_os_fork_child_starts_a_fresh_pool_of_the_same_size(busy_parent):
    proc = run_python(WATCHDOG + f"""
import os, threading, time, warnings
import _corvalune_sys as m
warnings.simplefilter("ignore", DeprecationWarning)
m.configure(3)
gate = threading.Event()
ran_in_child = []
if {busy_parent}:
    # Work queued and running in the parent while it forks.
    blockers = [m.spawn_callable(gate.wait, (5,)) for _ in range(3)]
    queued = [m.spawn_callable(ran_in_child.append, (i,)) for i in range(20)]
def wait(h):
    deadline = time.monotonic() + 30
    while not h.done():
        assert time.monotonic() < deadline, "child pool never ran the task"
        time.sleep(0.001)
    return h.result()
pid = os.fork()
if pid == 0:
    code = 1
    try:
        size_before = m.worker_count()
        results = [wait(m.spawn_callable(pow, (2, i))) for i in range(50)]
        batch = wait(m.batch_spawn_native_pipeline([b"abc"] * 20))
        async def coro():
            return await m.spawn_callable(int, ("5",))
        level1 = m.run_level1(coro())
        try:
            m.configure(2)
            refused = False
        except RuntimeError as e:
            refused = "3 workers" in str(e)
        ok = (size_before == 3 and m.worker_count() == 3 and results == [2 ** i for i in range(50)]
              and batch == [m.native_pipeline_transform(b"abc")] * 20 and level1 == 5 and refused
              and ran_in_child == [])
        code = 0 if ok else 2
    finally:
        os._exit(code)
gate.set()
_, status = os.waitpid(pid, 0)
print(os.waitstatus_to_exitcode(status))
""", timeout=120)
    assert proc.stdout.strip().splitlines()[-1] == "0", proc.stderr


def test_multiprocessing_fork_context():
    proc = run_python(WATCHDOG + """
import multiprocessing, time, warnings
import _corvalune_sys as m
warnings.simplefilter("ignore", DeprecationWarning)

def child(queue):
    h = m.spawn_native_pipeline(b"abc")
    deadline = time.monotonic() + 30
    while not h.done() and time.monotonic() < deadline:
        time.sleep(0.001)
    queue.put((h.result() == m.native_pipeline_transform(b"abc"), m.worker_count()))

if __name__ == "__main__":
    m.configure(2)
    m.spawn_callable(int).result if False else None
    ctx = multiprocessing.get_context("fork")
    queue = ctx.Queue()
    workers = [ctx.Process(target=child, args=(queue,)) for _ in range(3)]
    for p in workers: p.start()
    results = [queue.get(timeout=60) for _ in workers]
    for p in workers: p.join(60)
    print(results, [p.exitcode for p in workers])
""", timeout=120)
    assert proc.stdout.strip() == "[(True, 2), (True, 2), (True, 2)] [0, 0, 0]", proc.stderr


def test_a_registration_inherited_through_fork_is_deregistered_in_the_child():
    proc = run_python(WATCHDOG + """
import os, threading, time, warnings
import _corvalune_sys as m
warnings.simplefilter("ignore", DeprecationWarning)
m._set_extra_worker_limit(0)  # the queued calls wait behind the held worker
m.configure(1)
gate = threading.Event()
blocker = m.spawn_callable(gate.wait, (5,))
w = m.register_worker()
ran = []
# Queued on the global queue by an unregistered thread while the only pool
# thread is busy.
t = threading.Thread(target=lambda: [m.spawn_callable(ran.append, (i,)) for i in range(50)])
t.start(); t.join()
pid = os.fork()
if pid == 0:
    code = 1
    try:
        errors = []
        for call in (w.run_one, w.run_until_idle, w.worker_id):
            try:
                call()
            except m.RegistrationError as exc:
                errors.append(str(exc))
        h = m.spawn_callable(int, ("3",))
        deadline = time.monotonic() + 30
        while not h.done():
            assert time.monotonic() < deadline
            time.sleep(0.001)
        ok = (errors == ["worker has already been deregistered"] * 3 and w.deregister() is None
              and h.result() == 3 and ran == [])
        code = 0 if ok else 2
    finally:
        os._exit(code)
gate.set()
_, status = os.waitpid(pid, 0)
w.deregister()
print(os.waitstatus_to_exitcode(status))
""", timeout=120)
    assert proc.stdout.strip().splitlines()[-1] == "0", proc.stderr


def test_a_forked_child_cancels_the_executors_pending_calls():
    proc = run_python("""
        import os, threading, time, warnings, corvalune
        warnings.simplefilter("ignore", DeprecationWarning)  # fork with threads running
        corvalune.configure(1)
        gate = threading.Event()
        with corvalune.Executor() as ex:  # spans the fork: leaving it must not wait in the child
            running = ex.submit(gate.wait, 60)
            while not running.running():
                time.sleep(0.001)
            queued = ex.submit(int)
            pid = os.fork()
            if pid == 0:
                print(running.cancelled(), queued.cancelled(), ex.submit(pow, 2, 5).result(timeout=10), flush=True)
            else:
                gate.set()
        if pid == 0:
            print("child left", flush=True)
            os._exit(0)
        os.waitpid(pid, 0)
        print(running.result(), queued.result())
    """, timeout=60)
    assert proc.stdout.splitlines() == ["True True 32", "child left", "True 0"]


HERE = os.path.dirname(os.path.abspath(__file__))
ISOLATED_FORK = f"""
import os, sys, warnings
sys.path.insert(0, {HERE!r})
import _interpreters, corvalune, isolated_calls as calls
warnings.simplefilter("ignore", DeprecationWarning)
corvalune.configure(2)
parent = corvalune.InterpreterExecutor().submit(calls.interpreter).result(30)[0]
import time
running = corvalune.InterpreterExecutor().submit(time.sleep, 0.3)  # still running at the fork
time.sleep(0.05)
pid = os.fork()
if pid == 0:
    code = 1
    try:
        assert [i for i, *_ in _interpreters.list_all()] == [0]
        child = corvalune.InterpreterExecutor().submit(calls.interpreter).result(30)[0]
        code = 0 if child != 0 else 2
    finally:
        os._exit(code)
_, status = os.waitpid(pid, 0)
assert os.waitstatus_to_exitcode(status) == 0
assert running.result(30) is None
assert corvalune.InterpreterExecutor().submit(calls.interpreter).result(30)[0] != 0
"""


def test_forked_child_starts_with_no_sub_interpreters():
    # A sub-interpreter alive at the fork would crash the child: the parent
    # ends them first, and both make new ones as they need them.
    proc = run_python(ISOLATED_FORK, timeout=60)
    assert "remaining subinterpreters" not in proc.stderr


def test_a_child_exits_without_waiting_for_the_parents_attaches():
    # The main thread keeps the interpreter until it blocks, so a worker is
    # still waiting to attach for the callable when the process forks. The
    # child's exit must not wait for that attach, which is not the child's.
    # (No faulthandler watchdog here: a child that inherits its timer hangs
    # in faulthandler's own teardown at exit.)
    proc = run_python("""
import os, sys, time, warnings
import _corvalune_sys as m
warnings.simplefilter("ignore", DeprecationWarning)
sys.setswitchinterval(30)
m.spawn_callable(pow, (2, 5))
start = time.monotonic()
while time.monotonic() - start < 0.05:
    pass
pid = os.fork()
if pid == 0:
    raise SystemExit(0)
start = time.monotonic()
os.waitpid(pid, 0)
print(time.monotonic() - start)
""")
    # 2 s when it waits; about 60 ms here otherwise.
    assert float(proc.stdout) < 1.5, proc.stdout

"""Each pool thread keeps one Python thread state for its life: threads that
walk the interpreter's thread states meet no state being freed, threading's
trace hooks reach pool threads, and the PyGILState API finds the kept state.
Each case runs in a fresh interpreter: a fault here crashes the process."""

import pytest

from conftest import run_python

PRELUDE = """
import ctypes, faulthandler, tempfile, threading, time
import _corvalune_sys as m

def wait(h):
    deadline = time.monotonic() + 30
    while not h.done():
        assert time.monotonic() < deadline, "the task never completed"
        time.sleep(0.001)
    return h.result()

def run(f, *args):
    return wait(m.spawn_callable(f, args))
"""


def test_faulthandler_watchdog_survives_a_burst_of_callables():
    # The watchdog walks the thread states without the interpreter lock; a
    # state created and freed per job crashed it within a second. A real file
    # keeps each walk long enough to meet one.
    run_python(PRELUDE + """
def small():
    return 1

with tempfile.TemporaryFile("w") as sink:
    faulthandler.dump_traceback_later(0.001, repeat=True, file=sink)
    end = time.monotonic() + 3.0
    while time.monotonic() < end:
        handles = [m.spawn_callable(small) for _ in range(200)]
        for h in handles:
            while not h.done():
                pass
            h.result()
    faulthandler.cancel_dump_traceback_later()
""", timeout=60)


@pytest.mark.parametrize("install", ["settrace_before_start", "settrace_all_threads", "broken_hook"])
def test_threading_trace_hooks_reach_pool_threads(install):
    proc = run_python(PRELUDE + f"""
install = {install!r}
m.configure(3)
calls = []
def tracer(frame, event, arg):
    if event == "call":
        calls.append(frame.f_code.co_name)

def target():
    return threading.get_ident()

if install == "settrace_before_start":
    threading.settrace(tracer)
elif install == "settrace_all_threads":
    # Every worker attaches (and keeps its state) before the tracer exists.
    barrier = threading.Barrier(3)
    def warm():
        barrier.wait(30)
        return threading.get_ident()
    warmed = set(wait(h) for h in [m.spawn_callable(warm) for _ in range(3)])
    threading.settrace_all_threads(tracer)
    # Only the states that exist now are traced.
    threading.settrace(None)
else:
    class Broken:
        def __bool__(self):
            raise ZeroDivisionError("hook")
    threading._trace_hook = Broken()

ident = run(target)
if install == "settrace_all_threads":
    # An extra worker started while the three waited at the barrier has a
    # state made after the tracer: the call must land on a traced thread.
    # Woken first (the latest sleeper), that worker may take every call
    # until it has been idle for 5 s and leaves.
    for attempt in range(200):
        if ident in warmed:
            break
        if attempt == 20:
            time.sleep(6)
        ident = run(target)
assert ident != threading.get_ident()
if install == "broken_hook":
    assert calls == []
else:
    assert "target" in calls, calls
""")
    if install == "broken_hook":
        assert "Exception ignored while introducing a Corvalune worker thread to threading" in proc.stderr
        assert "ZeroDivisionError: hook" in proc.stderr


def test_pygilstate_api_finds_the_kept_state():
    # ctypes detaches around the C call; the callback reattaches through
    # PyGILState_Ensure and must get the worker's own state back (the same
    # threading.local), and its PyGILState_Release must not free it.
    run_python(PRELUDE + """
libc = ctypes.CDLL(None)
compare_type = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p)
local = threading.local()

def job(i):
    local.mark = i
    assert ctypes.pythonapi.PyGILState_Check() == 1
    seen = []
    def compare(a, b):
        seen.append(getattr(local, "mark", None))
        return 0
    values = (ctypes.c_int * 4)()
    libc.qsort(values, 4, ctypes.sizeof(ctypes.c_int), compare_type(compare))
    return seen

for i in range(50):
    seen = run(job, i)
    assert seen and set(seen) == {i}, (i, seen)
""")


def test_pool_threads_carry_their_pool_names_in_python():
    run_python(PRELUDE + """
import logging, re
records = []
handler = logging.Handler()
handler.emit = lambda record: records.append(record.threadName)
logging.getLogger("pool").addHandler(handler)

def who():
    logging.getLogger("pool").warning("hello")
    return threading.current_thread().name

names = {run(who) for _ in range(20)}
assert all(re.fullmatch(r"corvalune-worker-\\d+", n) for n in names), names
assert set(records) == names, (records, names)
""")

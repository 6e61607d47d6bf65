// The calls of corvalune.Executor.map(), as the pool runs them: one run of a
// batch (corvalune._work.MapBatch) per job, and the report of each call's
// outcome to its batch. The batch's protocol (who takes which call, when it
// leaves the executor's pending work) is at the top of MapBatch; this is its
// hot path, in native code because per call it was most of map()'s cost
// (about 0.7 us of Python against 0.25 us here).
#include "executor/map_calls.hpp"

#include "executor/call.hpp"
#include "interp/names.hpp"
#include "interp/pyref.hpp"
#include "module/args.hpp"
#include "module/entry.hpp"

namespace corvalune::sys {
namespace {

Ref attribute(PyObject* obj, const char* attr) { return Ref::steal(PyObject_GetAttrString(obj, attr)); }

// What a run reads of its batch once: fixed for the batch's life.
struct BatchParts {
  Ref lock, results, cond;

  bool load(PyObject* batch) {
    lock = attribute(batch, "lock");
    results = lock ? attribute(batch, "results") : Ref();
    cond = results ? attribute(batch, "cond") : Ref();
    return static_cast<bool>(cond);
  }
};

// Under the batch's lock: the outcome in its slot, one call fewer left, a
// waiting consumer told. Sets `last` when that was the batch's last call.
bool record(PyObject* batch, const BatchParts& parts, PyObject* index, PyObject* outcome, bool& last) {
  if (PyObject_SetItem(parts.results.get(), index, outcome) < 0) return false;
  Ref left = Ref::steal(PyObject_GetAttr(batch, name(Name::left)));
  const Py_ssize_t count = left ? PyLong_AsSsize_t(left.get()) : -1;
  if (count == -1 && PyErr_Occurred()) return false;
  Ref fewer = Ref::steal(PyLong_FromSsize_t(count - 1));
  if (!fewer || PyObject_SetAttr(batch, name(Name::left), fewer.get()) < 0) return false;
  last = count == 1;
  Ref waiting = Ref::steal(PyObject_GetAttr(batch, name(Name::waiting)));
  const int told = waiting ? PyObject_IsTrue(waiting.get()) : -1;
  if (told < 0) return false;
  return told == 0 || static_cast<bool>(call_method(parts.cond.get(), Name::notify_all));
}

// MapBatch.report: false with an error set (the outcome may then not be
// recorded).
bool report(PyObject* batch, const BatchParts& parts, PyObject* index, PyObject* outcome) {
  if (!call_method(parts.lock.get(), Name::acquire)) return false;
  bool last = false;
  const bool recorded = record(batch, parts, index, outcome, last);
  PyObject* raised = PyErr_GetRaisedException();
  const bool released = static_cast<bool>(call_method(parts.lock.get(), Name::release));
  if (raised != nullptr) {
    if (!released) PyErr_Clear();
    PyErr_SetRaisedException(raised);
    return false;
  }
  if (!recorded || !released) return false;
  if (!last) return true;
  Ref executor = attribute(batch, "executor");
  return executor && call_method(executor.get(), Name::forget_private, batch);
}

struct MapReport {
  static constexpr const char* name = "_map_report";
  static constexpr Param params[] = {{"batch", true}, {"index", true}, {"outcome", true}};
  static constexpr const char* doc = "Records the outcome of call `index` of a corvalune.Executor.map() batch.";

  static PyObject* call(PyObject*, PyObject* const* bound) {
    BatchParts parts;
    if (!parts.load(bound[0]) || !report(bound[0], parts, bound[1], bound[2])) return nullptr;
    Py_RETURN_NONE;
  }
};

// The outcome of one call: (True, result), or (False, exception) for
// whatever it raised.
Ref run_one(PyObject* context, PyObject* fn, PyObject* args) {
  // Each call in its own copy of the batch's context, as the standard
  // library's executors run each call in a context of its own.
  Ref copy = Ref::steal(PyContext_Copy(context));
  Ref result = copy ? run_in_context(copy.get(), fn, args, nullptr) : Ref();
  if (result) return Ref::steal(PyTuple_Pack(2, Py_True, result.get()));
  Ref raised = Ref::steal(PyErr_GetRaisedException());
  return Ref::steal(PyTuple_Pack(2, Py_False, raised.get()));
}

struct RunMapCalls {
  static constexpr const char* name = "_run_map_calls";
  static constexpr Param params[] = {{"batch", true}, {"first", true}, {"calls", true}};
  static constexpr const char* doc =
      "Runs calls first, first + 1, ... of a corvalune.Executor.map() batch, each unless cancelled before it "
      "started, and reports each outcome as soon as it is known.";

  static PyObject* call(PyObject*, PyObject* const* bound) {
    PyObject *batch = bound[0], *calls = bound[2];
    const Py_ssize_t first = PyLong_AsSsize_t(bound[1]);
    if (first == -1 && PyErr_Occurred()) return nullptr;
    if (!PyList_Check(calls)) {
      PyErr_SetString(PyExc_TypeError, "_run_map_calls() takes the calls as a list of argument tuples");
      return nullptr;
    }
    BatchParts parts;
    if (!parts.load(batch)) return nullptr;
    Ref executor = attribute(batch, "executor");
    Ref unstarted = executor ? attribute(batch, "unstarted") : Ref();
    Ref context = unstarted ? attribute(batch, "context") : Ref();
    Ref fn = context ? attribute(batch, "fn") : Ref();
    if (!fn) return nullptr;
    if (!PySet_Check(unstarted.get()) || !PyContext_CheckExact(context.get())) {
      PyErr_SetString(PyExc_TypeError, "_run_map_calls() takes a map batch");
      return nullptr;
    }
    ExecutorOnThread on_thread;
    if (!on_thread.enter(executor.get())) return nullptr;
    bool ok = true;
    for (Py_ssize_t i = 0; ok && i < PyList_GET_SIZE(calls); ++i) {
      Ref args = Ref::steal(PyList_GetItemRef(calls, i));
      Ref index = args ? Ref::steal(PyLong_FromSsize_t(first + i)) : Ref();
      if (!index) {
        ok = false;
        break;
      }
      // Taking the index out of `unstarted` is what makes the call this
      // run's; cancelling takes the indexes left there.
      const int taken = PySet_Discard(unstarted.get(), index.get());
      if (taken <= 0) {
        ok = taken == 0;
        continue;  // cancelled before it started
      }
      Ref outcome;
      if (PyTuple_Check(args.get())) {
        outcome = run_one(context.get(), fn.get(), args.get());
      } else {
        PyErr_SetString(PyExc_TypeError, "a map call's arguments must be a tuple");
      }
      if (!outcome || !report(batch, parts, index.get(), outcome.get())) {
        // No memory to record the outcome: the call is put back, and it and
        // the calls after it fail with this job's error once the batch's
        // jobs are over (MapBatch._pool_settled).
        PyObject* raised = PyErr_GetRaisedException();
        if (PySet_Add(unstarted.get(), index.get()) < 0) PyErr_Clear();
        PyErr_SetRaisedException(raised);
        ok = false;
      }
    }
    PyObject* raised = ok ? nullptr : PyErr_GetRaisedException();
    const bool left = on_thread.leave();
    if (raised != nullptr) {
      if (!left) PyErr_Clear();
      PyErr_SetRaisedException(raised);
      return nullptr;
    }
    if (!left) return nullptr;
    Py_RETURN_NONE;
  }
};

}  // namespace

PyMethodDef kRunMapCallsDef = entry_def<RunMapCalls>();
PyMethodDef kMapReportDef = entry_def<MapReport>();

}  // namespace corvalune::sys

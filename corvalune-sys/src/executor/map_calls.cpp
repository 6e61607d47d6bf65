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

// Under the batch's lock: the outcome in its slot, one call fewer left.
// Everything that can fail comes before the first change, so that a call
// is recorded whole or not at all, and a failed report may be made again.
// Sets `last` when that was the batch's last call and `told` when a
// consumer waits.
bool record(PyObject* batch, const BatchParts& parts, PyObject* index, PyObject* outcome, bool& last, bool& told) {
  const Py_ssize_t at = PyNumber_AsSsize_t(index, PyExc_IndexError);
  if (at == -1 && PyErr_Occurred()) return false;
  if (!PyList_Check(parts.results.get()) || at < 0 || at >= PyList_GET_SIZE(parts.results.get())) {
    PyErr_SetString(PyExc_IndexError, "a map call's index is out of its batch");
    return false;
  }
  Ref left = Ref::steal(PyObject_GetAttr(batch, name(Name::left)));
  const Py_ssize_t count = left ? PyLong_AsSsize_t(left.get()) : -1;
  if (count == -1 && PyErr_Occurred()) return false;
  Ref fewer = Ref::steal(PyLong_FromSsize_t(count - 1));
  Ref waiting = fewer ? Ref::steal(PyObject_GetAttr(batch, name(Name::waiting))) : Ref();
  const int is_waiting = waiting ? PyObject_IsTrue(waiting.get()) : -1;
  if (is_waiting < 0) return false;
  // `left` is a slot of MapBatch: setting it allocates nothing.
  if (PyObject_SetAttr(batch, name(Name::left), fewer.get()) < 0) return false;
  PyList_SetItem(parts.results.get(), at, Py_NewRef(outcome));  // steals; the slot's old value dropped
  last = count == 1;
  told = is_waiting != 0;
  return true;
}

// MapBatch.report: false with an error set when the outcome is not
// recorded (nothing changed: the report may be made again). Once it is,
// the rest cannot lose it: a consumer the notification fails to reach
// finds it at its next look (take_result waits in slices), and a failure
// to take the finished batch out of the executor's pending work is reported
// as unraisable.
bool report(PyObject* batch, const BatchParts& parts, PyObject* index, PyObject* outcome) {
  if (!call_method(parts.lock.get(), Name::acquire)) return false;
  bool last = false;
  bool told = false;
  const bool recorded = record(batch, parts, index, outcome, last, told);
  if (recorded && told && !call_method(parts.cond.get(), Name::notify_all)) PyErr_Clear();
  PyObject* raised = PyErr_GetRaisedException();
  const bool released = static_cast<bool>(call_method(parts.lock.get(), Name::release));
  if (raised != nullptr) {
    if (!released) PyErr_Clear();
    PyErr_SetRaisedException(raised);
    return false;
  }
  if (!recorded) return false;
  if (!released) PyErr_WriteUnraisable(batch);  // recorded all the same: not to be made again
  if (!last) return true;
  Ref executor = attribute(batch, "executor");
  if (!executor || !call_method(executor.get(), Name::forget_private, batch))
    PyErr_FormatUnraisable("Exception ignored while taking a finished map() batch out of %R", batch);
  return true;
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

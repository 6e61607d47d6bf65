// spawn_callable: one Python callable run on a pool worker (the job:
// call_job.hpp).
#include "tasks/callable.hpp"

#include "interp/deferred.hpp"
#include "module/args.hpp"
#include "module/entry.hpp"
#include "tasks/call_job.hpp"

namespace corvalune::sys {
namespace {

// A spawn_callable call: the caller's callable, its argument tuple and
// keyword dict (the caller's own objects, read when the call is made).
struct PythonCall {
  Ref operator()() {
    if (args) return Ref::steal(PyObject_Call(func.get(), args.get(), kwargs.get()));
    if (kwargs) {
      Ref empty = Ref::steal(PyTuple_New(0));
      return empty ? Ref::steal(PyObject_Call(func.get(), empty.get(), kwargs.get())) : Ref();
    }
    return Ref::steal(PyObject_CallNoArgs(func.get()));
  }

  // In this order.
  void release() noexcept {
    args.reset();
    kwargs.reset();
    func.reset();
  }

  DeferredRef func;
  DeferredRef args;
  DeferredRef kwargs;
};

struct SpawnCallable {
  static constexpr const char* name = "spawn_callable";
  static constexpr Param params[] = {
      {"func", true}, {"args", false, true, "None"}, {"kwargs", false, true, "None"}};
  static constexpr const char* doc =
      "Spawn any arbitrary Python callable directly onto Corvalune's work-stealing pool.";

  static PyObject* call(PyObject*, PyObject* const* bound) {
    if (!check_call_arguments(bound[1], bound[2])) return nullptr;
    return spawn_callable_task(bound[0], bound[1], bound[2]);
  }
};

}  // namespace

PyObject* spawn_callable_task(PyObject* func, PyObject* args, PyObject* kwargs) {
  return spawn_call_task(PythonCall{DeferredRef(Ref::borrow(func)), DeferredRef(Ref::borrow(args)),
                                    DeferredRef(Ref::borrow(kwargs))});
}

PyMethodDef kSpawnCallableDef = entry_def<SpawnCallable>();

}  // namespace corvalune::sys

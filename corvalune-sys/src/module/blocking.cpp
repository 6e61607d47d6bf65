// How the package's own waits (written in Python) behave on a worker:
//
// - `_help_until(watch)` first runs the tasks the waiting job spawned and
//   that are still queued (lineage.hpp: its own fork, newest first), until
//   what it waits for is done;
// - `with _corvalune_sys._blocking: <wait>` then tells the pool that the
//   calling thread blocks until something else happens: on a pool thread,
//   when work is queued and no worker is idle, another worker takes its
//   place at once (an extra one if need be). Elsewhere it does nothing. The
//   object has no state of its own (the depth is the calling thread's), so
//   one object serves every thread and nests.
#include "module/blocking.hpp"

#include <atomic>
#include <memory>

#include "interp/cells.hpp"
#include "interp/closure.hpp"
#include "interp/guard.hpp"
#include "interp/helping.hpp"
#include "interp/pyref.hpp"
#include "lineage.hpp"
#include "module/args.hpp"
#include "module/entry.hpp"
#include "watchdog.hpp"

namespace corvalune::sys {
namespace {

struct Enter {
  static constexpr const char* owner = "_BlockingScope";
  static constexpr const char* name = "__enter__";
  static constexpr const char* doc = "";

  static PyObject* call(PyObject* self) {
    core::begin_blocking();
    return Py_NewRef(self);
  }
};

// Never swallows the exception.
struct Exit {
  static constexpr const char* owner = "_BlockingScope";
  static constexpr const char* name = "__exit__";
  static constexpr Param params[] = {
      {"_exc_type", false, true, "None"}, {"_exc_val", false, true, "None"}, {"_exc_tb", false, true, "None"}};
  static constexpr const char* doc = "";

  static PyObject* call(PyObject*, PyObject* const*) {
    core::end_blocking();
    Py_RETURN_FALSE;
  }
};

PyMethodDef kMethods[] = {
    entry_def<Enter>(),
    entry_def<Exit>(),
    {nullptr, nullptr, 0, nullptr},
};

ObjectCell g_type;

PyObject* blocking_type() {
  return g_type.get_or_init([] {
    static PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>("The calling thread blocks in this scope; on a pool thread another worker "
                                      "may take its place meanwhile.")},
        {Py_tp_methods, kMethods},
        {0, nullptr},
    };
    static PyType_Spec spec = {"_corvalune_sys._BlockingScope", sizeof(PyObject), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
                               slots};
    return PyType_FromSpec(&spec);
  });
}

// Set by the done callback that _help_until hands to `watch`; read by the
// helping loop between jobs. relaxed: the loop only decides whether to run
// one more job; what the waited-for outcome publishes is read by the wait
// that follows, under its own lock.
struct Fired {
  std::atomic<bool> fired{false};
};

class FiredCallback final : public ClosureBody {
 public:
  explicit FiredCallback(std::shared_ptr<Fired> fired) : fired_(std::move(fired)) {}
  PyObject* call(PyObject* const*, Py_ssize_t, PyObject*) override {
    fired_->fired.store(true, std::memory_order_relaxed);
    Py_RETURN_NONE;
  }
  int traverse(visitproc, void*) override { return 0; }
  void clear() override {}
  const char* what() const noexcept override { return "corvalune helping-wait callback"; }

 private:
  std::shared_ptr<Fired> fired_;
};

struct HelpUntil {
  static constexpr const char* name = "_help_until";
  static constexpr Param params[] = {{"watch", true}};
  static constexpr const char* doc =
      "On a worker, runs the queued tasks the calling job spawned (newest first) until the callback given to "
      "watch(callback) has been called. Returns 'done' once it has; otherwise, when nothing is left to run here "
      "(or the stack has no room for more, or the thread is not a worker), 'join' when some of those tasks run "
      "on other threads (the caller may wait for them without anyone taking its place) and 'block' when none "
      "do (the caller blocks in _blocking).";

  static PyObject* call(PyObject*, PyObject* const* bound) {
    if (!core::has_spawned()) return verdict();
    auto fired = std::make_shared<Fired>();
    {
      Ref callback = make_closure(std::make_unique<FiredCallback>(fired));
      if (!callback) return nullptr;
      Ref watching = Ref::steal(PyObject_CallOneArg(bound[0], callback.get()));
      if (!watching) return nullptr;
    }
    while (!fired->fired.load(std::memory_order_relaxed)) {
      if (!stack_has_room()) return verdict();
      core::JobRef job = core::take_spawned();
      if (!job) return verdict();
      HelpDepth depth;
      if (!help_with(std::move(job))) return nullptr;
    }
    return PyUnicode_FromString("done");
  }

  static PyObject* verdict() { return PyUnicode_FromString(core::spawned_run_elsewhere() ? "join" : "block"); }
};

}  // namespace

PyMethodDef kHelpUntilDef = entry_def<HelpUntil>();

PyObject* new_blocking_scope_object() {
  PyObject* type = blocking_type();
  if (type == nullptr) return nullptr;
  auto* tp = reinterpret_cast<PyTypeObject*>(type);
  return tp->tp_alloc(tp, 0);
}

}  // namespace corvalune::sys

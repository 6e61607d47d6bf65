// `with _corvalune_sys._blocking: <wait>` tells the pool that the calling
// thread blocks until something else happens: on a pool thread, when work is
// queued and no worker is idle, another worker takes its place at once (an
// extra one if need be). Elsewhere it does nothing. The object has no state
// of its own (the depth is the calling thread's), so one object serves every
// thread and nests.
#include "module/blocking.hpp"

#include "interp/cells.hpp"
#include "interp/guard.hpp"
#include "interp/pyref.hpp"
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

}  // namespace

PyObject* new_blocking_scope_object() {
  PyObject* type = blocking_type();
  if (type == nullptr) return nullptr;
  auto* tp = reinterpret_cast<PyTypeObject*>(type);
  return tp->tp_alloc(tp, 0);
}

}  // namespace corvalune::sys

#include "interp/names.hpp"

#include "interp/cells.hpp"

namespace corvalune::sys {
namespace {

constexpr const char* kText[] = {
    "add_done_callback", "add_note", "call_soon_threadsafe", "cancelled", "create_future", "done",
    "exception", "get_running_loop", "lower", "result", "send", "set_exception", "set_result", "throw",
    "value", "__await__", "asyncio.events", "_get_running_loop", "_set_running_loop",
    "_corvalune_mailbox",
};
static_assert(sizeof(kText) / sizeof(kText[0]) == static_cast<int>(Name::kCount));

ObjectCell g_names[static_cast<int>(Name::kCount)];

}  // namespace

PyObject* name(Name n) {
  const int i = static_cast<int>(n);
  return g_names[i].get_or_init([i] { return PyUnicode_InternFromString(kText[i]); });
}

Ref call_method(PyObject* obj, Name n) {
  PyObject* method = name(n);
  if (method == nullptr) return {};
  return Ref::steal(PyObject_CallMethodNoArgs(obj, method));
}

Ref call_method(PyObject* obj, Name n, PyObject* arg) {
  PyObject* method = name(n);
  if (method == nullptr) return {};
  return Ref::steal(PyObject_CallMethodOneArg(obj, method, arg));
}

}  // namespace corvalune::sys

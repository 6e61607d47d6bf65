#include "interp/names.hpp"

#include "interp/cells.hpp"

namespace corvalune::sys {
namespace {

constexpr const char* kText[] = {
    "add_done_callback", "add_note", "call_soon_threadsafe", "cancelled", "close", "create_future", "done",
    "exception", "get_running_loop", "lower", "result", "send", "set_exception", "set_result", "throw",
    "value", "__await__", "asyncio.events", "_get_running_loop", "_set_running_loop",
    "_corvalune_mailbox", "acquire", "release", "notify_all", "add_result", "add_exception", "add_cancelled",
    "_watch_pool", "_wait_result", "_thread_name_prefix", "_pending", "_shutdown", "_forget", "_name",
    "_ready", "_watched", "_pool_settled", "is_closed", "asyncio.base_events", "cancel", "left", "waiting",
};
static_assert(sizeof(kText) / sizeof(kText[0]) == static_cast<int>(Name::kCount));

ObjectCell g_names[static_cast<int>(Name::kCount)];

}  // namespace

bool make_names() {
  for (int i = 0; i < static_cast<int>(Name::kCount); ++i) {
    if (g_names[i].get_or_init([i] { return PyUnicode_InternFromString(kText[i]); }) == nullptr) return false;
  }
  return true;
}

PyObject* name(Name n) noexcept { return g_names[static_cast<int>(n)].peek(); }

Ref call_method(PyObject* obj, Name n) { return Ref::steal(PyObject_CallMethodNoArgs(obj, name(n))); }

Ref call_method(PyObject* obj, Name n, PyObject* arg) {
  return Ref::steal(PyObject_CallMethodOneArg(obj, name(n), arg));
}

}  // namespace corvalune::sys

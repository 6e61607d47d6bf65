// A failure nobody retrieved: reported once, through `logging`, when its
// handle is gone.
//
// asyncio logs "Task exception was never retrieved" for a task that failed
// while nobody looked; a background job spawned and forgotten here would
// otherwise fail in silence. A record counts as retrieved once result() has
// handed its outcome over (await and iteration go through result()) or a
// done callback was added. When the handle is collected and the record is
// done and failed and unretrieved, the failure goes to the package's logger,
// `logging.getLogger("corvalune")`, as an error with the exception attached:
// "<class> exception was never retrieved". The handle may be collected
// before the work ends (a job spawned and dropped at once): the completer
// then reports it after its callbacks. `watch_` (completion.hpp) decides
// which of the two reports.
//
// Where reporting is safe: the collecting side runs in the handle's
// finalizer, attached, with any pending exception saved around it; the
// completing side attaches first. Neither reports once the interpreter is
// finalizing. Whatever the logger raises is discarded.
#include <optional>

#include "handles/completion.hpp"
#include "handles/handles.hpp"
#include "interp/attach.hpp"
#include "panic.hpp"

namespace corvalune::sys {

void Completion::handle_collected() {
  if (Py_IsFinalizing()) return;
  const std::uint8_t seen = watch_.fetch_or(kCollected, std::memory_order_acq_rel);
  if ((seen & kFinished) != 0 && (seen & (kRetrieved | kCollected)) == 0 && failed()) report_unretrieved();
}

void Completion::report_if_collected() {
  const std::uint8_t seen = watch_.fetch_or(kFinished, std::memory_order_acq_rel);
  if ((seen & kCollected) == 0 || (seen & kRetrieved) != 0 || !failed()) return;
  if (Py_IsFinalizing()) return;  // attaching would be refused
  std::optional<Attach> attach;
  try {
    attach.emplace();
  } catch (...) {
    return;  // finalization began since the check above, or no memory for this thread's state
  }
  report_unretrieved();
}

void Completion::report_unretrieved() {
  Ref saved = Ref::steal(PyErr_GetRaisedException());
  try {
    // The failure as result() raises it. The record is done and failed, so
    // result() raises; nobody else can retrieve it any more.
    Ref value = Ref::steal(result());
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    if (!value && exc) {
      Ref logging = Ref::steal(PyImport_ImportModule("logging"));
      Ref logger =
          logging ? Ref::steal(PyObject_CallMethod(logging.get(), "getLogger", "s", "corvalune")) : Ref();
      Ref error = logger ? Ref::steal(PyObject_GetAttrString(logger.get(), "error")) : Ref();
      Ref args = Ref::steal(Py_BuildValue("(ss)", "%s exception was never retrieved",
                                         handle_kind_ < 4 ? handle_name(static_cast<HandleKind>(handle_kind_)) : "task"));
      Ref kwargs = Ref::steal(PyDict_New());
      if (error && args && kwargs && PyDict_SetItemString(kwargs.get(), "exc_info", exc.get()) == 0) {
        Ref logged = Ref::steal(PyObject_Call(error.get(), args.get(), kwargs.get()));
      }
    }
  } catch (...) {
    // A native failure on the way (memory): the report is a courtesy.
  }
  PyErr_Clear();  // a failing logger or handler: nothing more to do
  PyErr_SetRaisedException(saved.release());
}

}  // namespace corvalune::sys

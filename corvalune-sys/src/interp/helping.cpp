#include "interp/helping.hpp"

#include <utility>

#include "interp/attach.hpp"
#include "worker.hpp"

namespace corvalune::sys {
namespace {

// The Attach depth (attach.cpp) at which the current helping scope began,
// or -1 outside any; the thread state it let go of, if any; the noted
// exception (a strong reference, owned by the thread). All trivially
// destructible: nothing runs for them at thread exit.
thread_local int t_helping_depth = -1;
thread_local PyThreadState* t_released = nullptr;
thread_local PyObject* t_interrupt = nullptr;

}  // namespace

HelpingScope::HelpingScope() noexcept : saved_depth_(std::exchange(t_helping_depth, attach_depth())) {}

HelpingScope::~HelpingScope() {
  if (PyThreadState* state = std::exchange(t_released, nullptr)) PyEval_RestoreThread(state);
  t_helping_depth = saved_depth_;
}

bool detach_helping_thread() noexcept {
  // Only at depth 0: inside an open Attach, thread_is_attached() would
  // answer yes while the thread is not.
  if (t_helping_depth != 0 || t_released != nullptr || attach_depth() != 0) return false;
  if (PyThreadState_GetUnchecked() == nullptr) return false;
  t_released = PyEval_SaveThread();
  return true;
}

void note_interrupt(PyObject* exc) noexcept {
  if (exc == nullptr || t_interrupt != nullptr || core::is_pool_thread()) return;
  if (!PyErr_GivenExceptionMatches(exc, PyExc_KeyboardInterrupt) &&
      !PyErr_GivenExceptionMatches(exc, PyExc_SystemExit))
    return;
  t_interrupt = Py_NewRef(exc);
}

bool raise_noted_interrupt() noexcept {
  PyObject* exc = std::exchange(t_interrupt, nullptr);
  if (exc == nullptr) return false;
  PyErr_SetRaisedException(exc);
  return true;
}

}  // namespace corvalune::sys

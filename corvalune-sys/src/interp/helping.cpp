#include "interp/helping.hpp"

#include <pthread.h>

#include <algorithm>
#include <cstdint>
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

// The lowest stack address a helped job may start below: 0 until measured,
// 1 when the stack cannot be measured. Helping waits open on this thread.
thread_local std::uintptr_t t_stack_floor = 0;
thread_local int t_help_depth = 0;
constexpr int kUnmeasuredHelpDepth = 16;

std::uintptr_t measure_stack_floor() noexcept {
  void* base = nullptr;
  std::size_t size = 0;
#if defined(__APPLE__)
  // The stack grows down from its address.
  size = pthread_get_stacksize_np(pthread_self());
  base = static_cast<char*>(pthread_get_stackaddr_np(pthread_self())) - size;
#elif defined(__GLIBC__) || defined(__linux__)
  pthread_attr_t attr;
  if (pthread_getattr_np(pthread_self(), &attr) != 0) return 1;
  const int failed = pthread_attr_getstack(&attr, &base, &size);
  pthread_attr_destroy(&attr);
  if (failed != 0) return 1;
#endif
  if (base == nullptr || size == 0) return 1;
  const std::size_t reserve = std::max<std::size_t>(size / 4, std::size_t{512} << 10);
  if (reserve >= size) return ~std::uintptr_t{0};  // too small to help at all
  return reinterpret_cast<std::uintptr_t>(base) + reserve;
}

}  // namespace

bool stack_has_room() noexcept {
  // Python frames nest too: each helped job's frames sit above the
  // waiter's, so helping stops while half the recursion limit is left for
  // the job it would run.
  if (PyThreadState* state = PyThreadState_GetUnchecked();
      state != nullptr && state->py_recursion_remaining < state->py_recursion_limit / 2)
    return false;
  if (t_stack_floor == 0) t_stack_floor = measure_stack_floor();
  if (t_stack_floor == 1) return t_help_depth < kUnmeasuredHelpDepth;
  char probe;
  return reinterpret_cast<std::uintptr_t>(&probe) > t_stack_floor;
}

HelpDepth::HelpDepth() noexcept { ++t_help_depth; }
HelpDepth::~HelpDepth() { --t_help_depth; }

bool help_with(core::JobRef job) {
  {
    HelpingScope helping;
    core::run_job(std::move(job));
  }
  return !raise_noted_interrupt();
}

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

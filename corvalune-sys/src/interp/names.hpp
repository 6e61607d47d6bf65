#pragma once
// Method and attribute names, interned once per process, and calls by name.
//
// Calls go through PyObject_CallMethodNoArgs/OneArg with these objects: no
// string is built per call, and a single argument is passed as itself (the
// format-string forms would spread a tuple argument into several).
#include <Python.h>

#include "interp/pyref.hpp"

namespace corvalune::sys {

enum class Name {
  add_done_callback,
  add_note,
  call_soon_threadsafe,
  cancelled,
  close,
  create_future,
  done,
  exception,
  get_running_loop,
  lower,
  result,
  send,
  set_exception,
  set_result,
  throw_,
  value,
  await_,
  asyncio_events,
  get_running_loop_private,
  set_running_loop_private,
  corvalune_mailbox,
  acquire,
  release,
  notify_all,
  add_result,
  add_exception,
  add_cancelled,
  watch_pool_private,
  wait_result_private,
  thread_name_prefix_private,
  pending_private,
  shutdown_private,
  forget_private,
  name_private,
  ready_private,
  watched_private,
  pool_settled_private,
  is_closed,
  asyncio_base_events,
  cancel,
  left,
  waiting,
  kCount,
};

// Interns every name, once per process. Called by the module's exec step, so
// that a failure (no memory) fails the import instead of a later call on a
// worker. False with an error set.
bool make_names();

// The interned name (borrowed; never released). Never null once the module
// is imported: make_names made them all.
PyObject* name(Name n) noexcept;

// obj.<n>() and obj.<n>(arg): a new reference, or empty with an error set.
Ref call_method(PyObject* obj, Name n);
Ref call_method(PyObject* obj, Name n, PyObject* arg);

}  // namespace corvalune::sys

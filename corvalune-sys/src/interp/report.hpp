#pragma once
// The one reporter for failures that have nobody to be raised to: an
// exception raised by a done callback or a coroutine's completion callback,
// an object dropped on a thread that may not release it.
//
// Such a failure goes to `sys.unraisablehook`, the way CPython reports an
// exception raised by `__del__`: the default hook prints the message and the
// traceback to standard error, and programs (and test runners) can install
// their own. Whatever its type, the exception is consumed here. In
// particular a `SystemExit` or `KeyboardInterrupt` raised by a callback never
// ends the process nor changes its exit status: printing it through
// `PyErr_Print` would have done both, from whichever thread ran the callback.
#include <Python.h>

namespace corvalune::sys {

// Reports the pending exception, if any, as "Exception ignored <what>"
// ("in <callback kind>", "while <doing what>") followed by repr(obj) when
// `obj` is given, and clears it. The caller is
// attached. Never raises; a failing hook is reported by CPython itself.
void report_unraisable(const char* what, PyObject* obj = nullptr) noexcept;

}  // namespace corvalune::sys

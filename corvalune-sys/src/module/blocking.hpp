#pragma once
// `_corvalune_sys._blocking`: the blocking scope of the core (watchdog.hpp)
// as a context manager, for the package's own waits written in Python.
#include <Python.h>

namespace corvalune::sys {

// `_help_until(watch)`, the helping half of a package wait (blocking.cpp).
extern PyMethodDef kHelpUntilDef;

// The one `_blocking` object (a new reference), or nullptr with an error set.
PyObject* new_blocking_scope_object();

}  // namespace corvalune::sys

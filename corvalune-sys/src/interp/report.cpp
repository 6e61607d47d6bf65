#include "interp/report.hpp"

namespace corvalune::sys {

void report_unraisable(const char* what, PyObject* obj) noexcept {
  if (!PyErr_Occurred()) return;
  // PyErr_FormatUnraisable takes the pending exception, calls the hook and
  // leaves no exception behind, whatever the hook (or repr(obj)) does.
  if (obj != nullptr) {
    PyErr_FormatUnraisable("Exception ignored %s %R", what, obj);
  } else {
    PyErr_FormatUnraisable("Exception ignored %s", what);
  }
}

}  // namespace corvalune::sys

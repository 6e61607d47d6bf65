#include "interp/cells.hpp"

#include "interp/pyref.hpp"

namespace corvalune::sys {

std::recursive_mutex& cells_lock() {
  // Leaked: see cells.hpp.
  static std::recursive_mutex* lock = new std::recursive_mutex();
  return *lock;
}

PyObject* module_attribute(ObjectCell& cell, const char* module, const char* attr) {
  return cell.get_or_init([&]() -> PyObject* {
    Ref imported = Ref::steal(PyImport_ImportModule(module));
    return imported ? PyObject_GetAttrString(imported.get(), attr) : nullptr;
  });
}

}  // namespace corvalune::sys

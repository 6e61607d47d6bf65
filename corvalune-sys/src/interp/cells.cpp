#include "interp/cells.hpp"

namespace corvalune::sys {

std::recursive_mutex& cells_lock() {
  // Leaked: see cells.hpp.
  static std::recursive_mutex* lock = new std::recursive_mutex();
  return *lock;
}

}  // namespace corvalune::sys

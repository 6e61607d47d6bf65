#include "panic.hpp"

namespace corvalune::core {

[[noreturn]] void panic(const std::string& message) { throw Panic(message); }

}  // namespace corvalune::core

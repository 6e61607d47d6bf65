#pragma once
// Native failures ("panics").
//
// The core never raises Python exceptions. An unrecoverable native failure is
// a C++ exception; the binding layer's failure guard turns any exception that
// reaches the module boundary into `PanicException`, and queued work catches
// its own failures and stores them as the task's outcome. `Panic` is the type
// the core throws for its own failures so that its message survives intact.
#include <cstdint>
#include <stdexcept>
#include <string>

namespace corvalune::core {

class Panic : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A pool that could not start because the system refused a thread. what()
// is the reason ("failed to spawn worker thread: ..."); the pool's size comes
// with it, so that every entry point that starts the pool reports it alike.
class PoolStartError : public Panic {
 public:
  PoolStartError(std::uint64_t workers, const std::string& reason) : Panic(reason), workers_(workers) {}
  std::uint64_t workers() const noexcept { return workers_; }

 private:
  std::uint64_t workers_;
};

// Throws a Panic carrying `message`. Kept out of line so hot paths only pay
// for a call on the failure path.
[[noreturn]] void panic(const std::string& message);

}  // namespace corvalune::core

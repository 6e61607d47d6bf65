#include "tasks/spawn.hpp"

#include "interp/exceptions.hpp"
#include "runtime.hpp"

namespace corvalune::sys {

bool ensure_pool_accepts_work() {
  if (!core::pool_stopped()) return true;
  PendingException{ExceptionKind::PoolShutdownError,
                   "the Corvalune worker pool has been shut down; it accepts no new work"}
      .raise();
  return false;
}

PendingException dropped_at_shutdown() {
  return {ExceptionKind::PoolShutdownError, "the Corvalune worker pool was shut down before this work ran"};
}

void spawn_on_pool(std::unique_ptr<core::Pollable> pollable) {
  core::Runtime& runtime = core::global_runtime();
  core::Task::spawn(runtime.scheduler(), std::move(pollable)).reset();
}

}  // namespace corvalune::sys

#pragma once
// Spawning binding-layer futures on the pool.
#include <memory>

#include "task.hpp"

namespace corvalune::sys {

// Obtains the process-wide runtime (starting the pool on first use) and
// spawns `future` as a task on it, dropping the returned task reference.
void spawn_on_pool(std::unique_ptr<core::Future> future);

}  // namespace corvalune::sys

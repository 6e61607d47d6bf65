#pragma once
// Spawning binding-layer pollables on the pool.
#include <Python.h>

#include <memory>

#include "interp/exceptions.hpp"
#include "task.hpp"

namespace corvalune::sys {

// False with RuntimeError set once the pool has been shut down: from then on
// no entry point accepts work, since nothing would ever run it. Every entry
// point that queues work checks this first.
bool ensure_pool_accepts_work();

// What the waiters of work the stopped pool dropped unrun are told.
PendingException dropped_at_shutdown();

// Obtains the process-wide runtime (starting the pool on first use) and
// spawns `pollable` as a task on it, dropping the returned task reference.
void spawn_on_pool(std::unique_ptr<core::Pollable> pollable);

}  // namespace corvalune::sys

#pragma once
// The calling thread's local queue slot.
//
// Every thread has one slot, empty until the thread registers with a
// scheduler (a pool thread, or a Python thread that joined as a worker). A
// registered thread's slot holds its registry id and the owner side of its
// work-stealing queue. Work submitted from a thread whose slot holds a queue
// stays on that thread (pushed at the back, picked up oldest first, stolen by
// idle peers); work from any other thread goes through the scheduler's
// injector.
//
// The slot is only ever touched by its own thread, one queue operation at a
// time; no job runs while a queue operation is in progress. The slot is
// trivially destructible on purpose: a thread that ends (or a process that
// exits) without leaving the pool simply abandons the owner side of its queue
// instead of running destructors at a time when peers may still steal from
// it. Jobs left there stay reachable through the stealer kept in the registry.
#include <cstdint>

#include "job.hpp"
#include "queues/deque.hpp"
#include "queues/injector.hpp"

namespace corvalune::core {

using LocalQueue = Deque<Job*>;

// The owner side of a thread's queue together with the id it was registered
// under. A default-constructed value means "no queue".
struct LocalSlot {
  std::uint64_t id = 0;
  LocalQueue* queue = nullptr;  // owned by the slot while installed
  // The injector of the scheduler the thread is registered with (that
  // scheduler outlives the registration).
  const Injector<Job*>* injector = nullptr;
};

// True when the calling thread's slot holds a queue.
bool has_local_queue() noexcept;
// Id of the calling thread's queue, 0 when it has none.
std::uint64_t local_queue_id() noexcept;
// The calling thread's queue, or nullptr. Valid until the slot is emptied by
// this same thread.
LocalQueue* local_queue() noexcept;

// True when the calling thread's own queue or its scheduler's injector holds
// at least one job: more work is at hand for a registered thread.
bool work_at_hand() noexcept;

// Pushes at the back of the calling thread's queue. On success `job` is left
// empty and true is returned; without a local queue the job stays in `job`
// (handed back) and false is returned. Throws std::bad_alloc when the queue
// has no memory to grow, the job then staying in `job`.
bool push_local(JobRef& job);

// Takes the oldest job of the calling thread's queue, or an empty JobRef.
JobRef pop_local();

// Installs a queue in the calling thread's (empty) slot; the slot owns it.
void install_local_queue(std::uint64_t id, LocalQueue* queue, const Injector<Job*>* injector) noexcept;
// Empties the slot and hands its contents to the caller.
LocalSlot take_local_queue() noexcept;
// Empties the slot only when it holds the queue registered under `id`.
LocalSlot take_local_queue_if(std::uint64_t id) noexcept;

}  // namespace corvalune::core

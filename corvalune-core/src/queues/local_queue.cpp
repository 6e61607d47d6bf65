#include "queues/local_queue.hpp"

#include <utility>

namespace corvalune::core {
namespace {
// Trivially destructible: see the header for why nothing runs at thread exit.
thread_local LocalSlot t_slot;
}  // namespace

bool has_local_queue() noexcept { return t_slot.queue != nullptr; }

std::uint64_t local_queue_id() noexcept { return t_slot.queue ? t_slot.id : 0; }

LocalQueue* local_queue() noexcept { return t_slot.queue; }

bool work_at_hand() noexcept {
  if (t_slot.queue == nullptr) return false;
  return !t_slot.queue->is_empty() || !t_slot.injector->is_empty();
}

bool push_local(JobRef& job) {
  if (t_slot.queue == nullptr) return false;
  t_slot.queue->push(job.get());  // may throw: the job is still the caller's
  (void)job.into_raw();            // the queue slot's reference now
  return true;
}

JobRef pop_local() {
  if (t_slot.queue == nullptr) return {};
  if (auto raw = t_slot.queue->pop()) return JobRef::from_raw(*raw);
  return {};
}

void install_local_queue(std::uint64_t id, LocalQueue* queue, const Injector<Job*>* injector) noexcept {
  t_slot.id = id;
  t_slot.queue = queue;
  t_slot.injector = injector;
}

LocalSlot take_local_queue() noexcept { return std::exchange(t_slot, LocalSlot{}); }

LocalSlot take_local_queue_if(std::uint64_t id) noexcept {
  if (t_slot.queue == nullptr || t_slot.id != id) return {};
  return take_local_queue();
}

}  // namespace corvalune::core

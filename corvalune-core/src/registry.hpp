#pragma once
// The worker registry: which threads are workers of a scheduler, with the
// stealers that searches iterate and the unparkers that wake-ups use.
//
// A worker is a pool thread or a registered outside thread: each registration
// gets a new id (never reused), a parker and a local queue. Leaving removes
// the entry and moves the jobs left in the thread's queue to the injector
// (discards them once the pool has stopped).
//
// Locks, in order: `entries_lock` before `snapshot_lock`, `entries_lock`
// before `sleepers.lock` (idle.hpp), `entries_lock` before `helpers.lock`
// (help_wait.hpp).
#include <atomic>
#include <cstdint>
#include <memory>
#include <shared_mutex>
#include <unordered_map>
#include <utility>
#include <vector>

#include "idle.hpp"
#include "job.hpp"
#include "queues/deque.hpp"
#include "sync/parker.hpp"
#include "sync/thread_state.hpp"

namespace corvalune::core {

struct Scheduler;
struct WorkerContext;

struct WorkerCounters;

// The pool's own threads (started with the pool, or extra ones started by
// the watchdog: the only kinds of worker that leave by themselves when the
// pool stops) and registered outside threads.
enum class WorkerKind { Pool, Extra, Registered };

struct WorkerEntry {
  Unparker unparker;
  Stealer<Job*> stealer;
  // The registration's own counters: valid while the entry exists (the
  // context that holds them erases the entry before they are destroyed).
  const WorkerCounters* counters;
  WorkerKind kind;
  std::uint64_t index;  // <i> of "corvalune-worker-<i>"; 0 for registered threads
  // Whether the thread is runnable, which the watchdog asks at its looks.
  ThreadStateProbe run_state;
};

using StealerList = std::vector<std::pair<std::uint64_t, Stealer<Job*>>>;

class WorkerRegistry {
 public:
  WorkerRegistry();

  SleeperList sleepers;
  // Workers waiting for a result with nothing to help with (help_wait.hpp).
  SleeperList helpers;

  // What thieves iterate: replaced whole on every join and leave, which
  // also bumps the version, so that a searcher re-reads the list only when
  // it has changed.
  std::shared_mutex snapshot_lock;
  std::shared_ptr<const StealerList> snapshot;
  std::atomic<std::uint64_t> snapshot_version{1};

  std::shared_mutex entries_lock;
  std::unordered_map<std::uint64_t, WorkerEntry> entries;

  // Ids are never reused; the first worker of a registry gets 1.
  std::atomic<std::uint64_t> next_id{1};

  // The counters of workers that have left, summed as each leaves (guarded
  // by entries_lock), so that totals over the pool's life stay whole.
  std::uint64_t departed_jobs_run = 0;
  std::uint64_t departed_steals = 0;
  std::uint64_t departed_parks = 0;
};

// Leaving through a registration runs leave_pool for its (scheduler, id).
class Registration {
 public:
  Registration(std::shared_ptr<Scheduler> scheduler, std::uint64_t id) noexcept
      : scheduler_(std::move(scheduler)), id_(id) {}
  Registration(Registration&& other) noexcept
      : scheduler_(std::move(other.scheduler_)), id_(std::exchange(other.id_, 0)) {}
  Registration& operator=(Registration&&) = delete;
  Registration(const Registration&) = delete;
  ~Registration() { leave(); }
  // Leaves the pool now (idempotent).
  void leave() noexcept;
  bool active() const noexcept { return scheduler_ != nullptr; }

 private:
  std::shared_ptr<Scheduler> scheduler_;
  std::uint64_t id_;
};

// Registers the calling thread: new id, parker and local queue. Jobs left in
// a queue from an earlier registration of the same thread go to the injector.
std::unique_ptr<WorkerContext> enter_pool(std::shared_ptr<Scheduler> scheduler);

// Removes `id` from the registry and, when the calling thread's slot holds
// that id's queue, moves the queue's jobs to the injector.
void leave_pool(const std::shared_ptr<Scheduler>& scheduler, std::uint64_t id);

// The calling thread's registration, or nullptr. Set by enter_pool on the
// registering thread and cleared when that thread leaves; valid until then.
WorkerContext* current_context() noexcept;
// Forgets the calling thread's registration without leaving (a forked
// child: it belongs to the parent's abandoned pool).
void forget_current_context() noexcept;

// Number of registered workers (pool threads and registered Python threads).
std::uint64_t registered_count(Scheduler& scheduler);

// Number of the pool's own threads (extra ones included) still registered, not counting the
// registration `except` (0: none excepted).
std::uint64_t pool_threads_registered(Scheduler& scheduler, std::uint64_t except);

}  // namespace corvalune::core

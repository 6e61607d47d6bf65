#pragma once
// The scheduler: global injector, worker registry, pool threads and their loop.
//
// Work enters as `JobRef`s. A thread that owns a local queue (a pool thread or
// a registered Python thread) pushes onto it and wakes nobody; any other
// thread pushes onto the injector and unparks the worker that went to sleep
// most recently. Workers look for work in this order: the injector first on
// every 64th search (so injected work is never starved by a busy local queue),
// their own queue, the injector, then a steal from a peer chosen at random.
//
// Idle protocol (no lost wake-up for injected work):
//
//   worker                                  submitter
//   ------                                  ---------
//   32 spin rounds (local, injector)
//   push id onto `sleepers`   (A)           push job onto injector   (C)
//   one more look at injector (B)           notify_one: pop an id from
//   park_timeout(5 ms)                        `sleepers`, unpark it   (D)
//   remove id from `sleepers`
//
// If (C) comes before (B), the worker finds the job. Otherwise (D) comes after
// (A) and sees the id (the sleeper count and the list change under the same
// lock as the id is pushed), so the unpark leaves a token and the park returns
// at once.
//
// A worker that has just worked spins warm for a while first, and counts
// itself in `warm_spinners` meanwhile. A submitter that sees a warm spinner
// after its push (C) skips the wake-up: the spinner leaves the count
// (seq_cst) before its own (A) and (B), so a push that came before the
// submitter's look at the count is found by the spinner at (B) at the
// latest. This saves a futex wake per submission while work trickles in. Two alternatives were rejected: waking a worker on every local push
// (a futex syscall on the hottest path; peers find local work by stealing
// within one park period anyway) and parking without a timeout (local pushes
// wake nobody, so a parked worker must come back to steal by itself).
//
// Locks, in order: `entries` before `snapshot`, `entries` before `sleepers`.
// `notify_one` releases `sleepers` before it read-locks `entries`. No lock is
// held while a job runs. Finding work takes no lock except the brief
// `snapshot` read lock that clones the list of stealers before stealing.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <shared_mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "deque.hpp"
#include "injector.hpp"
#include "job.hpp"
#include "parker.hpp"
#include "waker.hpp"

namespace corvalune::core {

// The kind has no effect on scheduling; it is reported back to registrants.
enum class WorkerKind { Native, Bilingual };

struct WorkerEntry {
  Unparker unparker;
  Stealer<Job*> stealer;
  WorkerKind kind;
  // One of the pool's own threads (not a registered outside thread): the
  // only kind of worker that leaves by itself when the pool stops.
  bool pool_thread;
};

using StealerList = std::vector<std::pair<std::uint64_t, Stealer<Job*>>>;

class WorkerRegistry {
 public:
  WorkerRegistry();

  // Workers in their sleep phase, in the order they entered it; no id twice.
  // Only ever write-locked (every access modifies or must be exclusive).
  std::shared_mutex sleepers_lock;
  std::vector<std::uint64_t> sleepers;
  // Always equals sleepers.size() once the lock is released; read without
  // the lock by notify_one's fast path.
  std::atomic<std::uint64_t> sleeper_count{0};

  // What thieves iterate: replaced whole on every join and leave.
  std::shared_mutex snapshot_lock;
  std::shared_ptr<const StealerList> snapshot;

  std::shared_mutex entries_lock;
  std::unordered_map<std::uint64_t, WorkerEntry> entries;

  // Ids are never reused; the first worker of a registry gets 1.
  std::atomic<std::uint64_t> next_id{1};

  // Removes every occurrence of `id` from `sleepers` (at most one).
  void remove_sleeper(std::uint64_t id);
  // Adds `id` to `sleepers` unless it is there already.
  void add_sleeper(std::uint64_t id);
};

struct alignas(128) Scheduler {
  Scheduler();

  Injector<Job*> injector;
  std::shared_ptr<WorkerRegistry> registry;
  // Set at creation, cleared once to stop the pool, never set again. Read at
  // the top of every loop iteration; eventual visibility is all that is
  // needed because every clear is followed by wake_all.
  std::atomic<bool> running{true};
  // Workers spinning warm right now (at most about one). A submission that
  // lands on the injector while one spins needs no wake-up: see the idle
  // protocol above.
  std::atomic<int> warm_spinners{0};

  bool is_running() const noexcept { return running.load(std::memory_order_relaxed); }
};

// Releasing a registration runs leave_pool for its (scheduler, id).
class Registration {
 public:
  Registration(std::shared_ptr<Scheduler> scheduler, std::uint64_t id) noexcept
      : scheduler_(std::move(scheduler)), id_(id) {}
  Registration(Registration&& other) noexcept
      : scheduler_(std::move(other.scheduler_)), id_(std::exchange(other.id_, 0)) {}
  Registration& operator=(Registration&&) = delete;
  Registration(const Registration&) = delete;
  ~Registration() { release(); }
  // Leaves the pool now (idempotent).
  void release() noexcept;
  bool active() const noexcept { return scheduler_ != nullptr; }

 private:
  std::shared_ptr<Scheduler> scheduler_;
  std::uint64_t id_;
};

// One registration of one thread.
struct WorkerContext {
  WorkerContext(std::shared_ptr<Scheduler> s, Parker p, std::uint64_t i, WorkerKind k)
      : scheduler(s), parker(std::move(p)), id(i), kind(k), registration(std::move(s), i) {}

  std::shared_ptr<Scheduler> scheduler;
  Parker parker;
  std::uint64_t id;
  std::atomic<std::uint64_t> tick{0};  // counts find_job calls
  WorkerKind kind;
  Registration registration;
};

// Registers the calling thread: new id, parker and local queue. Jobs left in
// a queue from an earlier registration of the same thread go to the injector.
std::unique_ptr<WorkerContext> enter_pool(std::shared_ptr<Scheduler> scheduler, WorkerKind kind);

// Removes `id` from the registry and, when the calling thread's slot holds
// that id's queue, moves the queue's jobs to the injector.
void leave_pool(const std::shared_ptr<Scheduler>& scheduler, std::uint64_t id);

// Runs jobs until the scheduler's running flag is cleared.
void worker_loop(WorkerContext& context);

// One search for work; an empty JobRef when none was found.
JobRef find_job(WorkerContext& context);

// Queues a job: on the calling thread's local queue when it has one,
// otherwise on the injector followed by notify_one.
void submit(Scheduler& scheduler, JobRef job);

// Queues a job on the injector whatever thread calls, and wakes a sleeper.
// For work that must not stay on the calling thread's own queue (a thread
// about to block waiting for it).
void inject(Scheduler& scheduler, JobRef job);

// A job from the calling thread's own queue, else from the injector (a
// batch when the thread has a queue); never steals from peers. For threads
// that help while they wait.
JobRef take_local_or_injected(Scheduler& scheduler);

// Unparks the worker that went to sleep most recently, if any sleeps.
void notify_one(WorkerRegistry& registry);

// Unparks every registered worker, parked or not.
void wake_all(Scheduler& scheduler);

// Number of registered workers (pool threads and registered Python threads).
std::uint64_t registered_count(Scheduler& scheduler);

// Number of the pool's own threads still registered, not counting the
// registration `except` (0: none excepted).
std::uint64_t pool_threads_registered(Scheduler& scheduler, std::uint64_t except);

// Creates one thread running `body` under the given name. The default creates
// a std::thread; tests substitute one that fails.
using ThreadSpawner = std::function<std::thread(std::size_t index, std::function<void()> body)>;

// Starts n pool threads named "corvalune-worker-<i>". If a thread cannot be
// created, the threads already created are stopped and joined and a Panic
// "failed to spawn worker thread: <os error>" is thrown.
std::vector<std::thread> start_worker_threads(const std::shared_ptr<Scheduler>& scheduler,
                                              std::size_t n,
                                              const ThreadSpawner& spawner = {});

// A function a pool thread calls when it runs out of work (before spinning
// and parking) and when it leaves its loop.
using IdleHook = void (*)();
void set_worker_idle_hook(IdleHook hook) noexcept;

// True on the pool's own threads.
bool is_pool_thread() noexcept;

// The full name of the calling pool thread ("corvalune-worker-<i>"), or an
// empty string on other threads. The OS name is cut to 15 bytes by Linux.
std::string current_worker_name();

// Victim selection (SplitMix64): the next value of the calling thread's
// state, seeding it from `id` on first use. Exposed for tests.
std::uint64_t next_victim_random(std::uint64_t id) noexcept;

}  // namespace corvalune::core

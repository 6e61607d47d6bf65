#pragma once
// The scheduler: global injector, worker registry, pool threads and their loop.
//
// Work enters as `JobRef`s. A thread that owns a local queue (a pool thread or
// a registered Python thread) pushes onto it; any other thread pushes onto
// the injector. Either push then wakes the worker that went to sleep most
// recently, when some sleep and none searches (below). Workers look for work in this order: the injector first on
// every 64th search (so injected work is never starved by a busy local queue),
// their own queue, the injector, then a steal from a peer chosen at random.
//
// Idle protocol: idle pool threads sleep until work or shutdown wakes them
// (no timeout anywhere), and no wake-up is ever lost.
//
// Counters (pool threads only; registered outside threads never search or
// sleep): `searching`, the pool threads looking for work right now, at most
// half of them (at least one) so that a burst does not wake the whole pool;
// `sleepers`, the ids of parked pool threads, under `sleepers_lock`, with
// `sleeper_count` readable without it.
//
//   submitter (any thread)                worker that runs out of work
//   ----------------------                ----------------------------
//   push the job, seq_cst (P): the        search (if under the bound), spinning
//     local queue's back store or the       a little while it has just worked
//     injector's tail CAS                 add own id to sleepers   (A, seq_cst)
//   searching == 0?               (L1)    searching -= 1 if it was  (B, seq_cst)
//   sleeper_count > 0?            (L2)      searching
//   both: wake one sleeper (W)            look at the injector and every peer's
//                                           queue once more        (C, seq_cst)
//                                         nothing: park, no timeout
//
// W pops the most recent sleeper under the lock, counts it as searching
// (so that other submitters see a searcher and wake nobody more), and
// unparks it. A woken worker searches; a searcher that finds work stops
// searching, and if it was the last searcher it wakes another sleeper (one
// more job may be waiting with nobody looking: the submitters of the jobs it
// did not take saw it searching and woke no one).
//
// Why no wake-up is lost, for a push (P) racing a worker going to sleep. P,
// L1, L2, A, B and the loads of C are all seq_cst, so they sit in one total
// order S, consistent with each thread's program order.
//   - L1 comes after B in S: L1 reads B's decrement (or a later value). If
//     nobody else searches it reads 0; A precedes B, so L2 reads A's
//     increment: the submitter wakes a sleeper (this worker or another,
//     which then searches and finds the job).
//   - L1 comes before B in S (it saw this worker searching, so woke nobody):
//     P precedes L1, which precedes B, which precedes the loads of C, and a
//     seq_cst load returns the last seq_cst store before it in S or a later
//     one: C finds the job (or sees it taken by someone else).
// A searcher that instead finds work (stops searching without parking) is
// covered by the wake-another rule; a worker whose last look finds work
// while still listed takes itself off the list and, as a searcher would,
// wakes another if nobody searches. The busy path pays for the push being
// seq_cst (on x86 an xchg instead of a plain store; on ARM the stlr it
// needs anyway) and two loads; no system call while nobody sleeps or
// someone searches. Rejected: a seq_cst fence between a release push and
// L1 (the same cost, but ThreadSanitizer cannot check fences, and this is
// the protocol the tests must check); waking a worker on every push (a
// futex wake on the hottest path even while peers search); parking with a
// timeout (an idle pool would wake hundreds of times a second, and every
// local push would wait for a timeout to be stolen). The warm spin of a
// worker that has just run a job is part of its search: it counts as a
// searcher while it spins and parks through A, B, C like any other.
//
// A worker whose park returns checks that it was popped from `sleepers`: a
// token left by a wake-up that raced with its own recheck is stale, and it
// parks again. Shutdown clears `running` and unparks every worker.
//
// Locks, in order: `entries` before `snapshot`, `entries` before `sleepers`.
// `notify_one` releases `sleepers` before it read-locks `entries`. No lock is
// held while a job runs. Finding work takes no lock except the brief
// `snapshot` read lock taken when the list of stealers has changed since the
// searcher last copied it.
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
#include "local_queue.hpp"

namespace corvalune::core {

struct WorkerEntry {
  Unparker unparker;
  Stealer<Job*> stealer;
  // One of the pool's own threads (not a registered outside thread): the
  // only kind of worker that leaves by itself when the pool stops.
  bool pool_thread;
};

using StealerList = std::vector<std::pair<std::uint64_t, Stealer<Job*>>>;

class WorkerRegistry {
 public:
  WorkerRegistry();

  // Parked pool threads, in the order they parked; no id twice. Only ever
  // write-locked (every access modifies or must be exclusive).
  std::shared_mutex sleepers_lock;
  std::vector<std::uint64_t> sleepers;
  // Always equals sleepers.size() once the lock is released; read without
  // the lock by the submitters' fast path.
  std::atomic<std::uint64_t> sleeper_count{0};

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

  // Removes `id` from `sleepers`; false when it was not there.
  bool remove_sleeper(std::uint64_t id);
  // Adds `id` to `sleepers` unless it is there already.
  void add_sleeper(std::uint64_t id);
  // True when `id` is in `sleepers` (nobody has popped it to wake it).
  bool is_sleeping(std::uint64_t id);
};

struct alignas(128) Scheduler {
  Scheduler();

  Injector<Job*> injector;
  std::shared_ptr<WorkerRegistry> registry;
  // Set at creation, cleared once to stop the pool, never set again. Read at
  // the top of every loop iteration; eventual visibility is all that is
  // needed because every clear is followed by wake_all.
  std::atomic<bool> running{true};
  // Pool threads searching for work (see the idle protocol above).
  std::atomic<std::uint32_t> searching{0};
  // Number of pool threads started on this scheduler: bounds `searching`.
  std::atomic<std::uint32_t> pool_threads{0};

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
  WorkerContext(std::shared_ptr<Scheduler> s, Parker p, std::uint64_t i)
      : scheduler(s), parker(std::move(p)), id(i), registration(std::move(s), i) {}

  std::shared_ptr<Scheduler> scheduler;
  Parker parker;
  std::uint64_t id;
  std::atomic<std::uint64_t> tick{0};  // counts find_job calls
  Registration registration;
  // The stealers this thread last searched, and the registry version they
  // belong to: a search copies the list only when it has changed.
  std::shared_ptr<const StealerList> snapshot;
  std::uint64_t snapshot_version = 0;
};

// Registers the calling thread: new id, parker and local queue. Jobs left in
// a queue from an earlier registration of the same thread go to the injector.
std::unique_ptr<WorkerContext> enter_pool(std::shared_ptr<Scheduler> scheduler);

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

// Wakes the pool thread that parked most recently, if any sleeps, counting
// it as searching. Returns false when none sleeps.
bool notify_one(Scheduler& scheduler);

// After a push: wakes a sleeper when nobody searches (see the idle
// protocol). Two loads while the pool is busy.
void wake_for_work(Scheduler& scheduler);

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

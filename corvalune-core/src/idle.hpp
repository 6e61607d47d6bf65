#pragma once
// Idle and wake-up: when a pool thread that found no work may sleep, and who
// wakes it.
//
// Idle protocol: idle pool threads sleep until work or shutdown wakes them
// (no timeout, except that an extra worker's sleep ends after its idle
// limit), no wake-up is ever lost, and work queued while every worker is
// busy always reaches the watchdog (watchdog.hpp), which sleeps too until
// it is needed.
//
// Counters (pool threads only; registered outside threads never search or
// sleep): `searching`, the pool threads looking for work right now, at most
// half of them (at least one) so that a burst does not wake the whole pool;
// `sleepers`, the ids of parked pool threads (a SleeperList: the ids under
// its lock, with their count readable without it).
//
//   submitter (any thread)                worker that runs out of work
//   ----------------------                ----------------------------
//   push the job, seq_cst (P): the        search (if under the bound), for
//     local queue's back store or the       50 us more if it has just worked
//     injector's tail CAS                 add own id to sleepers   (A, seq_cst)
//   searching == 0?               (L1)    searching -= 1 if it was  (B, seq_cst)
//   sleepers.count > 0?           (L2)      searching
//   both: wake one sleeper (W)            look at the injector and every peer's
//   L1 yes, L2 no: signal the               queue once more        (C, seq_cst)
//     watchdog (S)                        nothing: park, no timeout
//
// W pops the most recent sleeper under the lock, counts it as searching
// (so that other submitters see a searcher and wake nobody more), and
// unparks it. A woken worker searches; a searcher that finds work stops
// searching, and if it was the last searcher it looks at every queue again
// (seq_cst loads, as C) and wakes another sleeper if one holds a job: that
// job may be waiting with nobody looking, since its submitter saw a
// searcher and woke no one. A submitter whose L1 came after the decrement
// wakes someone itself; one whose L1 came before it pushed before it, so
// the look sees the job (the argument below, with the look for C). Waking
// another without the look cost every job of a program that submits one
// at a time a futex wake before it ran, and the woken thread, counted as
// searching, kept the one that had just worked from searching warm (with
// two pool threads, only one searches), so the next job found both asleep.
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
// local push would wait for a timeout to be stolen).
//
// Wake-up policy. A wake-up costs a futex wake and, on an idle machine, the
// kernel waking a halted CPU: 20 us on a good day, 100-200 us on a busy
// host. Two waits meet that cost, and each is bounded by a short poll
// before it sleeps (sync/spin_wait.hpp: it yields the CPU between looks, so
// a poller never keeps the thread it waits for off a core):
//   - the warm search: a searcher that has just run a job keeps looking for
//     50 us (kWarmSearch) before it parks. A program that submits one job at
//     a time, each after the result of the last, finds it searching and pays
//     no wake-up. It counts as a searcher while it looks and parks through
//     A, B, C like any other; one that was woken with nothing to do for it
//     looks once and parks again. At most half the pool searches, so a
//     burst's end makes at most that many threads poll, for 50 us.
//   - the blocked caller: a thread that blocks on a result (run_level1's
//     wait) first polls the done mark for 50 us (kCallerSpin): a short job
//     ends within that, and the caller returns without being woken. An
//     asyncio loop that awaits a handle with nothing else ready to run is
//     such a caller too (it would sleep until the worker's post woke it);
//     with other work ready it never polls, so a gather costs no CPU.
// The idle cost stays nil: 50 us after its last job a pool thread sleeps
// with no timeout. Rejected: spinning with only the CPU's pause hint (on 2
// cores, two pollers can keep a just-woken worker off both cores for a
// whole time slice); a poll bounded in rounds rather than time (a pause
// takes 10 to 140 cycles by CPU model, so the same rounds last 10 to
// 180 us); longer polls (each idle-bound burst end would cost that much CPU
// per searcher, for a gain only where the next job comes later than 50 us,
// which a futex wake of 20 us or more would serve nearly as well); polling
// in Python for a Python-level wait (an executor future's result()): the
// poller takes the interpreter lock between looks, and the worker that must
// run the call then sleeps on that lock, which costs more than the wake-up
// it saves (measured: 15 us to 56 us from the call's end to result()
// returning).
//
// A worker whose park returns checks that it was popped from `sleepers`: a
// token left by a wake-up that raced with its own recheck is stale, and it
// parks again. Shutdown clears `running` and unparks every worker (and
// wakes the watchdog, which then ends).
//
// Extra workers park with a timeout (their idle limit). One whose park
// times out removes its own id from `sleepers` under the lock: if it was
// still listed, nobody counted on it and it leaves the pool; if a waker had
// popped it meanwhile, it counts as searching like any woken worker (the
// waker's token is stale by then, and harmless).
//
// At every signal site S a waiting helper (a worker blocked on a result,
// help_wait.hpp) is woken too, if one sleeps: it may take injected work at
// once, where the watchdog would wait for its stall limit.
//
// The watchdog's word (WatchdogState::word: kAsleep, kWatching, kCheckNow).
// Signal (S): a submitter whose L1 and L2 both read 0, and a last searcher
// that found work and had no sleeper to wake (end_search_with_work), load
// the word and, when it reads kAsleep, CAS it to kWatching and wake the
// watchdog; a blocking scope's start (begin_blocking) whose L1 and L2 read 0
// exchanges kCheckNow into it and wakes the watchdog, which looks at once.
// The watchdog falls asleep only by a CAS kWatching -> kAsleep followed by a
// look at every queue (the injector's ends and each deque's, through the
// registry): anything queued, and it watches on. All these are seq_cst, so
// they sit in S too. Why queued work with no idle worker always reaches a
// watching watchdog: take the last job J pushed (P) before the watchdog
// fell asleep at its CAS X.
//   - P before the watchdog's look in S: the look sees J (or J is taken).
//   - P after the look: P's L1 and L2 follow X. If they read 0 and 0, the
//     submitter's load of the word follows X and reads kAsleep (or a later
//     value written by another signaller, who wakes it): it signals. If L1
//     reads a searcher or L2 a sleeper, a searcher exists or is woken; the
//     last searcher to stop either parks (C finds J, and taking it runs
//     wake_for_work, a new L1/L2) or finds work and, with no sleeper left,
//     signals: its decrement and its load of the word follow P's L1 in S.
// Blocking-scope depths and the per-worker counters the watchdog reads are
// each written only by their own thread (relaxed): the exchange of
// kCheckNow releases the depth to the watchdog's next look, and for the
// rest a later look suffices.
//
// Locks, in order: `entries` before `snapshot`, `entries` before `sleepers`
// (the registry's locks, registry.hpp). `notify_one` releases `sleepers`
// before it read-locks `entries`. No lock is
// held while a job runs. Finding work takes no lock except the brief
// `snapshot` read lock taken when the list of stealers has changed since the
// searcher last copied it.
//
// The last look (C) must not give up on a source that answers Retry (a
// concurrent taker won a race, or a push is still being written): the job P
// pushed may be right behind the contended one. find_job therefore asks each
// source again until it answers Empty or Success; every Retry means another
// thread made progress, so the loop ends.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <shared_mutex>
#include <vector>

#include "job.hpp"

namespace corvalune::core {

struct Scheduler;
struct WorkerContext;

// Parked pool threads, in the order they parked; no id twice.
class SleeperList {
 public:
  // Only ever write-locked (every access modifies or must be exclusive).
  std::shared_mutex lock;
  std::vector<std::uint64_t> ids;  // guarded by lock
  // Always equals ids.size() once the lock is released; read without the
  // lock by the submitters' fast path (L2).
  std::atomic<std::uint64_t> count{0};

  // Makes room for `n` ids, so that add() never allocates while no more
  // threads than that are registered (a parking worker cannot report a
  // failure). Called at registration, which can. Throws std::bad_alloc.
  void reserve(std::size_t n);
  // Adds `id` unless it is there already (A).
  void add(std::uint64_t id);
  // Removes `id`; false when it was not there.
  bool remove(std::uint64_t id);
  // True when `id` is listed (nobody has popped it to wake it).
  bool contains(std::uint64_t id);
};

// One pool thread's place in the protocol, owned by its loop.
class IdleState {
 public:
  // With an idle limit (extra workers), parking ends after that long, and a
  // thread still listed then retires.
  explicit IdleState(std::chrono::nanoseconds idle_limit = std::chrono::nanoseconds::zero()) noexcept
      : idle_limit_(idle_limit) {}
  // After a search found nothing: joins the searchers if the bound allows
  // (at most half of the pool threads, at least one) and, when the thread
  // has just worked, keeps searching a little while (the warm search).
  // Returns a job found meanwhile.
  JobRef search(WorkerContext& context);
  // A job was found (by any search): leaves the searchers, waking another
  // sleeper if this was the last searcher and more work waits.
  void found_work(WorkerContext& context);
  // A, B, C, then park until popped by a waker or until the pool stops.
  // Returns the job the last look found, or nothing after the park.
  JobRef sleep(WorkerContext& context);
  // The loop ends: uncounts the thread everywhere.
  void leave(WorkerContext& context);
  // The last sleep reached the idle limit: the thread leaves the pool.
  bool retiring() const noexcept { return retiring_; }

 private:
  std::chrono::nanoseconds idle_limit_;
  bool searching_ = false;  // counted in Scheduler::searching
  bool warm_ = true;        // ran a job since it last parked
  bool retiring_ = false;
};

// After a push: wakes a sleeper when nobody searches (L1, L2, W). Two loads
// while the pool is busy.
void wake_for_work(Scheduler& scheduler);

// Wakes the pool thread that parked most recently, if any sleeps, counting
// it as searching (W). Returns false when none sleeps.
bool notify_one(Scheduler& scheduler);

// Unparks every registered worker, parked or not, and wakes the watchdog:
// for a pool that stops.
void wake_all(Scheduler& scheduler);

}  // namespace corvalune::core

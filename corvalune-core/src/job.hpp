#pragma once
// Jobs: the units of work the pool queues.
//
// A `Job` is reference-counted intrusively so that a queue entry can be a bare
// pointer that owns exactly one reference. `JobRef` is the owning smart
// reference; `into_raw`/`from_raw` move that one reference in and out of a
// queue slot without touching the count.
//
// Running a job consumes the reference it was run through: `JobRef::run`
// hands the job its own reference, which the job may keep (to reschedule
// itself) or drop. Discarding is the other way to consume a queue entry: the
// pool stopped before the job's turn, and the job settles whoever waits for
// it without doing its work.
#include <atomic>
#include <cstddef>
#include <mutex>
#include <utility>

namespace corvalune::core {

class JobRef;

class Job {
 public:
  Job() = default;
  Job(const Job&) = delete;
  Job& operator=(const Job&) = delete;

  // Performs the job on the calling thread. `self` is the reference the
  // caller ran it through; it is released when the job lets go of it.
  virtual void run(JobRef self) = 0;

  // Called instead of run for a queued job the pool drops because it has
  // stopped; `self` as for run. Never runs the job's work. The default
  // only lets go of the reference.
  virtual void discard(JobRef self);

  void add_ref() noexcept {
    // relaxed: a new reference is made from an existing one, so the object
    // is already visible to this thread; nothing else is published.
    refs_.fetch_add(1, std::memory_order_relaxed);
  }
  void drop_ref() noexcept {
    // acq_rel: the release publishes this thread's writes to whichever thread
    // drops the last reference; the acquire on the last drop sees them all
    // before the destructor runs.
    if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
  }
  std::size_t ref_count_for_tests() const noexcept {
    return refs_.load(std::memory_order_relaxed);
  }

 protected:
  virtual ~Job() = default;

 private:
  friend class OverflowQueue;

  std::atomic<std::size_t> refs_{1};
  // The link of the overflow queue (worker.hpp), which holds a job only when
  // no memory was left to queue it anywhere else: queueing it there needs no
  // allocation. Guarded by that queue's lock while the job is in it.
  Job* overflow_next_ = nullptr;
};

// The queue of last resort: a FIFO of jobs linked through their own
// `overflow_next_`, so that pushing never allocates and never fails. Used
// when a job cannot be queued for want of memory (a local queue's or the
// injector's growth failed); workers look here after the injector.
class OverflowQueue {
 public:
  void push(JobRef job) noexcept;
  JobRef pop() noexcept;
  bool is_empty() const noexcept {
    // seq_cst: like the injector's and local queues' emptiness checks, this
    // load takes part in the idle protocol's total order (idle.hpp); pairs
    // with the seq_cst store in push().
    return count_.load(std::memory_order_seq_cst) == 0;
  }

 private:
  std::mutex lock_;
  Job* head_ = nullptr;  // guarded by lock_
  Job* tail_ = nullptr;  // guarded by lock_
  std::atomic<std::size_t> count_{0};
};

class JobRef {
 public:
  JobRef() noexcept = default;
  // Adopts the reference that a new job starts with (refs_ == 1).
  static JobRef adopt(Job* job) noexcept { return JobRef(job); }
  // Takes a queue slot's reference back.
  static JobRef from_raw(Job* job) noexcept { return JobRef(job); }
  // Makes a new reference to an existing job.
  static JobRef share(Job* job) noexcept {
    job->add_ref();
    return JobRef(job);
  }

  JobRef(const JobRef&) = delete;
  JobRef& operator=(const JobRef&) = delete;
  JobRef(JobRef&& other) noexcept : job_(std::exchange(other.job_, nullptr)) {}
  JobRef& operator=(JobRef&& other) noexcept {
    if (this != &other) {
      reset();
      job_ = std::exchange(other.job_, nullptr);
    }
    return *this;
  }
  ~JobRef() { reset(); }

  // Gives the reference up to a queue slot.
  Job* into_raw() noexcept { return std::exchange(job_, nullptr); }
  Job* get() const noexcept { return job_; }
  explicit operator bool() const noexcept { return job_ != nullptr; }

  void reset() noexcept {
    if (Job* job = std::exchange(job_, nullptr)) job->drop_ref();
  }

  // Runs the job, consuming this reference.
  void run() && {
    Job* job = job_;
    job->run(std::move(*this));
  }

  // Drops the job unrun (see Job::discard), consuming this reference.
  void discard() && {
    Job* job = job_;
    job->discard(std::move(*this));
  }

 private:
  explicit JobRef(Job* job) noexcept : job_(job) {}
  Job* job_ = nullptr;
};

inline void Job::discard(JobRef self) { self.reset(); }

}  // namespace corvalune::core

#pragma once
// Lineage: the tasks a job spawned, so that a wait inside that job can run
// them itself instead of blocking its thread (fork-join of any depth on a
// fixed set of threads).
//
// Each worker thread keeps one log of task references, cut into frames: a
// frame is opened around every job a registered thread runs (run_job) and
// closed when the job ends, releasing the references it logged. A task
// spawned while a frame is open is logged in the innermost frame.
//
// A waiting job takes its own frame's tasks newest first (take_spawned) and
// runs each through run_job. Running a task is claiming it (task.hpp: the
// scheduled -> running exchange), so a task that a thief took, or that
// already ran from the queue, is skipped, and the queue entry of a task run
// here finds it claimed and does nothing. The helped task runs in a frame of
// its own, above the waiter's on the same stack, and may help with its own
// children in turn.
//
// What a wait may run, and why that is safe: only tasks of its own job's
// lineage, the work it forked and would otherwise wait for on a blocked
// thread; never a job queued by someone else (a sibling, a job of another
// submitter), which could wait in turn for the job beneath it on this stack
// and never return. The caveat every helping runtime has remains: a child
// run inline shares its parent's thread, so it sees the parent's
// threading.local values, a non-reentrant lock its parent holds across the
// wait blocks it (as it would block the child elsewhere, with the parent
// waiting for it: a deadlock either way), and a reentrant one lets it in.
//
// Memory: a logged task stays allocated until its frame closes. A frame that
// spawns many tasks without waiting drops the completed ones from its log
// each time the log doubles, so the log holds at most twice the frame's
// unfinished tasks.
#include <cstddef>
#include <cstdint>

#include "job.hpp"

namespace corvalune::core {

class Task;

// Opens a frame for the job the calling thread is about to run; closes it,
// releasing the frame's task references, when destroyed.
class LineageFrame {
 public:
  LineageFrame() noexcept;
  ~LineageFrame();
  LineageFrame(const LineageFrame&) = delete;
  LineageFrame& operator=(const LineageFrame&) = delete;

 private:
  std::size_t saved_start_;
  bool saved_elsewhere_;
};

// Logs `task` (a new reference is taken) in the calling thread's innermost
// frame; nothing when no frame is open or there is no memory for the entry
// (the task is then simply not helped with).
void note_spawned(Task* task) noexcept;

// Whether the innermost frame has logged a task that may still be queued.
bool has_spawned() noexcept;

// The newest task of the innermost frame that is still scheduled (queued,
// not claimed), or an empty JobRef when there is none.
JobRef take_spawned() noexcept;

// Whether take_spawned has passed over a task of the innermost frame that
// another thread was running: a wait that finds nothing left to run here
// then most likely waits for work in progress elsewhere.
bool spawned_run_elsewhere() noexcept;

// Tasks handed out by take_spawned in this process, in all: a figure.
std::uint64_t jobs_helped() noexcept;

}  // namespace corvalune::core

#include "lineage.hpp"

#include <atomic>
#include <new>
#include <utility>
#include <vector>

#include "task.hpp"

namespace corvalune::core {
namespace {

// The calling thread's log (each entry owns one task reference) and where
// its innermost frame starts. Touched by its own thread only. The vector is
// empty whenever no frame is open, so its destructor at thread exit frees
// storage and nothing else.
thread_local std::vector<Task*> t_log;
thread_local std::size_t t_frame_start = 0;
thread_local int t_frames = 0;
// Whether the innermost frame has found one of its tasks claimed by another
// thread (take_spawned). Sticky for the frame.
thread_local bool t_elsewhere = false;

// relaxed: a figure, read by statistics only.
std::atomic<std::uint64_t> g_helped{0};

// Drops the innermost frame's entries for completed tasks (which no wait
// can help with), keeping the others in order.
void prune_completed() noexcept {
  std::size_t kept = t_frame_start;
  for (std::size_t i = t_frame_start; i < t_log.size(); ++i) {
    Task* task = t_log[i];
    if (task->state() == Task::kComplete) {
      task->drop_ref();
    } else {
      t_log[kept++] = task;
    }
  }
  t_log.resize(kept);
}

}  // namespace

LineageFrame::LineageFrame() noexcept
    : saved_start_(std::exchange(t_frame_start, t_log.size())), saved_elsewhere_(std::exchange(t_elsewhere, false)) {
  ++t_frames;
}

LineageFrame::~LineageFrame() {
  // Released newest first; a release may free a task (its pollable, and the
  // references that holds), which never spawns or runs a job.
  while (t_log.size() > t_frame_start) {
    Task* task = t_log.back();
    t_log.pop_back();
    task->drop_ref();
  }
  t_frame_start = saved_start_;
  t_elsewhere = saved_elsewhere_;
  --t_frames;
}

void note_spawned(Task* task) noexcept {
  if (t_frames == 0) return;
  // Before the log would grow: drop what has completed, so that it grows
  // (doubling) only when most of it is still unfinished.
  if (t_log.size() == t_log.capacity() && t_log.size() - t_frame_start >= 64) prune_completed();
  try {
    t_log.push_back(task);
  } catch (const std::bad_alloc&) {
    return;  // not logged: the task is left to the pool
  }
  task->add_ref();
}

std::uint64_t jobs_helped() noexcept { return g_helped.load(std::memory_order_relaxed); }

bool spawned_run_elsewhere() noexcept { return t_frames != 0 && t_elsewhere; }

bool has_spawned() noexcept { return t_frames != 0 && t_log.size() > t_frame_start; }

JobRef take_spawned() noexcept {
  while (t_frames != 0 && t_log.size() > t_frame_start) {
    Task* task = t_log.back();
    t_log.pop_back();
    // acquire (state()): a task seen scheduled may still be claimed by a
    // thief before run_job claims it; run then finds it taken and returns.
    const Task::State state = task->state();
    if (state == Task::kScheduled) {
      g_helped.fetch_add(1, std::memory_order_relaxed);
      return JobRef::adopt(task);
    }
    if (state == Task::kRunning) t_elsewhere = true;
    task->drop_ref();
  }
  return {};
}

}  // namespace corvalune::core

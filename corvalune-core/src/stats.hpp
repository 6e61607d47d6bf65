#pragma once
// A snapshot of a scheduler's figures, for users to see what the pool does.
//
// Every figure is read without stopping anyone: a worker's counters are its
// own (watchdog.hpp), read relaxed, so a snapshot taken while the pool works
// is a set of recent values, not one instant. Taken while the pool is idle,
// it is exact.
#include <cstdint>
#include <vector>

#include "registry.hpp"

namespace corvalune::core {

struct Scheduler;

struct WorkerSnapshot {
  std::uint64_t id;
  WorkerKind kind;
  std::uint64_t index;  // <i> of "corvalune-worker-<i>"; 0 for registered threads
  std::uint64_t jobs_run;
  std::uint64_t steals;
  std::uint64_t parks;
  std::uint64_t local_queue_depth;
  bool blocked;  // in a blocking scope
};

struct PoolSnapshot {
  std::vector<WorkerSnapshot> workers;  // by id: in order of registration
  std::uint64_t global_queue_depth = 0;
  std::uint64_t extra_started = 0;  // extra workers started in all
  std::uint64_t extra_for_blocked = 0;  // of them, at once for a blocked worker
  std::uint64_t extra_for_stall = 0;    // of them, after a stall
  std::uint64_t jobs_helped = 0;  // tasks run by waits that ran the work they waited for
  // Summed over the workers that have left.
  std::uint64_t departed_jobs_run = 0;
  std::uint64_t departed_steals = 0;
  std::uint64_t departed_parks = 0;
};

PoolSnapshot snapshot(Scheduler& scheduler);

}  // namespace corvalune::core

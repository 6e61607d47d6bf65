#pragma once
// Finding work: the order in which a worker looks at its sources.
//
// A worker looks at the injector first on every 64th search (so injected
// work is never starved by a busy local queue), then at its own queue, the
// injector, and last steals from peers, starting at one chosen at random.
// Taking from the injector or a peer moves a batch into the taker's own
// queue when it has one. Each source is asked until it answers Empty or
// Success: a Retry may hide work (see idle.hpp, step C).
#include <cstdint>

#include "job.hpp"

namespace corvalune::core {

struct Scheduler;
struct WorkerContext;

// One search for work; an empty JobRef when every source was empty.
JobRef find_job(WorkerContext& context);

// Whether any queue holds a job (the injector, the overflow queue, every
// registered thread's queue), without taking one. For a searcher that
// stopped searching with work (idle.hpp).
bool work_visible(WorkerContext& context);

// A job from the calling thread's own queue, else from the injector (a
// batch when the thread has a queue); never steals from peers. For threads
// that help while they wait.
JobRef take_local_or_injected(Scheduler& scheduler);

// Victim selection (SplitMix64): the next value of the calling thread's
// state, seeding it from `id` on first use. Exposed for tests.
std::uint64_t next_victim_random(std::uint64_t id) noexcept;

}  // namespace corvalune::core

#pragma once
// Jobs for tests: a job that runs a function, and counters.
#include <atomic>
#include <functional>
#include <utility>

#include "job.hpp"

namespace corvalune::core::testing {

class FnJob final : public Job {
 public:
  explicit FnJob(std::function<void()> fn) : fn_(std::move(fn)) {}
  void run(JobRef) override { fn_(); }

 private:
  std::function<void()> fn_;
};

inline JobRef make_job(std::function<void()> fn) { return JobRef::adopt(new FnJob(std::move(fn))); }

}  // namespace corvalune::core::testing

#pragma once
// Jobs for tests: a job that runs a function, and counters.
#include <atomic>
#include <functional>
#include <utility>

#include "job.hpp"

namespace corvalune::core::testing {

class FnJob final : public Job {
 public:
  explicit FnJob(std::function<void()> fn, std::function<void()> on_discard = {})
      : fn_(std::move(fn)), on_discard_(std::move(on_discard)) {}
  void run(JobRef) override { fn_(); }
  void discard(JobRef) override {
    if (on_discard_) on_discard_();
  }

 private:
  std::function<void()> fn_;
  std::function<void()> on_discard_;
};

inline JobRef make_job(std::function<void()> fn, std::function<void()> on_discard = {}) {
  return JobRef::adopt(new FnJob(std::move(fn), std::move(on_discard)));
}

}  // namespace corvalune::core::testing

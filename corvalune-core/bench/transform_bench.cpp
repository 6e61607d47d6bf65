// The transform kernel against a plain loop of the same arithmetic, compiled
// into the same binary: the kernel must not cost more than the arithmetic.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "workloads/transform.hpp"

namespace {

using corvalune::core::pipeline_transform;
using corvalune::core::PipelineResult;

// One round at a time, with the lane store under a branch: the obvious loop.
[[gnu::noinline]] PipelineResult plain_loop(const std::uint8_t* data, std::size_t len, std::uint64_t rounds) {
  std::uint64_t h = 0xCBF29CE484222325ULL;
  for (std::size_t i = 0; i < len; ++i) h = (h ^ data[i]) * 0x100000001B3ULL;
  std::uint64_t lanes[4] = {};
  for (std::uint64_t i = 0; i < rounds; ++i) {
    h = ((h << 13) | (h >> 51)) ^ (i * 0x517CC1B727220A95ULL);
    h += 0x9E3779B97F4A7C15ULL;
    if (i % 4 == 0) lanes[(i / 4) % 4] = h;
  }
  PipelineResult out;
  for (int l = 0; l < 4; ++l)
    for (int b = 0; b < 8; ++b) out[static_cast<std::size_t>(l * 8 + b)] = static_cast<std::uint8_t>(lanes[l] >> (8 * b));
  return out;
}

template <PipelineResult (*F)(const std::uint8_t*, std::size_t, std::uint64_t)>
void run(benchmark::State& state) {
  std::vector<std::uint8_t> payload(static_cast<std::size_t>(state.range(0)), 0x5A);
  const auto rounds = static_cast<std::uint64_t>(state.range(1));
  for (auto _ : state) {
    auto out = F(payload.data(), payload.size(), rounds);
    benchmark::DoNotOptimize(out);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

PipelineResult kernel(const std::uint8_t* d, std::size_t n, std::uint64_t r) { return pipeline_transform(d, n, r); }

}  // namespace

BENCHMARK(run<kernel>)->Name("transform/kernel")->Args({64, 100})->Args({65536, 0})->Args({3, 100});
BENCHMARK(run<plain_loop>)->Name("transform/plain_loop")->Args({64, 100})->Args({65536, 0})->Args({3, 100});

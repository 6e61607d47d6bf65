#include "workloads/transform.hpp"

namespace corvalune::core {
namespace {

constexpr std::uint64_t kFnvOffset = 0xCBF29CE484222325ULL;
constexpr std::uint64_t kFnvPrime = 0x100000001B3ULL;
constexpr std::uint64_t kRoundMul = 0x517CC1B727220A95ULL;
constexpr std::uint64_t kRoundAdd = 0x9E3779B97F4A7C15ULL;

inline std::uint64_t rotl13(std::uint64_t x) noexcept { return (x << 13) | (x >> 51); }

inline std::uint64_t mix(std::uint64_t h, std::uint64_t i) noexcept { return (rotl13(h) ^ (i * kRoundMul)) + kRoundAdd; }

}  // namespace

PipelineResult pipeline_transform(const std::uint8_t* data, std::size_t len, std::uint64_t rounds) noexcept {
  std::uint64_t h = kFnvOffset;
  for (std::size_t k = 0; k < len; ++k) {
    h ^= data[k];
    h *= kFnvPrime;
  }

  std::uint64_t lanes[4] = {0, 0, 0, 0};
  std::uint64_t i = 0;
  // Four rounds per step: the first of each four is the one that stores, so
  // the loop body has no data-dependent branch.
  const std::uint64_t whole = rounds & ~std::uint64_t{3};
  for (; i < whole; i += 4) {
    h = mix(h, i);
    lanes[(i >> 2) & 3] = h;
    h = mix(h, i + 1);
    h = mix(h, i + 2);
    h = mix(h, i + 3);
  }
  if (i < rounds) {
    h = mix(h, i);
    lanes[(i >> 2) & 3] = h;
    for (++i; i < rounds; ++i) h = mix(h, i);
  }

  PipelineResult out;
  for (int lane = 0; lane < 4; ++lane) {
    for (int b = 0; b < 8; ++b) out[static_cast<std::size_t>(lane * 8 + b)] = static_cast<std::uint8_t>(lanes[lane] >> (8 * b));
  }
  return out;
}

}  // namespace corvalune::core

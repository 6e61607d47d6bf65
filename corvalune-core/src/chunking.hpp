#pragma once
// How a batch of n items is cut into chunk tasks for w registered workers.
//
// c = max(1, min(n, 4 * max(1, w))) chunks of s = ceil(n / c) items, in
// ascending order; the last may be shorter and there may be fewer than c
// (n = 9, w = 2: c = 8, s = 2, five chunks). Four chunks per worker leave
// room for stealing to even out uneven items without paying a task per item.
#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

namespace corvalune::core {

struct ChunkRange {
  std::uint64_t start;
  std::uint64_t end;
  bool operator==(const ChunkRange&) const = default;
};

inline std::vector<ChunkRange> plan_chunks(std::uint64_t n, std::uint64_t workers) {
  std::vector<ChunkRange> chunks;
  if (n == 0) return chunks;
  const std::uint64_t w = std::max<std::uint64_t>(1, workers);
  // 4 * w saturates instead of wrapping for absurd worker counts.
  const std::uint64_t per_worker = w > UINT64_MAX / 4 ? UINT64_MAX : 4 * w;
  const std::uint64_t c = std::max<std::uint64_t>(1, std::min(n, per_worker));
  const std::uint64_t s = n / c + (n % c != 0 ? 1 : 0);
  chunks.reserve(static_cast<std::size_t>(std::min(c, n)));
  for (std::uint64_t k = 0; chunks.size() < c; ++k) {
    const std::uint64_t start = k * s;
    if (start >= n) break;
    chunks.push_back({start, std::min(n, start + s)});
  }
  return chunks;
}

}  // namespace corvalune::core

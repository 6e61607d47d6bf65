#include "chunking.hpp"

#include <gtest/gtest.h>

namespace corvalune::core {
namespace {

using Ranges = std::vector<ChunkRange>;

TEST(Chunking, Examples) {
  EXPECT_EQ(plan_chunks(10, 1), (Ranges{{0, 3}, {3, 6}, {6, 9}, {9, 10}}));
  EXPECT_EQ(plan_chunks(9, 2), (Ranges{{0, 2}, {2, 4}, {4, 6}, {6, 8}, {8, 9}}));
  EXPECT_EQ(plan_chunks(3, 16), (Ranges{{0, 1}, {1, 2}, {2, 3}}));
  EXPECT_EQ(plan_chunks(100, 8).size(), 25u);
  EXPECT_EQ(plan_chunks(0, 4), Ranges{});
  EXPECT_EQ(plan_chunks(5, 0), plan_chunks(5, 1));  // no worker registered yet counts as one
}

// Every item is covered exactly once, in order, by at most 4 * w chunks
// whose sizes differ only in the last one.
TEST(Chunking, CoversEveryItemOnceAroundTheEdges) {
  for (std::uint64_t w : {0, 1, 2, 3, 8, 33}) {
    const std::uint64_t c = 4 * std::max<std::uint64_t>(1, w);
    for (std::uint64_t n : {std::uint64_t{1}, c - 1, c, c + 1, 2 * c + 3, std::uint64_t{1000003}}) {
      const Ranges chunks = plan_chunks(n, w);
      ASSERT_FALSE(chunks.empty());
      EXPECT_LE(chunks.size(), std::min(n, c));
      std::uint64_t next = 0;
      const std::uint64_t size = chunks.front().end - chunks.front().start;
      for (std::size_t i = 0; i < chunks.size(); ++i) {
        EXPECT_EQ(chunks[i].start, next);
        EXPECT_LT(chunks[i].start, chunks[i].end);
        if (i + 1 < chunks.size()) {
          EXPECT_EQ(chunks[i].end - chunks[i].start, size);
        }
        next = chunks[i].end;
      }
      EXPECT_EQ(next, n) << "n=" << n << " w=" << w;
    }
  }
}

}  // namespace
}  // namespace corvalune::core

// The block pool hands out blocks that hold what was asked for: a size
// mapped to too small a class, or slabs cut with overlapping blocks, would
// let one record overwrite its neighbour.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <thread>
#include <utility>
#include <vector>

#include "block_pool.hpp"

namespace corvalune::core {
namespace {

TEST(BlockPool, BlocksOfEverySizeHoldTheirBytesApartAndAligned) {
  std::vector<std::pair<unsigned char*, std::size_t>> blocks;
  for (int round = 0; round < 2; ++round) {  // the second round reuses freed blocks
    for (std::size_t size = 1; size <= kMaxPooled + 16; ++size) {
      for (int k = 0; k < 3; ++k) {
        auto* p = static_cast<unsigned char*>(pool_allocate(size));
        ASSERT_EQ(reinterpret_cast<std::uintptr_t>(p) % 16, 0u) << size;
        std::memset(p, static_cast<int>(blocks.size() % 251), size);
        blocks.emplace_back(p, size);
      }
    }
    for (std::size_t i = 0; i < blocks.size(); ++i) {
      auto [p, size] = blocks[i];
      for (std::size_t b = 0; b < size; ++b) ASSERT_EQ(p[b], i % 251) << "block " << i << " of " << size << " bytes";
    }
    // Freed on another thread, as workers free what submitters allocate.
    std::thread([&] {
      for (auto [p, size] : blocks) pool_free(p, size);
    }).join();
    blocks.clear();
  }
}

}  // namespace
}  // namespace corvalune::core

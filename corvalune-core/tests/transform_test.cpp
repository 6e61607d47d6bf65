#include "workloads/transform.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace corvalune::core {
namespace {

std::string hex(const PipelineResult& r) {
  std::string out;
  char buf[3];
  for (auto b : r) {
    std::snprintf(buf, sizeof buf, "%02x", b);
    out += buf;
  }
  return out;
}

PipelineResult run(const std::string& payload, std::uint64_t rounds) {
  return pipeline_transform(reinterpret_cast<const std::uint8_t*>(payload.data()), payload.size(), rounds);
}

TEST(Pipeline, WorkedExamples) {
  const std::string zeros16(32, '0');
  EXPECT_EQ(hex(run("abc", 1)), "f8f833aa619a7a92" + std::string(48, '0'));
  EXPECT_EQ(hex(run("abc", 5)), "f8f833aa619a7a92f3a5179ed6e2af70" + zeros16);
  EXPECT_EQ(hex(run("abc", 100)), "806483d8ba2cd1df3c973ad015ecadb622e6316cc35f8e05f1fb1d5fa14a77e1");
  EXPECT_EQ(hex(run("", 100)), "b2804a84f0d233c8dfd68cc66ad91bd07e48e0caa18697f31459d6c4622828df");
}

// A direct transcription of the round loop, one round at a time.
PipelineResult reference(const std::string& payload, std::uint64_t rounds) {
  std::uint64_t h = 0xCBF29CE484222325ULL;
  for (unsigned char c : payload) h = (h ^ c) * 0x100000001B3ULL;
  std::uint64_t lanes[4] = {};
  for (std::uint64_t i = 0; i < rounds; ++i) {
    h = ((h << 13) | (h >> 51)) ^ (i * 0x517CC1B727220A95ULL);
    h += 0x9E3779B97F4A7C15ULL;
    if (i % 4 == 0) lanes[(i / 4) % 4] = h;
  }
  PipelineResult out{};
  for (int l = 0; l < 4; ++l)
    for (int b = 0; b < 8; ++b) out[l * 8 + b] = static_cast<std::uint8_t>(lanes[l] >> (8 * b));
  return out;
}

TEST(Pipeline, MatchesTheRoundByRoundDefinitionForEveryTailLength) {
  std::string payload;
  for (int n = 0; n < 300; ++n) {
    for (std::uint64_t rounds : {0, 1, 2, 3, 4, 5, 12, 13, 16, 17, 99, 100, 101, 1001}) {
      ASSERT_EQ(run(payload, rounds), reference(payload, rounds)) << n << " bytes, " << rounds << " rounds";
    }
    payload.push_back(static_cast<char>(n * 37 + 11));
  }
}

TEST(Pipeline, RoundCountProperties) {
  EXPECT_EQ(run("anything", 0), PipelineResult{});
  for (std::uint64_t r = 2; r <= 4; ++r) EXPECT_EQ(run("abc", r), run("abc", 1));
  const auto full = run("abc", 13);
  for (int lane = 0; lane < 4; ++lane) {
    bool nonzero = false;
    for (int b = 0; b < 8; ++b) nonzero = nonzero || full[lane * 8 + b] != 0;
    EXPECT_TRUE(nonzero) << "lane " << lane;
  }
}

}  // namespace
}  // namespace corvalune::core

#include "sizing.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <utility>

namespace corvalune::core {
namespace {

TEST(AutomaticCount, HeadroomAndCap) {
  const std::pair<std::optional<std::uint64_t>, std::uint64_t> table[] = {
      {1, 5},   {2, 6},   {4, 8},   {8, 12},  {16, 20},          {24, 28},
      {28, 32}, {30, 32}, {32, 32}, {48, 48}, {64, 64}, {std::nullopt, 8},
      {std::numeric_limits<std::uint64_t>::max(), std::numeric_limits<std::uint64_t>::max()},
  };
  for (const auto& [cpus, expected] : table) {
    EXPECT_EQ(automatic_count_for(cpus), expected) << (cpus ? std::to_string(*cpus) : "unknown");
  }
}

TEST(AutomaticCount, MachineReportsAtLeastOne) {
  auto cpus = available_cpus();
  ASSERT_TRUE(cpus.has_value());
  EXPECT_GE(*cpus, 1u);
  EXPECT_EQ(automatic_pool_size(), automatic_count_for(cpus));
}

struct EnvCase {
  std::string raw;
  EnvWorkers::Kind kind;
  std::uint64_t value;
};

class WorkersEnv : public ::testing::TestWithParam<EnvCase> {};

TEST_P(WorkersEnv, Parses) {
  const EnvCase& c = GetParam();
  const EnvWorkers parsed = parse_workers_env(c.raw);
  EXPECT_EQ(parsed.kind, c.kind) << '"' << c.raw << '"';
  if (c.kind == EnvWorkers::Kind::Explicit) {
    EXPECT_EQ(parsed.value, c.value);
  }
}

using K = EnvWorkers::Kind;
INSTANTIATE_TEST_SUITE_P(
    Values, WorkersEnv,
    ::testing::Values(EnvCase{"6", K::Explicit, 6}, EnvCase{" 6 ", K::Explicit, 6},
                      EnvCase{"+6", K::Explicit, 6}, EnvCase{"006", K::Explicit, 6},
                      EnvCase{"\t\n6\r\x0b\x0c", K::Explicit, 6},
                      // U+3000 and U+00A0 are Unicode white space too.
                      EnvCase{"\xe3\x80\x80" "7" "\xc2\xa0", K::Explicit, 7},
                      EnvCase{"32768", K::Explicit, 32768}, EnvCase{"32769", K::Invalid, 0},
                      EnvCase{"18446744073709551615", K::Invalid, 0},
                      EnvCase{"0", K::Automatic, 0}, EnvCase{"00", K::Automatic, 0},
                      EnvCase{"+0", K::Automatic, 0}, EnvCase{"", K::Invalid, 0},
                      EnvCase{"   ", K::Invalid, 0}, EnvCase{"-1", K::Invalid, 0},
                      EnvCase{"-0", K::Invalid, 0}, EnvCase{"+", K::Invalid, 0},
                      EnvCase{"-", K::Invalid, 0}, EnvCase{"++6", K::Invalid, 0},
                      EnvCase{"abc", K::Invalid, 0}, EnvCase{"6 workers", K::Invalid, 0},
                      EnvCase{"6 6", K::Invalid, 0}, EnvCase{"\xef\xbc\x96", K::Invalid, 0},  // fullwidth 6
                      EnvCase{"18446744073709551616", K::Invalid, 0},
                      EnvCase{"99999999999999999999999", K::Invalid, 0},
                      // Not UTF-8: ignored like an unset variable.
                      EnvCase{"6\xff", K::Unset, 0}, EnvCase{"\xc0\xb6", K::Unset, 0}));

TEST(WorkersEnvWarning, QuotesTheUntrimmedValueWithEscapes) {
  EXPECT_EQ(invalid_workers_warning(""),
            "corvalune: ignoring CORVALUNE_WORKERS=\"\"; expected a positive integer (using the default "
            "worker count)\n");
  EXPECT_EQ(invalid_workers_warning(" 6 workers "),
            "corvalune: ignoring CORVALUNE_WORKERS=\" 6 workers \"; expected a positive integer (using "
            "the default worker count)\n");
  const std::string tail = "\"; expected a positive integer (using the default worker count)\n";
  EXPECT_EQ(invalid_workers_warning("a\"b\\c\n\t\x01\x7f"),
            "corvalune: ignoring CORVALUNE_WORKERS=\"a\\\"b\\\\c\\n\\t\\u{1}\\u{7f}" + tail);
  EXPECT_EQ(invalid_workers_warning("\xc3\xa9'"), "corvalune: ignoring CORVALUNE_WORKERS=\"\xc3\xa9'" + tail);
}

}  // namespace
}  // namespace corvalune::core

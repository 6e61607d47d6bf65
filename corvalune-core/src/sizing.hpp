#pragma once
// Pool sizing: the automatic worker count and the CORVALUNE_WORKERS variable.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace corvalune::core {

inline constexpr const char* kWorkersEnvVar = "CORVALUNE_WORKERS";

// The largest pool that may be asked for. Far beyond any useful size (the
// automatic size is at most max(CPUs, 32)), it keeps an absurd request from
// reaching thread creation and memory reservation.
inline constexpr std::uint64_t kMaxWorkers = 32768;

// Number of CPUs the process may run on: the affinity set, lowered to the
// control group's CPU quota (v1 or v2) where one is set, or the online
// processors when the affinity set cannot be read. Nothing when the platform
// cannot tell.
std::optional<std::uint64_t> available_cpus();

// max(c, min(c + 4, 32)) with a saturating addition; 8 when c is unknown.
// The 4 extra pool threads are headroom for threads that block in Python; the cap
// never lowers the count below the CPUs available.
std::uint64_t automatic_count_for(std::optional<std::uint64_t> cpus) noexcept;

std::uint64_t automatic_pool_size();

// Outcome of reading CORVALUNE_WORKERS.
struct EnvWorkers {
  enum class Kind { Unset, Automatic, Explicit, Invalid } kind;
  std::uint64_t value = 0;  // for Explicit
};

// Parses a value of CORVALUNE_WORKERS (raw bytes as found in the environment).
// Not UTF-8: Unset (ignored silently). Surrounding Unicode white space is
// trimmed; then an optional '+' and ASCII digits, at most kMaxWorkers. Zero
// means automatic.
EnvWorkers parse_workers_env(std::string_view raw);

// The warning line printed for an invalid value (with its trailing newline).
std::string invalid_workers_warning(std::string_view raw);

// requested != 0: unchanged. Otherwise CORVALUNE_WORKERS, else automatic.
// Prints the warning line to standard error for an invalid variable.
std::uint64_t resolve_pool_size(std::uint64_t requested);

}  // namespace corvalune::core

#pragma once
// The pipeline transform: a CPU-bound hash-and-mix of a byte payload into 32
// bytes. It touches no shared state, so it runs on any thread without the
// interpreter.
//
// 1. FNV-1a (64-bit) over the payload.
// 2. Four lanes start at zero.
// 3. For each round i: h = rotl(h, 13) ^ (i * 0x517CC1B727220A95);
//    h += 0x9E3779B97F4A7C15; every 4th round (i % 4 == 0) stores h into lane
//    (i / 4) % 4. The loop always runs in full.
// 4. The lanes, 0 first, each little-endian.
#include <array>
#include <cstddef>
#include <cstdint>

namespace corvalune::core {

using PipelineResult = std::array<std::uint8_t, 32>;

PipelineResult pipeline_transform(const std::uint8_t* data, std::size_t len, std::uint64_t rounds) noexcept;

}  // namespace corvalune::core

// Shared vocabulary of the core.
#pragma once
#include <cstdint>
#include <span>
#include <vector>

namespace mhdc {

// A dense hypervector of 32-bit floats; bipolar ones hold only +1 and -1.
using Hypervector = std::vector<float>;
using HvView = std::span<const float>;

// A bipolar byte vector (+1 / -1 as signed 8-bit integers).
using ByteVector = std::vector<std::int8_t>;

}  // namespace mhdc

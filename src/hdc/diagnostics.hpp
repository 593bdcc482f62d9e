// Machine-state figures encoded into a hypervector, hidden in a payload under a
// fixed diagnostic role, and read back by unbinding.
#pragma once
#include <cstdint>

#include "hdc/types.hpp"

namespace mhdc::hdc {

Hypervector diagnostic_role(std::uint64_t dim);
Hypervector encode_system_state(std::uint64_t dim, float ram_pct, float cpu_pct,
                                std::uint32_t error_count, std::uint32_t latency_us);
Hypervector bundle_diagnostics(HvView payload, float ram_pct, float cpu_pct,
                               std::uint32_t error_count, std::uint32_t latency_us);
Hypervector extract_system_state(HvView bundled);

}  // namespace mhdc::hdc

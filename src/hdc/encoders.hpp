// Deterministic encoders of strings, numbers and vectors (and rand_bipolar).
// Every function allocates its result up front: a dim beyond memory throws
// std::bad_alloc (or std::length_error) before any work.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

#include "hdc/types.hpp"

namespace mhdc::hdc {

std::uint64_t string_hash(std::string_view s);                          // sip13(s as text)
std::uint64_t hv_hash(HvView v);                                        // sign bits of v[0..64)
Hypervector hv_hash_string(std::string_view s, std::uint64_t dim);      // lcg, bit 63
Hypervector rand_bipolar(std::uint64_t dim);                            // per-thread EntropyRng
Hypervector scalar_hv(std::string_view name, std::uint64_t dim, float value);
std::vector<float> encode_phases(std::string_view s, std::uint64_t dim);  // radians in [0, 2pi]
Hypervector encode_string(std::string_view s, std::uint64_t dim);       // xorshift, bit 0
Hypervector make_role(std::uint64_t dim, std::string_view name);        // like encode_string, seed as bytes
ByteVector text_to_bipolar_i8(std::string_view text, std::uint64_t dim);

// The key scalar_hv hashes: name, ":", and the value quantised to 0..255
// (clamped to [0, 1e6], NaN as 0, times 1000 in 32 bits, truncated, mod 256).
std::string scalar_key(std::string_view name, float value);

}  // namespace mhdc::hdc

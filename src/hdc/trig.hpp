// Single-precision cosines and sines of phase arrays. Every value is the one the
// platform's scalar cosf/sinf give for that argument; the batch form exists so
// that a faster evaluation can replace the loop without changing any bit.
#pragma once
#include <bit>
#include <cstddef>
#include <cstdint>

#include "hdc/simd.hpp"

namespace mhdc::hdc {

// c[k] = cosf(x[k]) for k < n. Above the baseline instruction set a lane
// evaluation runs (four lanes with AVX2, eight with AVX-512), if it agrees with
// the platform's functions (checked at first use).
void cos_n(const float* x, std::size_t n, float* c, Isa isa = active_isa());
// c[k] = cosf(x[k]), s[k] = sinf(x[k]) for k < n.
void cos_sin_n(const float* x, std::size_t n, float* c, float* s, Isa isa = active_isa());

// Whether the batch forms run the lane evaluation rather than the scalar loops.
bool batch_trig_vectorised();

// The plain loops over std::cos / std::sin, the reference for the batch forms.
void cos_n_scalar(const float* x, std::size_t n, float* c);
void cos_sin_n_scalar(const float* x, std::size_t n, float* c, float* s);

// The mapping of a 64-bit hash onto a phase in [0, 2pi]: h rounded once to a
// float, times 2^-64, doubled, times the float nearest pi, each step rounded to
// 32 bits (a detour through double would round twice and differ for some
// hashes, e.g. 2^63 + 2^39 + 1).
inline float phase_from_hash(std::uint64_t h) {
  constexpr float kTwoPowMinus64 = std::bit_cast<float>(0x1F800000u), kPi = std::bit_cast<float>(0x40490FDBu);
  static_assert(kTwoPowMinus64 == 5.421011e-20f && kPi == 3.1415927f);
  float t = static_cast<float>(h);  // round to nearest, 2^63 and above included
  t = t * kTwoPowMinus64;
  t = t + t;
  return t * kPi;
}

}  // namespace mhdc::hdc

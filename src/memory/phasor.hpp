// Single-precision cosines and sines of phase arrays. Every value is the one the
// platform's scalar cosf/sinf give for that argument; the batch form exists so
// that a faster evaluation can replace the loop without changing any bit.
#pragma once
#include <cstddef>
#include <cstdint>

namespace mhdc::memory {

// c[k] = cosf(x[k]) for k < n.
void cos_n(const float* x, std::size_t n, float* c);
// c[k] = cosf(x[k]), s[k] = sinf(x[k]) for k < n.
void cos_sin_n(const float* x, std::size_t n, float* c, float* s);

// Whether the batch forms run the lane evaluation (checked against the platform's
// functions at first use) rather than the scalar loops.
bool batch_trig_vectorised();

// One lane evaluation by name, for tests: false (and nothing written) where this
// CPU lacks it or it disagrees with the platform's functions.
enum class TrigLanes { four, eight };
bool cos_sin_n_lanes(TrigLanes lanes, const float* x, std::size_t n, float* c, float* s);

// The plain loops over std::cos / std::sin, the reference for the batch forms.
void cos_n_scalar(const float* x, std::size_t n, float* c);
void cos_sin_n_scalar(const float* x, std::size_t n, float* c, float* s);

// The mapping of a 64-bit hash onto a phase in [0, 2pi]: float(h) * 2^-64,
// doubled, times the float nearest pi, each step rounded to 32 bits.
float hash_to_phase(std::uint64_t h);

}  // namespace mhdc::memory

#include "memory/phasor.hpp"

#include <bit>
#include <cmath>

namespace mhdc::memory {

namespace {
constexpr float kTwoPowMinus64 = std::bit_cast<float>(0x1F800000u);
constexpr float kPi = std::bit_cast<float>(0x40490FDBu);
static_assert(kTwoPowMinus64 == 5.421011e-20f);
static_assert(kPi == 3.1415927f);
}  // namespace

float hash_to_phase(std::uint64_t h) {
  float t = static_cast<float>(h);  // round to nearest, 2^63 and above included
  t = t * kTwoPowMinus64;
  t = t + t;
  return t * kPi;
}

void cos_n_scalar(const float* x, std::size_t n, float* c) {
  for (std::size_t k = 0; k < n; ++k) c[k] = std::cos(x[k]);
}

void cos_sin_n_scalar(const float* x, std::size_t n, float* c, float* s) {
  for (std::size_t k = 0; k < n; ++k) {
    c[k] = std::cos(x[k]);
    s[k] = std::sin(x[k]);
  }
}

void cos_n(const float* x, std::size_t n, float* c) { cos_n_scalar(x, n, c); }

void cos_sin_n(const float* x, std::size_t n, float* c, float* s) { cos_sin_n_scalar(x, n, c, s); }

}  // namespace mhdc::memory

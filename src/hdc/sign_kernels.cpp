#include "hdc/sign_kernels.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

namespace mhdc::hdc {

namespace {

constexpr std::size_t L = kSignLanes;

// kMasks[byte][l]: the sign bit when bit l of byte is set.
constexpr auto kMasks = [] {
  std::array<std::array<std::uint32_t, L>, 256> t{};
  for (std::size_t b = 0; b < 256; ++b)
    for (std::size_t l = 0; l < L; ++l) t[b][l] = ((b >> l) & 1u) ? 0x80000000u : 0u;
  return t;
}();

void store_lanes(const float* lanes, std::size_t block, std::size_t rows, float* out) {
  const std::size_t n = std::min(L, rows - block * L);
  for (std::size_t l = 0; l < n; ++l) out[block * L + l] = lanes[l];
}

#if defined(__GNUC__)
#pragma GCC diagnostic ignored "-Wpsabi"  // the vector helpers are always inlined
typedef float F8 __attribute__((vector_size(32)));
typedef std::uint32_t U8 __attribute__((vector_size(32)));

// G blocks side by side; inlined into each clone of sign_dots_vector, so it is
// compiled for that clone's target.
template <std::size_t G>
[[gnu::always_inline]] inline void sign_group(const std::uint8_t* const* col, const float* q, std::size_t m,
                                              float init, F8* acc) {
  // Broadcast init itself: 0 + init would turn an init of -0.0 into +0.0.
  for (std::size_t g = 0; g < G; ++g)
    for (std::size_t l = 0; l < L; ++l) acc[g][l] = init;
  for (std::size_t i = 0; i < m; ++i) {
    std::uint32_t qb;
    std::memcpy(&qb, q + i, 4);
    const U8 qv = U8{} + qb;
    for (std::size_t g = 0; g < G; ++g) {
      U8 mask;
      std::memcpy(&mask, kMasks[col[g][i]].data(), sizeof mask);
      F8 term;
      const U8 bits = qv ^ mask;
      std::memcpy(&term, &bits, sizeof term);
      acc[g] += term;
    }
  }
}

#if defined(__x86_64__) && !defined(__clang__) && !defined(MHDC_NO_CLONES)
__attribute__((target_clones("avx2", "default")))
#endif
void sign_dots_vector(const std::uint8_t* const* blocks, std::size_t nblocks, std::size_t rows, const float* q,
                      std::size_t m, float init, float* out) {
  constexpr std::size_t G = 4;  // four blocks in flight hide the add latency
  auto store = [&](std::size_t b, const F8& a) {
    float lanes[L];
    std::memcpy(lanes, &a, sizeof lanes);
    store_lanes(lanes, b, rows, out);
  };
  std::size_t b = 0;
  for (; b + G <= nblocks; b += G) {
    F8 acc[G];
    sign_group<G>(blocks + b, q, m, init, acc);
    for (std::size_t g = 0; g < G; ++g) store(b + g, acc[g]);
  }
  for (; b < nblocks; ++b) {
    F8 acc[1];
    sign_group<1>(blocks + b, q, m, init, acc);
    store(b, acc[0]);
  }
}
#endif

}  // namespace

bool is_bipolar(HvView v) noexcept {
  for (float x : v) {
    const std::uint32_t u = std::bit_cast<std::uint32_t>(x);
    if (u != 0x3F800000u && u != 0xBF800000u) return false;
  }
  return true;
}

void sign_dots(const std::uint8_t* const* blocks, std::size_t nblocks, std::size_t rows, const float* q,
               std::size_t m, float init, float* out) {
#if defined(__GNUC__)
  sign_dots_vector(blocks, nblocks, rows, q, m, init, out);
#else
  sign_dots_scalar(blocks, nblocks, rows, q, m, init, out);
#endif
}

void sign_dots_scalar(const std::uint8_t* const* blocks, std::size_t nblocks, std::size_t rows, const float* q,
                      std::size_t m, float init, float* out) {
  for (std::size_t r = 0; r < rows && r / L < nblocks; ++r) {
    const std::uint8_t* block = blocks[r / L];
    float s = init;
    for (std::size_t i = 0; i < m; ++i) s += q[i] * (((block[i] >> (r % L)) & 1u) ? -1.0f : 1.0f);
    out[r] = s;
  }
}

}  // namespace mhdc::hdc

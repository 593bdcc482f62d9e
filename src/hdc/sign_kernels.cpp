#include "hdc/sign_kernels.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define MHDC_SIGN_AVX512 1
#endif

namespace mhdc::hdc {

namespace {

constexpr std::size_t R = kSignRows;

void store_rows(const float* lanes, std::size_t block, std::size_t rows, float* out) {
  const std::size_t n = std::min(R, rows - block * R);
  for (std::size_t l = 0; l < n; ++l) out[block * R + l] = lanes[l];
}

void sign_dots_scalar(const std::uint8_t* const* blocks, std::size_t nblocks, std::size_t rows, const float* q,
                      std::size_t m, float init, float* out) {
  for (std::size_t r = 0; r < rows && r / R < nblocks; ++r) {
    const std::uint8_t* block = blocks[r / R];
    const std::size_t lane = r % R;
    float s = init;
    for (std::size_t i = 0; i < m; ++i)
      s += q[i] * (((block[2 * i + lane / 8] >> (lane % 8)) & 1u) ? -1.0f : 1.0f);
    out[r] = s;
  }
}

#if defined(__GNUC__)
#pragma GCC diagnostic ignored "-Wpsabi"  // the vector helpers are always inlined
typedef float F8 __attribute__((vector_size(32)));
typedef std::uint32_t U8 __attribute__((vector_size(32)));

// kMasks[byte][l]: the sign bit when bit l of byte is set.
constexpr auto kMasks = [] {
  std::array<std::array<std::uint32_t, 8>, 256> t{};
  for (std::size_t b = 0; b < 256; ++b)
    for (std::size_t l = 0; l < 8; ++l) t[b][l] = ((b >> l) & 1u) ? 0x80000000u : 0u;
  return t;
}();

// GCC 12 takes the lane-by-lane start below for a read of uninitialised lanes when it
// splits the vectors for the baseline clone; every lane is written before it is read.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
// G blocks side by side, two 8-lane accumulators each (rows 0-7 and 8-15);
// inlined into each clone of sign_dots_lanes8, so compiled for that clone's target.
template <std::size_t G>
[[gnu::always_inline]] inline void lanes8_group(const std::uint8_t* const* col, const float* q, std::size_t m,
                                                float init, F8* acc) {
  // Broadcast init itself: 0 + init would turn an init of -0.0 into +0.0.
  for (std::size_t a = 0; a < 2 * G; ++a)
    for (std::size_t l = 0; l < 8; ++l) acc[a][l] = init;
  for (std::size_t i = 0; i < m; ++i) {
    std::uint32_t qb;
    std::memcpy(&qb, q + i, 4);
    const U8 qv = U8{} + qb;
    for (std::size_t g = 0; g < G; ++g) {
      for (std::size_t h = 0; h < 2; ++h) {
        U8 mask;
        std::memcpy(&mask, kMasks[col[g][2 * i + h]].data(), sizeof mask);
        F8 term;
        const U8 bits = qv ^ mask;
        std::memcpy(&term, &bits, sizeof term);
        acc[2 * g + h] += term;
      }
    }
  }
}
#pragma GCC diagnostic pop

#if defined(__x86_64__) && !defined(__clang__) && !defined(MHDC_NO_CLONES)
__attribute__((target_clones("avx2", "default")))
#endif
void sign_dots_lanes8(const std::uint8_t* const* blocks, std::size_t nblocks, std::size_t rows, const float* q,
                      std::size_t m, float init, float* out) {
  constexpr std::size_t G = 2;  // four accumulators in flight hide the add latency
  auto store = [&](std::size_t b, const F8* a) {
    float lanes[R];
    std::memcpy(lanes, &a[0], sizeof a[0]);
    std::memcpy(lanes + 8, &a[1], sizeof a[1]);
    store_rows(lanes, b, rows, out);
  };
  std::size_t b = 0;
  for (; b + G <= nblocks; b += G) {
    F8 acc[2 * G];
    lanes8_group<G>(blocks + b, q, m, init, acc);
    for (std::size_t g = 0; g < G; ++g) store(b + g, acc + 2 * g);
  }
  for (; b < nblocks; ++b) {
    F8 acc[2];
    lanes8_group<1>(blocks + b, q, m, init, acc);
    store(b, acc);
  }
}
#endif

#if defined(MHDC_SIGN_AVX512)
// Sixteen rows per register: the block's two bytes of element i are its mask,
// picking -q (q with the sign bit flipped, as the 8-lane kernel makes it) or q.
template <std::size_t G>
__attribute__((target("avx512f"), always_inline)) inline void avx512_group(const std::uint8_t* const* col,
                                                                           const float* q, std::size_t m, float init,
                                                                           std::size_t first, std::size_t rows,
                                                                           float* out) {
  const __m512i sign = _mm512_set1_epi32(static_cast<int>(0x80000000u));
  __m512 acc[G];
  for (std::size_t g = 0; g < G; ++g) acc[g] = _mm512_set1_ps(init);
  for (std::size_t i = 0; i < m; ++i) {
    const __m512 qv = _mm512_set1_ps(q[i]);
    const __m512 nq = _mm512_castsi512_ps(_mm512_xor_si512(_mm512_castps_si512(qv), sign));
    for (std::size_t g = 0; g < G; ++g) {
      std::uint16_t bits;
      std::memcpy(&bits, col[g] + 2 * i, 2);
      acc[g] = _mm512_add_ps(acc[g], _mm512_mask_blend_ps(static_cast<__mmask16>(bits), qv, nq));
    }
  }
  for (std::size_t g = 0; g < G; ++g) {
    float lanes[R];
    _mm512_storeu_ps(lanes, acc[g]);
    store_rows(lanes, first + g, rows, out);
  }
}

__attribute__((target("avx512f"))) void sign_dots_avx512(const std::uint8_t* const* blocks, std::size_t nblocks,
                                                         std::size_t rows, const float* q, std::size_t m, float init,
                                                         float* out) {
  constexpr std::size_t G = 4;  // four blocks in flight hide the add latency
  std::size_t b = 0;
  for (; b + G <= nblocks; b += G) avx512_group<G>(blocks + b, q, m, init, b, rows, out);
  for (; b < nblocks; ++b) avx512_group<1>(blocks + b, q, m, init, b, rows, out);
}
#endif

}  // namespace

void clear_signs(std::uint8_t* block, std::size_t width, std::size_t lane) noexcept {
  const auto keep = static_cast<std::uint8_t>(~(1u << (lane % 8)));
  for (std::size_t i = 0; i < width; ++i) block[2 * i + lane / 8] &= keep;
}

bool is_bipolar(HvView v) noexcept {
  for (float x : v) {
    const std::uint32_t u = std::bit_cast<std::uint32_t>(x);
    if (u != 0x3F800000u && u != 0xBF800000u) return false;
  }
  return true;
}

bool sign_kernel_available(SignKernel k) noexcept {
  switch (k) {
    case SignKernel::automatic:
    case SignKernel::scalar:
      return true;
    case SignKernel::lanes8:
#if defined(__GNUC__)
      return true;
#else
      return false;
#endif
    case SignKernel::avx512:
#if defined(MHDC_SIGN_AVX512)
    {
      static const bool has = __builtin_cpu_supports("avx512f");
      return has;
    }
#else
      return false;
#endif
  }
  return false;
}

void sign_dots(const std::uint8_t* const* blocks, std::size_t nblocks, std::size_t rows, const float* q,
               std::size_t m, float init, float* out, SignKernel k) {
  if (k == SignKernel::automatic)
    k = sign_kernel_available(SignKernel::avx512) ? SignKernel::avx512
        : sign_kernel_available(SignKernel::lanes8) ? SignKernel::lanes8
                                                    : SignKernel::scalar;
  switch (k) {
#if defined(MHDC_SIGN_AVX512)
    case SignKernel::avx512:
      if (sign_kernel_available(k)) return sign_dots_avx512(blocks, nblocks, rows, q, m, init, out);
      break;
#endif
#if defined(__GNUC__)
    case SignKernel::lanes8:
      return sign_dots_lanes8(blocks, nblocks, rows, q, m, init, out);
#endif
    default:
      break;
  }
  sign_dots_scalar(blocks, nblocks, rows, q, m, init, out);
}

}  // namespace mhdc::hdc

#include "hdc/kernels.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <vector>

#if defined(MHDC_X86)
// GCC 12 reports some AVX-512 intrinsics' deliberately undefined start values
// (`__Y`) as possibly uninitialised; they never reach a result.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

namespace mhdc::hdc {

namespace {

typedef float F8 __attribute__((vector_size(32)));
typedef std::int32_t I8 __attribute__((vector_size(32)));
typedef std::uint32_t U8 __attribute__((vector_size(32)));

constexpr float kTwo23 = 8388608.0f;
constexpr float kExactLimit = 16777216.0f;  // 2^24: every integer below it is a float
constexpr std::size_t kGroup = 32;          // elements per step of the exact sum: four vectors
constexpr std::size_t kChunk = 1024;        // elements per exactness check
constexpr std::size_t kFirstChunk = 128;    // ... the first one

// A broadcast that keeps every bit (0.0f + x would turn -0.0 into +0.0): an
// integer broadcast of the pattern, which GCC emits as one instruction.
[[gnu::always_inline]] inline F8 splat(float x) { return (F8)(I8{} + std::bit_cast<std::int32_t>(x)); }
template <class V>
[[gnu::always_inline]] inline V load(const void* p) {
  V v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
[[gnu::always_inline]] inline float lane_sum(const F8& v) {
  float s = v[0];
  for (int l = 1; l < 8; ++l) s += v[l];
  return s;
}

bool small_integer(float x) { return std::fabs(x) < kExactLimit && std::trunc(x) == x; }

// The sum of products over the longest run of whole chunks (then whole groups)
// that passes the test, lanes starting at -0.0; `used` is |init|. Returns the
// run's length. Every partial sum of a passing run is an exact integer, so the
// lanes may be added in any order.
template <Isa>
[[gnu::always_inline]] inline std::size_t exact_run_body(const float* a, const float* b, std::size_t n, float used,
                                                         float* sum) {
  const F8 nz = splat(-0.0f), two23 = splat(kTwo23);
  const I8 magnitude = I8{} + 0x7fffffff;
  F8 s[4] = {nz, nz, nz, nz};
  const std::size_t full = n - n % kGroup;
  std::size_t k = 0;
  while (k < full) {
    // A short first chunk, so that general data gives up after a few products.
    const std::size_t end = std::min(full, k + (k == 0 ? kFirstChunk : kChunk));
    F8 c[4] = {nz, nz, nz, nz}, t[4] = {};
    I8 bad = I8{};
    for (std::size_t i = k; i < end; i += kGroup) {
      for (std::size_t v = 0; v < 4; ++v) {
        const F8 p = load<F8>(a + i + 8 * v) * load<F8>(b + i + 8 * v);
        c[v] += p;
        const F8 ap = (F8)((I8)p & magnitude);
        t[v] += ap;
        bad |= ((ap + two23) - two23) != ap;  // below 2^23 this rounds to an integer; NaN fails
      }
    }
    int any_bad = 0;
    for (int l = 0; l < 8; ++l) any_bad |= bad[l];
    if (any_bad) break;
    // Non-negative terms: the float total stays exact below 2^24 and, rounding
    // being monotonic, reaches at least 2^24 once the true total does.
    used += lane_sum((t[0] + t[1]) + (t[2] + t[3]));
    if (!(used < kExactLimit)) break;
    for (std::size_t v = 0; v < 4; ++v) s[v] += c[v];
    k = end;
  }
  *sum = lane_sum((s[0] + s[1]) + (s[2] + s[3]));
  return k;
}
MHDC_ISA_VARIANTS(std::size_t, exact_run, (const float* a, const float* b, std::size_t n, float used, float* sum),
                  (a, b, n, used, sum))

// G blocks side by side, one lane per row, init broadcast as it is.
template <std::size_t G>
[[gnu::always_inline]] inline void lane_group(const float* const* block, const float* q, std::size_t m, float init,
                                              F8* acc) {
  for (std::size_t g = 0; g < G; ++g) acc[g] = splat(init);
  for (std::size_t i = 0; i < m; ++i) {
    const F8 qi = splat(q[i]);
    for (std::size_t g = 0; g < G; ++g) acc[g] += qi * load<F8>(block[g] + i * kLanes);
  }
}

void store_lanes(const float* lanes, std::size_t n, std::size_t first, std::size_t rows, float* out) {
  for (std::size_t l = 0; l < n && first + l < rows; ++l) out[first + l] = lanes[l];
}

template <Isa>
[[gnu::always_inline]] inline void lane_dots_body(const float* const* blocks, std::size_t nblocks, std::size_t rows,
                                                  const float* q, std::size_t m, float init, float* out) {
  static_assert(kLanes == 8, "one eight-float vector per block");
  constexpr std::size_t G = 4;  // four chains in flight hide the add latency
  F8 acc[G];
  std::size_t b = 0;
  for (; b + G <= nblocks; b += G) {
    lane_group<G>(blocks + b, q, m, init, acc);
    for (std::size_t g = 0; g < G; ++g) store_lanes(&acc[g][0], kLanes, (b + g) * kLanes, rows, out);
  }
  for (; b < nblocks; ++b) {
    lane_group<1>(blocks + b, q, m, init, acc);
    store_lanes(&acc[0][0], kLanes, b * kLanes, rows, out);
  }
}
MHDC_ISA_VARIANTS(void, lane_dots, (const float* const* blocks, std::size_t nblocks, std::size_t rows,
                                    const float* q, std::size_t m, float init, float* out),
                  (blocks, nblocks, rows, q, m, init, out))

// Eight arbitrary rows, one accumulator each, every sum in index order.
template <Isa>
[[gnu::always_inline]] inline void eight_rows_body(const float* q, const float* const* row, std::size_t m, float init,
                                                   float* out) {
  F8 acc = splat(init);
  for (std::size_t i = 0; i < m; ++i) {
    const F8 r = {row[0][i], row[1][i], row[2][i], row[3][i], row[4][i], row[5][i], row[6][i], row[7][i]};
    acc += splat(q[i]) * r;
  }
  for (int l = 0; l < 8; ++l) out[l] = acc[l];
}
MHDC_ISA_VARIANTS(void, eight_rows, (const float* q, const float* const* row, std::size_t m, float init, float* out),
                  (q, row, m, init, out))

// Sign bits of v[0 .. n) into bits (when not null); false at the first element
// that is not +-1.0f. Whole words of 64 are checked with vector compares (SSE2
// for the baseline, AVX2 above it), the rest one element at a time.
bool pack_tail(const float* v, std::size_t n, std::size_t w, std::uint64_t* bits) {
  for (; 64 * w < n; ++w) {
    std::uint64_t word = 0;
    const std::size_t k = std::min<std::size_t>(64, n - 64 * w);
    for (std::size_t j = 0; j < k; ++j) {
      const std::uint32_t u = std::bit_cast<std::uint32_t>(v[64 * w + j]);
      if ((u & 0x7fffffffu) != 0x3f800000u) return false;
      word |= std::uint64_t{u >> 31} << j;
    }
    if (bits) bits[w] = word;
  }
  return true;
}

#if defined(MHDC_X86)
bool pack_bipolar_baseline(const float* v, std::size_t n, std::uint64_t* bits) {
  const __m128i mag = _mm_set1_epi32(0x7fffffff), one = _mm_set1_epi32(0x3f800000);
  std::size_t w = 0;
  for (; 64 * w + 64 <= n; ++w) {
    std::uint64_t word = 0;
    __m128i bad = _mm_setzero_si128();
    for (int k = 0; k < 16; ++k) {
      const __m128i u = _mm_loadu_si128(reinterpret_cast<const __m128i*>(v + 64 * w + 4 * k));
      bad = _mm_or_si128(bad, _mm_xor_si128(_mm_and_si128(u, mag), one));
      word |= std::uint64_t{static_cast<std::uint8_t>(_mm_movemask_ps(_mm_castsi128_ps(u)))} << (4 * k);
    }
    if (_mm_movemask_epi8(_mm_cmpeq_epi32(bad, _mm_setzero_si128())) != 0xffff) return false;
    if (bits) bits[w] = word;
  }
  return pack_tail(v, n, w, bits);
}

MHDC_TARGET_AVX2 bool pack_bipolar_avx2(const float* v, std::size_t n, std::uint64_t* bits) {
  const __m256i mag = _mm256_set1_epi32(0x7fffffff), one = _mm256_set1_epi32(0x3f800000);
  std::size_t w = 0;
  for (; 64 * w + 64 <= n; ++w) {
    std::uint64_t word = 0;
    __m256i bad = _mm256_setzero_si256();
    for (int k = 0; k < 8; ++k) {
      const __m256i u = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(v + 64 * w + 8 * k));
      bad = _mm256_or_si256(bad, _mm256_xor_si256(_mm256_and_si256(u, mag), one));
      word |= std::uint64_t{static_cast<std::uint8_t>(_mm256_movemask_ps(_mm256_castsi256_ps(u)))} << (8 * k);
    }
    if (!_mm256_testz_si256(bad, bad)) return false;
    if (bits) bits[w] = word;
  }
  return pack_tail(v, n, w, bits);
}
#else
bool pack_bipolar_baseline(const float* v, std::size_t n, std::uint64_t* bits) { return pack_tail(v, n, 0, bits); }
bool pack_bipolar_avx2(const float* v, std::size_t n, std::uint64_t* bits) { return pack_tail(v, n, 0, bits); }
#endif
// AVX-512 adds nothing a 64-element word could use.
auto pack_bipolar_for(Isa isa) { return isa == Isa::baseline ? &pack_bipolar_baseline : &pack_bipolar_avx2; }

// Rows' sign bits applied to q, L rows per vector (one lane each), G vectors in
// flight. The rows' 32-bit halves for 32 elements are gathered once, then
// shifted down one bit per element: bit 0, moved to the sign position, is
// xor-ed into q[i]. Row k of the group is at half + min(k, n - 1) * stride
// (spare lanes repeat the last row).
template <std::size_t L, std::size_t G>
[[gnu::always_inline]] inline void sign_group(const std::uint32_t* half, std::size_t stride, std::size_t n,
                                              const float* q, std::size_t m, float init, float* out) {
  typedef float F __attribute__((vector_size(4 * L)));
  typedef std::uint32_t U __attribute__((vector_size(4 * L)));
  float lanes[G * L];
  std::fill_n(lanes, G * L, init);  // lane by lane: keeps init's zero sign
  F acc[G];
  std::memcpy(acc, lanes, sizeof acc);
  for (std::size_t c = 0; 32 * c < m; ++c) {
    std::uint32_t halves[G * L];
    for (std::size_t k = 0; k < G * L; ++k) halves[k] = half[std::min(k, n - 1) * stride + c];
    U w[G];
    std::memcpy(w, halves, sizeof w);
    const std::size_t end = std::min<std::size_t>(m, 32 * c + 32);
    for (std::size_t i = 32 * c; i < end; ++i) {
      const U qv = U{} + std::bit_cast<std::uint32_t>(q[i]);
      for (std::size_t g = 0; g < G; ++g) {
        acc[g] += (F)(qv ^ (w[g] << 31));
        w[g] >>= 1;
      }
    }
  }
  std::memcpy(lanes, acc, sizeof acc);
  std::memcpy(out, lanes, std::min(n, G * L) * sizeof(float));
}

template <Isa>
[[gnu::always_inline]] inline void sign_dots_body(const std::uint64_t* bits, std::size_t words, std::size_t rows,
                                                  const float* q, std::size_t m, float init, float* out) {
  constexpr std::size_t L = 8, G = 4, R = L * G;
  // The halves of word w are [2w] and [2w + 1] in little-endian order, which is
  // the order of elements 32c .. 32c + 31 for c = 2w, 2w + 1.
  static_assert(std::endian::native == std::endian::little);
  const auto* half = reinterpret_cast<const std::uint32_t*>(bits);
  for (std::size_t r0 = 0; r0 < rows; r0 += R)
    sign_group<L, G>(half + r0 * 2 * words, 2 * words, rows - r0, q, m, init, out + r0);
}
MHDC_ISA_VARIANTS(void, sign_dots, (const std::uint64_t* bits, std::size_t words, std::size_t rows, const float* q,
                                    std::size_t m, float init, float* out),
                  (bits, words, rows, q, m, init, out))

#if defined(MHDC_X86)
// Sixteen rows per register: bit j of the rows' halves becomes a mask that
// picks -q[i] (q with its sign bit flipped) or q[i] for each row's lane.
MHDC_TARGET_AVX512 void sign_dots_masks(const std::uint64_t* bits, std::size_t words, std::size_t rows,
                                        const float* q, std::size_t m, float init, float* out) {
  constexpr std::size_t L = 16, G = 4, R = L * G;
  const auto* half = reinterpret_cast<const std::uint32_t*>(bits);
  const std::size_t stride = 2 * words;  // at most 2^31 / 64 (checked by the caller), so offsets fit 32 bits
  const __m512i sign = _mm512_set1_epi32(static_cast<int>(0x80000000u));
  const __m512i lane = _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
  for (std::size_t r0 = 0; r0 < rows; r0 += R) {
    const std::size_t n = std::min(R, rows - r0);
    __m512 acc[G];
    __m512i offset[G];  // each lane's row (spare lanes repeat the last one) times the stride
    for (std::size_t g = 0; g < G; ++g) {
      acc[g] = _mm512_set1_ps(init);
      const __m512i k = _mm512_min_epu32(_mm512_add_epi32(lane, _mm512_set1_epi32(static_cast<int>(g * L))),
                                         _mm512_set1_epi32(static_cast<int>(n - 1)));
      offset[g] = _mm512_mullo_epi32(k, _mm512_set1_epi32(static_cast<int>(stride)));
    }
    for (std::size_t c = 0; 32 * c < m; ++c) {
      const std::uint32_t* base = half + r0 * stride + c;
      __m512i w[G];
      for (std::size_t g = 0; g < G; ++g) w[g] = _mm512_i32gather_epi32(offset[g], base, 4);
      const std::size_t end = std::min<std::size_t>(32, m - 32 * c);
      for (std::size_t j = 0; j < end; ++j) {
        const __m512 qv = _mm512_set1_ps(q[32 * c + j]);
        const __m512 nq = _mm512_castsi512_ps(_mm512_xor_si512(_mm512_castps_si512(qv), sign));
        const __m512i bit = _mm512_set1_epi32(static_cast<int>(1u << j));
        for (std::size_t g = 0; g < G; ++g)
          acc[g] = _mm512_add_ps(acc[g], _mm512_mask_blend_ps(_mm512_test_epi32_mask(w[g], bit), qv, nq));
      }
    }
    float lanes[R];
    for (std::size_t g = 0; g < G; ++g) _mm512_storeu_ps(lanes + g * L, acc[g]);
    std::memcpy(out + r0, lanes, n * sizeof(float));
  }
}
#endif

// One row's count: four independent counters keep the popcounts overlapping.
[[gnu::always_inline]] inline std::uint64_t xor_count(const std::uint64_t* q, const std::uint64_t* row,
                                                      std::size_t full, std::uint64_t last_mask) {
  std::uint64_t c[4] = {};
  std::size_t w = 0;
  for (; w + 4 <= full; w += 4)
    for (std::size_t k = 0; k < 4; ++k) c[k] += static_cast<std::uint64_t>(std::popcount(q[w + k] ^ row[w + k]));
  for (; w < full; ++w) c[0] += static_cast<std::uint64_t>(std::popcount(q[w] ^ row[w]));
  if (last_mask) c[1] += static_cast<std::uint64_t>(std::popcount((q[full] ^ row[full]) & last_mask));
  return (c[0] + c[1]) + (c[2] + c[3]);
}

float counted(std::size_t m, std::uint64_t ones) {
  return static_cast<float>(static_cast<std::int64_t>(m) - 2 * static_cast<std::int64_t>(ones));
}

template <Isa>
[[gnu::always_inline]] inline void popcount_dots_body(const std::uint64_t* bits, std::size_t words, std::size_t rows,
                                                      const std::uint64_t* q, std::size_t m, float* out) {
  const std::size_t full = m / 64;
  const std::uint64_t last = m % 64 ? (std::uint64_t{1} << (m % 64)) - 1 : 0;
  for (std::size_t r = 0; r < rows; ++r) out[r] = counted(m, xor_count(q, bits + r * words, full, last));
}
MHDC_ISA_VARIANTS(void, popcount_dots, (const std::uint64_t* bits, std::size_t words, std::size_t rows,
                                        const std::uint64_t* q, std::size_t m, float* out),
                  (bits, words, rows, q, m, out))

#if defined(MHDC_X86)
// AVX-512 with VPOPCNTDQ: eight words counted per instruction.
MHDC_TARGET_VPOPCNT void popcount_dots_vpopcnt(const std::uint64_t* bits, std::size_t words, std::size_t rows,
                                               const std::uint64_t* q, std::size_t m, float* out) {
  const std::size_t full = m / 64, vec = full - full % 8;
  const std::uint64_t last = m % 64 ? (std::uint64_t{1} << (m % 64)) - 1 : 0;
  for (std::size_t r = 0; r < rows; ++r) {
    const std::uint64_t* row = bits + r * words;
    __m512i acc = _mm512_setzero_si512();
    for (std::size_t w = 0; w < vec; w += 8)
      acc = _mm512_add_epi64(acc, _mm512_popcnt_epi64(_mm512_xor_si512(_mm512_loadu_si512(q + w),
                                                                       _mm512_loadu_si512(row + w))));
    const std::uint64_t rest = xor_count(q + vec, row + vec, full - vec, last);
    out[r] = counted(m, static_cast<std::uint64_t>(_mm512_reduce_add_epi64(acc)) + rest);
  }
}
#endif

}  // namespace

// ---- single dot products ---------------------------------------------------

std::size_t dot_exact_prefix(const float* a, const float* b, std::size_t n, float init, float* sum, Isa isa) {
  *sum = init;
  if (n < kGroup || !small_integer(init)) return 0;
  float p;
  const std::size_t k = exact_run_for(usable(isa))(a, b, n, std::fabs(init), &p);
  if (k != 0) *sum = init + p;  // exact; -0.0 only when init and every product are -0.0
  return k;
}

float dot(const float* a, const float* b, std::size_t n, float init, Isa isa) {
  float s;
  const std::size_t k = dot_exact_prefix(a, b, n, init, &s, isa);
  for (std::size_t i = k; i < n; ++i) s += a[i] * b[i];
  return s;
}

float dot_scalar(const float* a, const float* b, std::size_t n, float init) {
  float s = init;
  for (std::size_t i = 0; i < n; ++i) s += a[i] * b[i];
  return s;
}

// ---- float rows in lane blocks -----------------------------------------------

void lane_dots(const float* const* blocks, std::size_t nblocks, std::size_t rows, const float* q, std::size_t m,
               float init, float* out, Isa isa) {
  lane_dots_for(usable(isa))(blocks, nblocks, rows, q, m, init, out);
}

void lane_dots_scalar(const float* const* blocks, std::size_t nblocks, std::size_t rows, const float* q,
                      std::size_t m, float init, float* out) {
  for (std::size_t r = 0; r < rows && r / kLanes < nblocks; ++r) {
    float s = init;
    for (std::size_t i = 0; i < m; ++i) s += q[i] * blocks[r / kLanes][i * kLanes + r % kLanes];
    out[r] = s;
  }
}

void dots_rows(const float* q, const float* rows, std::size_t k, std::size_t stride, std::size_t m, float* out,
               float init, Isa isa) {
  isa = usable(isa);
  const auto pack = pack_bipolar_for(isa);
  std::vector<std::uint64_t> qbits, rbits;
  bool count = countable(m, init);
  if (count) {
    qbits.resize(bit_words(m));
    rbits.resize(bit_words(m));
    count = pack(q, m, qbits.data());
  }
  const std::size_t full = m - m % kGroup;
  const float* pending[8];
  std::size_t where[8];
  std::size_t np = 0;
  float lanes[8];
  const auto eight = eight_rows_for(isa);
  for (std::size_t r = 0; r < k; ++r) {
    const float* row = rows + r * stride;
    if (count && pack(row, m, rbits.data())) {
      popcount_dots_for(isa)(rbits.data(), rbits.size(), 1, qbits.data(), m, out + r);
      continue;
    }
    float s;
    if (full != 0 && dot_exact_prefix(q, row, m, init, &s, isa) == full) {
      for (std::size_t i = full; i < m; ++i) s += q[i] * row[i];
      out[r] = s;
      continue;
    }
    pending[np] = row;
    where[np++] = r;
    if (np == 8) {
      eight(q, pending, m, init, lanes);
      for (std::size_t l = 0; l < 8; ++l) out[where[l]] = lanes[l];
      np = 0;
    }
  }
  if (np == 0) return;
  for (std::size_t l = np; l < 8; ++l) pending[l] = pending[0];  // spare lanes repeat a row
  eight(q, pending, m, init, lanes);
  for (std::size_t l = 0; l < np; ++l) out[where[l]] = lanes[l];
}

void dots_rows_scalar(const float* q, const float* rows, std::size_t k, std::size_t stride, std::size_t m,
                      float* out, float init) {
  for (std::size_t r = 0; r < k; ++r) out[r] = dot_scalar(q, rows + r * stride, m, init);
}

// ---- bipolar rows as sign bits -----------------------------------------------

bool pack_bipolar(const float* v, std::size_t n, std::uint64_t* bits, Isa isa) noexcept {
  return pack_bipolar_for(usable(isa))(v, n, bits);
}

void sign_dots(const std::uint64_t* bits, std::size_t words, std::size_t rows, const float* q, std::size_t m,
               float init, float* out, Isa isa) {
  isa = usable(isa);
#if defined(MHDC_X86)
  if (isa == Isa::avx512 && words < (std::size_t{1} << 24)) return sign_dots_masks(bits, words, rows, q, m, init, out);
#endif
  sign_dots_for(isa)(bits, words, rows, q, m, init, out);
}

void sign_dots_scalar(const std::uint64_t* bits, std::size_t words, std::size_t rows, const float* q,
                      std::size_t m, float init, float* out) {
  for (std::size_t r = 0; r < rows; ++r) {
    float s = init;
    for (std::size_t i = 0; i < m; ++i) s += q[i] * ((bits[r * words + i / 64] >> (i % 64)) & 1 ? -1.0f : 1.0f);
    out[r] = s;
  }
}

bool countable(std::size_t m, float init) noexcept {
  return m >= 1 && m < (std::size_t{1} << 24) && init == 0.0f;
}

void popcount_dots(const std::uint64_t* bits, std::size_t words, std::size_t rows, const std::uint64_t* q,
                   std::size_t m, float* out, Isa isa) {
  isa = usable(isa);
#if defined(MHDC_X86)
  if (isa == Isa::avx512 && has_vpopcntdq()) return popcount_dots_vpopcnt(bits, words, rows, q, m, out);
#endif
  popcount_dots_for(isa)(bits, words, rows, q, m, out);
}

void popcount_dots_scalar(const std::uint64_t* bits, std::size_t words, std::size_t rows, const std::uint64_t* q,
                          std::size_t m, float* out) {
  for (std::size_t r = 0; r < rows; ++r) {
    std::int64_t d = 0;
    for (std::size_t i = 0; i < m; ++i) d += ((q[i / 64] ^ bits[r * words + i / 64]) >> (i % 64)) & 1 ? -1 : 1;
    out[r] = static_cast<float>(d);
  }
}

bool has_nan(const float* x, std::size_t n) noexcept {
  bool nan = false;
  for (std::size_t i = 0; i < n; ++i) nan |= x[i] != x[i];
  return nan;
}

}  // namespace mhdc::hdc

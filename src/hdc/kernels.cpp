#include "hdc/kernels.hpp"

#include <algorithm>
#include <array>
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

// kMaskBits[byte][l]: the sign bit where bit l of byte is set.
constexpr auto kMaskBits = [] {
  std::array<std::array<std::uint32_t, 8>, 256> t{};
  for (std::size_t b = 0; b < 256; ++b)
    for (std::size_t l = 0; l < 8; ++l) t[b][l] = ((b >> l) & 1u) ? 0x80000000u : 0u;
  return t;
}();

// G blocks side by side, two 8-lane accumulators each (rows 0-7 and 8-15):
// element i's byte for eight rows looks up their eight sign bits, xor-ed into q[i].
template <std::size_t G>
[[gnu::always_inline]] inline void mask_group(const std::uint8_t* first, std::size_t block_bytes, const float* q,
                                              std::size_t m, float init, F8* acc) {
  for (std::size_t a = 0; a < 2 * G; ++a) acc[a] = splat(init);
  for (std::size_t i = 0; i < m; ++i) {
    const U8 qv = U8{} + std::bit_cast<std::uint32_t>(q[i]);
    for (std::size_t g = 0; g < G; ++g)
      for (std::size_t h = 0; h < 2; ++h)
        acc[2 * g + h] += (F8)(qv ^ load<U8>(kMaskBits[first[g * block_bytes + 2 * i + h]].data()));
  }
}

template <Isa>
[[gnu::always_inline]] inline void sign_dots_body(const std::uint8_t* masks, std::size_t width, std::size_t rows,
                                                  const float* q, std::size_t m, float init, float* out) {
  constexpr std::size_t G = 2;  // four accumulators in flight hide the add latency
  const std::size_t nblocks = rows / kMaskRows + (rows % kMaskRows != 0), bytes = 2 * width;
  F8 acc[2 * G];
  std::size_t b = 0;
  for (; b + G <= nblocks; b += G) {
    mask_group<G>(masks + b * bytes, bytes, q, m, init, acc);
    for (std::size_t g = 0; g < G; ++g) store_lanes(&acc[2 * g][0], kMaskRows, (b + g) * kMaskRows, rows, out);
  }
  for (; b < nblocks; ++b) {
    mask_group<1>(masks + b * bytes, bytes, q, m, init, acc);
    store_lanes(&acc[0][0], kMaskRows, b * kMaskRows, rows, out);
  }
}
MHDC_ISA_VARIANTS(void, sign_dots, (const std::uint8_t* masks, std::size_t width, std::size_t rows, const float* q,
                                    std::size_t m, float init, float* out),
                  (masks, width, rows, q, m, init, out))

#if defined(MHDC_X86)
// Sixteen rows per register: element i's two bytes are its mask, picking -q[i]
// (q with its sign bit flipped) or q[i] for each row's lane.
MHDC_TARGET_AVX512 void sign_dots_masks(const std::uint8_t* masks, std::size_t width, std::size_t rows,
                                        const float* q, std::size_t m, float init, float* out) {
  constexpr std::size_t G = 4;  // four blocks in flight hide the add latency
  const std::size_t nblocks = rows / kMaskRows + (rows % kMaskRows != 0), bytes = 2 * width;
  const __m512i sign = _mm512_set1_epi32(static_cast<int>(0x80000000u));
  for (std::size_t b0 = 0; b0 < nblocks; b0 += G) {
    const std::size_t n = std::min(G, nblocks - b0);
    __m512 acc[G];
    for (std::size_t g = 0; g < G; ++g) acc[g] = _mm512_set1_ps(init);
    const std::uint8_t* first = masks + b0 * bytes;
    for (std::size_t i = 0; i < m; ++i) {
      const __m512 qv = _mm512_set1_ps(q[i]);
      const __m512 nq = _mm512_castsi512_ps(_mm512_xor_si512(_mm512_castps_si512(qv), sign));
      for (std::size_t g = 0; g < G; ++g) {
        std::uint16_t mk;
        std::memcpy(&mk, first + (g < n ? g : 0) * bytes + 2 * i, 2);  // spare groups repeat the first
        acc[g] = _mm512_add_ps(acc[g], _mm512_mask_blend_ps(mk, qv, nq));
      }
    }
    float lanes[G * kMaskRows];
    for (std::size_t g = 0; g < G; ++g) _mm512_storeu_ps(lanes + g * kMaskRows, acc[g]);
    const std::size_t first_row = b0 * kMaskRows;
    std::memcpy(out + first_row, lanes, std::min(G * kMaskRows, rows - first_row) * sizeof(float));
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
// AVX-512 with VPOPCNTDQ: eight words counted per instruction, eight rows at a
// time so that their per-lane counts are summed by one transpose-add.
MHDC_TARGET_VPOPCNT inline __m512i pair_sums(__m512i a, __m512i b) {
  return _mm512_add_epi64(_mm512_unpacklo_epi64(a, b), _mm512_unpackhi_epi64(a, b));
}
MHDC_TARGET_VPOPCNT inline __m512i half_sums(__m512i a, __m512i b) {
  return _mm512_add_epi64(_mm512_shuffle_i64x2(a, b, 0x88), _mm512_shuffle_i64x2(a, b, 0xDD));
}

MHDC_TARGET_VPOPCNT void popcount_dots_vpopcnt(const std::uint64_t* bits, std::size_t words, std::size_t rows,
                                               const std::uint64_t* q, std::size_t m, float* out) {
  const std::size_t full = m / 64, vec = full - full % 8;
  const std::uint64_t last = m % 64 ? (std::uint64_t{1} << (m % 64)) - 1 : 0;
  std::size_t r = 0;
  for (; r + 8 <= rows; r += 8) {
    const std::uint64_t* row = bits + r * words;
    __m512i acc[8];
    for (auto& a : acc) a = _mm512_setzero_si512();
    for (std::size_t w = 0; w < vec; w += 8) {
      const __m512i qv = _mm512_loadu_si512(q + w);
      for (std::size_t k = 0; k < 8; ++k)
        acc[k] = _mm512_add_epi64(acc[k], _mm512_popcnt_epi64(_mm512_xor_si512(qv, _mm512_loadu_si512(row + k * words + w))));
    }
    // Lane k of the sum is row k's count: pairs of rows, then halves, then the whole.
    const __m512i sums = half_sums(half_sums(pair_sums(acc[0], acc[1]), pair_sums(acc[2], acc[3])),
                                   half_sums(pair_sums(acc[4], acc[5]), pair_sums(acc[6], acc[7])));
    std::uint64_t total[8];
    _mm512_storeu_si512(total, sums);
    for (std::size_t k = 0; k < 8; ++k)
      out[r + k] = counted(m, total[k] + xor_count(q + vec, row + k * words + vec, full - vec, last));
  }
  for (; r < rows; ++r) {
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

void put_mask_row(std::uint8_t* block, std::size_t width, std::size_t lane, const std::uint64_t* bits) noexcept {
  const auto bit = static_cast<std::uint8_t>(1u << (lane % 8));
  std::uint8_t* half = block + lane / 8;
  for (std::size_t w = 0; w < bit_words(width); ++w)  // set bits only; bits past the width are clear
    for (std::uint64_t x = bits[w]; x != 0; x &= x - 1)
      half[2 * (64 * w + static_cast<std::size_t>(std::countr_zero(x)))] |= bit;
}

void sign_dots(const std::uint8_t* masks, std::size_t width, std::size_t rows, const float* q, std::size_t m,
               float init, float* out, Isa isa) {
  isa = usable(isa);
#if defined(MHDC_X86)
  if (isa == Isa::avx512) return sign_dots_masks(masks, width, rows, q, m, init, out);
#endif
  sign_dots_for(isa)(masks, width, rows, q, m, init, out);
}

void sign_dots_scalar(const std::uint8_t* masks, std::size_t width, std::size_t rows, const float* q,
                      std::size_t m, float init, float* out) {
  for (std::size_t r = 0; r < rows; ++r) {
    const std::uint8_t* block = masks + r / kMaskRows * 2 * width;
    float s = init;
    for (std::size_t i = 0; i < m; ++i) s += q[i] * (block[2 * i + r % kMaskRows / 8] >> (r % 8) & 1 ? -1.0f : 1.0f);
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

namespace {
template <Isa>
[[gnu::always_inline]] inline void to_resonance_body(float* s, std::size_t n, float len) {
  for (std::size_t i = 0; i < n; ++i) s[i] = (s[i] / len + 1.0f) * 0.5f;
}
MHDC_ISA_VARIANTS(void, to_resonance, (float* s, std::size_t n, float len), (s, n, len))
}  // namespace

void to_resonance(float* s, std::size_t n, float len, Isa isa) noexcept { to_resonance_for(usable(isa))(s, n, len); }

std::size_t count_above(const float* s, std::size_t n, float t) noexcept {
  std::size_t c = 0;
  for (std::size_t i = 0; i < n; ++i) c += s[i] > t;
  return c;
}

std::size_t first_best(const float* s, std::size_t n, float floor) noexcept {
  float lane[8];
  std::fill_n(lane, 8, floor);
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8)
    for (std::size_t j = 0; j < 8; ++j) lane[j] = s[i + j] > lane[j] ? s[i + j] : lane[j];
  for (; i < n; ++i) lane[0] = s[i] > lane[0] ? s[i] : lane[0];
  float best = floor;
  for (float x : lane) best = x > best ? x : best;
  if (!(best > floor)) return n;
  for (i = 0; s[i] != best; ++i) {
  }
  return i;  // -0.0 == +0.0: the first of equal maxima, as the running best keeps
}

bool has_nan(const float* x, std::size_t n) noexcept {
  bool nan = false;
  for (std::size_t i = 0; i < n; ++i) nan |= x[i] != x[i];
  return nan;
}

}  // namespace mhdc::hdc

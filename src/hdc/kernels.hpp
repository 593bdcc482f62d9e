// The scan kernels: dot products of one query with many rows, each sum exactly
// the index-order float sum init + q[0]*r[0] + q[1]*r[1] + ..., bit for bit.
//
// Speed comes from three places, none of which reorders a sum:
// - lanes: several rows' sums side by side, one vector lane per row, each lane
//   adding its terms in index order (`lane_dots`, `sign_dots`, `dots_rows`);
// - sign bits: a bipolar row (every element exactly +1.0f or -1.0f) is kept as
//   bits, and q[i] * (+-1) is q[i] with its sign bit flipped or not: exact for
//   every q[i] but NaN, whose own sign bit could differ (`sign_dots`, reading a
//   16-row mask per element; callers send NaN queries to the scalar twin);
// - counting: when the query is bipolar too, every term is +1 or -1 and every
//   partial sum an integer of magnitude at most m < 2^24, which a float holds
//   exactly, so the sum is m - 2 * popcount(q_bits ^ row_bits) in any order.
//   For m >= 1 a zero sum is +0.0 whatever zero it starts from (x + -x is +0.0),
//   so this holds for init +0.0 and -0.0 (`popcount_dots`).
// `dot` uses a fourth: a sum whose products are small integers is exact in any
// order too; it checks that chunk by chunk and sums checked chunks with vector
// instructions.
//
// Every kernel takes the instruction set to run (hdc/simd.hpp) and has a plain
// scalar twin (`*_scalar`) that the tests compare with it for each set.
#pragma once
#include <cstddef>
#include <cstdint>

#include "hdc/simd.hpp"
#include "hdc/types.hpp"

namespace mhdc::hdc {

// ---- single dot products ---------------------------------------------------

// init + sum_{i<n} a[i]*b[i], each product and each addition rounded to 32 bits,
// in index order.
float dot(const float* a, const float* b, std::size_t n, float init = 0.0f, Isa isa = active_isa());
float dot_scalar(const float* a, const float* b, std::size_t n, float init = 0.0f);
inline float dot(HvView a, HvView b, float init = 0.0f) {
  return dot(a.data(), b.data(), a.size() < b.size() ? a.size() : b.size(), init);
}

// The exact part of `dot`: the length k (a multiple of 32, at most n) of the
// longest checked prefix whose products and init are integers with absolute
// values adding up to less than 2^24, with *sum set to the (order-free) sum
// over it. Returns 0 (and *sum = init) when init itself fails.
std::size_t dot_exact_prefix(const float* a, const float* b, std::size_t n, float init, float* sum,
                             Isa isa = active_isa());

// ---- float rows in lane blocks -----------------------------------------------

// Rows of `width` floats kept kLanes to a block, element i of the block's rows
// at [i * kLanes + lane].
inline constexpr std::size_t kLanes = 8;

// out[r] = init + sum_{i<m} q[i] * row_r[i], r < rows, over the blocks listed.
void lane_dots(const float* const* blocks, std::size_t nblocks, std::size_t rows, const float* q, std::size_t m,
               float init, float* out, Isa isa = active_isa());
void lane_dots_scalar(const float* const* blocks, std::size_t nblocks, std::size_t rows, const float* q,
                      std::size_t m, float init, float* out);

// out[r] = dot(q, rows + r * stride, m, init) for k rows of a caller's matrix.
// Bipolar rows against a bipolar query are counted; rows whose products are
// small integers are summed as `dot` does; the rest eight at a time.
void dots_rows(const float* q, const float* rows, std::size_t k, std::size_t stride, std::size_t m, float* out,
               float init = 0.0f, Isa isa = active_isa());
void dots_rows_scalar(const float* q, const float* rows, std::size_t k, std::size_t stride, std::size_t m,
                      float* out, float init = 0.0f);

// ---- bipolar rows as sign bits -----------------------------------------------

// A row of n elements as ceil(n / 64) words, bit i set where element i is -1.0f,
// bits past n clear.
inline constexpr std::size_t bit_words(std::size_t n) { return n / 64 + (n % 64 != 0); }

// Whether v[0 .. n) is bipolar; if so (and bits is not null) its sign bits are
// written to bits[0 .. bit_words(n)). An empty vector is bipolar.
bool pack_bipolar(const float* v, std::size_t n, std::uint64_t* bits, Isa isa = active_isa()) noexcept;
inline bool is_bipolar(HvView v) noexcept { return pack_bipolar(v.data(), v.size(), nullptr); }

// The same bits in 16-row blocks for the signed sums: block b (rows 16b ..
// 16b + 15) is 2 * width bytes, element i's two bytes [2i], [2i + 1] the mask
// of its rows (bit l of byte h set where row 16b + 8h + l has -1 there), so a
// block's mask for one element is one 16-bit load.
inline constexpr std::size_t kMaskRows = 16;
// Sets lane `lane`'s bits of a zeroed block from a row's packed bits.
void put_mask_row(std::uint8_t* block, std::size_t width, std::size_t lane, const std::uint64_t* bits) noexcept;

// out[r] = init + sum_{i<m} q[i] * (row r's element i), index order, m <= width,
// over the mask blocks of `rows` rows. Exact for every q but NaN (see above);
// sign_dots_scalar multiplies, so it is exact for NaN too.
void sign_dots(const std::uint8_t* masks, std::size_t width, std::size_t rows, const float* q, std::size_t m,
               float init, float* out, Isa isa = active_isa());
void sign_dots_scalar(const std::uint8_t* masks, std::size_t width, std::size_t rows, const float* q,
                      std::size_t m, float init, float* out);

// For `rows` rows of `words` words each (row r at bits + r * words):
// out[r] = m - 2 * popcount of the first m bits of (q ^ row r), as a float: the
// sum of a bipolar query's products with row r for 1 <= m < 2^24 (init +-0.0).
void popcount_dots(const std::uint64_t* bits, std::size_t words, std::size_t rows, const std::uint64_t* q,
                   std::size_t m, float* out, Isa isa = active_isa());
void popcount_dots_scalar(const std::uint64_t* bits, std::size_t words, std::size_t rows, const std::uint64_t* q,
                          std::size_t m, float* out);
// Whether a query of m elements starting from `init` may be counted.
bool countable(std::size_t m, float init) noexcept;

// s[i] = (s[i] / len + 1) * 0.5 for i < n, each step rounded to 32 bits: a dot
// product of two +-1 vectors of length len as a resonance in [0, 1].
void to_resonance(float* s, std::size_t n, float len, Isa isa = active_isa()) noexcept;
// How many of s[0 .. n) are above t (NaN never is).
std::size_t count_above(const float* s, std::size_t n, float t) noexcept;

// The first index of the greatest of s[0 .. n) above `floor` (NaN never is), or n
// when none is: what a running best that moves only on a strictly greater score
// picks. Eight running maxima side by side, then one pass for the index.
std::size_t first_best(const float* s, std::size_t n, float floor) noexcept;

// Whether any of x[0 .. n) is NaN.
bool has_nan(const float* x, std::size_t n) noexcept;

}  // namespace mhdc::hdc

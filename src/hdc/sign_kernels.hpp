// Dot products of one query with bipolar rows kept as sign bits.
//
// For a row element r in {+1, -1} and a non-NaN q, q * r is exactly q with its
// sign bit flipped when r = -1. So the dot of q with a bipolar row is q[i] with
// the row's sign bit xor-ed in, added in index order: the same sum, bit for bit,
// as multiplying, read from 1/32 of the memory. (For a NaN q[i] only the NaN's
// own sign bit can differ; callers that must keep it take a float path.)
//
// Layout: rows in blocks of kSignLanes; byte [block][i] holds bit l = sign of
// element i of row block * kSignLanes + l (1 for -1.0). A block's dots run one
// vector lane per row, several blocks in flight so independent adds overlap.
#pragma once
#include <cstddef>
#include <cstdint>

#include "hdc/types.hpp"

namespace mhdc::hdc {

inline constexpr std::size_t kSignLanes = 8;

// Every element exactly +1.0f or -1.0f (an empty vector qualifies).
bool is_bipolar(HvView v) noexcept;

// out[r] = init + sum_{i<m} q[i] * row_r[i] in index order, for the `rows` rows
// of `nblocks` blocks; blocks[b] points at block b's m (or more) bytes.
void sign_dots(const std::uint8_t* const* blocks, std::size_t nblocks, std::size_t rows, const float* q,
               std::size_t m, float init, float* out);

// The same sums one row at a time, for platforms without vector extensions and
// as the twin the vector path is tested against.
void sign_dots_scalar(const std::uint8_t* const* blocks, std::size_t nblocks, std::size_t rows, const float* q,
                      std::size_t m, float init, float* out);

// sign_dots over blocks found by `block_at(b)`, gathered a few dozen at a time
// so that no pointer table has to be allocated.
template <class BlockAt>
void sign_dots_by(BlockAt block_at, std::size_t nblocks, std::size_t rows, const float* q, std::size_t m, float init,
                  float* out, bool scalar = false) {
  constexpr std::size_t kChunk = 64;  // a multiple of the blocks the kernel keeps in flight
  const std::uint8_t* ptrs[kChunk];
  for (std::size_t b0 = 0; b0 < nblocks; b0 += kChunk) {
    const std::size_t n = nblocks - b0 < kChunk ? nblocks - b0 : kChunk;
    for (std::size_t k = 0; k < n; ++k) ptrs[k] = block_at(b0 + k);
    const std::size_t left = rows - b0 * kSignLanes;
    const std::size_t r = left < n * kSignLanes ? left : n * kSignLanes;
    (scalar ? sign_dots_scalar : sign_dots)(ptrs, n, r, q, m, init, out + b0 * kSignLanes);
  }
}

}  // namespace mhdc::hdc

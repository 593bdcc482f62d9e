// Dot products of one query with bipolar rows kept as sign bits.
//
// For a row element r in {+1, -1} and a non-NaN q, q * r is exactly q with its
// sign bit flipped when r = -1. So the dot of q with a bipolar row is q[i] with
// the row's sign bit xor-ed in, added in index order: the same sum, bit for bit,
// as multiplying, read from 1/32 of the memory. (For a NaN q[i] only the NaN's
// own sign bit can differ; callers that must keep it take a float path.)
//
// Layout: rows in blocks of kSignRows = 16; element i of a block is two bytes,
// [2i] for rows 0-7 and [2i + 1] for rows 8-15, bit l of byte h set when element
// i of row 8h + l is -1.0. So the two bytes are the block's 16-bit sign mask of
// element i: AVX-512 loads it straight into a mask register; the 8-lane kernel
// reads it as two bytes. Each row's sum runs in one vector lane, several blocks
// in flight so that independent adds overlap.
#pragma once
#include <cstddef>
#include <cstdint>

#include "hdc/types.hpp"

namespace mhdc::hdc {

inline constexpr std::size_t kSignRows = 16;

// Bytes of one sign block of `width` elements.
inline constexpr std::size_t sign_block_bytes(std::size_t width) { return 2 * width; }

// Sets (for a -1.0 element) the bit of row `lane` (0..15) of a block at element i.
inline void put_sign(std::uint8_t* block, std::size_t i, std::size_t lane, bool negative) {
  block[2 * i + lane / 8] |= static_cast<std::uint8_t>(std::uint8_t{negative} << (lane % 8));
}
// Clears row `lane`'s bits of a block of `width` elements.
void clear_signs(std::uint8_t* block, std::size_t width, std::size_t lane) noexcept;

// Every element exactly +1.0f or -1.0f (an empty vector qualifies).
bool is_bipolar(HvView v) noexcept;

// Which kernel runs the sums: every one gives the same bits.
enum class SignKernel { automatic, lanes8, avx512, scalar };
bool sign_kernel_available(SignKernel k) noexcept;

// out[r] = init + sum_{i<m} q[i] * row_r[i] in index order, for the `rows` rows
// of `nblocks` blocks; blocks[b] points at block b's bytes (m elements or more).
void sign_dots(const std::uint8_t* const* blocks, std::size_t nblocks, std::size_t rows, const float* q,
               std::size_t m, float init, float* out, SignKernel k = SignKernel::automatic);

// sign_dots over blocks found by `block_at(b)`, gathered a few dozen at a time
// so that no pointer table has to be allocated.
template <class BlockAt>
void sign_dots_by(BlockAt block_at, std::size_t nblocks, std::size_t rows, const float* q, std::size_t m, float init,
                  float* out, SignKernel k = SignKernel::automatic) {
  constexpr std::size_t kChunk = 64;  // a multiple of the blocks a kernel keeps in flight
  const std::uint8_t* ptrs[kChunk];
  for (std::size_t b0 = 0; b0 < nblocks; b0 += kChunk) {
    const std::size_t n = nblocks - b0 < kChunk ? nblocks - b0 : kChunk;
    for (std::size_t j = 0; j < n; ++j) ptrs[j] = block_at(b0 + j);
    const std::size_t left = rows - b0 * kSignRows;
    const std::size_t r = left < n * kSignRows ? left : n * kSignRows;
    sign_dots(ptrs, n, r, q, m, init, out + b0 * kSignRows, k);
  }
}

}  // namespace mhdc::hdc

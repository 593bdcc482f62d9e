// The element-wise algebra every other component is built on. All arithmetic is
// in 32-bit floats; two-operand operations run over the shorter length.
#pragma once
#include <cstdint>

#include "hdc/types.hpp"

namespace mhdc::hdc {

// (sum a[i]*b[i] over the common prefix, in index order) / len(a), then (x + 1) * 0.5.
float resonance(HvView a, HvView b);
Hypervector bind(HvView a, HvView b);
Hypervector unbind(HvView compound, HvView key);   // key[i] * compound[i]
Hypervector bundle(HvView a, HvView b);            // sign(a + b), 0 for zero or NaN
// Right-cyclic rotation: out[(i + k) mod D] = v[i], k = n mod D in [0, D).
// Throws value_error for vectors longer than 2^31 - 1 (the shift is 32-bit).
Hypervector permute(HvView v, std::int32_t n);
Hypervector normalise_bipolar(HvView v);           // divide by max |x| (floor 1e-9)
// Sparse Hebbian update of w read as a dim x dim row-major matrix; only the
// diagonal and cells with (i + j) % 7 == 0 change. Cells beyond w are skipped.
Hypervector hebbian(HvView w, HvView pre, HvView post, float lr, std::uint64_t dim);

// Element-wise kernels writing into caller storage (n elements each).
void bind_into(const float* a, const float* b, std::size_t n, float* out);
void bundle_into(const float* a, const float* b, std::size_t n, float* out);

}  // namespace mhdc::hdc

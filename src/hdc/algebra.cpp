#include "hdc/algebra.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "hdc/errors.hpp"
#include "hdc/kernels.hpp"

namespace mhdc::hdc {

float resonance(HvView a, HvView b) {
  const float d = dot(a, b);
  // Divides by the first operand's length (not the common one), as a 32-bit float.
  return (d / static_cast<float>(a.size()) + 1.0f) * 0.5f;
}

void bind_into(const float* a, const float* b, std::size_t n, float* out) {
  for (std::size_t i = 0; i < n; ++i) out[i] = a[i] * b[i];
}

void bundle_into(const float* a, const float* b, std::size_t n, float* out) {
  for (std::size_t i = 0; i < n; ++i) {
    const float s = a[i] + b[i];
    out[i] = s > 0.0f ? 1.0f : (s < 0.0f ? -1.0f : 0.0f);
  }
}

Hypervector bind(HvView a, HvView b) {
  Hypervector out(std::min(a.size(), b.size()));
  bind_into(a.data(), b.data(), out.size(), out.data());
  return out;
}

Hypervector unbind(HvView compound, HvView key) {
  Hypervector out(std::min(compound.size(), key.size()));
  bind_into(key.data(), compound.data(), out.size(), out.data());
  return out;
}

Hypervector bundle(HvView a, HvView b) {
  Hypervector out(std::min(a.size(), b.size()));
  bundle_into(a.data(), b.data(), out.size(), out.data());
  return out;
}

Hypervector permute(HvView v, std::int32_t n) {
  constexpr std::size_t kMax = std::numeric_limits<std::int32_t>::max();
  if (v.size() > kMax)
    throw value_error("hdc_permute: vector of length " + std::to_string(v.size()) +
                      " is too long to rotate (at most 2147483647 elements)");
  const std::int64_t d = static_cast<std::int64_t>(v.size());
  Hypervector out(v.size());
  if (d == 0) return out;
  // Truncating remainder, then shifted into [0, d); 64-bit so d + (n mod d) cannot wrap.
  const std::size_t k = static_cast<std::size_t>(((n % d) + d) % d);
  const std::size_t len = v.size();
  std::copy(v.begin(), v.begin() + (len - k), out.begin() + k);
  std::copy(v.begin() + (len - k), v.end(), out.begin());
  return out;
}

Hypervector normalise_bipolar(HvView v) {
  // The largest |x|, NaNs skipped (a comparison with NaN is false). Taking it in
  // eight interleaved running maxima, then the maximum of those, gives the same
  // value: max is exact, and zeros cannot tie with the 1e-9 floor.
  constexpr std::size_t L = 8;
  float lane[L];
  for (float& x : lane) x = 1e-9f;
  std::size_t i = 0;
  for (; i + L <= v.size(); i += L)
    for (std::size_t l = 0; l < L; ++l) {
      const float a = std::fabs(v[i + l]);
      lane[l] = lane[l] < a ? a : lane[l];
    }
  float m = 1e-9f;
  for (; i < v.size(); ++i) {
    const float a = std::fabs(v[i]);
    m = m < a ? a : m;
  }
  for (float x : lane) m = m < x ? x : m;
  Hypervector out(v.size());
  for (std::size_t i = 0; i < v.size(); ++i) out[i] = v[i] / m;
  return out;
}

Hypervector hebbian(HvView w, HvView pre, HvView post, float lr, std::uint64_t dim) {
  Hypervector out(w.begin(), w.end());
  const std::uint64_t len = out.size();
  const std::uint64_t rows = std::min<std::uint64_t>(pre.size(), dim);
  const std::uint64_t cols = std::min<std::uint64_t>(post.size(), dim);
  // Only the diagonal and the columns with (i + j) % 7 == 0 are selected, so a row
  // costs about cols / 7 steps; a row whose start lies beyond w (or whose start
  // i * dim would not fit in 64 bits) ends the walk, since later rows start later.
  for (std::uint64_t i = 0; i < rows; ++i) {
    if (dim != 0 && i > std::numeric_limits<std::uint64_t>::max() / dim) break;
    const std::uint64_t start = i * dim;
    if (start >= len) break;
    const std::uint64_t room = len - start;  // cells of this row inside w
    const float a = pre[i] * lr;
    auto update = [&](std::uint64_t j) {
      if (j < room) out[start + j] = post[j] * a + out[start + j];
    };
    const std::uint64_t first = (7 - i % 7) % 7;  // smallest j with (i + j) % 7 == 0
    // Each selected cell changes once and cells are independent, so visiting the
    // diagonal first gives the same result as the column-ordered double loop.
    if (i < cols) update(i);
    for (std::uint64_t j = first; j < cols && j < room; j += 7)
      if (j != i) update(j);
  }
  return out;
}

}  // namespace mhdc::hdc

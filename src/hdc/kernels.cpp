#include "hdc/kernels.hpp"

#include <algorithm>
#include <cstring>

namespace mhdc::hdc {

// GCC builds an AVX2 clone beside the baseline one and picks it at load time.
// The lane loops below are element-wise across candidates, so vectorising them
// never reorders any single sum.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && !defined(MHDC_NO_CLONES)
#define MHDC_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define MHDC_CLONES
#endif

float dot(const float* a, const float* b, std::size_t n, float init) {
  float s = init;
  for (std::size_t i = 0; i < n; ++i) s += a[i] * b[i];
  return s;
}

void RowBank::push(HvView row) {
  const std::size_t lane = rows_ % kLanes;
  if (lane == 0) data_.resize(data_.size() + width_ * kLanes, 0.0f);
  float* block = data_.data() + (rows_ / kLanes) * width_ * kLanes;
  const std::size_t n = std::min(width_, row.size());
  for (std::size_t i = 0; i < n; ++i) block[i * kLanes + lane] = row[i];
  ++rows_;
}

Hypervector RowBank::row(std::size_t r) const {
  Hypervector out(width_);
  for (std::size_t i = 0; i < width_; ++i) out[i] = at(r, i);
  return out;
}

MHDC_CLONES
static void bank_dots(const float* data, std::size_t width, std::size_t rows, const float* q,
                      std::size_t m, float* out, float init) {
  constexpr std::size_t L = RowBank::kLanes;
  for (std::size_t b = 0; b * L < rows; ++b) {
    const float* block = data + b * width * L;
    float acc[L];
    for (std::size_t l = 0; l < L; ++l) acc[l] = init;
    for (std::size_t i = 0; i < m; ++i) {
      const float qi = q[i];
      const float* col = block + i * L;
      for (std::size_t l = 0; l < L; ++l) acc[l] += qi * col[l];
    }
    const std::size_t n = std::min(L, rows - b * L);
    for (std::size_t l = 0; l < n; ++l) out[b * L + l] = acc[l];
  }
}

void RowBank::dots(const float* q, std::size_t m, float* out, float init) const {
  bank_dots(data_.data(), width_, rows_, q, std::min(m, width_), out, init);
}

void RowBank::dots_scalar(const float* q, std::size_t m, float* out, float init) const {
  m = std::min(m, width_);
  for (std::size_t r = 0; r < rows_; ++r) {
    float s = init;
    for (std::size_t i = 0; i < m; ++i) s += q[i] * at(r, i);
    out[r] = s;
  }
}

MHDC_CLONES
void dots_rows(const float* q, const float* rows, std::size_t k, std::size_t stride, std::size_t m,
               float* out, float init) {
  // Eight rows at a time, one accumulator each; each sum still runs i = 0, 1, ...
  constexpr std::size_t L = 8;
  std::size_t r = 0;
  for (; r + L <= k; r += L) {
    float acc[L];
    for (std::size_t l = 0; l < L; ++l) acc[l] = init;
    for (std::size_t i = 0; i < m; ++i) {
      const float qi = q[i];
      for (std::size_t l = 0; l < L; ++l) acc[l] += qi * rows[(r + l) * stride + i];
    }
    for (std::size_t l = 0; l < L; ++l) out[r + l] = acc[l];
  }
  for (; r < k; ++r) out[r] = dot(q, rows + r * stride, m, init);
}

void dots_rows_scalar(const float* q, const float* rows, std::size_t k, std::size_t stride,
                      std::size_t m, float* out, float init) {
  for (std::size_t r = 0; r < k; ++r) out[r] = dot(q, rows + r * stride, m, init);
}

}  // namespace mhdc::hdc

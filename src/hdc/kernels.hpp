// Reductions that must keep index order. A single dot product is a chain of
// dependent adds; speed comes from computing several candidates' sums side by
// side (one lane per candidate), which leaves every individual sum in order.
//
// One exception is allowed because it cannot change a result: when every
// product is an integer and the absolute values of init and all products add up
// to less than 2^24, every partial sum, in any order, is an integer that a float
// holds exactly, so the sum is the same whatever the order. The sign of a zero
// sum agrees too: under round-to-nearest x + y gives -0.0 only when both are
// -0.0, so a sum is -0.0 exactly when init and every product are -0.0, in any
// order (lanes start at -0.0, the identity of addition). Bipolar vectors shorter
// than 2^24 always qualify. `dot` checks this cheaply, chunk by chunk, with
// vector instructions and, at the first chunk that fails, carries on with the
// sequential sum from the exact prefix (equal to the sequential prefix).
//
// Each vectorised kernel has a plain scalar twin (`*_scalar`) used by the tests
// to prove bit-identity.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "hdc/types.hpp"

namespace mhdc::hdc {

// init + sum_{i<n} a[i]*b[i], each product and each addition rounded to 32 bits,
// in index order. init is usually +0.0 or -0.0 (they differ only when every
// product is -0.0); any other init continues a sum already started.
float dot(const float* a, const float* b, std::size_t n, float init = 0.0f);
float dot_scalar(const float* a, const float* b, std::size_t n, float init = 0.0f);
inline float dot(HvView a, HvView b, float init = 0.0f) {
  return dot(a.data(), b.data(), a.size() < b.size() ? a.size() : b.size(), init);
}

// The exact part of `dot`: the length k (a multiple of 32, at most n) of the
// longest checked prefix on which init and the products pass the exactness test
// above, with *sum set to init + sum_{i<k} a[i]*b[i] (equal to the sequential
// prefix, bit for bit). Returns 0 (and *sum = init) when init itself fails.
// A caller continues with `dot(a + k, b + k, n - k, *sum)` or its own loop.
std::size_t dot_exact_prefix(const float* a, const float* b, std::size_t n, float init, float* sum);

// A store of rows of one width, kept lane-interleaved in blocks of kLanes rows
// (block b holds element i of its rows at [b][i][lane]) so that the dots of a
// query against every row run one lane per row.
class RowBank {
 public:
  static constexpr std::size_t kLanes = 8;

  explicit RowBank(std::size_t width = 0) : width_(width) {}
  std::size_t width() const { return width_; }
  std::size_t size() const { return rows_; }
  bool empty() const { return rows_ == 0; }

  // Appends a row; elements beyond `width` are ignored, missing ones are 0.
  void push(HvView row);
  float at(std::size_t r, std::size_t i) const {
    return data_[(r / kLanes) * width_ * kLanes + i * kLanes + r % kLanes];
  }
  Hypervector row(std::size_t r) const;
  void clear() { data_.clear(); rows_ = 0; }

  // out[r] = init + sum_{i<m} q[i] * row_r[i] in index order, m = min(m, width), for every row r.
  // Four blocks are kept in flight so that independent rows' adds overlap.
  void dots(const float* q, std::size_t m, float* out, float init = 0.0f) const;
  void dots_scalar(const float* q, std::size_t m, float* out, float init = 0.0f) const;

 private:
  std::size_t width_;
  std::size_t rows_ = 0;
  std::vector<float> data_;
};

// out[r] = dot(q, rows[r], m) for k rows laid out contiguously with `stride` floats
// between rows (a matrix handed in by a caller); each sum in index order. Rows
// that pass the exactness test are summed with vector instructions; the others
// eight at a time, one accumulator each.
void dots_rows(const float* q, const float* rows, std::size_t k, std::size_t stride,
               std::size_t m, float* out, float init = 0.0f);
void dots_rows_scalar(const float* q, const float* rows, std::size_t k, std::size_t stride,
                      std::size_t m, float* out, float init = 0.0f);

}  // namespace mhdc::hdc

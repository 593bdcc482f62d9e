// Reductions that must keep index order. A single dot product is a chain of
// dependent adds; speed comes from computing several candidates' sums side by
// side (one lane per candidate), which leaves every individual sum in order.
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
// in index order. init is +0.0 or -0.0; the two differ only when every product is -0.0.
float dot(const float* a, const float* b, std::size_t n, float init = 0.0f);
inline float dot(HvView a, HvView b, float init = 0.0f) {
  return dot(a.data(), b.data(), a.size() < b.size() ? a.size() : b.size(), init);
}

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
  void dots(const float* q, std::size_t m, float* out, float init = 0.0f) const;
  void dots_scalar(const float* q, std::size_t m, float* out, float init = 0.0f) const;

 private:
  std::size_t width_;
  std::size_t rows_ = 0;
  std::vector<float> data_;
};

// out[r] = dot(q, rows[r], m) for k rows laid out contiguously with `stride` floats
// between rows (a matrix handed in by a caller); each sum in index order.
void dots_rows(const float* q, const float* rows, std::size_t k, std::size_t stride,
               std::size_t m, float* out, float init = 0.0f);
void dots_rows_scalar(const float* q, const float* rows, std::size_t k, std::size_t stride,
                      std::size_t m, float* out, float init = 0.0f);

}  // namespace mhdc::hdc

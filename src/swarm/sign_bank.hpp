// Sign bits of bipolar rows, for scanning them with 1/32 of the memory traffic.
//
// For a row element r in {+1, -1}, q * r is exactly q with its sign bit flipped
// when r = -1, so the dot of q with a bipolar row is computed by adding q[i] with
// the row's sign bit xor-ed in, in index order: the same sum, bit for bit, as
// multiplying (a NaN's own sign bit may differ, which no score can show: a NaN
// sum gives a NaN score either way).
//
// Layout: rows in blocks of kLanes; byte [block][i] holds bit l = sign of
// element i of row block * kLanes + l (1 for -1.0). A block's dots run one lane
// per row, several blocks at once.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "hdc/types.hpp"

namespace mhdc::swarm {

// Every element exactly +1.0f or -1.0f (an empty row qualifies).
bool is_bipolar(HvView v) noexcept;

class SignBank {
 public:
  static constexpr std::size_t kLanes = 8;

  explicit SignBank(std::size_t width = 0) : width_(width) {}
  std::size_t width() const { return width_; }
  std::size_t size() const { return rows_; }

  // Appends a bipolar row of exactly `width` elements; strong guarantee.
  void push(HvView row);
  void pop_back() noexcept;  // undoes the last push
  void clear() noexcept {
    bits_.clear();
    bits_.shrink_to_fit();
    rows_ = 0;
  }

  // out[r] = init + sum_{i<m} q[i] * row_r[i], index order, m = min(m, width).
  void dots(const float* q, std::size_t m, float* out, float init = 0.0f) const;
  void dots_scalar(const float* q, std::size_t m, float* out, float init = 0.0f) const;

 private:
  std::size_t width_;
  std::size_t rows_ = 0;
  std::vector<std::uint8_t> bits_;
};

}  // namespace mhdc::swarm

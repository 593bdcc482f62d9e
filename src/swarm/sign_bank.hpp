// Sign bits of bipolar rows, for scanning them with 1/32 of the memory traffic
// (the sums and their exactness are hdc/sign_kernels.hpp's). A NaN query
// component may come out with the other sign bit, which no score can show: a NaN
// sum gives a NaN score either way.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "hdc/sign_kernels.hpp"
#include "hdc/types.hpp"

namespace mhdc::swarm {

using hdc::is_bipolar;

class SignBank {
 public:
  static constexpr std::size_t kRows = hdc::kSignRows;  // rows per sign block

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
  // `kernel` picks the implementation (every one gives the same bits).
  void dots(const float* q, std::size_t m, float* out, float init = 0.0f,
            hdc::SignKernel kernel = hdc::SignKernel::automatic) const;
  void dots_scalar(const float* q, std::size_t m, float* out, float init = 0.0f) const {
    dots(q, m, out, init, hdc::SignKernel::scalar);
  }

 private:
  std::size_t width_;
  std::size_t rows_ = 0;
  std::vector<std::uint8_t> bits_;  // blocks of kRows rows, hdc::sign_block_bytes(width) each
  std::uint8_t* block(std::size_t b) { return bits_.data() + b * hdc::sign_block_bytes(width_); }
};

}  // namespace mhdc::swarm

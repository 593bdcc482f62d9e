#include "swarm/sign_bank.hpp"

#include <algorithm>
#include <bit>

namespace mhdc::swarm {

void SignBank::push(HvView row) {
  const std::size_t lane = rows_ % kRows;
  if (lane == 0) bits_.resize(bits_.size() + hdc::sign_block_bytes(width_), 0);
  std::uint8_t* b = block(rows_ / kRows);
  const std::size_t n = std::min(width_, row.size());
  for (std::size_t i = 0; i < n; ++i) hdc::put_sign(b, i, lane, std::bit_cast<std::uint32_t>(row[i]) >> 31);
  ++rows_;
}

void SignBank::pop_back() noexcept {
  --rows_;
  const std::size_t lane = rows_ % kRows;
  if (lane == 0) {
    bits_.resize(bits_.size() - hdc::sign_block_bytes(width_));
    return;
  }
  hdc::clear_signs(block(rows_ / kRows), width_, lane);
}

void SignBank::dots(const float* q, std::size_t m, float* out, float init, hdc::SignKernel kernel) const {
  const std::uint8_t* bits = bits_.data();
  const std::size_t bytes = hdc::sign_block_bytes(width_);
  hdc::sign_dots_by([bits, bytes](std::size_t b) { return bits + b * bytes; }, (rows_ + kRows - 1) / kRows, rows_, q,
                    std::min(m, width_), init, out, kernel);
}

}  // namespace mhdc::swarm

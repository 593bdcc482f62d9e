#include "swarm/sign_bank.hpp"

#include <algorithm>
#include <bit>

namespace mhdc::swarm {

namespace {
constexpr std::size_t L = SignBank::kLanes;
}  // namespace

void SignBank::push(HvView row) {
  const std::size_t lane = rows_ % kLanes;
  if (lane == 0) bits_.resize(bits_.size() + width_, 0);
  std::uint8_t* block = bits_.data() + (rows_ / kLanes) * width_;
  const std::size_t n = std::min(width_, row.size());
  for (std::size_t i = 0; i < n; ++i)
    block[i] |= static_cast<std::uint8_t>((std::bit_cast<std::uint32_t>(row[i]) >> 31) << lane);
  ++rows_;
}

void SignBank::pop_back() noexcept {
  --rows_;
  const std::size_t lane = rows_ % kLanes;
  std::uint8_t* block = bits_.data() + (rows_ / kLanes) * width_;
  if (lane == 0) {
    bits_.resize(bits_.size() - width_);
    return;
  }
  const auto keep = static_cast<std::uint8_t>(~(1u << lane));
  for (std::size_t i = 0; i < width_; ++i) block[i] &= keep;
}

void SignBank::dots(const float* q, std::size_t m, float* out, float init) const {
  hdc::sign_dots_by([this](std::size_t b) { return bits_.data() + b * width_; }, (rows_ + L - 1) / L, rows_, q,
                    std::min(m, width_), init, out);
}

void SignBank::dots_scalar(const float* q, std::size_t m, float* out, float init) const {
  hdc::sign_dots_by([this](std::size_t b) { return bits_.data() + b * width_; }, (rows_ + L - 1) / L, rows_, q,
                    std::min(m, width_), init, out, /*scalar=*/true);
}

}  // namespace mhdc::swarm

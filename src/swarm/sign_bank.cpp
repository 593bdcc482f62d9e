#include "swarm/sign_bank.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

namespace mhdc::swarm {

namespace {

constexpr std::uint32_t kPlusOne = 0x3F800000u, kMinusOne = 0xBF800000u, kSign = 0x80000000u;

// kMasks[byte][l]: the sign bit when bit l of byte is set.
constexpr auto kMasks = [] {
  std::array<std::array<std::uint32_t, SignBank::kLanes>, 256> t{};
  for (std::size_t b = 0; b < 256; ++b)
    for (std::size_t l = 0; l < SignBank::kLanes; ++l) t[b][l] = ((b >> l) & 1u) ? kSign : 0u;
  return t;
}();

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && !defined(MHDC_NO_CLONES)
#define MHDC_SWARM_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define MHDC_SWARM_CLONES
#endif

#if defined(__GNUC__)
// Eight lanes, one per row; lane-wise adds keep each row's sum in index order.
typedef float F8 __attribute__((vector_size(32)));
typedef std::uint32_t U8 __attribute__((vector_size(32)));

// Inlined into each clone of sign_dots, so it is compiled for that clone's target.
template <std::size_t G>
[[gnu::always_inline]] inline void block_group(const std::uint8_t* const* col, const float* q, std::size_t m, float init,
                        F8* acc) {
  // Broadcast init itself: 0 + init would turn an init of -0.0 into +0.0.
  for (std::size_t g = 0; g < G; ++g)
    for (std::size_t l = 0; l < SignBank::kLanes; ++l) acc[g][l] = init;
  for (std::size_t i = 0; i < m; ++i) {
    std::uint32_t qb;
    std::memcpy(&qb, q + i, 4);
    const U8 qv = U8{} + qb;
    for (std::size_t g = 0; g < G; ++g) {
      U8 mask;
      std::memcpy(&mask, kMasks[col[g][i]].data(), sizeof mask);
      acc[g] += (F8)(qv ^ mask);  // reinterprets the bits
    }
  }
}

MHDC_SWARM_CLONES
void sign_dots(const std::uint8_t* bits, std::size_t width, std::size_t rows, const float* q,
               std::size_t m, float* out, float init) {
  constexpr std::size_t L = SignBank::kLanes, G = 4;  // four blocks side by side hide add latency
  const std::size_t blocks = (rows + L - 1) / L;
  auto store = [&](std::size_t b, const F8& a) {
    float lane[L];
    std::memcpy(lane, &a, sizeof lane);
    const std::size_t n = std::min(L, rows - b * L);
    for (std::size_t l = 0; l < n; ++l) out[b * L + l] = lane[l];
  };
  std::size_t b = 0;
  for (; b + G <= blocks; b += G) {
    const std::uint8_t* col[G];
    for (std::size_t g = 0; g < G; ++g) col[g] = bits + (b + g) * width;
    F8 acc[G];
    block_group<G>(col, q, m, init, acc);
    for (std::size_t g = 0; g < G; ++g) store(b + g, acc[g]);
  }
  for (; b < blocks; ++b) {
    const std::uint8_t* col[1] = {bits + b * width};
    F8 acc[1];
    block_group<1>(col, q, m, init, acc);
    store(b, acc[0]);
  }
}
#endif

}  // namespace

bool is_bipolar(HvView v) noexcept {
  for (float x : v) {
    const std::uint32_t u = std::bit_cast<std::uint32_t>(x);
    if (u != kPlusOne && u != kMinusOne) return false;
  }
  return true;
}

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
#if defined(__GNUC__)
  sign_dots(bits_.data(), width_, rows_, q, std::min(m, width_), out, init);
#else
  dots_scalar(q, m, out, init);
#endif
}

void SignBank::dots_scalar(const float* q, std::size_t m, float* out, float init) const {
  m = std::min(m, width_);
  for (std::size_t r = 0; r < rows_; ++r) {
    const std::uint8_t* block = bits_.data() + (r / kLanes) * width_;
    float s = init;
    for (std::size_t i = 0; i < m; ++i) s += q[i] * (((block[i] >> (r % kLanes)) & 1u) ? -1.0f : 1.0f);
    out[r] = s;
  }
}

}  // namespace mhdc::swarm

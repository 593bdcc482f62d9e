#include "hkvc_graphics/renderer.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

#include "hdc/errors.hpp"

namespace mhdc::hkvc_graphics {

// gen_bool(p) takes T = floor(p * 2^64) in double precision; the photon bias
// compares against that T directly so that one draw is one compare.
static_assert(static_cast<std::uint64_t>(0.6 * 18446744073709551616.0) == kPhotonBiasThreshold);

namespace {

// The draws of a fresh SeededRng::seed_from_u64(seed), taken a whole refill at a
// time. Every generator here is fresh and read only with next_u64, so draw j of a
// refill is always words (2j, 2j + 1) of its 64-word buffer; reading the buffer
// directly keeps the per-draw cost at the block function's own rate instead of
// one out-of-line call per element. The tests hold it to SeededRng draw for draw.
class SeededDraws {
 public:
  static constexpr std::size_t kPerRefill = 32;

  explicit SeededDraws(std::uint64_t seed) {
    // PCG32 run eight times, each word from the advanced state, little-endian.
    std::uint64_t s = seed;
    for (auto& word : key_) {
      s = s * 6364136223846793005ULL + 11634580027462260723ULL;
      const auto xorshifted = static_cast<std::uint32_t>(((s >> 18) ^ s) >> 27);
      word = std::rotr(xorshifted, static_cast<int>(s >> 59));
    }
  }

  // The next 32 draws: draw j is (words[2j + 1] << 32) | words[2j].
  const std::uint32_t* refill() {
    hdc::chacha4(key_, counter_, 0, kDoubleRounds, buf_);
    counter_ += 4;
    return buf_;
  }

 private:
  static constexpr int kDoubleRounds = 6;  // ChaCha12
  std::uint32_t key_[8] = {};
  std::uint64_t counter_ = 0;
  std::uint32_t buf_[64] = {};
};

void fill_bipolar(std::span<std::int8_t> out, std::uint64_t seed) {
  SeededDraws draws(seed);
  for (std::size_t i = 0; i < out.size(); i += SeededDraws::kPerRefill) {
    const std::uint32_t* w = draws.refill();
    const std::size_t n = std::min(SeededDraws::kPerRefill, out.size() - i);
    // The sign is the draw's top bit, bit 31 of its high word.
    for (std::size_t j = 0; j < n; ++j) out[i + j] = (w[2 * j + 1] >> 31) ? std::int8_t{-1} : std::int8_t{1};
  }
}

// Clamp to [-10, 10], scale to [0, 32], truncate with saturation (NaN -> 0), cap at 31.
std::uint32_t axis_bin(float x) {
  float c = x;
  if (c < -10.0f) c = -10.0f;  // a NaN fails both tests and stays NaN
  if (c > 10.0f) c = 10.0f;
  const float q = (c + 10.0f) / 20.0f * 32.0f;
  std::uint32_t bin = 0;
  if (q >= 4294967296.0f) {
    bin = 0xFFFFFFFFu;
  } else if (q > 0.0f) {
    bin = static_cast<std::uint32_t>(q);
  }
  return std::min<std::uint32_t>(bin, 31);
}

}  // namespace

void bind_bytes(const std::int8_t* a, const std::int8_t* b, std::size_t n, std::int8_t* out) {
  // Unsigned bytes make the wrap-around explicit and keep the loop free of
  // sign-extension, so it vectorises to byte multiplies.
  const auto* ua = reinterpret_cast<const std::uint8_t*>(a);
  const auto* ub = reinterpret_cast<const std::uint8_t*>(b);
  auto* uo = reinterpret_cast<std::uint8_t*>(out);
  for (std::size_t i = 0; i < n; ++i) uo[i] = static_cast<std::uint8_t>(ua[i] * ub[i]);
}

void bind_bytes_inplace(std::span<std::int8_t> acc, ByteView b) {
  bind_bytes(acc.data(), b.data(), std::min(acc.size(), b.size()), acc.data());
}

#if defined(__GNUC__) && !defined(__clang__)
__attribute__((optimize("no-tree-vectorize")))
#endif
void bind_bytes_scalar(const std::int8_t* a, const std::int8_t* b, std::size_t n,
                       std::int8_t* out) {
  for (std::size_t i = 0; i < n; ++i) {
    const int p = static_cast<int>(a[i]) * static_cast<int>(b[i]);
    out[i] = static_cast<std::int8_t>(p);  // modular since C++20
  }
}

ByteVector seeded_bipolar(std::uint64_t dim, std::uint64_t seed) {
  ByteVector out(dim);
  fill_bipolar(out, seed);
  return out;
}

ByteVector HKVCRenderer::floats_to_hv(std::uint64_t dim, const Float3& v) {
  ByteVector out(dim);
  // The three per-axis parity flips compose to one: only the parity of the bin
  // sum reaches the output (the axis offsets 0 + 1 + 2 contribute the final +1).
  const std::uint32_t bins = axis_bin(v[0]) + axis_bin(v[1]) + axis_bin(v[2]);
  // i mod 3 repeats every 3 and the parity of floor(i / 32) every 64, so the
  // pattern repeats every 192 elements: build one period, then copy it.
  constexpr std::size_t kPeriod = 192;
  std::array<std::int8_t, kPeriod> period;
  for (std::size_t i = 0; i < kPeriod; ++i) {
    const std::size_t s = (i % 3) + (i >> 5) + bins;
    period[i] = (s & 1) ? std::int8_t{1} : std::int8_t{-1};
  }
  for (std::size_t i = 0; i < out.size(); i += kPeriod) {
    std::memcpy(out.data() + i, period.data(), std::min(kPeriod, out.size() - i));
  }
  return out;
}

ByteVector HKVCRenderer::uint_to_hv(std::uint64_t dim, std::uint32_t value) {
  return seeded_bipolar(dim, value);
}

namespace {

std::array<bool, 32> thermometer(float wavelength) {
  // Over [-10, 10) in steps of 0.625 (exact in binary); a NaN clears all.
  std::array<bool, 32> flag{};
  for (int k = 0; k < 32; ++k) flag[k] = (-10.0f + 0.625f * static_cast<float>(k)) <= wavelength;
  return flag;
}

}  // namespace

namespace detail {

namespace {
// out[j] = hit where draw j passes gen_bool(0.6), else -hit: one block's stretch
// of a refill, with no per-element block test, so it vectorises.
template <hdc::Isa>
[[gnu::always_inline]] inline void bias_stretch_body(const std::uint32_t* w, std::size_t count, std::int8_t hit,
                                                     std::int8_t* out) {
  const auto miss = static_cast<std::int8_t>(-hit);
  // x < threshold for x = (w[2j + 1] << 32) | w[2j], compared as two 32-bit halves.
  constexpr auto kHi = static_cast<std::uint32_t>(kPhotonBiasThreshold >> 32);
  constexpr auto kLo = static_cast<std::uint32_t>(kPhotonBiasThreshold);
  for (std::size_t j = 0; j < count; ++j) {
    const std::uint32_t lo = w[2 * j], hi = w[2 * j + 1];
    out[j] = (hi < kHi) | ((hi == kHi) & (lo < kLo)) ? hit : miss;
  }
}
MHDC_ISA_VARIANTS(void, bias_stretch, (const std::uint32_t* w, std::size_t count, std::int8_t hit, std::int8_t* out),
                  (w, count, hit, out))
}  // namespace

void bias_stretch(const std::uint32_t* w, std::size_t count, std::int8_t hit, std::int8_t* out, hdc::Isa isa) {
  bias_stretch_for(hdc::usable(isa))(w, count, hit, out);
}

}  // namespace detail

ByteVector HKVCRenderer::make_photon(std::uint64_t dim, const Float3& position,
                                     const Float3& direction, float wavelength) {
  if (dim == 0) return {};
  if (dim < 32) throw value_error("attempt to divide by zero");
  // floats_to_hv(position) * floats_to_hv(direction) is one constant: element i
  // of each is +1 exactly when (i mod 3) + floor(i / 32) + bins is odd, so the
  // product's sign depends on the two bin sums' parities alone. (make_photon_scalar
  // binds the two vectors literally; the tests compare both.)
  const std::uint32_t bins = axis_bin(position[0]) + axis_bin(position[1]) + axis_bin(position[2]) +
                             axis_bin(direction[0]) + axis_bin(direction[1]) + axis_bin(direction[2]);
  const std::int8_t pd = (bins & 1) ? std::int8_t{-1} : std::int8_t{1};
  const std::array<bool, 32> flag = thermometer(wavelength);

  // Element i belongs to block min(i / block, 31), so block 31 also takes the
  // dim mod 32 tail; a block's elements take pd where the draw's outcome equals
  // the block's flag, -pd elsewhere.
  ByteVector out(dim);
  const std::size_t n = out.size();
  const std::size_t block = n / 32;
  std::size_t k = 0;
  std::size_t block_end = block;  // first element past block k (block 31 runs to the end)
  SeededDraws draws(std::bit_cast<std::uint32_t>(wavelength));
  for (std::size_t i = 0; i < n; i += SeededDraws::kPerRefill) {
    const std::uint32_t* w = draws.refill();
    const std::size_t m = std::min(SeededDraws::kPerRefill, n - i);
    for (std::size_t j = 0; j < m;) {
      if (i + j == block_end && k < 31) {
        ++k;
        block_end += block;
      }
      const std::size_t stop = k < 31 ? std::min(m, block_end - i) : m;
      detail::bias_stretch(w + 2 * j, stop - j, flag[k] ? pd : static_cast<std::int8_t>(-pd), out.data() + i + j);
      j = stop;
    }
  }
  return out;
}

ByteVector HKVCRenderer::make_photon_scalar(std::uint64_t dim, const Float3& position, const Float3& direction,
                                            float wavelength) {
  if (dim == 0) return {};
  if (dim < 32) throw value_error("attempt to divide by zero");
  ByteVector out = floats_to_hv(dim, position);
  const ByteVector d = floats_to_hv(dim, direction);
  bind_bytes_inplace(out, d);

  const std::array<bool, 32> flag = thermometer(wavelength);

  // Bias W is bound into PD as it is drawn: element i belongs to block
  // min(i / block, 31), so block 31 also takes the dim mod 32 tail.
  const std::size_t n = out.size();
  const std::size_t block = n / 32;
  std::size_t k = 0;
  std::size_t block_end = block;  // first element past block k
  SeededDraws draws(std::bit_cast<std::uint32_t>(wavelength));
  for (std::size_t i = 0; i < n; i += SeededDraws::kPerRefill) {
    const std::uint32_t* w = draws.refill();
    const std::size_t m = std::min(SeededDraws::kPerRefill, n - i);
    for (std::size_t j = 0; j < m; ++j) {
      if (i + j == block_end && k < 31) {
        ++k;
        block_end += block;
      }
      const std::uint64_t x = (std::uint64_t{w[2 * j + 1]} << 32) | w[2 * j];
      const bool b = x < kPhotonBiasThreshold;  // gen_bool(0.6)
      const std::int8_t bias = (b == flag[k]) ? std::int8_t{1} : std::int8_t{-1};
      out[i + j] = static_cast<std::int8_t>(bias * out[i + j]);
    }
  }
  return out;
}

ByteVector RoleHV::role_vec(std::uint64_t dim, std::uint8_t tag, hdc::SeededRng& generator) {
  ByteVector out(dim);
  const std::uint64_t x = generator.next_u64();
  fill_bipolar(out, x ^ static_cast<std::uint64_t>(tag));
  return out;
}

RoleHV RoleHV::build(std::uint64_t dim) {
  RoleHV table;
  for (auto& r : table.roles_) r.resize(dim);
  auto generator = hdc::SeededRng::from_seed(kRoleSeed);
  for (std::size_t t = 0; t < kRoleTags.size(); ++t) {
    const std::uint64_t x = generator.next_u64();
    fill_bipolar(table.roles_[t], x ^ static_cast<std::uint64_t>(kRoleTags[t]));
  }
  return table;
}

const ByteVector& RoleHV::get(std::uint8_t tag) const {
  for (std::size_t t = 0; t < kRoleTags.size(); ++t) {
    if (kRoleTags[t] == tag) return roles_[t];
  }
  throw value_error("unknown role tag");
}

}  // namespace mhdc::hkvc_graphics

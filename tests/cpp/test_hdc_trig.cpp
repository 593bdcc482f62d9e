// The batch cosine/sine against the platform's functions, for each instruction set.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <vector>

#include "hdc/trig.hpp"

namespace {
using namespace mhdc;
constexpr float kInf = INFINITY, kNan = NAN;

// The 32-bit pattern; unless `exact`, every NaN alike.
std::uint32_t key(float x, bool exact = false) {
  return std::isnan(x) && !exact ? 0x7fc00000u : std::bit_cast<std::uint32_t>(x);
}

// Every cosine and sine as the platform's, from the batch forms and each lane width the CPU runs.
void expect_platform(const std::vector<float>& xs) {
  const std::size_t n = xs.size();
  std::vector<float> c(n), s(n), c1(n);
  for (hdc::Isa isa : hdc::kAllIsas) {
    hdc::cos_sin_n(xs.data(), n, c.data(), s.data(), isa);
    hdc::cos_n(xs.data(), n, c1.data(), isa);
    for (std::size_t k = 0; k < n; ++k)
      ASSERT_TRUE(key(c[k]) == key(std::cos(xs[k])) && key(s[k]) == key(std::sin(xs[k])) && key(c1[k]) == key(c[k]))
          << hdc::isa_name(isa) << std::hexfloat << xs[k];
  }
}

TEST(Phasor, MatchesThePlatformEverywhere) {
  // A lane evaluation that disagreed with libm would be dropped silently: here it must run.
  EXPECT_TRUE(!hdc::isa_available(hdc::Isa::avx2) || hdc::batch_trig_vectorised());
  std::vector<float> xs, centres = {0x1p-12f, 0.75f, 0.785398185f, 120.0f, 119.99999f};  // branch edges
  for (std::uint32_t b = 0; b <= key(4.0f * 3.14159265f); b += 127) {  // every 127th float, both signs
    xs.insert(xs.end(), {std::bit_cast<float>(b), -std::bit_cast<float>(b)});
    if (xs.size() >= (1u << 20)) expect_platform(xs), xs.clear();
  }
  for (int k = 1; k <= 80; ++k) centres.push_back(static_cast<float>(k * 0.78539816339744831));  // k pi/4
  for (float c : centres)
    for (std::uint32_t d = key(c) - 3000; d <= key(c) + 3000; ++d)
      xs.insert(xs.end(), {std::bit_cast<float>(d), -std::bit_cast<float>(d)});
  expect_platform(xs);
  const std::vector<float> special = {0.0f, -0.0f, 1e-45f, -1e-45f, 1e-38f, 3e-4f, 1e5f, -1e5f, 3e38f,
                                      kInf, -kInf, kNan, 6.2831855f, 12.566371f, 2.0f, -2.0f, 0.5f};
  for (std::size_t n = 0; n <= special.size(); ++n) expect_platform({special.begin(), special.begin() + n});
}
}  // namespace

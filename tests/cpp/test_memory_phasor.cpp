// The batch cosine/sine must give, bit for bit, what the platform's scalar
// cosf/sinf give: over a dense sweep of [-4pi, 4pi], every float near each
// branch threshold and quadrant boundary, and special values.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "memory/phasor.hpp"

namespace {

using mhdc::memory::cos_n;
using mhdc::memory::cos_sin_n;
using mhdc::memory::cos_sin_n_lanes;
using mhdc::memory::TrigLanes;

std::uint32_t bits(float x) { return std::bit_cast<std::uint32_t>(x); }

// Compares batch and scalar results for xs; reports the first few mismatches.
void expect_identical(const std::vector<float>& xs) {
  std::vector<float> c(xs.size()), s(xs.size()), c2(xs.size());
  cos_sin_n(xs.data(), xs.size(), c.data(), s.data());
  cos_n(xs.data(), xs.size(), c2.data());
  // Each lane width this CPU runs, not only the one the batch forms chose.
  std::vector<float> c4(xs.size()), s4(xs.size()), c8(xs.size()), s8(xs.size());
  const bool four = cos_sin_n_lanes(TrigLanes::four, xs.data(), xs.size(), c4.data(), s4.data());
  const bool eight = cos_sin_n_lanes(TrigLanes::eight, xs.data(), xs.size(), c8.data(), s8.data());
  int bad = 0;
  for (std::size_t k = 0; k < xs.size() && bad < 5; ++k) {
    const float x = xs[k];
    const bool ok = bits(c[k]) == bits(std::cos(x)) && bits(s[k]) == bits(std::sin(x)) && bits(c2[k]) == bits(c[k]) &&
                    (!four || (bits(c4[k]) == bits(c[k]) && bits(s4[k]) == bits(s[k]))) &&
                    (!eight || (bits(c8[k]) == bits(c[k]) && bits(s8[k]) == bits(s[k])));
    if (!ok) {
      ++bad;
      ADD_FAILURE() << "x = " << std::hexfloat << x << " cos " << c[k] << " vs " << std::cos(x) << " sin " << s[k]
                    << " vs " << std::sin(x);
    }
  }
}

TEST(Phasor, DenseSweepOverPlusMinusFourPi) {
  // Every 127th float from 0 to 4pi, both signs: about 17 million arguments (a one-off sweep of every float in [-4pi, 4pi] agreed too).
  const std::uint32_t end = bits(4.0f * 3.14159265f) + 1;
  std::vector<float> xs;
  xs.reserve(1 << 20);
  for (std::uint32_t b = 0; b < end; b += 127) {
    xs.push_back(std::bit_cast<float>(b));
    xs.push_back(-std::bit_cast<float>(b));
    if (xs.size() >= (1u << 20)) {
      expect_identical(xs);
      xs.clear();
    }
  }
  expect_identical(xs);
}

TEST(Phasor, EveryFloatNearBranchesAndQuadrantBoundaries) {
  std::vector<float> centres = {0x1p-12f, 0.75f, 0.785398185f, 120.0f, 119.99999f};
  for (int k = 1; k <= 80; ++k) centres.push_back(static_cast<float>(k * 0.78539816339744831));  // k pi/4
  std::vector<float> xs;
  for (float c : centres)
    for (int d = -3000; d <= 3000; ++d) {
      const float x = std::bit_cast<float>(bits(c) + static_cast<std::uint32_t>(d));
      xs.push_back(x);
      xs.push_back(-x);
    }
  expect_identical(xs);
}

TEST(Phasor, SpecialValuesAndOddLengths) {
  const float inf = std::numeric_limits<float>::infinity();
  std::vector<float> xs = {0.0f, -0.0f, 1e-45f, -1e-45f, 1e-38f, 1e-30f, 3e-4f, 1e5f, -1e5f, 3e38f,
                           inf, -inf, std::numeric_limits<float>::quiet_NaN(), 6.2831855f, 12.566371f};
  for (std::size_t n = 0; n <= xs.size(); ++n) {
    std::vector<float> part(xs.begin(), xs.begin() + static_cast<std::ptrdiff_t>(n));
    std::vector<float> c(n), s(n);
    cos_sin_n(part.data(), n, c.data(), s.data());
    for (std::size_t k = 0; k < n; ++k) {
      const float x = part[k];
      if (std::isnan(std::cos(x))) {
        EXPECT_TRUE(std::isnan(c[k]) && std::isnan(s[k]));
      } else {
        EXPECT_EQ(bits(c[k]), bits(std::cos(x))) << x;
        EXPECT_EQ(bits(s[k]), bits(std::sin(x))) << x;
      }
    }
  }
}

TEST(Phasor, ReportsWhichEvaluationRuns) {
  // Informational: on x86-64 with AVX2 and FMA the lane evaluation should be in use.
  RecordProperty("vectorised", mhdc::memory::batch_trig_vectorised() ? "yes" : "no");
  float x = 1.0f, c = 0.0f, s = 0.0f;
  RecordProperty("four lanes", cos_sin_n_lanes(TrigLanes::four, &x, 1, &c, &s) ? "yes" : "no");
  RecordProperty("eight lanes", cos_sin_n_lanes(TrigLanes::eight, &x, 1, &c, &s) ? "yes" : "no");
  SUCCEED();
}

}  // namespace

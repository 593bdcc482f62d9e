// Fixed-point rendering of 32-bit floats for message texts.
#include <gtest/gtest.h>

#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <limits>
#include <random>
#include <string>

#include "hdc/format.hpp"

using mhdc::hdc::format_fixed;

namespace {
struct Case {
  float x;
  int decimals;
  const char* text;
};
const float kInf = std::numeric_limits<float>::infinity();
const Case kCases[] = {
    {0.125f, 2, "0.12"},  // exact tie, even digit
    {0.375f, 2, "0.38"},
    {0.625f, 2, "0.62"},
    {0.25f, 2, "0.25"},
    {1.0f, 2, "1.00"},
    {0.0f, 2, "0.00"},
    {0.7f, 3, "0.700"},   // 0.699999988...
    {12.0f, 3, "12.000"},
    {0.0005f, 3, "0.001"},  // 0.000500000024 is above the tie
    {0.0625f, 3, "0.062"},
    {2.5f, 0, "2"},
    {3.5f, 0, "4"},
    {0.3f, 2, "0.30"},
    {0.995f, 2, "1.00"},   // 0.995000004768..., above the tie
    {0.985f, 2, "0.99"},   // 0.985000014305..., also above
    {0.015f, 3, "0.015"},
    {0.015f, 2, "0.01"},   // 0.014999999664..., below the tie
    {-0.0f, 2, "-0.00"},
    {-0.001f, 2, "-0.00"},
    {-0.005f, 2, "-0.00"},  // -0.004999999888...
    {-0.015f, 2, "-0.01"},
    {-1.5f, 3, "-1.500"},
    {1e30f, 2, "1000000015047466219876688855040.00"},
    {FLT_MAX, 2, "340282346638528859811704183484516925440.00"},
    {16777217.0f, 1, "16777216.0"},
    {FLT_MIN, 3, "0.000"},
    {1e-45f, 2, "0.00"},
    {-1e-45f, 3, "-0.000"},
    {kInf, 2, "inf"},
    {-kInf, 3, "-inf"},
    {std::numeric_limits<float>::quiet_NaN(), 2, "NaN"},
    {-std::numeric_limits<float>::quiet_NaN(), 3, "NaN"},
};
}  // namespace

TEST(FormatFixed, Table) {
  for (const auto& c : kCases) {
    char ref[128];
    std::snprintf(ref, sizeof ref, "%.*f", c.decimals, static_cast<double>(c.x));
    EXPECT_EQ(format_fixed(c.x, c.decimals), c.text) << c.x << " (libc: " << ref << ')';
  }
}

TEST(FormatFixed, SubnormalsExactly) {
  // The smallest subnormal, 2^-149, written out in full.
  const std::string s = format_fixed(0x1p-149f, 160);
  EXPECT_EQ(s.substr(0, 47), "0.000000000000000000000000000000000000000000001");
  EXPECT_EQ(s.substr(47, 8), "40129846");
  EXPECT_EQ(s.size(), 162u);
  EXPECT_EQ(format_fixed(0x1p-149f, 45), "0.000000000000000000000000000000000000000000001");
  EXPECT_EQ(format_fixed(0x1p-149f, 44), "0.00000000000000000000000000000000000000000000");
}

// glibc's printf renders the exact binary value with round-half-even; agree with
// it over random bit patterns and decimals 0..9.
TEST(FormatFixed, AgreesWithExactLibcRenderingOnRandomFloats) {
  std::mt19937 g(2024);
  for (int i = 0; i < 5000; ++i) {
    const float x = std::bit_cast<float>(static_cast<std::uint32_t>(g()));
    if (!std::isfinite(x)) continue;
    const int d = static_cast<int>(g() % 10);
    char ref[128];
    std::snprintf(ref, sizeof ref, "%.*f", d, static_cast<double>(x));
    ASSERT_EQ(format_fixed(x, d), ref) << std::hexfloat << x << ' ' << d;
  }
  // Ties: k/8 and k/16 with two and three decimals.
  for (int k = -80; k <= 80; ++k) {
    for (float x : {k / 8.0f, k / 16.0f, k / 32.0f + 1000.0f}) {
      for (int d : {1, 2, 3}) {
        char ref[64];
        std::snprintf(ref, sizeof ref, "%.*f", d, static_cast<double>(x));
        ASSERT_EQ(format_fixed(x, d), ref) << x << ' ' << d;
      }
    }
  }
}

TEST(FormatFixed, NeverExponentForm) {
  for (float x : {1e38f, 3e-38f, 1e-10f, 123456789.0f}) {
    const std::string s = format_fixed(x, 2);
    EXPECT_EQ(s.find_first_of("eE"), std::string::npos) << s;
  }
  EXPECT_EQ(format_fixed(1e10f, 0), "10000000000");
  EXPECT_EQ(format_fixed(5.0f, -1), "5");  // negative decimals behave as 0
}

// The exact-sum shortcut of hdc::dot and the scan kernels, against the plain
// index-order loop, bit for bit: bipolar, small-integer and general inputs, the
// lengths around the 32-element groups and 1024-element checks, sums at the 2^24
// boundary (where order starts to matter), all-zero products and both zeros as init.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "hdc/kernels.hpp"

using namespace mhdc;
using namespace mhdc::hdc;

namespace {

std::uint32_t bits(float x) { return std::bit_cast<std::uint32_t>(x); }
// NaN payloads may depend on operand order; everything else must agree exactly.
std::uint32_t canon(float x) { return std::isnan(x) ? 0x7fc00000u : bits(x); }

float literal(const float* a, const float* b, std::size_t n, float init) {
  float s = init;
  for (std::size_t i = 0; i < n; ++i) s = s + a[i] * b[i];
  return s;
}

enum class Kind { bipolar, signed_zero_bipolar, small_int, general, bipolar_one_general };

std::vector<float> make(std::mt19937& g, std::size_t n, Kind kind) {
  std::vector<float> v(n);
  for (auto& x : v) {
    switch (kind) {
      case Kind::bipolar:
      case Kind::bipolar_one_general: x = (g() & 1) ? 1.0f : -1.0f; break;
      case Kind::signed_zero_bipolar: {
        static const float vals[] = {1.0f, -1.0f, 0.0f, -0.0f};
        x = vals[g() % 4];
        break;
      }
      case Kind::small_int: x = static_cast<float>(static_cast<int>(g() % 17) - 8); break;
      case Kind::general: x = std::uniform_real_distribution<float>(-1.0f, 1.0f)(g); break;
    }
  }
  if (kind == Kind::bipolar_one_general && n != 0) v[g() % n] = 0.375f;
  return v;
}

const std::size_t kLengths[] = {0,    1,    2,    31,   32,   33,   63,    64,   65,   96,   1023,
                                1024, 1025, 1055, 1056, 1057, 2047, 2048, 2049, 3100, 10000, 10031};
const float kInits[] = {0.0f, -0.0f, 3.0f, -5.0f, 0.5f, 16777215.0f, 16777216.0f,
                        std::numeric_limits<float>::infinity(), std::numeric_limits<float>::quiet_NaN()};

}  // namespace

TEST(ExactDot, MatchesIndexOrderOnEveryKindLengthAndInit) {
  std::mt19937 g(101);
  for (Kind kind : {Kind::bipolar, Kind::signed_zero_bipolar, Kind::small_int, Kind::general,
                    Kind::bipolar_one_general}) {
    for (std::size_t n : kLengths) {
      const auto a = make(g, n, kind), b = make(g, n, kind);
      for (float init : kInits) {
        const float want = literal(a.data(), b.data(), n, init);
        ASSERT_EQ(canon(dot(a.data(), b.data(), n, init)), canon(want))
            << static_cast<int>(kind) << ' ' << n << ' ' << init;
        ASSERT_EQ(canon(dot_scalar(a.data(), b.data(), n, init)), canon(want));
      }
    }
  }
}

TEST(ExactDot, ZeroSumsKeepTheirSign) {
  // Every product -0.0: -0.0 only with init -0.0; a single +0.0 product anywhere
  // (inside the checked run or in the tail) makes the sum +0.0.
  for (std::size_t n : {32u, 33u, 64u, 1024u, 1100u, 5000u}) {
    std::vector<float> a(n, 1.0f), b(n, -0.0f);
    EXPECT_EQ(bits(dot(a.data(), b.data(), n, -0.0f)), bits(-0.0f)) << n;
    EXPECT_EQ(bits(dot(a.data(), b.data(), n, 0.0f)), bits(0.0f)) << n;
    for (std::size_t p : {std::size_t{0}, n / 2, n - 1}) {
      b[p] = 0.0f;
      EXPECT_EQ(bits(dot(a.data(), b.data(), n, -0.0f)), bits(0.0f)) << n << ' ' << p;
      b[p] = -0.0f;
    }
  }
  // Cancelling bipolar products: x + (-x) is +0.0 in every order, whatever the init's zero.
  std::mt19937 g(5);
  for (std::size_t n : {32u, 64u, 2048u, 10000u}) {
    std::vector<float> a(n), b(n, 1.0f);
    for (std::size_t i = 0; i < n; ++i) a[i] = (i % 2) ? -1.0f : 1.0f;
    std::shuffle(a.begin(), a.end(), g);
    for (float init : {0.0f, -0.0f}) {
      EXPECT_EQ(bits(dot(a.data(), b.data(), n, init)), bits(literal(a.data(), b.data(), n, init)));
      EXPECT_EQ(bits(dot(a.data(), b.data(), n, init)), bits(0.0f));
    }
  }
}

TEST(ExactDot, OrderSensitiveSumsAbove2To24FallBack) {
  // 4096 products of 4096 reach 2^24; after that a product of 1 is lost to
  // round-half-even in index order (2^24 + 1 -> 2^24), so any reordering shows.
  for (std::size_t ones : {1u, 2u, 31u, 64u, 2000u}) {
    for (bool ones_first : {false, true}) {
      std::vector<float> a, b;
      auto push = [&](float x, std::size_t count) {
        a.insert(a.end(), count, x);
        b.insert(b.end(), count, x);
      };
      if (ones_first) push(1.0f, ones);
      push(64.0f, 4096);
      if (!ones_first) push(1.0f, ones);
      for (float init : {0.0f, -0.0f, 1.0f}) {
        const float want = literal(a.data(), b.data(), a.size(), init);
        EXPECT_EQ(bits(dot(a.data(), b.data(), a.size(), init)), bits(want)) << ones << ones_first;
      }
    }
  }
  // Just below the bound every order agrees; just above, the init alone can tip it.
  std::vector<float> a(1024, 16383.0f), b(1024, 1.0f);
  EXPECT_EQ(dot(a.data(), b.data(), 1024, 0.0f), 16383.0f * 1024.0f);
  std::vector<float> c(64, 1.0f);
  for (float init : {16777216.0f - 64.0f, 16777216.0f - 63.0f, 16777215.0f, -16777215.0f})
    EXPECT_EQ(bits(dot(c.data(), c.data(), 64, init)), bits(literal(c.data(), c.data(), 64, init))) << init;
}

TEST(ExactDot, NonIntegerAndSpecialProductsAnywhere) {
  // One awkward product at each position: before, inside and after a check chunk.
  const float specials[] = {0.5f, 1e-45f, -1e-45f, 1.17549435e-38f, 8388607.5f, 3e38f,
                            std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity(),
                            std::numeric_limits<float>::quiet_NaN(), 16777216.0f, 8388609.0f};
  std::mt19937 g(7);
  const std::size_t n = 2100;
  const auto base_a = make(g, n, Kind::bipolar), b = make(g, n, Kind::bipolar);
  for (float s : specials) {
    for (std::size_t p : {0u, 31u, 32u, 1000u, 1023u, 1024u, 2047u, 2048u, 2080u, 2099u}) {
      auto a = base_a;
      a[p] = s;
      for (float init : {0.0f, -0.0f}) {
        const float want = literal(a.data(), b.data(), n, init);
        ASSERT_EQ(canon(dot(a.data(), b.data(), n, init)), canon(want)) << s << ' ' << p;
      }
    }
  }
}

TEST(ExactDot, PrefixContract) {
  std::mt19937 g(9);
  const auto a = make(g, 10000, Kind::bipolar), b = make(g, 10000, Kind::bipolar);
  float s = 1.0f;
  EXPECT_EQ(dot_exact_prefix(a.data(), b.data(), 10000, -0.0f, &s), 9984u);  // whole groups only
  EXPECT_EQ(bits(s), bits(literal(a.data(), b.data(), 9984, -0.0f)));
  EXPECT_EQ(dot_exact_prefix(a.data(), b.data(), 31, 0.0f, &s), 0u);
  EXPECT_EQ(bits(s), bits(0.0f));
  EXPECT_EQ(dot_exact_prefix(a.data(), b.data(), 10000, 0.25f, &s), 0u);  // the init is not an integer
  EXPECT_EQ(s, 0.25f);
  // A failure stops the run at the start of its chunk; the prefix is the sequential one.
  for (std::size_t p : {0u, 500u, 1024u, 5000u, 9990u}) {
    auto c = a;
    c[p] = 0.1f;
    const std::size_t k = dot_exact_prefix(c.data(), b.data(), 10000, -0.0f, &s);
    EXPECT_EQ(k % 32, 0u);
    EXPECT_LE(k, p) << p;
    EXPECT_GT(k + 1024, p - p % 32) << p;
    EXPECT_EQ(bits(s), bits(literal(c.data(), b.data(), k, -0.0f))) << p;
  }
}

TEST(ExactDot, DotsRowsMixOfExactAndGeneralRows) {
  std::mt19937 g(21);
  for (std::size_t m : {0u, 5u, 31u, 32u, 33u, 100u, 1029u}) {
    for (std::size_t k : {0u, 1u, 7u, 8u, 9u, 17u, 30u}) {
      const std::size_t stride = m + 3;
      std::vector<float> rows(k * stride + 1);
      for (std::size_t r = 0; r < k; ++r) {
        // Rows alternate in runs: bipolar, general, bipolar with one fraction, integers.
        const Kind kinds[] = {Kind::bipolar, Kind::general, Kind::bipolar_one_general, Kind::small_int,
                              Kind::signed_zero_bipolar};
        const auto row = make(g, m, kinds[(r * 7 / 3) % 5]);
        std::copy(row.begin(), row.end(), rows.begin() + static_cast<std::ptrdiff_t>(r * stride));
      }
      const auto q = make(g, m, Kind::bipolar);
      for (float init : {0.0f, -0.0f}) {
        std::vector<float> fast(k + 1, 9.0f), slow(k + 1, 9.0f);
        dots_rows(q.data(), rows.data(), k, stride, m, fast.data(), init);
        dots_rows_scalar(q.data(), rows.data(), k, stride, m, slow.data(), init);
        EXPECT_EQ(fast[k], 9.0f) << "wrote past the rows";
        for (std::size_t r = 0; r < k; ++r) {
          ASSERT_EQ(canon(fast[r]), canon(slow[r])) << m << ' ' << k << ' ' << r;
          ASSERT_EQ(canon(slow[r]), canon(literal(q.data(), rows.data() + r * stride, m, init)));
        }
      }
    }
  }
}

TEST(ExactDot, RowBankEveryBlockGrouping) {
  // 1 .. 9 blocks: the four-, two- and one-block paths in every combination.
  std::mt19937 g(33);
  for (std::size_t rows = 1; rows <= 72; rows += (rows < 20 ? 1 : 5)) {
    for (Kind kind : {Kind::bipolar, Kind::general, Kind::signed_zero_bipolar}) {
      const std::size_t width = 37;
      RowBank bank(width);
      std::vector<std::vector<float>> kept;
      for (std::size_t r = 0; r < rows; ++r) {
        kept.push_back(make(g, width, kind));
        bank.push(kept.back());
      }
      const auto q = make(g, width, kind);
      for (float init : {0.0f, -0.0f}) {
        std::vector<float> fast(rows + 1, 5.0f), slow(rows);
        bank.dots(q.data(), width, fast.data(), init);
        bank.dots_scalar(q.data(), width, slow.data(), init);
        EXPECT_EQ(fast[rows], 5.0f);
        for (std::size_t r = 0; r < rows; ++r) {
          ASSERT_EQ(canon(fast[r]), canon(slow[r])) << rows << ' ' << r;
          ASSERT_EQ(canon(slow[r]), canon(literal(q.data(), kept[r].data(), width, init)));
        }
      }
    }
  }
}

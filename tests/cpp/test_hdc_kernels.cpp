// The vectorised reductions against their scalar twins (bit for bit), and the
// rotation and Hebbian update against literal transcriptions of their definitions.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "hdc/algebra.hpp"
#include "hdc/kernels.hpp"

using namespace mhdc;
using namespace mhdc::hdc;

namespace {

// Values that stress rounding and propagation: ordinary, signed zeros, subnormals,
// huge, infinities and NaN, mixed with bipolar entries.
float awkward(std::mt19937& g) {
  static const float special[] = {0.0f, -0.0f, 1.0f, -1.0f, 1e-45f, -1e-45f, 1.17549435e-38f,
                                  3e38f, -3e38f, std::numeric_limits<float>::infinity(),
                                  -std::numeric_limits<float>::infinity(),
                                  std::numeric_limits<float>::quiet_NaN(), 0.1f, 16777217.0f};
  switch (g() % 4) {
    case 0: return special[g() % std::size(special)];
    case 1: return (g() & 1) ? 1.0f : -1.0f;
    default: return std::uniform_real_distribution<float>(-4.0f, 4.0f)(g);
  }
}

std::vector<float> vec(std::mt19937& g, std::size_t n, bool special) {
  std::vector<float> v(n);
  for (auto& x : v) x = special ? awkward(g) : std::uniform_real_distribution<float>(-1.0f, 1.0f)(g);
  return v;
}

// Bit pattern, with every NaN collapsed to one: which NaN an add of two NaN
// operands returns depends on operand order, which the compiler may commute;
// NaN-ness itself, signed zeros and every finite bit must agree.
std::uint32_t bits(float x) { return std::isnan(x) ? 0x7fc00000u : std::bit_cast<std::uint32_t>(x); }

float literal_dot(const float* q, const float* r, std::size_t m, float init) {
  float s = init;
  for (std::size_t i = 0; i < m; ++i) s = s + q[i] * r[i];
  return s;
}

}  // namespace

TEST(Kernels, RowBankDotsMatchScalarBitForBit) {
  std::mt19937 g(11);
  for (std::size_t rows = 0; rows <= 40; ++rows) {
    for (std::size_t width : {0u, 1u, 3u, 7u, 8u, 9u, 16u, 31u, 64u, 70u}) {
      for (int variant = 0; variant < 4; ++variant) {
        const bool special = variant & 1;
        const float init = (variant & 2) ? -0.0f : 0.0f;
        RowBank bank(width);
        std::vector<std::vector<float>> kept;
        for (std::size_t r = 0; r < rows; ++r) {
          // Rows shorter or longer than the width are padded with 0 or cut.
          auto row = vec(g, width + (r % 3) - 1 + (width == 0), special);
          bank.push(row);
          row.resize(width, 0.0f);
          kept.push_back(row);
        }
        ASSERT_EQ(bank.size(), rows);
        const auto q = vec(g, width + 5, special);
        for (std::size_t m : {width, width / 2, width + 5}) {
          std::vector<float> fast(rows + 1, 42.0f), slow(rows + 1, 42.0f);
          bank.dots(q.data(), m, fast.data(), init);
          bank.dots_scalar(q.data(), m, slow.data(), init);
          EXPECT_EQ(fast[rows], 42.0f) << "wrote past the rows";
          for (std::size_t r = 0; r < rows; ++r) {
            const float want = literal_dot(q.data(), kept[r].data(), std::min(m, width), init);
            ASSERT_EQ(bits(fast[r]), bits(slow[r])) << rows << ' ' << width << ' ' << m << ' ' << r;
            ASSERT_EQ(bits(slow[r]), bits(want)) << rows << ' ' << width << ' ' << m << ' ' << r;
          }
        }
      }
    }
  }
}

TEST(Kernels, DotsRowsMatchScalarBitForBit) {
  std::mt19937 g(12);
  for (std::size_t k = 0; k <= 40; ++k) {
    for (std::size_t m : {0u, 1u, 5u, 8u, 17u, 64u, 70u}) {
      for (int variant = 0; variant < 4; ++variant) {
        const bool special = variant & 1;
        const float init = (variant & 2) ? -0.0f : 0.0f;
        const std::size_t stride = m + (k % 3);
        const auto rows = vec(g, k * stride + 1, special);
        const auto q = vec(g, m, special);
        std::vector<float> fast(k + 1, 7.0f), slow(k + 1, 7.0f);
        dots_rows(q.data(), rows.data(), k, stride, m, fast.data(), init);
        dots_rows_scalar(q.data(), rows.data(), k, stride, m, slow.data(), init);
        EXPECT_EQ(fast[k], 7.0f);
        for (std::size_t r = 0; r < k; ++r) {
          ASSERT_EQ(bits(fast[r]), bits(slow[r])) << k << ' ' << m << ' ' << r;
          ASSERT_EQ(bits(slow[r]), bits(literal_dot(q.data(), rows.data() + r * stride, m, init)));
        }
      }
    }
  }
}

TEST(Kernels, SignedZeroInit) {
  const float q[2] = {1.0f, -1.0f}, r[2] = {-0.0f, 0.0f};
  EXPECT_EQ(bits(dot(q, r, 2, -0.0f)), bits(-0.0f));  // every product is -0.0
  EXPECT_EQ(bits(dot(q, r, 2, 0.0f)), bits(0.0f));
  RowBank bank(2);
  bank.push(HvView(r, 2));
  float out = 1.0f;
  bank.dots(q, 2, &out, -0.0f);
  EXPECT_EQ(bits(out), bits(-0.0f));
}

TEST(Algebra, PermuteMatchesDefinition) {
  std::mt19937 g(13);
  const std::int32_t imin = std::numeric_limits<std::int32_t>::min();
  const std::int32_t imax = std::numeric_limits<std::int32_t>::max();
  for (std::int32_t d = 0; d <= 70; ++d) {
    const auto v = vec(g, static_cast<std::size_t>(d), true);
    for (std::int32_t n : {0, 1, -1, 2, -5, 7, d, -d, d + 1, -d - 1, 3 * d - 2, imin, imax, imin + 1,
                           static_cast<std::int32_t>(g())}) {
      const Hypervector out = permute(v, n);
      ASSERT_EQ(out.size(), v.size());
      if (d == 0) continue;
      const std::int32_t k = ((n % d) + d) % d;  // 32-bit arithmetic, as defined
      Hypervector want(v.size());
      for (std::int32_t i = 0; i < d; ++i) want[(i + k) % d] = v[i];
      for (std::int32_t i = 0; i < d; ++i) ASSERT_EQ(bits(out[i]), bits(want[i])) << d << ' ' << n << ' ' << i;
    }
  }
  const std::vector<float> abcd = {1, 2, 3, 4};
  EXPECT_EQ(permute(abcd, 1), (Hypervector{4, 1, 2, 3}));
  EXPECT_EQ(permute(abcd, -1), (Hypervector{2, 3, 4, 1}));
  EXPECT_EQ(permute(abcd, -5), permute(abcd, 3));
}

namespace {

// The double loop exactly as defined, with the bound i * dim + j < len(W) taken
// over the integers (no wrap-around).
Hypervector literal_hebbian(HvView w, HvView pre, HvView post, float lr, std::uint64_t dim) {
  Hypervector out(w.begin(), w.end());
  const std::uint64_t rows = std::min<std::uint64_t>(pre.size(), dim);
  const std::uint64_t cols = std::min<std::uint64_t>(post.size(), dim);
  for (std::uint64_t i = 0; i < rows; ++i) {
    const float a = pre[i] * lr;
    for (std::uint64_t j = 0; j < cols; ++j) {
      if (!(j == i || (i + j) % 7 == 0)) continue;
      const unsigned __int128 idx = static_cast<unsigned __int128>(i) * dim + j;
      if (idx >= out.size()) continue;
      out[static_cast<std::size_t>(idx)] = post[j] * a + out[static_cast<std::size_t>(idx)];
    }
  }
  return out;
}

}  // namespace

TEST(Algebra, HebbianMatchesLiteralDoubleLoop) {
  std::mt19937 g(14);
  for (std::uint64_t dim = 0; dim <= 16; ++dim) {
    for (std::size_t wlen : {std::size_t{0}, std::size_t{1}, static_cast<std::size_t>(dim * dim / 2),
                             static_cast<std::size_t>(dim * dim), static_cast<std::size_t>(dim * dim + 9)}) {
      for (int t = 0; t < 4; ++t) {
        const auto w = vec(g, wlen, t & 1);
        const auto pre = vec(g, dim + (t % 3) - 1 + (dim == 0), t & 1);
        const auto post = vec(g, dim + 2 - (t % 3) * 2 + 2, t & 1);
        const float lr = t == 3 ? -0.0f : std::uniform_real_distribution<float>(-1.0f, 1.0f)(g);
        const Hypervector got = hebbian(w, pre, post, lr, dim);
        const Hypervector want = literal_hebbian(w, pre, post, lr, dim);
        ASSERT_EQ(got.size(), want.size());
        for (std::size_t i = 0; i < got.size(); ++i)
          ASSERT_EQ(bits(got[i]), bits(want[i])) << dim << ' ' << wlen << ' ' << t << ' ' << i;
      }
    }
  }
  // Dimensions far beyond the weights: only row 0 (and possibly row 1) can land inside W.
  for (std::uint64_t dim : {std::uint64_t{1} << 32, (std::uint64_t{1} << 63) + 5, ~std::uint64_t{0}, std::uint64_t{20}}) {
    const auto w = vec(g, 30, false);
    const auto pre = vec(g, 9, false), post = vec(g, 40, false);
    const Hypervector got = hebbian(w, pre, post, 0.5f, dim);
    const Hypervector want = literal_hebbian(w, pre, post, 0.5f, dim);
    for (std::size_t i = 0; i < got.size(); ++i) ASSERT_EQ(bits(got[i]), bits(want[i])) << dim << ' ' << i;
  }
  // The documented example: 16 cells, diagonal and anti-diagonal of an 8 x 8 matrix.
  const Hypervector z(64, 0.0f), ones(8, 1.0f);
  const Hypervector h = hebbian(z, ones, ones, 0.1f, 8);
  int changed = 0;
  for (int i = 0; i < 8; ++i)
    for (int j = 0; j < 8; ++j) {
      const bool sel = i == j || i + j == 7;
      EXPECT_EQ(h[i * 8 + j], sel ? 0.1f : 0.0f) << i << ' ' << j;
      changed += h[i * 8 + j] != 0.0f;
    }
  EXPECT_EQ(changed, 16);
  EXPECT_EQ(hebbian(ones, ones, ones, 0.1f, 0), ones);
}

// The row store's sign-bit scan (all rows bipolar over the bank) against the
// literal index-order sum, bit for bit: awkward queries (signed zeros,
// subnormals, infinities, NaN, which takes the float blocks), both zero inits,
// rows with tails, every grouping of blocks; and the switch to float blocks at
// the first row that is not bipolar, undone by clear.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "memory/row_store.hpp"

namespace {

using mhdc::Hypervector;
using mhdc::HvView;
using mhdc::memory::LaneKernel;
using mhdc::memory::RowStore;

std::uint32_t bits(float x) { return std::bit_cast<std::uint32_t>(x); }
std::uint32_t canon(float x) { return std::isnan(x) ? 0x7fc00000u : bits(x); }

float literal(HvView q, HvView row, float init) {
  float s = init;
  for (std::size_t i = 0; i < std::min(q.size(), row.size()); ++i) s = s + q[i] * row[i];
  return s;
}

Hypervector bipolar(std::mt19937& g, std::size_t n) {
  Hypervector v(n);
  for (auto& x : v) x = (g() & 1) ? 1.0f : -1.0f;
  return v;
}

float awkward(std::mt19937& g, bool with_nan) {
  static const float special[] = {0.0f, -0.0f, 1e-45f, -1e-45f, 1.17549435e-38f, 3e38f, -3e38f,
                                  std::numeric_limits<float>::infinity(),
                                  -std::numeric_limits<float>::infinity(), 0.1f, 16777217.0f, -1.0f};
  if (with_nan && g() % 97 == 0) return std::numeric_limits<float>::quiet_NaN();
  if (g() % 3 == 0) return special[g() % std::size(special)];
  return std::uniform_real_distribution<float>(-3.0f, 3.0f)(g);
}

void expect_matches(const RowStore& st, const std::vector<Hypervector>& rows, HvView q, float init) {
  std::vector<float> slow(rows.size());
  st.dots_scalar(q, init, slow.data());
  for (std::size_t r = 0; r < rows.size(); ++r) ASSERT_EQ(canon(slow[r]), canon(literal(q, rows[r], init)));
  using mhdc::hdc::SignKernel;
  for (const SignKernel k : {SignKernel::automatic, SignKernel::lanes8, SignKernel::avx512, SignKernel::scalar}) {
    if (!mhdc::hdc::sign_kernel_available(k)) continue;
    std::vector<float> fast(rows.size() + 1, 5.0f);
    st.dots(q, init, fast.data(), mhdc::memory::LaneKernel::automatic, k);
    ASSERT_EQ(fast[rows.size()], 5.0f) << "wrote past the rows";
    for (std::size_t r = 0; r < rows.size(); ++r)
      ASSERT_EQ(canon(fast[r]), canon(slow[r])) << "kernel " << int(k) << ", row " << r << " of " << rows.size();
  }
}

}  // namespace

TEST(RowStoreSigns, BipolarRowsScanLikeTheLiteralSum) {
  std::mt19937 g(41);
  for (std::size_t width : {0u, 1u, 7u, 8u, 9u, 33u, 64u}) {
    for (std::size_t count : {0u, 1u, 7u, 8u, 9u, 31u, 32u, 33u, 41u, 70u, 1040u}) {  // 1040: past one gathered chunk
      RowStore st(width);
      std::vector<Hypervector> rows;
      for (std::size_t r = 0; r < count; ++r) {
        rows.push_back(bipolar(g, width + (r % 4 == 3 ? 3 : 0)));  // some rows carry a tail
        st.push(rows.back());
      }
      ASSERT_TRUE(st.keeps_signs());
      for (int t = 0; t < 6; ++t) {
        Hypervector q(width + (t % 3 == 0 ? 0 : (t % 3 == 1 ? 5 : width / 2 + 1)));
        if (t == 5) q.resize(width / 2);
        for (auto& x : q) x = awkward(g, t >= 3);
        for (float init : {0.0f, -0.0f}) expect_matches(st, rows, q, init);
      }
    }
  }
}

TEST(RowStoreSigns, SignedZerosAndNanQueries) {
  RowStore st(8);
  std::vector<Hypervector> rows = {Hypervector(8, 1.0f), Hypervector(8, -1.0f)};
  for (auto& r : rows) st.push(r);
  // -0.0 * +1 = -0.0 and -0.0 * -1 = +0.0: the flipped sign bit must reproduce both.
  const Hypervector negzero(8, -0.0f);
  std::vector<float> out(2);
  st.dots(negzero, -0.0f, out.data());
  EXPECT_EQ(bits(out[0]), bits(-0.0f));
  EXPECT_EQ(bits(out[1]), bits(0.0f));
  // A NaN keeps its sign through a multiplication; the sign path would flip it.
  Hypervector q(8, 1.0f);
  q[3] = -std::numeric_limits<float>::quiet_NaN();
  std::vector<float> slow(2);
  st.dots(q, 0.0f, out.data());
  st.dots_scalar(q, 0.0f, slow.data());
  EXPECT_EQ(bits(out[0]), bits(slow[0]));
  EXPECT_EQ(bits(out[1]), bits(slow[1]));
  // A NaN past the bank's columns is a tail matter and leaves the sign path in use.
  for (auto& r : rows) r.resize(12, 1.0f);
  RowStore wide(8);
  for (auto& r : rows) wide.push(r);
  q.assign(12, 2.0f);
  q[10] = std::numeric_limits<float>::quiet_NaN();
  expect_matches(wide, rows, q, -0.0f);
}

TEST(RowStoreSigns, FirstRowNotBipolarSwitchesToFloatBlocks) {
  std::mt19937 g(43);
  const float not_bipolar[] = {0.5f, -0.0f, 0.0f, 2.0f, std::numeric_limits<float>::quiet_NaN()};
  for (float odd : not_bipolar) {
    for (std::size_t at : {0u, 5u, 8u, 20u}) {
      RowStore st(16);
      std::vector<Hypervector> rows;
      for (std::size_t r = 0; r < 30; ++r) {
        rows.push_back(bipolar(g, 16));
        if (r == at) rows.back()[r % 16] = odd;
        st.push(rows.back());
        EXPECT_EQ(st.keeps_signs(), r < at);
      }
      Hypervector q(16);
      for (auto& x : q) x = awkward(g, false);
      expect_matches(st, rows, q, -0.0f);
      st.clear(16);
      rows.clear();
      EXPECT_TRUE(st.keeps_signs());
      for (std::size_t r = 0; r < 11; ++r) {
        rows.push_back(bipolar(g, 16));
        st.push(rows.back());
      }
      EXPECT_TRUE(st.keeps_signs());
      expect_matches(st, rows, q, 0.0f);
    }
  }
  // A row shorter than the bank is padded with zeros: not bipolar over the bank.
  RowStore st(16);
  st.push(bipolar(g, 16));
  st.push(bipolar(g, 15));
  EXPECT_FALSE(st.keeps_signs());
  // A prepared row that is never committed changes nothing.
  RowStore kept(4);
  kept.push(bipolar(g, 4));
  {
    const Hypervector half(4, 0.5f);
    RowStore::Pending p = kept.prepare(half);
  }
  EXPECT_TRUE(kept.keeps_signs());
  EXPECT_EQ(kept.size(), 1u);
}

TEST(RowStoreSigns, ExplicitKernelsStillReadFloatBlocks) {
  std::mt19937 g(44);
  RowStore st(40);
  std::vector<Hypervector> rows;
  for (int r = 0; r < 37; ++r) {
    rows.push_back(bipolar(g, 40));
    st.push(rows.back());
  }
  Hypervector q(40);
  for (auto& x : q) x = awkward(g, false);
  for (LaneKernel k : {LaneKernel::generic, LaneKernel::sse2, LaneKernel::avx2}) {
    if (!mhdc::memory::lane_kernel_available(k)) continue;
    std::vector<float> a(rows.size()), b(rows.size());
    st.dots(q, -0.0f, a.data(), k);
    st.dots(q, -0.0f, b.data());
    for (std::size_t r = 0; r < rows.size(); ++r) ASSERT_EQ(bits(a[r]), bits(b[r])) << int(k) << ' ' << r;
  }
}

// Every vectorised kernel against its scalar twin and the literal index-order loop,
// bit for bit, for each instruction set this CPU runs: the exact-sum dot, the lane,
// sign-bit and popcount scans, the bipolar packing, the row store that picks among
// them, and the ChaCha four-block refill.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "hdc/kernels.hpp"
#include "hdc/rng.hpp"
#include "hdc/rows.hpp"

using namespace mhdc;
using namespace mhdc::hdc;

namespace {

// NaN payloads may follow operand order, which the compiler may commute; all else must agree.
std::uint32_t canon(float x) { return std::isnan(x) ? 0x7fc00000u : std::bit_cast<std::uint32_t>(x); }

float literal(const float* a, const float* b, std::size_t n, float init) {
  for (std::size_t i = 0; i < n; ++i) init = init + a[i] * b[i];
  return init;
}
std::uint32_t want(const std::vector<float>& a, const std::vector<float>& b, float init) {
  return canon(literal(a.data(), b.data(), std::min(a.size(), b.size()), init));
}

constexpr float kInf = std::numeric_limits<float>::infinity(), kNaN = std::numeric_limits<float>::quiet_NaN();
const float kSpecial[] = {0.5f, 1e-45f, -1e-45f, 1.17549435e-38f, 8388607.5f, 3e38f, kInf, -kInf, kNaN, 16777216.0f, 8388609.0f};

// The kinds the exactness tests tell apart: bipolar, signed-zero bipolar, small integers,
// general, and bipolar with one special value dropped in.
enum Kind { bipolar, zeros, small_int, general, one_special, kKinds };
std::vector<float> make(std::mt19937& g, std::size_t n, int kind) {
  std::vector<float> v(n);
  for (auto& x : v)
    x = kind == small_int ? static_cast<float>(static_cast<int>(g() % 17) - 8)
        : kind == general ? std::uniform_real_distribution<float>(-1.0f, 1.0f)(g)
                          : ((g() & 1) ? 1.0f : -1.0f) * (kind == zeros && (g() & 1) ? 0.0f : 1.0f);
  if (kind == one_special && n) v[g() % n] = kSpecial[g() % std::size(kSpecial)];
  return v;
}

const std::size_t kLengths[] = {0, 1, 31, 32, 33, 65, 127, 128, 129, 1023, 1024, 1025, 1056, 1057, 2049, 10031};
const float kInits[] = {0.0f, -0.0f, 3.0f, 0.5f, 16777215.0f, 16777216.0f, kInf, kNaN};

// Each instruction set the CPU runs, baseline included.
std::vector<Isa> isas() {
  std::vector<Isa> v;
  for (Isa isa : kAllIsas)
    if (isa_available(isa)) v.push_back(isa);
  return v;
}

}  // namespace

TEST(ExactDot, IndexOrderOnEveryKindLengthAndInit) {
  std::mt19937 g(101);
  for (int kind = 0; kind < kKinds; ++kind)
    for (std::size_t n : kLengths) {
      const auto a = make(g, n, kind), b = make(g, n, kind);
      for (float init : kInits) {
        ASSERT_EQ(canon(dot_scalar(a.data(), b.data(), n, init)), want(a, b, init));
        for (Isa isa : isas()) ASSERT_EQ(canon(dot(a.data(), b.data(), n, init, isa)), want(a, b, init)) << kind << ' ' << n << ' ' << init << isa_name(isa);
      }
      float s;  // and bipolar data takes the exact path over every whole group of 32 (its speed)
      for (Isa isa : isas())
        if (kind == bipolar) { EXPECT_EQ(dot_exact_prefix(a.data(), b.data(), n, 0.0f, &s, isa), n - n % 32) << n; }
    }
  // Sums that pass 2^24: 4096 products of 4096, then ones that index order loses.
  for (std::size_t ones : {1u, 31u, 2000u})
    for (bool first : {false, true}) {
      std::vector<float> a(ones + 4096, 64.0f);
      std::fill_n(a.begin() + (first ? 0 : 4096), ones, 1.0f);
      for (float init : {0.0f, -0.0f, 1.0f, -16777215.0f})
        EXPECT_EQ(canon(dot(a, a, init)), want(a, a, init)) << ones << first;
    }
  // One value that fails the exactness test at each place around the checked chunks,
  // and all products -0.0 but one +0.0 (a zero sum's sign is order-free too).
  std::vector<float> a = make(g, 5000, bipolar), b = make(g, 5000, bipolar), z(5000, -0.0f);
  for (std::size_t p : {0u, 31u, 127u, 128u, 1000u, 1023u, 1152u, 2080u, 4999u})
    for (float x : {0.1f, kNaN, 16777216.0f, 0.0f}) {
      auto c = a, y = z;
      c[p] = y[p] = x;
      for (float init : {0.0f, -0.0f})
        for (Isa isa : isas())
          ASSERT_TRUE(canon(dot(c.data(), b.data(), c.size(), init, isa)) == want(c, b, init) &&
                      canon(dot(a.data(), y.data(), a.size(), init, isa)) == want(a, y, init)) << p << x << isa_name(isa);
    }
}

// dots_rows over a caller's matrix (rows of mixed kinds at a stride; bipolar rows against
// bipolar queries are counted): fast == scalar == literal, nothing written past the rows.
TEST(LaneScans, DotsRowsOnEveryKind) {
  std::mt19937 g(11);
  for (std::size_t rows : {0u, 1u, 7u, 8u, 9u, 17u, 40u})
    for (std::size_t width : {0u, 1u, 31u, 64u, 70u, 1029u})
      for (int qkind : {bipolar, general, one_special}) {
        const std::size_t stride = width + rows % 3;
        std::vector<float> flat(rows * stride + 1);
        for (std::size_t r = 0; r < rows; ++r) {
          const auto row = make(g, width, r % 3 ? bipolar : static_cast<int>(g() % kKinds));
          std::copy(row.begin(), row.end(), flat.begin() + static_cast<std::ptrdiff_t>(r * stride));
        }
        const auto q = make(g, width, qkind);
        for (std::size_t m : {width, width / 2})
          for (float init : {0.0f, -0.0f, 2.0f})
            for (int k = -1; k < static_cast<int>(isas().size()); ++k) {
              std::vector<float> out(rows + 1, 42.0f);
              k < 0 ? dots_rows_scalar(q.data(), flat.data(), rows, stride, m, out.data(), init)
                    : dots_rows(q.data(), flat.data(), rows, stride, m, out.data(), init, isas()[k]);
              EXPECT_EQ(out[rows], 42.0f) << "wrote past the rows";
              for (std::size_t r = 0; r < rows; ++r)
                ASSERT_EQ(canon(out[r]), canon(literal(q.data(), flat.data() + r * stride, m, init)))
                    << k << ' ' << rows << ' ' << width << ' ' << m << ' ' << r;
            }
      }
}

// The sign-bit kernels on bipolar rows: packing (every non-bipolar value at every place
// refused), the count for bipolar queries and the signed sum for any other, at the lengths
// around words and chunks, against the literal sum; rows that are not all bipolar.
TEST(BitScans, PackCountAndSignedSumsAreTheIndexOrderSum) {
  std::mt19937 g(12);
  const float not_bipolar[] = {0.0f, -0.0f, 0.5f, 1.0000001f, -0.99999994f, kNaN, kInf, 1e-45f, 2.0f};
  for (std::size_t m : {0u, 1u, 31u, 32u, 33u, 63u, 64u, 65u, 511u, 512u, 513u, 4099u}) {
    for (Isa isa : isas()) {  // packing
      auto v = make(g, m, bipolar);
      std::vector<std::uint64_t> bits(bit_words(m) + 1, 0x5555);
      ASSERT_TRUE(pack_bipolar(v.data(), m, bits.data(), isa));
      EXPECT_EQ(bits.back(), 0x5555u) << "wrote past the words";
      for (std::size_t i = 0; i < 64 * bit_words(m); ++i)
        ASSERT_EQ(bits[i / 64] >> (i % 64) & 1, i < m && v[i] < 0) << m << ' ' << i;
      for (std::size_t p : {std::size_t{0}, m / 2, m - 1})
        for (float x : not_bipolar)
          if (p < m) {
            auto w = v;
            w[p] = x;
            EXPECT_FALSE(pack_bipolar(w.data(), m, bits.data(), isa)) << m << ' ' << p << ' ' << x;
          }
    }
    for (std::size_t rows : {1u, 7u, 8u, 9u, 15u, 16u, 17u, 31u, 32u, 33u, 65u, 100u}) {
      // Rows may be wider than the query reads: one word and one element more for odd counts.
      const std::size_t words = bit_words(m) + rows % 2, width = m + rows % 2;
      std::vector<float> flat(rows * m);
      std::vector<std::uint64_t> bits(rows * words);
      std::vector<std::uint8_t> masks((rows + kMaskRows - 1) / kMaskRows * 2 * width);
      for (std::size_t r = 0; r < rows; ++r) {
        const auto row = make(g, m, bipolar);
        std::copy(row.begin(), row.end(), flat.begin() + static_cast<std::ptrdiff_t>(r * m));
        pack_bipolar(row.data(), m, bits.data() + r * words);
        put_mask_row(masks.data() + r / kMaskRows * 2 * width, width, r % kMaskRows, bits.data() + r * words);
      }
      for (int qkind : {bipolar, general, small_int, one_special}) {
        auto q = make(g, m, qkind);
        std::vector<std::uint64_t> qbits(bit_words(m));
        const bool counted = countable(m, 0.0f) && pack_bipolar(q.data(), m, qbits.data());
        if (qkind == bipolar) {
          ASSERT_EQ(counted, m > 0);
        }
        for (int k = -1; k < static_cast<int>(isas().size()); ++k) {
          const bool nan = has_nan(q.data(), m);
          for (float init : {0.0f, -0.0f, 0.75f}) {
            std::vector<float> out(rows + 1, 9.0f), sums(rows + 1, 9.0f);
            if (k < 0) {
              sign_dots_scalar(masks.data(), width, rows, q.data(), m, init, sums.data());
              if (counted) popcount_dots_scalar(bits.data(), words, rows, qbits.data(), m, out.data());
            } else {
              if (!nan) sign_dots(masks.data(), width, rows, q.data(), m, init, sums.data(), isas()[k]);
              if (counted) popcount_dots(bits.data(), words, rows, qbits.data(), m, out.data(), isas()[k]);
            }
            ASSERT_TRUE(out[rows] == 9.0f && sums[rows] == 9.0f) << "wrote past the rows";
            for (std::size_t r = 0; r < rows; ++r) {
              const std::uint32_t w = canon(literal(q.data(), flat.data() + r * m, m, init));
              if (counted && init == 0.0f) {
                ASSERT_EQ(canon(out[r]), w) << k << ' ' << m << ' ' << rows << ' ' << r;
              }
              if (k < 0 || !nan) {
                ASSERT_EQ(canon(sums[r]), w) << k << ' ' << m << ' ' << rows << ' ' << r << ' ' << qkind;
              }
            }
          }
        }
      }
    }
  }
}

// The score helpers against the loops they stand for: the resonance of each sum (every
// instruction set), the count above a threshold, and first_best against the running best
// (ties, signed zeros, NaN, floors).
TEST(ScoreHelpers, MatchTheirLoops) {
  std::mt19937 g(13);
  const float pool[] = {-0.0f, 0.0f, 0.25f, -1.0f, 1.0f, kNaN, -kInf, kInf, 0.5f};
  for (int t = 0; t < 3000; ++t) {
    std::vector<float> s(g() % 40);
    for (float& x : s) x = pool[g() % std::size(pool)];
    const float floor = pool[g() % std::size(pool)];
    std::size_t want = s.size();
    float best = floor;
    for (std::size_t k = 0; k < s.size(); ++k)
      if (s[k] > best) best = s[k], want = k;
    ASSERT_EQ(first_best(s.data(), s.size(), floor), want) << t;
    ASSERT_EQ(count_above(s.data(), s.size(), floor),
              static_cast<std::size_t>(std::count_if(s.begin(), s.end(), [&](float x) { return x > floor; })));
    const float len = static_cast<float>(g() % 2000);  // 0 included: 0 / 0 and x / 0
    for (Isa isa : isas()) {
      auto r = s;
      to_resonance(r.data(), r.size(), len, isa);
      for (std::size_t k = 0; k < s.size(); ++k) ASSERT_EQ(canon(r[k]), canon((s[k] / len + 1.0f) * 0.5f)) << t;
    }
  }
}

// The row store: bits while every row is bipolar, floats from the first row that is not
// (also in the middle of one reserved batch), tails, short rows, every query kind and
// length; every scan and every row read back equals the literal, for each instruction set.
TEST(RowStore, EveryScanMatchesTheRowByRowSum) {
  std::mt19937 g(41);
  const float odd[] = {0.5f, -0.0f, 0.0f, 2.0f, kNaN};
  for (std::size_t width : {0u, 1u, 7u, 8u, 9u, 64u, 65u, 130u})
    for (std::size_t count : {0u, 1u, 7u, 9u, 16u, 33u, 41u})
      for (int mode : {0, 1, 2, 3}) {  // all bipolar; one row not, midway; any values and lengths; no bits kept
        Rows st(width, mode != 3);
        std::vector<Hypervector> rows;
        for (std::size_t r = 0; r < count; ++r) {
          Hypervector v(mode == 2 ? g() % (width + 6) : width + (r % 4 == 3 ? 3 : 0));
          for (float& x : v) x = mode == 2 ? make(g, 1, static_cast<int>(g() % kKinds))[0] : (g() & 1 ? 1.0f : -1.0f);
          if (mode == 1 && r == count / 4 && width > 0) v[r % width] = odd[r % 5];
          rows.push_back(v);
        }
        // The first half in one reserved batch, the rest one by one.
        std::vector<HvView> batch(rows.begin(), rows.begin() + static_cast<std::ptrdiff_t>(count / 2));
        st.reserve(batch);
        for (HvView v : batch) st.append(v);
        for (std::size_t r = count / 2; r < count; ++r) st.push(rows[r]);
        if (mode == 0 || (mode == 1 && width == 0)) {
          EXPECT_TRUE(st.keeps_bits());
        }
        if (mode == 3 || (mode == 1 && width > 0 && count > 0)) {
          EXPECT_FALSE(st.keeps_bits());
        }
        for (std::size_t r = 0; r < count; ++r) {  // every bit back, NaN payloads too
          const Hypervector back = st.row(r);
          ASSERT_TRUE(back.size() == rows[r].size() && (back.empty() || !std::memcmp(back.data(), rows[r].data(), back.size() * 4)))
              << width << ' ' << count << ' ' << r;
        }
        for (int t = 0; t < 8; ++t) {
          const Hypervector q = make(g, t % 4 == 0 ? width : t % 4 == 1 ? width + 5 : t % 4 == 2 ? width / 2 + 1 : 0,
                                     t < 4 ? bipolar : static_cast<int>(g() % kKinds));
          const float init = t % 2 ? -0.0f : 0.0f;
          std::vector<float> want(count + 1, 5.0f), got(count + 1);
          for (std::size_t r = 0; r < count; ++r)
            want[r] = literal(q.data(), rows[r].data(), std::min(q.size(), rows[r].size()), init);
          for (int k = -1; k < static_cast<int>(isas().size()); ++k) {
            got.assign(count + 1, 5.0f);  // the last one must stay
            k < 0 ? st.dots_scalar(q, init, got.data()) : st.dots(q, init, got.data(), isas()[k]);
            for (std::size_t r = 0; r <= count; ++r)
              ASSERT_EQ(canon(got[r]), canon(want[r])) << width << ' ' << count << ' ' << mode << ' ' << r << ' ' << k;
          }
        }
      }
}

// Each instruction set's refill (SSE2 for the baseline) against the scalar twin and
// one block at a time; counters near 2^32 - 4 and 2^64 - 4 carry into the high word or wrap.
TEST(ChaCha, FourBlockRefillsMatchScalar) {
  std::mt19937_64 g(0xc4ac4a);
  for (int t = 0; t < 400; ++t) {
    std::uint32_t key[8], want[64], fast[64], one[16];
    for (auto& k : key) k = static_cast<std::uint32_t>(g());
    const std::uint64_t r = g(), counter = t % 4 == 0 ? (r & ~0xffffffffULL) | (0xfffffffcULL + r % 4)
                                          : t % 4 == 1 ? ~0ULL - r % 4 : t % 4 == 2 ? r % 1000 : r;
    const std::uint64_t stream = t % 3 ? g() : 0;
    const int dr = static_cast<int>(1 + g() % 10);
    chacha4_scalar(key, counter, stream, dr, want);
    for (Isa isa : isas()) {
      chacha4(key, counter, stream, dr, fast, isa);
      for (int w = 0; w < 64; ++w) {
        if (w % 16 == 0) chacha_block(key, counter + w / 16, stream, dr, one);
        ASSERT_TRUE(fast[w] == want[w] && want[w] == one[w % 16]) << t << ' ' << w << isa_name(isa);
      }
    }
  }
}

// Every vectorised kernel against its scalar twin and the literal index-order loop,
// bit for bit: the exact-sum dot, RowBank and dots_rows lane scans, the sign-bit
// kernels (each one the CPU runs) and the ChaCha four-block refill.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "hdc/kernels.hpp"
#include "hdc/rng.hpp"
#include "hdc/sign_kernels.hpp"

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

// The kinds the exactness test tells apart: bipolar, signed-zero bipolar, small integers,
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

}  // namespace

TEST(ExactDot, IndexOrderOnEveryKindLengthAndInit) {
  std::mt19937 g(101);
  for (int kind = 0; kind < kKinds; ++kind)
    for (std::size_t n : kLengths) {
      const auto a = make(g, n, kind), b = make(g, n, kind);
      for (float init : kInits)
        ASSERT_TRUE(canon(dot(a, b, init)) == want(a, b, init) && canon(dot_scalar(a.data(), b.data(), n, init)) == want(a, b, init))
            << kind << ' ' << n << ' ' << init;
      float s;  // and bipolar data takes the exact path over every whole group of 32 (its speed)
      if (kind == bipolar) { EXPECT_EQ(dot_exact_prefix(a.data(), b.data(), n, 0.0f, &s), n - n % 32) << n; }
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
        ASSERT_TRUE(canon(dot(c, b, init)) == want(c, b, init) && canon(dot(a, y, init)) == want(a, y, init)) << p << x;
    }
}

// RowBank (rows padded or cut to its width, 1..9 blocks of lanes) and dots_rows
// (rows of mixed kinds at a stride): fast == scalar == literal, nothing written past the rows.
TEST(LaneScans, RowBankAndDotsRows) {
  std::mt19937 g(11);
  for (std::size_t rows = 0; rows <= 72; rows += 1 + rows / 40 * 31)  // 0..40, then 72
    for (std::size_t width : {0u, 1u, 9u, 31u, 37u, 70u, 1029u})
      for (float init : {0.0f, -0.0f}) {
        RowBank bank(width);
        const std::size_t stride = width + rows % 3;
        std::vector<float> flat(rows * stride + 1);
        for (std::size_t r = 0; r < rows; ++r) {
          auto row = make(g, width + r % 3, static_cast<int>(g() % kKinds));  // one or two elements too many
          const bool short_row = r % 4 == 3 && width;
          if (short_row) row[width - 1] = 0.0f;  // pushed one short instead: padded with 0
          bank.push(HvView(row.data(), short_row ? width - 1 : row.size()));
          std::copy_n(row.begin(), width, flat.begin() + static_cast<std::ptrdiff_t>(r * stride));
        }
        const auto q = make(g, width + 5, static_cast<int>(g() % kKinds));
        for (std::size_t m : {width, width / 2, width + 5}) {
          const std::size_t mr = std::min(m, width);
          std::vector<std::vector<float>> out(4, std::vector<float>(rows + 1, 42.0f));
          bank.dots(q.data(), m, out[0].data(), init);
          bank.dots_scalar(q.data(), m, out[1].data(), init);
          dots_rows(q.data(), flat.data(), rows, stride, mr, out[2].data(), init);
          dots_rows_scalar(q.data(), flat.data(), rows, stride, mr, out[3].data(), init);
          for (std::size_t k = 0; k < 4; ++k) {
            EXPECT_EQ(out[k][rows], 42.0f) << k << " wrote past the rows";
            for (std::size_t r = 0; r < rows; ++r)
              ASSERT_EQ(canon(out[k][r]), canon(literal(q.data(), flat.data() + r * stride, mr, init)))
                  << k << ' ' << rows << ' ' << width << ' ' << m << ' ' << r;
          }
        }
      }
}

TEST(SignKernels, EveryKernelIsTheIndexOrderSum) {
  std::mt19937 g(12);
  for (std::size_t rows : {1u, 15u, 16u, 17u, 48u, 63u, 64u, 65u, 100u, 1100u})
    for (std::size_t m : {0u, 1u, 7u, 33u, 300u}) {
      const std::size_t nblocks = (rows + kSignRows - 1) / kSignRows;
      const auto full = make(g, nblocks * kSignRows * m, bipolar);
      std::vector<std::vector<std::uint8_t>> store(nblocks, std::vector<std::uint8_t>(sign_block_bytes(m), 0xff));
      std::vector<const std::uint8_t*> blocks;
      for (std::size_t r = 0; r < nblocks * kSignRows; ++r) {
        clear_signs(store[r / kSignRows].data(), m, r % kSignRows);
        for (std::size_t i = 0; i < m; ++i) put_sign(store[r / kSignRows].data(), i, r % kSignRows, full[r * m + i] < 0);
      }
      for (const auto& b : store) blocks.push_back(b.data());
      auto q = make(g, m, static_cast<int>(g() % kKinds));
      for (float& x : q) x = std::isnan(x) ? 2.5f : x;  // a NaN's own sign bit is the one thing kernels may differ in
      for (float init : {0.0f, -0.0f, 0.75f})
        for (SignKernel k : {SignKernel::automatic, SignKernel::lanes8, SignKernel::avx512, SignKernel::scalar}) {
          if (!sign_kernel_available(k)) continue;
          std::vector<float> out(rows + 1, 9.0f);
          sign_dots(blocks.data(), nblocks, rows, q.data(), m, init, out.data(), k);
          EXPECT_EQ(out[rows], 9.0f) << "wrote past the rows";
          for (std::size_t r = 0; r < rows; ++r)
            ASSERT_EQ(canon(out[r]), canon(literal(q.data(), full.data() + r * m, m, init))) << int(k) << ' ' << rows << ' ' << m << ' ' << r;
        }
    }
}

// The baseline (SSE2) and dispatched (AVX2 here) refills against the scalar twin and
// one block at a time; counters near 2^32 - 4 and 2^64 - 4 carry into the high word or wrap.
TEST(ChaCha, FourBlockRefillsMatchScalar) {
  std::mt19937_64 g(0xc4ac4a);
  for (int t = 0; t < 400; ++t) {
    std::uint32_t key[8], want[64], base[64], fast[64], one[16];
    for (auto& k : key) k = static_cast<std::uint32_t>(g());
    const std::uint64_t r = g(), counter = t % 4 == 0 ? (r & ~0xffffffffULL) | (0xfffffffcULL + r % 4)
                                          : t % 4 == 1 ? ~0ULL - r % 4 : t % 4 == 2 ? r % 1000 : r;
    const std::uint64_t stream = t % 3 ? g() : 0;
    const int dr = static_cast<int>(1 + g() % 10);
    chacha4_scalar(key, counter, stream, dr, want);
    detail::chacha4_baseline(key, counter, stream, dr, base);
    chacha4(key, counter, stream, dr, fast);
    for (int w = 0; w < 64; ++w) {
      if (w % 16 == 0) chacha_block(key, counter + w / 16, stream, dr, one);
      ASSERT_TRUE(base[w] == want[w] && fast[w] == want[w] && want[w] == one[w % 16]) << t << ' ' << w;
    }
  }
}

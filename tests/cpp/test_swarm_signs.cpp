// The sign-bit scan of bipolar rows: identical sums to multiplying, vectorised or not.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "hdc/kernels.hpp"
#include "swarm/codebook.hpp"
#include "swarm/sign_bank.hpp"

using mhdc::Hypervector;
using mhdc::hdc::SignKernel;
using mhdc::swarm::SignBank;

constexpr SignKernel kKernels[] = {SignKernel::automatic, SignKernel::lanes8, SignKernel::avx512,
                                   SignKernel::scalar};

namespace {

bool same_sum(float a, float b) {
  return std::bit_cast<std::uint32_t>(a) == std::bit_cast<std::uint32_t>(b) ||
         (std::isnan(a) && std::isnan(b));  // a NaN's sign bit is not a result
}

Hypervector query(std::mt19937_64& g, std::size_t n, bool wild) {
  const float inf = std::numeric_limits<float>::infinity();
  const float special[] = {0.0f, -0.0f, 1e-45f, -3e-39f, 3e38f, -3e38f, 1.0f, 0.1f};
  std::uniform_real_distribution<float> u(-1000.0f, 1000.0f);
  Hypervector q(n);
  for (float& x : q) {
    const auto k = g() % 16;
    x = k < 10 ? u(g) : special[k - 8];
    if (wild && g() % 50 == 0) x = g() % 2 ? inf : std::nanf("");
  }
  return q;
}

}  // namespace

TEST(SwarmSignBank, AgreesWithTheFloatBankAndItsScalarTwin) {
  std::mt19937_64 g(31);
  for (std::size_t width : {0u, 1u, 7u, 64u, 333u}) {
    for (std::size_t rows : {1u, 7u, 8u, 9u, 31u, 32u, 33u, 70u, 1030u}) {  // 1030: past one gathered chunk
      SignBank signs(width);
      mhdc::hdc::RowBank floats(width);
      for (std::size_t r = 0; r < rows; ++r) {
        Hypervector row(width);
        for (float& x : row) x = (g() & 1) ? -1.0f : 1.0f;
        ASSERT_TRUE(mhdc::swarm::is_bipolar(row));
        signs.push(row);
        floats.push(row);
      }
      ASSERT_EQ(signs.size(), rows);
      for (bool wild : {false, true}) {
        const Hypervector q = query(g, width + 3, wild);
        for (std::size_t m : {width, width / 2, width + 3}) {
          for (float init : {0.0f, -0.0f}) {
            std::vector<float> c(rows);
            floats.dots_scalar(q.data(), m, c.data(), init);
            for (const SignKernel k : kKernels) {
              if (!mhdc::hdc::sign_kernel_available(k)) continue;
              std::vector<float> a(rows + 1, 7.0f);
              signs.dots(q.data(), m, a.data(), init, k);
              ASSERT_EQ(a[rows], 7.0f) << "wrote past the rows";
              for (std::size_t r = 0; r < rows; ++r)
                EXPECT_TRUE(same_sum(a[r], c[r]))
                    << "kernel " << int(k) << " " << width << "x" << rows << " m " << m << " row " << r;
            }
          }
        }
      }
    }
  }
}

TEST(SwarmSignBank, PopBackUndoesPush) {
  std::mt19937_64 g(32);
  const std::size_t width = 20;
  SignBank bank(width);
  std::vector<Hypervector> kept;
  for (int r = 0; r < 17; ++r) {
    Hypervector row(width);
    for (float& x : row) x = (g() & 1) ? -1.0f : 1.0f;
    bank.push(row);
    kept.push_back(row);
    if (r % 3 == 1) {  // push a throwaway row and take it back
      Hypervector junk(width, -1.0f);
      bank.push(junk);
      bank.pop_back();
    }
  }
  ASSERT_EQ(bank.size(), kept.size());
  const Hypervector q = query(g, width, false);
  std::vector<float> got(kept.size());
  bank.dots(q.data(), width, got.data());
  for (std::size_t r = 0; r < kept.size(); ++r) {
    float want = 0.0f;
    for (std::size_t i = 0; i < width; ++i) want += q[i] * kept[r][i];
    EXPECT_TRUE(same_sum(got[r], want)) << r;
  }
}

TEST(SwarmSignBank, BipolarMeansExactlyPlusOrMinusOne) {
  struct Case {
    Hypervector v;
    bool bipolar;
  };
  const Case cases[] = {
      {{}, true},
      {{1.0f, -1.0f, 1.0f}, true},
      {{1.0f, 0.0f}, false},
      {{-0.0f}, false},
      {{1.0000001f}, false},
      {{-1.0f, std::nanf("")}, false},
      {{2.0f}, false},
  };
  for (const Case& c : cases) EXPECT_EQ(mhdc::swarm::is_bipolar(c.v), c.bipolar);
}

// A shelf that starts bipolar and then takes a general row keeps exact sums.
TEST(SwarmSignBank, CodebookFallsBackOnTheFirstGeneralRow) {
  std::mt19937_64 g(33);
  const std::size_t width = 40;
  mhdc::swarm::Codebook book;
  std::vector<Hypervector> rows;
  auto check = [&] {
    const Hypervector q = query(g, width, true);
    std::vector<float> d(rows.size()), scratch;
    book.dots(q.data(), q.size(), d.data(), scratch);
    for (std::size_t j = 0; j < rows.size(); ++j) {
      float want = 0.0f;
      for (std::size_t i = 0; i < width; ++i) want += q[i] * rows[j][i];
      EXPECT_TRUE(same_sum(d[j], want)) << "entry " << j << " of " << rows.size();
    }
  };
  for (int r = 0; r < 12; ++r) {
    Hypervector row(width);
    for (float& x : row) x = (g() & 1) ? -1.0f : 1.0f;
    rows.push_back(row);
    book.reserve(1);
    book.commit(book.stage(row));
  }
  check();
  Hypervector general(width, 0.5f);
  general[3] = -2.0f;
  rows.push_back(general);
  book.reserve(1);
  book.commit(book.stage(general));
  check();
  for (int r = 0; r < 5; ++r) {
    Hypervector row(width, 1.0f);
    rows.push_back(row);
    book.reserve(1);
    book.commit(book.stage(row));
  }
  check();
  for (std::size_t j = 0; j < rows.size(); ++j) EXPECT_EQ(book.row(j), rows[j]);
}

// The memories' vectorised kernels against their scalar twins: the row store's
// lane and sign-bit scans, and the batch cosine/sine against the platform's.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <random>
#include <vector>

#include "memory/phasor.hpp"
#include "memory/row_store.hpp"

namespace {
using namespace mhdc;
constexpr float kInf = INFINITY, kNan = NAN;

// The 32-bit pattern; unless `exact`, every NaN alike.
std::uint32_t key(float x, bool exact = false) {
  return std::isnan(x) && !exact ? 0x7fc00000u : std::bit_cast<std::uint32_t>(x);
}

float awkward(std::mt19937& g, bool nan) {
  static const float special[] = {0.0f, -0.0f, 1e-45f, -1e-45f, 3e38f, -3e38f, kInf, -kInf, 0.1f, 16777217.0f};
  if (nan && g() % 29 == 0) return g() & 1 ? kNan : -kNan;
  return g() % 3 == 0 ? special[g() % std::size(special)] : std::uniform_real_distribution<float>(-3.0f, 3.0f)(g);
}

TEST(RowStore, EveryKernelMatchesTheRowByRowSum) {
  std::mt19937 g(41);
  const float odd[] = {0.5f, -0.0f, 0.0f, 2.0f, kNan};
  memory::RowStore st;
  for (std::size_t width : {0u, 1u, 7u, 8u, 9u, 33u, 64u})
    for (std::size_t count : {0u, 1u, 7u, 8u, 9u, 16u, 17u, 31u, 32u, 33u, 41u, 70u})
      for (int mode : {1, 0, 2}) {  // one row not bipolar; all bipolar (after clear); any values and lengths
        st.clear(width);
        std::vector<Hypervector> rows;
        for (std::size_t r = 0; r < count; ++r) {
          Hypervector v(mode == 2 ? g() % (width + 6) : width + (r % 4 == 3 ? 3 : 0));
          for (float& x : v) x = mode == 2 ? awkward(g, true) : (g() & 1 ? 1.0f : -1.0f);
          if (mode == 1 && r == count / 2 && width > 0) v[r % width] = odd[r % 5];
          st.push(rows.emplace_back(v));
          ASSERT_TRUE(mode == 2 || st.keeps_signs() == (mode == 0 || r < count / 2 || width == 0)) << r;
        }
        for (int t = 0; t < 8; ++t) {
          Hypervector q(t % 4 == 0 ? width : t % 4 == 1 ? width + 5 : t % 4 == 2 ? width / 2 + 1 : 0);
          int nonfinite = 0;
          for (float& x : q) nonfinite += !std::isfinite(x = awkward(g, t >= 4));
          // Over +-1 rows with one NaN at most its sign counts too: the sign-bit path must not flip it.
          const bool exact = mode == 0 && nonfinite < 2;
          const float init = t % 2 ? -0.0f : 0.0f;
          std::vector<float> want(count + 1, 5.0f), got(count + 1);
          for (std::size_t r = 0; r < count; ++r) {
            want[r] = init;
            for (std::size_t i = 0; i < std::min(q.size(), rows[r].size()); ++i) want[r] += q[i] * rows[r][i];
          }
          for (int k = -1; k < 16; ++k) {  // the scalar twin, then every lane kernel with every sign kernel
            const auto [lk, sk] = std::pair(memory::LaneKernel(k / 4), hdc::SignKernel(k % 4));
            if (k >= 0 && (!memory::lane_kernel_available(lk) || !hdc::sign_kernel_available(sk))) continue;
            got.assign(count + 1, 5.0f);  // the last one must stay
            k < 0 ? st.dots_scalar(q, init, got.data()) : st.dots(q, init, got.data(), lk, sk);
            for (std::size_t r = 0; r <= count; ++r)
              ASSERT_EQ(key(got[r], exact), key(want[r], exact)) << width << ' ' << count << ' ' << r << ' ' << k;
          }
        }
      }
}

// Every cosine and sine as the platform's, from the batch forms and each lane width the CPU runs.
void expect_platform(const std::vector<float>& xs) {
  const std::size_t n = xs.size();
  std::vector<float> c(n), s(n), c1(n), lc(n), ls(n);
  memory::cos_sin_n(xs.data(), n, c.data(), s.data());
  memory::cos_n(xs.data(), n, c1.data());
  for (std::size_t k = 0; k < n; ++k)
    ASSERT_TRUE(key(c[k]) == key(std::cos(xs[k])) && key(s[k]) == key(std::sin(xs[k])) && key(c1[k]) == key(c[k]))
        << std::hexfloat << xs[k];
  for (memory::TrigLanes w : {memory::TrigLanes::four, memory::TrigLanes::eight})
    for (std::size_t k = 0, runs = memory::cos_sin_n_lanes(w, xs.data(), n, lc.data(), ls.data()); runs && k < n; ++k)
      ASSERT_TRUE(key(lc[k]) == key(c[k]) && key(ls[k]) == key(s[k])) << int(w) << std::hexfloat << xs[k];
}

TEST(Phasor, MatchesThePlatformEverywhere) {
  // A lane evaluation that disagreed with libm would be dropped silently: here it must run.
  EXPECT_TRUE(!__builtin_cpu_supports("avx2") || !__builtin_cpu_supports("fma") || memory::batch_trig_vectorised());
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

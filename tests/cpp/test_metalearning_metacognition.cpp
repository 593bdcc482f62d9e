#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "hdc/errors.hpp"
#include "hdc/format.hpp"
#include "metalearning/metacognition.hpp"

using mhdc::meta::Metacognition;
using mhdc::meta::MetacognitionRecord;
using mhdc::meta::Recommendation;

namespace {

MetacognitionRecord rec(std::size_t dim, float res, float acc, float coh = 0.0f) {
  return {std::make_shared<const mhdc::Hypervector>(dim, 1.0f), 7, res, coh, acc};
}

struct Expect {
  const char* action;
  float delta;
  const char* reason;
};

void expect_recs(const std::vector<Recommendation>& got, const std::vector<Expect>& want) {
  ASSERT_EQ(got.size(), want.size());
  for (std::size_t k = 0; k < want.size(); ++k) {
    EXPECT_EQ(got[k].action, want[k].action) << k;
    EXPECT_EQ(got[k].delta, want[k].delta) << k;
    EXPECT_EQ(got[k].reason, want[k].reason) << k;
  }
}

TEST(Metacognition, FreshRecorder) {
  const Metacognition m(4);
  EXPECT_EQ(m.success_rate(), 0.0f);
  EXPECT_EQ(m.avg_resonance(), 0.0f);
  EXPECT_FALSE(std::signbit(m.avg_resonance()));
  expect_recs(m.recommend(), {{"learning_rate_increase", 0.1f, "success rate 0.00 < 50%"},
                              {"attention_increase", 0.05f, "increase focus"},
                              {"identity_lr_decrease", -0.005f, "avg resonance 0.00 too low"}});
  EXPECT_EQ(static_cast<double>(m.recommend()[0].delta), 0.10000000149011612);
}

struct RateCase {
  int successes, failures;
  float fail_res;  // resonance of the failures (successes use 0.9)
  std::vector<Expect> want;
};

class MetacognitionRate : public ::testing::TestWithParam<RateCase> {};

TEST_P(MetacognitionRate, RecommendsByStrictThresholds) {
  const RateCase& c = GetParam();
  Metacognition m(3);
  for (int k = 0; k < c.successes; ++k) m.record(rec(3, 0.9f, 0.9f));
  for (int k = 0; k < c.failures; ++k) m.record(rec(3, c.fail_res, 0.1f));
  expect_recs(m.recommend(), c.want);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MetacognitionRate,
    ::testing::Values(
        RateCase{1, 0, 0.9f, {{"momentum_increase", 0.05f, "success rate 1.00 > 80%, reinforce"}}},
        // 0.125 and 0.375 are ties at two decimals: they go to the even digit.
        RateCase{1, 7, 0.9f, {{"learning_rate_increase", 0.1f, "success rate 0.12 < 50%"},
                              {"attention_increase", 0.05f, "increase focus"}}},
        RateCase{3, 5, 0.9f, {{"learning_rate_increase", 0.1f, "success rate 0.38 < 50%"},
                              {"attention_increase", 0.05f, "increase focus"}}},
        RateCase{1, 1, 0.9f, {}},  // exactly 0.5
        RateCase{4, 1, 0.9f, {}},  // exactly 0.8
        RateCase{5, 1, 0.9f, {{"momentum_increase", 0.05f, "success rate 0.83 > 80%, reinforce"}}},
        // r = 0.9f / 4 = 0.2249999940... < 0.4 adds the identity recommendation;
        // its text rounds the exact binary value, so 0.22 and not 0.23.
        RateCase{1, 3, 0.0f, {{"learning_rate_increase", 0.1f, "success rate 0.25 < 50%"},
                              {"attention_increase", 0.05f, "increase focus"},
                              {"identity_lr_decrease", -0.005f, "avg resonance 0.22 too low"}}},
        RateCase{2, 2, 0.0f, {}},  // r = 0.45: not below 0.4
        RateCase{2, 2, -0.5f, {{"identity_lr_decrease", -0.005f, "avg resonance 0.20 too low"}}}));

TEST(Metacognition, SuccessNeedsBothStrictlyAboveHalf) {
  for (const auto& [res, acc, ok] : std::vector<std::tuple<float, float, bool>>{
           {0.5f, 0.9f, false}, {0.9f, 0.5f, false}, {0.50000006f, 0.50000006f, true}, {NAN, 0.9f, false}}) {
    Metacognition m(1);
    m.record(rec(1, res, acc));
    EXPECT_EQ(m.success_rate(), ok ? 1.0f : 0.0f) << res << " " << acc;
  }
}

TEST(Metacognition, WrongContextLengthIsDiscardedOrRejected) {
  Metacognition m(4);
  m.record(rec(4, 0.9f, 0.9f));
  m.record(rec(5, 0.1f, 0.1f));
  m.record(rec(3, 0.1f, 0.1f));
  EXPECT_EQ(m.size(), 1u);
  try {
    m.record_checked(rec(5, 0.1f, 0.1f));
    FAIL() << "no exception";
  } catch (const mhdc::value_error& e) {
    EXPECT_STREQ(e.what(), "argument 'context': expected a sequence of length 4 (got 5)");
  }
  EXPECT_EQ(m.size(), 1u);
  m.record_checked(rec(4, 0.2f, 0.2f));
  EXPECT_EQ(m.size(), 2u);
  EXPECT_EQ(m.history().back().hash, 7u);
}

TEST(Metacognition, AverageAddsInHistoryOrderFromNegativeZero) {
  Metacognition m(0);
  for (float r : {1e8f, 1.0f, -1e8f}) m.record(rec(0, r, 0.0f));
  EXPECT_EQ(m.avg_resonance(), 0.0f);  // 1e8 + 1 rounds back to 1e8; any other order gives 1/3
  Metacognition z(0);
  z.record(rec(0, -0.0f, 0.0f));
  EXPECT_TRUE(std::signbit(z.avg_resonance()));
}

TEST(Metacognition, EvictsOldestBeyondTenThousand) {
  Metacognition m(2);
  m.record(rec(2, 1000.0f, 0.9f));  // the only success, and a huge resonance
  for (int k = 0; k < 10000; ++k) m.record(rec(2, 0.25f, 0.1f));
  EXPECT_EQ(m.size(), 10000u);
  EXPECT_EQ(m.avg_resonance(), 0.25f);
  EXPECT_EQ(m.success_rate(), 0.0f);
  expect_recs(m.recommend(), {{"learning_rate_increase", 0.1f, "success rate 0.00 < 50%"},
                              {"attention_increase", 0.05f, "increase focus"},
                              {"identity_lr_decrease", -0.005f, "avg resonance 0.25 too low"}});
}

}  // namespace

namespace {

// recommend computes both figures in one pass; it must agree with the two methods.
TEST(Metacognition, RecommendUsesTheSameFiguresAsTheMethods) {
  std::mt19937 g(9);
  std::uniform_real_distribution<float> u(-0.2f, 1.2f);
  for (int t = 0; t < 200; ++t) {
    Metacognition m(1);
    const int n = static_cast<int>(g() % 30);
    for (int k = 0; k < n; ++k) m.record(rec(1, u(g), u(g)));
    const float s = m.success_rate(), r = m.avg_resonance();
    std::vector<Expect> want;
    const std::string s2 = mhdc::hdc::format_fixed(s, 2), r2 = mhdc::hdc::format_fixed(r, 2);
    if (s < 0.5f) {
      want.push_back({"learning_rate_increase", 0.1f, nullptr});
      want.push_back({"attention_increase", 0.05f, "increase focus"});
    } else if (s > 0.8f) {
      want.push_back({"momentum_increase", 0.05f, nullptr});
    }
    if (r < 0.4f) want.push_back({"identity_lr_decrease", -0.005f, nullptr});
    const auto got = m.recommend();
    ASSERT_EQ(got.size(), want.size()) << t;
    for (std::size_t k = 0; k < got.size(); ++k) {
      EXPECT_EQ(got[k].action, want[k].action);
      if (got[k].action == "learning_rate_increase") {
        EXPECT_EQ(got[k].reason, "success rate " + s2 + " < 50%");
      }
      if (got[k].action == "momentum_increase") {
        EXPECT_EQ(got[k].reason, "success rate " + s2 + " > 80%, reinforce");
      }
      if (got[k].action == "identity_lr_decrease") {
        EXPECT_EQ(got[k].reason, "avg resonance " + r2 + " too low");
      }
    }
  }
}

}  // namespace

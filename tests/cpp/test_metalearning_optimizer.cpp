#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "metalearning/optimizer.hpp"

using mhdc::meta::CognitiveParams;
using mhdc::meta::kParamTable;
using mhdc::meta::Optimizer;

namespace {

const float kNaN = std::numeric_limits<float>::quiet_NaN();

bool same_bits(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }

TEST(Optimizer, FreshValuesAreTheInitialOnes) {
  const Optimizer o;
  const float expect[7] = {0.5f, 0.5f, 0.5f, 0.5f, 0.3f, 0.01f, 0.3f};
  for (std::size_t k = 0; k < kParamTable.size(); ++k) {
    ASSERT_TRUE(o.get(kParamTable[k].first).has_value()) << kParamTable[k].first;
    EXPECT_EQ(*o.get(kParamTable[k].first), expect[k]) << kParamTable[k].first;
  }
  EXPECT_EQ(static_cast<double>(*o.get("inhibition_bias")), 0.30000001192092896);
  EXPECT_EQ(o.history_size(), 0u);
}

struct ActionCase {
  const char* action;
  float delta;
  float CognitiveParams::*param;  // nullptr: nothing may change
  float expected;
};

class OptimizerAction : public ::testing::TestWithParam<ActionCase> {};

TEST_P(OptimizerAction, MovesOnlyItsParameterWithinItsBound) {
  const ActionCase c = GetParam();
  Optimizer o;
  CognitiveParams want;
  if (c.param) want.*c.param = c.expected;
  o.apply(c.action, c.delta);
  for (const auto& [name, member] : kParamTable)
    EXPECT_TRUE(same_bits(o.params().*member, want.*member))
        << c.action << " " << name << " = " << o.params().*member;
  EXPECT_EQ(o.history_size(), 1u);  // the snapshot is taken even for unknown actions
  EXPECT_EQ(o.snapshot(0), CognitiveParams{});
}

INSTANTIATE_TEST_SUITE_P(
    Vocabulary, OptimizerAction,
    ::testing::Values(
        ActionCase{"learning_rate_increase", 0.7f, &CognitiveParams::learning_rate, 1.0f},
        ActionCase{"learning_rate_increase", -0.2f, &CognitiveParams::learning_rate, 0.5f + -0.2f},
        ActionCase{"learning_rate_decrease", -0.2f, &CognitiveParams::learning_rate, 0.5f - 0.2f},
        ActionCase{"learning_rate_decrease", 0.2f, &CognitiveParams::learning_rate, 0.5f - 0.2f},
        ActionCase{"attention_increase", 0.25f, &CognitiveParams::attention_weight, 0.75f},
        ActionCase{"attention_decrease", 2.0f, &CognitiveParams::attention_weight, 0.0f},
        ActionCase{"momentum_increase", -0.6f, &CognitiveParams::momentum, 0.0f},
        ActionCase{"momentum_decrease", -0.125f, &CognitiveParams::momentum, 0.375f},
        ActionCase{"excitation_increase", -1.0f, &CognitiveParams::excitation_bias, 0.0f},
        ActionCase{"inhibition_increase", 0.2f, &CognitiveParams::inhibition_bias, 0.3f + 0.2f},
        ActionCase{"exploration_increase", 0.9f, &CognitiveParams::exploration_rate, 1.0f},
        ActionCase{"identity_lr_increase", 5.0f, &CognitiveParams::identity_lr, 0.01f + 5.0f},
        ActionCase{"identity_lr_decrease", 1.0f, &CognitiveParams::identity_lr, 0.001f},
        ActionCase{"identity_lr_decrease", -0.005f, &CognitiveParams::identity_lr, 0.01f - 0.005f},
        ActionCase{"identity_lr_increase", -1.0f, &CognitiveParams::identity_lr, 0.001f},
        // NaN passes the [0, 1] clamp but the identity floor turns it into 0.001.
        ActionCase{"learning_rate_increase", kNaN, &CognitiveParams::learning_rate, kNaN},
        ActionCase{"identity_lr_increase", kNaN, &CognitiveParams::identity_lr, 0.001f},
        ActionCase{"momentum_increase", std::numeric_limits<float>::infinity(), &CognitiveParams::momentum, 1.0f},
        // Exact and case-sensitive; there are no decreases for these three.
        ActionCase{"Learning_Rate_Increase", 0.3f, nullptr, 0.0f},
        ActionCase{"learning_rate_increase ", 0.3f, nullptr, 0.0f},
        ActionCase{"excitation_decrease", 0.3f, nullptr, 0.0f},
        ActionCase{"inhibition_decrease", 0.3f, nullptr, 0.0f},
        ActionCase{"exploration_decrease", 0.3f, nullptr, 0.0f},
        ActionCase{"", 0.3f, nullptr, 0.0f}));

TEST(Optimizer, UnknownActionStillSnapshotsSoRollbackRestoresSameValues) {
  Optimizer o;
  o.apply("learning_rate_increase", 0.25f);
  const CognitiveParams before = o.params();
  o.apply("LEARNING_RATE_INCREASE", 0.25f);
  EXPECT_EQ(o.params(), before);
  o.rollback();
  EXPECT_EQ(o.params(), before);
  EXPECT_EQ(o.history_size(), 1u);
}

TEST(Optimizer, RollbackOnEmptyHistoryDoesNothing) {
  Optimizer o;
  o.rollback();
  EXPECT_EQ(o.params(), CognitiveParams{});
  EXPECT_EQ(o.history_size(), 0u);
}

TEST(Optimizer, HundredAndOneAppliesThenRollbacks) {
  Optimizer o;
  std::vector<CognitiveParams> before;  // before[k] = state before apply k + 1
  for (int k = 0; k < 101; ++k) {
    before.push_back(o.params());
    o.apply("identity_lr_increase", 1.0f);  // unbounded above, so every state differs
  }
  EXPECT_EQ(o.history_size(), 100u);
  EXPECT_EQ(o.snapshot(0), before[1]);
  EXPECT_EQ(o.snapshot(99), before[100]);
  const Optimizer copy = o;  // a copy carries the same history
  EXPECT_EQ(copy.snapshot(0), before[1]);
  for (int r = 1; r <= 100; ++r) {
    o.rollback();
    ASSERT_EQ(o.params(), before[101 - r]) << "rollback " << r;
  }
  EXPECT_EQ(o.history_size(), 0u);
  o.rollback();  // the state before apply 1 is gone for good
  EXPECT_EQ(o.params(), before[1]);
  EXPECT_NE(o.params(), before[0]);
}

TEST(Optimizer, GetMatchesExactNamesOnly) {
  Optimizer o;
  EXPECT_EQ(o.get("learning_rate"), 0.5f);
  for (const char* bad : {"", "Learning_rate", "learning_rate ", "learning", "delta", "dim"})
    EXPECT_FALSE(o.get(bad).has_value()) << bad;
  o.apply("exploration_increase", 0.5f);
  EXPECT_EQ(o.get("exploration_rate"), 0.3f + 0.5f);
}

}  // namespace

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "hdc/encoders.hpp"
#include "hdc/errors.hpp"
#include "hdc/hash.hpp"
#include "scheduler/holo_scheduler.hpp"

using mhdc::Hypervector;
using mhdc::scheduler::HoloScheduler;

namespace {

// recall written out directly over the stored texts' encodings.
bool reference_recall(std::size_t dim, const std::vector<Hypervector>& stored, const std::string& t) {
  if (stored.empty()) return false;
  const Hypervector q = mhdc::hdc::encode_string(t, dim);
  Hypervector world(dim, 0.0f);
  for (const auto& k : stored)
    for (std::size_t i = 0; i < dim; ++i) world[i] = world[i] + k[i] * k[i];
  float best = -2.0f;
  for (const auto& v : stored) {
    float sum = 0.0f;
    for (std::size_t i = 0; i < dim; ++i) sum = sum + (world[i] * q[i]) * v[i];
    const float score = sum / static_cast<float>(dim);
    if (score > best) best = score;
  }
  return best > 0.3f;
}

TEST(Scheduler, FreshObject) {
  const HoloScheduler s(16, 3);
  EXPECT_FALSE(s.recall("anything"));
  EXPECT_EQ(s.export_holographic_state(), Hypervector(16, 1.0f));
  EXPECT_EQ(s.feedback_strength(), 0.5f);
  EXPECT_EQ(s.dim(), 16u);
  EXPECT_EQ(s.quantum_capacity(), 3u);
  EXPECT_EQ(s.attention_head().nqubits(), 3u);
  EXPECT_TRUE(s.run_audit_integrity_check());
  EXPECT_FALSE(HoloScheduler(16, 0).run_audit_integrity_check());
}

TEST(Scheduler, StoreThenRecallAndSaturatingState) {
  HoloScheduler s(64, 1);
  s.store_memory("a");
  EXPECT_TRUE(s.recall("a"));
  const Hypervector key = mhdc::hdc::encode_string("a", 64);
  const Hypervector state = s.export_holographic_state();
  for (std::size_t i = 0; i < 64; ++i) EXPECT_EQ(state[i], key[i] > 0 ? 1.0f : 0.0f) << i;
  s.store_memory("a");
  EXPECT_EQ(s.concepts(), 2u);
  for (float w : s.world_vector()) EXPECT_EQ(w, 2.0f);
  for (const char* t : {"b", "c", "dd", "a longer text", "ü"}) s.store_memory(t);
  for (float x : s.export_holographic_state()) EXPECT_TRUE(x == -1.0f || x == 0.0f || x == 1.0f) << x;
  EXPECT_EQ(s.codebook_entry(2), mhdc::hdc::encode_string("b", 64));
}

TEST(Scheduler, RecallMatchesDirectComputation) {
  for (std::size_t dim : {1u, 7u, 8u, 33u, 64u, 65u, 256u}) {
    HoloScheduler s(dim, 1);
    std::vector<Hypervector> stored;
    std::vector<std::string> texts;
    for (int k = 0; k < 19; ++k) {  // crosses several eight-row blocks
      texts.push_back("concept-" + std::to_string(k * 7));
      stored.push_back(mhdc::hdc::encode_string(texts.back(), dim));
      s.store_memory(texts.back());
      for (int t = 0; t < 12; ++t) {
        const std::string probe = "probe-" + std::to_string(t * 31 + k);
        const bool want = reference_recall(dim, stored, probe);
        ASSERT_EQ(s.recall(probe), want) << dim << " " << probe;
        ASSERT_EQ(s.recall_in_order(probe), want) << dim << " " << probe;
      }
      ASSERT_TRUE(s.recall(texts.front()));
      ASSERT_EQ(s.codebook_entry(static_cast<std::size_t>(k)), stored.back());
    }
  }
}

// With W * dim above 2^24 the partial sums round, so recall must take the
// term-by-term path; it still matches the unshortened formula.
TEST(Scheduler, RecallBeyondExactCountingMatchesDirectComputation) {
  const std::size_t dim = 4096, n = 4097;
  HoloScheduler s(dim, 1);
  std::vector<Hypervector> stored;
  for (std::size_t k = 0; k < n; ++k) {
    const std::string t = "c" + std::to_string(k);
    s.store_memory(t);
    stored.push_back(mhdc::hdc::encode_string(t, dim));
  }
  ASSERT_EQ(s.world_vector()[0], static_cast<float>(n));
  for (const std::string probe : {"c17", "unseen", "c4096", "other"}) {
    EXPECT_EQ(s.recall(probe), reference_recall(dim, stored, probe)) << probe;
    EXPECT_EQ(s.recall(probe), s.recall_in_order(probe)) << probe;
  }
}

TEST(Scheduler, ZeroDimension) {
  HoloScheduler s(0, 5);
  s.store_memory("x");
  EXPECT_EQ(s.concepts(), 1u);
  EXPECT_FALSE(s.recall("x"));  // every score is 0/0
  EXPECT_TRUE(s.generate_role("x").empty());
  EXPECT_TRUE(s.export_holographic_state().empty());
  EXPECT_FALSE(s.run_audit_integrity_check());
  s.process_feedback(0.9f);
  EXPECT_EQ(s.metacognition().size(), 1u);
}

TEST(Scheduler, FeedbackMovesLearningRateBySignalMinusHalf) {
  struct Case { std::vector<float> signals; float expected; };
  const Case cases[] = {
      {{0.5f}, 0.5f}, {{2.0f}, 1.0f}, {{-1.0f}, 0.0f}, {{0.7f}, 0.5f + (0.7f + -0.5f)},
      {{0.25f}, 0.25f}, {{1.0f, 1.0f, 0.0f}, 0.5f}, {{0.0f, 0.0f, 0.9f}, 0.9f + -0.5f}};
  for (const Case& c : cases) {
    HoloScheduler s(8, 1);
    for (float x : c.signals) s.process_feedback(x);
    EXPECT_EQ(s.feedback_strength(), c.expected) << c.signals[0];
    EXPECT_EQ(s.optimizer().history_size(), c.signals.size());
    ASSERT_EQ(s.metacognition().size(), c.signals.size());
    const auto& r = s.metacognition().history().back();
    EXPECT_EQ(*r.context, Hypervector(8, 1.0f));
    EXPECT_EQ(r.context, s.metacognition().history().front().context);  // one shared vector
    EXPECT_EQ(r.hash, 0u);
    EXPECT_EQ(r.res, c.signals.back());
    EXPECT_EQ(r.coh, c.signals.back());
    EXPECT_EQ(r.acc, c.signals.back());
  }
  HoloScheduler s(8, 1);
  s.process_feedback(NAN);  // takes the decrease branch, and a NaN passes the clamp
  EXPECT_TRUE(std::isnan(s.feedback_strength()));
}

TEST(Scheduler, GenerateRoleIsSipHashOfLabelTerminatorAndIndex) {
  const HoloScheduler a(40, 1), b(40, 9), c(100, 1);
  for (const std::string label : {"", "x", "role:planner", "\xc3\xbc"}) {
    const Hypervector r = a.generate_role(label);
    ASSERT_EQ(r.size(), 40u);
    EXPECT_EQ(r, b.generate_role(label));
    const Hypervector longer = c.generate_role(label);
    EXPECT_TRUE(std::equal(r.begin(), r.end(), longer.begin()));
    for (std::uint64_t i = 0; i < 40; ++i) {
      std::string msg = label + '\xff';
      for (int k = 0; k < 8; ++k) msg += static_cast<char>((i >> (8 * k)) & 0xff);
      const std::uint64_t h = mhdc::hdc::siphash(1, 3, 0, 0, msg.data(), msg.size());
      EXPECT_EQ(r[i], (h & 1) ? 1.0f : -1.0f) << label << " " << i;
    }
  }
}

TEST(Scheduler, GroverSearchIsTheAttentionHead) {
  const HoloScheduler s(4, 2);
  const mhdc::heads::RowBuffer none, one(std::vector<Hypervector>{{1, 2, 3, 4, 5, 6}});
  try {
    s.quantum_grover_search(Hypervector{1}, none.view(), none.view());
    FAIL();
  } catch (const mhdc::value_error& e) {
    EXPECT_STREQ(e.what(), "assertion failed: !keys.is_empty() && keys.len() == values.len()");
  }
  EXPECT_EQ(s.quantum_grover_search(Hypervector{}, one.view(), one.view()), (Hypervector{1, 2, 3, 4, 5, 6}));
}

TEST(Scheduler, ImpossibleDimensionFailsAtConstruction) {
  for (std::uint64_t dim : {std::uint64_t{1} << 62, std::uint64_t{1} << 60, ~std::uint64_t{0}}) {
    bool threw = false;
    try {
      HoloScheduler s(dim, 1);
    } catch (const std::bad_alloc&) {
      threw = true;
    } catch (const std::length_error&) {
      threw = true;
    }
    EXPECT_TRUE(threw) << dim;
  }
}

}  // namespace

// What Python cannot see: recall's counting shortcut and its in-order path against the
// formula written out (at word edges, across eight-row blocks, past 2^24 where only the
// in-order sums are exact), and what process_feedback records.
#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "hdc/encoders.hpp"
#include "hdc/state.hpp"
#include "scheduler/holo_scheduler.hpp"

static void check(unsigned dim, unsigned n, unsigned probes) {
  mhdc::scheduler::HoloScheduler s(dim, 1);
  for (unsigned k = 0; k < n; ++k) s.store_memory("c" + std::to_string(k));
  for (unsigned p = 0; p < probes; ++p) {  // few stores and many probes give both answers
    const std::string probe = (p % 4 ? "p" : "c") + std::to_string(p);
    const mhdc::Hypervector q = mhdc::hdc::encode_string(probe, dim);
    float best = -2.0f;
    for (unsigned k = 0; k < n; ++k) {
      const mhdc::Hypervector v = mhdc::hdc::encode_string("c" + std::to_string(k), dim);
      float sum = 0.0f;  // every world entry is n: each store adds k * k = 1
      for (std::size_t i = 0; i < dim; ++i) sum = sum + (static_cast<float>(n) * q[i]) * v[i];
      best = std::max(best, sum / static_cast<float>(dim));
    }
    EXPECT_EQ(s.recall(probe), best > 0.3f) << dim << " " << n << " " << probe;
    EXPECT_EQ(s.recall_in_order(probe), best > 0.3f) << dim << " " << n << " " << probe;
  }
}

TEST(Scheduler, BothRecallPathsAgreeWithTheFormula) {
  for (unsigned dim : {1u, 63u, 64u, 65u, 129u})
    for (unsigned n : {1u, 2u, 9u}) check(dim, n, 100);
  check(6000000, 3, 3);  // sums of +-3 up to 1.8e7
}

TEST(Scheduler, FeedbackIsRecordedUnderOneSharedAllOnesContext) {
  mhdc::scheduler::HoloScheduler s(8, 1);
  for (float x : {0.9f, 0.2f}) s.process_feedback(x);
  const auto& h = s.metacognition().history();
  ASSERT_EQ(std::pair(h.size(), s.optimizer().history_size()), std::pair(std::size_t{2}, std::size_t{2}));
  EXPECT_EQ(h[0].context, h[1].context);
  EXPECT_EQ(*h[1].context, mhdc::Hypervector(8, 1.0f));
  EXPECT_EQ(std::tuple(h[1].hash, h[1].res, h[1].coh, h[1].acc), std::tuple(std::uint64_t{0}, 0.2f, 0.2f, 0.2f));
}

TEST(Scheduler, ALoadedSchedulerRebuildsItsWorldAndSharesOneFeedbackContext) {
  mhdc::scheduler::HoloScheduler s(70, 2);
  for (float x : {0.9f, 0.2f}) s.process_feedback(x);
  for (const char* t : {"a", "b", "c"}) s.store_memory(t);
  mhdc::hdc::StateWriter w("S", 1);
  s.save(w);
  const std::string bytes = w.take();
  mhdc::hdc::StateReader r(bytes, "S", 1);
  auto t = mhdc::scheduler::HoloScheduler::load(r);
  r.finish();

  EXPECT_EQ(mhdc::Hypervector(t.world_vector().begin(), t.world_vector().end()), mhdc::Hypervector(70, 3.0f));
  t.process_feedback(0.7f);
  const auto& h = t.metacognition().history();
  ASSERT_EQ(h.size(), 3u);
  EXPECT_EQ(h[0].context, h[1].context);
  EXPECT_EQ(h[0].context, h[2].context);  // the new record shares the rebuilt context
  EXPECT_EQ(*h[0].context, mhdc::Hypervector(70, 1.0f));
}

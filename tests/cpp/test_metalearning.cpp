// What Python cannot reach: records sharing one context object (only C++ callers such
// as the scheduler make them) keep sharing it after a load, and the state holds it once.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <tuple>

#include "hdc/state.hpp"
#include "metalearning/metacognition.hpp"

using mhdc::Hypervector;
using mhdc::metalearning::Metacognition;

namespace {
std::string saved(const Metacognition& m) {
  mhdc::hdc::StateWriter w("M", 1);
  m.save(w);
  return w.take();
}
Metacognition loaded(const std::string& bytes) {
  mhdc::hdc::StateReader r(bytes, "M", 1);
  Metacognition m = Metacognition::load(r);
  r.finish();
  return m;
}
}  // namespace

TEST(Metacognition, SharedContextsAreSavedOnceAndSharedAgain) {
  const auto a = std::make_shared<const Hypervector>(Hypervector{1.0f, -2.0f, 3.0f});
  const auto b = std::make_shared<const Hypervector>(Hypervector{0.5f, 0.0f, -0.0f});
  Metacognition shared(3), unshared(3);
  shared.record({a, 7, 0.9f, 0.1f, 0.8f});
  shared.record({b, 8, 0.2f, 0.3f, 0.4f});
  shared.record({a, 9, 0.6f, 0.7f, 0.1f});
  for (const auto& r : shared.history())
    unshared.record({std::make_shared<const Hypervector>(*r.context), r.hash, r.res, r.coh, r.acc});

  const std::string bytes = saved(shared);
  EXPECT_EQ(saved(unshared).size(), bytes.size() + 8 + 3 * 4);  // one more context, its count and floats

  const Metacognition m = loaded(bytes);
  const auto& h = m.history();
  ASSERT_EQ(h.size(), 3u);
  EXPECT_EQ(h[0].context, h[2].context);
  EXPECT_NE(h[0].context, h[1].context);
  for (std::size_t k = 0; k < 3; ++k) {
    const auto& o = shared.history()[k];
    EXPECT_EQ(*h[k].context, *o.context);
    EXPECT_EQ(std::tuple(h[k].hash, h[k].res, h[k].coh, h[k].acc), std::tuple(o.hash, o.res, o.coh, o.acc));
  }
  EXPECT_EQ(saved(m), bytes);
}

// Causal memory: edge cases, the length check, and random record/query
// sequences against a literal transcription over plain edge lists.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <map>
#include <optional>
#include <random>
#include <vector>

#include "hdc/encoders.hpp"
#include "hdc/errors.hpp"
#include "memory/causal_memory.hpp"
#include "memory/row_store.hpp"

namespace {

using mhdc::Hypervector;
using mhdc::HvView;
using mhdc::memory::CausalMemory;
using mhdc::memory::RowStore;

bool same_bits(const Hypervector& a, const Hypervector& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (std::bit_cast<std::uint32_t>(a[i]) != std::bit_cast<std::uint32_t>(b[i])) return false;
  return true;
}

Hypervector bipolar(std::mt19937_64& rng, std::size_t n) {
  Hypervector v(n);
  for (auto& x : v) x = rng() & 1 ? 1.0f : -1.0f;
  return v;
}

// Literal model: edges as plain vectors, scalar sums from -0.0, std::map indexes.
struct ModelMemory {
  std::uint64_t dim;
  struct Edge { Hypervector c, e, t; };
  std::vector<Edge> edges;
  Hypervector trace, cr, er, tr;
  std::map<std::uint64_t, std::vector<std::size_t>> ci, ei;

  explicit ModelMemory(std::uint64_t d)
      : dim(d), trace(d), cr(mhdc::hdc::make_role(d, "__CAUSE_ROLE__")),
        er(mhdc::hdc::make_role(d, "__EFFECT_ROLE__")), tr(mhdc::hdc::make_role(d, "__TEMPORAL_ROLE__")) {}

  static float nd(HvView q, HvView v, std::size_t n) {
    float s = -0.0f;
    for (std::size_t i = 0; i < std::min({q.size(), v.size(), n}); ++i) s += q[i] * v[i];
    return s / static_cast<float>(n);
  }
  Hypervector probe(HvView q, const Hypervector& r) const {
    Hypervector p(std::min<std::size_t>(q.size(), dim));
    for (std::size_t i = 0; i < p.size(); ++i) p[i] = (r[i] * q[i]) * trace[i];
    return p;
  }
  void record(const Hypervector& c, const Hypervector& e, const Hypervector& t) {
    ci[mhdc::hdc::hv_hash(c)].push_back(edges.size());
    ei[mhdc::hdc::hv_hash(e)].push_back(edges.size());
    edges.push_back({c, e, t});
    for (std::size_t i = 0; i < dim; ++i) trace[i] = trace[i] + ((cr[i] * c[i] + er[i] * e[i]) + tr[i] * t[i]);
  }
  std::optional<Hypervector> recall_effect(const Hypervector& c) const {
    if (edges.empty()) return std::nullopt;
    if (auto it = ci.find(mhdc::hdc::hv_hash(c)); it != ci.end()) {
      float best = -1.0f;
      std::size_t bk = 0;
      for (auto k : it->second)
        if (float s = nd(c, edges[k].c, c.size()); s > best) best = s, bk = k;
      if (best > 0.0f) return edges[bk].e;
    }
    const auto p = probe(c, cr);
    float best = -1.0f;
    std::size_t bk = 0;
    for (std::size_t k = 0; k < edges.size(); ++k)
      if (float s = nd(p, edges[k].e, p.size()); s > best) best = s, bk = k;
    if (best > 0.0f) return edges[bk].e;
    return std::nullopt;
  }
  std::vector<Hypervector> recall_cause(const Hypervector& e) const {
    std::vector<std::pair<Hypervector, float>> got;
    if (edges.empty()) return {};
    if (auto it = ei.find(mhdc::hdc::hv_hash(e)); it != ei.end())
      for (auto k : it->second)
        if (float s = nd(e, edges[k].e, e.size()); s > 0.0f) got.push_back({edges[k].c, s});
    if (got.empty()) {
      const auto p = probe(e, er);
      for (const auto& ed : edges)
        if (float s = nd(p, ed.c, p.size()); s > 0.0f) got.push_back({ed.c, s});
    }
    std::stable_sort(got.begin(), got.end(), [](auto& a, auto& b) { return a.second > b.second; });
    std::vector<Hypervector> out;
    for (auto& g : got) out.push_back(g.first);
    return out;
  }
  std::optional<Hypervector> recall_by_time(const Hypervector& t) const {
    if (edges.empty()) return std::nullopt;
    float best = -1.0f;
    std::size_t bk = 0;
    for (std::size_t k = 0; k < edges.size(); ++k)
      if (float s = nd(t, edges[k].t, t.size()); s > best) best = s, bk = k;
    if (best > 0.0f) return edges[bk].e;
    const auto p = probe(t, tr);
    for (std::size_t k = 0; k < edges.size(); ++k)
      if (float s = nd(p, edges[k].e, p.size()); s > best) best = s, bk = k;
    if (best > 0.0f) return edges[bk].e;
    return std::nullopt;
  }
};

TEST(RowStore, DotsMatchRowByRowSumsForAnyLengths) {
  std::mt19937_64 rng(7);
  std::normal_distribution<float> g;
  const float inf = std::numeric_limits<float>::infinity();
  for (std::size_t width : {0, 1, 5, 16, 37}) {
    RowStore st(width);
    std::vector<Hypervector> rows;
    for (int r = 0; r < 53; ++r) {  // 6 full blocks and a part: groups of 4 and 2, and leftovers
      Hypervector v(rng() % (width + 6));
      for (auto& x : v) x = g(rng);
      st.push(v);
      rows.push_back(v);
    }
    for (int t = 0; t < 20; ++t) {
      Hypervector q(rng() % (width + 8));
      for (auto& x : q) x = g(rng);
      if (!q.empty() && t % 3 == 0) q.back() = inf;  // padding read as 0 * inf would give NaN
      for (auto kernel : {mhdc::memory::LaneKernel::automatic, mhdc::memory::LaneKernel::generic,
                          mhdc::memory::LaneKernel::sse2, mhdc::memory::LaneKernel::avx2}) {
        if (!mhdc::memory::lane_kernel_available(kernel)) continue;
        std::vector<float> out(rows.size());
        st.dots(q, -0.0f, out.data(), kernel);
        for (std::size_t r = 0; r < rows.size(); ++r) {
          float s = -0.0f;
          for (std::size_t i = 0; i < std::min(q.size(), rows[r].size()); ++i) s += q[i] * rows[r][i];
          ASSERT_EQ(std::bit_cast<std::uint32_t>(out[r]), std::bit_cast<std::uint32_t>(s))
              << width << " " << r << " kernel " << int(kernel);
        }
      }
      for (std::size_t r = 0; r < rows.size(); ++r) {
        float s = -0.0f;
        for (std::size_t i = 0; i < std::min(q.size(), rows[r].size()); ++i) s += q[i] * rows[r][i];
        ASSERT_EQ(std::bit_cast<std::uint32_t>(st.dot(r, q, -0.0f)), std::bit_cast<std::uint32_t>(s));
        ASSERT_TRUE(same_bits(st.row(r), rows[r]));
      }
    }
  }
}

TEST(CausalMemory, NormDotStartsFromNegativeZero) {
  const Hypervector z = {0.0f}, m = {-1.0f};
  EXPECT_TRUE(std::signbit(CausalMemory::norm_dot(z, m, 1)));   // -0 + (0 * -1 = -0) stays -0
  EXPECT_TRUE(std::signbit(CausalMemory::norm_dot({}, {}, 4)));  // no products
  EXPECT_TRUE(std::isnan(CausalMemory::norm_dot({}, {}, 0)));
  EXPECT_EQ(CausalMemory::norm_dot(Hypervector{1, 2, 3}, Hypervector{1, 1}, 4), 0.75f);  // divisor is n
}

TEST(CausalMemory, EmptyMemory) {
  CausalMemory m(16);
  EXPECT_FALSE(m.recall_effect(Hypervector(16, 1.0f)));
  EXPECT_TRUE(m.recall_cause(Hypervector(16, 1.0f)).empty());
  EXPECT_FALSE(m.recall_by_time(Hypervector(16, 1.0f)));
}

TEST(CausalMemory, OneRelationAnswersAllThreeQueries) {
  std::mt19937_64 rng(1);
  for (std::size_t dim : {1, 64, 100}) {
    CausalMemory m(dim);
    const auto c = bipolar(rng, dim), e = bipolar(rng, dim), t = bipolar(rng, dim);
    m.record(c, e, t);
    EXPECT_TRUE(same_bits(*m.recall_effect(c), e));
    const auto causes = m.recall_cause(e);
    ASSERT_EQ(causes.size(), 1u);
    EXPECT_TRUE(same_bits(causes[0], c));
    EXPECT_TRUE(same_bits(*m.recall_by_time(t), e));
  }
}

TEST(CausalMemory, RepeatedCauseReturnsFirstEffect) {
  std::mt19937_64 rng(2);
  CausalMemory m(128);
  const auto c = bipolar(rng, 128), e1 = bipolar(rng, 128), e2 = bipolar(rng, 128);
  m.record(c, e1, bipolar(rng, 128));
  m.store(c, e2, bipolar(rng, 128));
  EXPECT_TRUE(same_bits(*m.recall_effect(c), e1));
}

TEST(CausalMemory, CausesOfOneEffectComeBestFirstAndStable) {
  std::mt19937_64 rng(3);
  CausalMemory m(96);
  const auto e = bipolar(rng, 96);
  Hypervector half = e, twice = e;
  for (auto& x : half) x *= 0.5f;
  for (auto& x : twice) x *= 2.0f;
  const auto c1 = bipolar(rng, 96), c2 = bipolar(rng, 96), c3 = bipolar(rng, 96), c4 = bipolar(rng, 96);
  m.record(c1, half, bipolar(rng, 96));   // score 0.5
  m.record(c2, e, bipolar(rng, 96));      // score 1
  m.record(c3, twice, bipolar(rng, 96));  // score 2
  m.record(c4, e, bipolar(rng, 96));      // ties c2, recorded later
  const auto got = m.recall_cause(e);
  ASSERT_EQ(got.size(), 4u);
  EXPECT_TRUE(same_bits(got[0], c3));
  EXPECT_TRUE(same_bits(got[1], c2));
  EXPECT_TRUE(same_bits(got[2], c4));
  EXPECT_TRUE(same_bits(got[3], c1));
}

TEST(CausalMemory, EmptyQueriesFindNothing) {
  std::mt19937_64 rng(4);
  CausalMemory m(32);
  m.record(bipolar(rng, 32), bipolar(rng, 32), bipolar(rng, 32));
  EXPECT_FALSE(m.recall_effect({}));
  EXPECT_TRUE(m.recall_cause({}).empty());
  EXPECT_FALSE(m.recall_by_time({}));
}

TEST(CausalMemory, MatchingSignatureWithNegativeDotUsesFallback) {
  std::mt19937_64 rng(5);
  const std::size_t dim = 256;
  CausalMemory m(dim);
  ModelMemory ref(dim);
  for (int k = 0; k < 6; ++k) {
    const auto c = bipolar(rng, dim), e = bipolar(rng, dim), t = bipolar(rng, dim);
    m.record(c, e, t);
    ref.record(c, e, t);
  }
  // Same signs as edge 2's cause in the first 64 components, opposite (and larger) after.
  Hypervector q = m.edge(2).cause;
  for (std::size_t i = 64; i < dim; ++i) q[i] = -2.0f * q[i];
  ASSERT_EQ(mhdc::hdc::hv_hash(q), mhdc::hdc::hv_hash(m.edge(2).cause));
  ASSERT_LE(CausalMemory::norm_dot(q, m.edge(2).cause, dim), 0.0f);
  const auto got = m.recall_effect(q), want = ref.recall_effect(q);
  ASSERT_EQ(got.has_value(), want.has_value());
  if (got) {
    EXPECT_TRUE(same_bits(*got, *want));
  }
}

TEST(CausalMemory, ShortVectorsAreRejectedAndChangeNothing) {
  std::mt19937_64 rng(6);
  CausalMemory m(8);
  const auto c = bipolar(rng, 8), e = bipolar(rng, 8), t = bipolar(rng, 8);
  m.record(c, e, t);
  const Hypervector trace = m.trace();
  struct Case { Hypervector c, e, t; const char* msg; };
  const Case cases[] = {
      {bipolar(rng, 3), e, t, "cause has length 3, expected at least 8"},
      {c, bipolar(rng, 7), t, "effect has length 7, expected at least 8"},
      {c, e, {}, "time has length 0, expected at least 8"},
      {{}, {}, {}, "cause has length 0, expected at least 8"},
  };
  for (const auto& k : cases) {
    try {
      m.record(k.c, k.e, k.t);
      ADD_FAILURE() << "accepted " << k.msg;
    } catch (const mhdc::value_error& err) {
      EXPECT_STREQ(err.what(), k.msg);
    }
    EXPECT_EQ(m.size(), 1u);
    EXPECT_TRUE(same_bits(m.trace(), trace));
    EXPECT_EQ(m.recall_cause(e).size(), 1u);
  }
  m.record(c, bipolar(rng, 8), t);  // still usable, indexes consistent
  EXPECT_EQ(m.recall_cause(e).size(), 1u);
  EXPECT_TRUE(same_bits(*m.recall_effect(c), e));
}

TEST(CausalMemory, LongVectorsAreKeptWholeButTraceUsesDim) {
  std::mt19937_64 rng(8);
  CausalMemory m(4);
  const auto c = bipolar(rng, 9), e = bipolar(rng, 6), t = bipolar(rng, 4);
  m.record(c, e, t);
  EXPECT_TRUE(same_bits(m.edge(0).cause, c));
  EXPECT_TRUE(same_bits(m.edge(0).effect, e));
  EXPECT_EQ(m.trace().size(), 4u);
  EXPECT_TRUE(same_bits(*m.recall_by_time(t), e));
}

TEST(CausalMemory, HugeDimThrowsFromConstructor) {
  for (std::uint64_t dim : {1ULL << 40, 1ULL << 62, ~0ULL}) {
    bool threw = false;
    try {
      CausalMemory m(dim);
    } catch (const std::bad_alloc&) {
      threw = true;
    } catch (const std::length_error&) {
      threw = true;
    }
    EXPECT_TRUE(threw) << dim;
  }
}

TEST(CausalMemory, RandomSequencesMatchLiteralModel) {
  std::mt19937_64 rng(99);
  std::normal_distribution<float> g;
  auto vec = [&](std::size_t n) {
    Hypervector v(n);
    const int kind = static_cast<int>(rng() % 3);
    for (auto& x : v) x = kind == 0 ? (rng() & 1 ? 1.0f : -1.0f) : kind == 1 ? g(rng) : float(int(rng() % 5) - 2);
    return v;
  };
  for (int round = 0; round < 10; ++round) {
    const std::size_t dim = rng() % 90;
    CausalMemory m(dim);
    ModelMemory ref(dim);
    std::vector<Hypervector> seen;
    for (int op = 0; op < 40; ++op) {
      const int what = static_cast<int>(rng() % 4);
      if (what == 0 || seen.empty()) {
        auto c = vec(dim + rng() % 3), e = vec(dim + rng() % 3), t = vec(dim + rng() % 3);
        if (!seen.empty() && rng() % 3 == 0) c = seen[rng() % seen.size()];
        if (!seen.empty() && rng() % 3 == 0) e = seen[rng() % seen.size()];
        if (e.size() < dim || c.size() < dim) continue;
        m.record(c, e, t);
        ref.record(c, e, t);
        seen.insert(seen.end(), {c, e, t});
        continue;
      }
      Hypervector q = rng() % 2 ? seen[rng() % seen.size()] : vec(rng() % (dim + 4));
      if (rng() % 4 == 0) q.resize(rng() % (q.size() + 1));
      if (what == 1) {
        const auto a = m.recall_effect(q), b = ref.recall_effect(q);
        ASSERT_EQ(a.has_value(), b.has_value());
        if (a) {
          ASSERT_TRUE(same_bits(*a, *b));
        }
      } else if (what == 2) {
        const auto a = m.recall_cause(q), b = ref.recall_cause(q);
        ASSERT_EQ(a.size(), b.size());
        for (std::size_t i = 0; i < a.size(); ++i) ASSERT_TRUE(same_bits(a[i], b[i]));
      } else {
        const auto a = m.recall_by_time(q), b = ref.recall_by_time(q);
        ASSERT_EQ(a.has_value(), b.has_value());
        if (a) {
          ASSERT_TRUE(same_bits(*a, *b));
        }
      }
    }
    ASSERT_TRUE(same_bits(m.trace(), ref.trace));
    for (std::size_t k = 0; k < ref.edges.size(); ++k) {
      const auto ed = m.edge(k);
      ASSERT_TRUE(same_bits(ed.cause, ref.edges[k].c) && same_bits(ed.effect, ref.edges[k].e) &&
                  same_bits(ed.time, ref.edges[k].t));
    }
  }
}

}  // namespace

// Multi-hop reasoner: the documented examples, the link check, NaN ordering,
// and the adjacency walk against a direct transcription of the per-frontier
// scan over the whole link list, on random graphs.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "hdc/algebra.hpp"
#include "hdc/errors.hpp"
#include "memory/reasoner.hpp"

namespace {

using mhdc::Hypervector;
using mhdc::memory::MultiHopReasoner;
using mhdc::memory::ReasonHit;
using V = Hypervector;
using Links = std::vector<std::pair<std::uint64_t, std::uint64_t>>;

// The literal loop: every frontier fact scans every link in registration order.
std::vector<ReasonHit> literal_reason(const std::vector<Hypervector>& facts, const Links& links,
                                      const Hypervector& q, std::uint64_t hops) {
  const std::size_t n = facts.size();
  std::vector<bool> visited(n, false);
  std::vector<ReasonHit> res;
  std::vector<std::size_t> frontier;
  for (std::size_t i = 0; i < n; ++i) {
    const float s = mhdc::hdc::resonance(q, facts[i]);
    if (s > 0.6f) res.push_back({i, s}), frontier.push_back(i), visited[i] = true;
  }
  for (std::uint64_t h = 0; h < hops && !frontier.empty(); ++h) {
    std::vector<std::size_t> next;
    for (std::size_t f : frontier) {
      for (std::size_t j = 0; j < links.size(); ++j) {
        const auto [a, b] = links[j];
        std::uint64_t other;
        if (a == f) other = b;
        else if (b == f) other = a;
        else continue;
        if (other >= n)
          throw mhdc::index_error("link " + std::to_string(j) + " (" + std::to_string(a) + ", " +
                                  std::to_string(b) + ") reaches fact " + std::to_string(other) +
                                  ", but there are only " + std::to_string(n) + " facts");
        if (visited[other]) continue;
        res.push_back({other, mhdc::hdc::resonance(q, facts[other])});
        next.push_back(other);
        visited[other] = true;
      }
    }
    frontier = next;
  }
  mhdc::memory::sort_hits(res);
  return res;
}

void expect_hits(const std::vector<ReasonHit>& got, const std::vector<ReasonHit>& want) {
  ASSERT_EQ(got.size(), want.size());
  for (std::size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i].index, want[i].index) << i;
    EXPECT_EQ(std::bit_cast<std::uint32_t>(got[i].score), std::bit_cast<std::uint32_t>(want[i].score)) << i;
  }
}

TEST(Reasoner, NoFacts) {
  MultiHopReasoner r(4);
  r.add_link(0, 1);
  EXPECT_TRUE(r.reason(V{1, 1, 1, 1}, 0).empty());
  EXPECT_TRUE(r.reason(V{1, 1, 1, 1}, 5).empty());
}

TEST(Reasoner, HopOneExampleInBothLinkDirections) {
  for (const auto& link : Links{{0, 1}, {1, 0}}) {
    MultiHopReasoner r(4);
    EXPECT_EQ(r.add_fact(V{1, -1, 1, -1}), 0u);
    EXPECT_EQ(r.add_fact(V{1, 1, -1, -1}), 1u);  // dot 0 with the query
    r.add_link(link.first, link.second);
    const Hypervector q = {1, -1, 1, -1};
    expect_hits(r.reason(q, 0), {{0, 1.0f}});
    expect_hits(r.reason(q, 1), {{0, 1.0f}, {1, 0.5f}});
    expect_hits(r.reason(q, 1000), {{0, 1.0f}, {1, 0.5f}});
  }
}

TEST(Reasoner, SelfLinksAndDuplicatesAddNothing) {
  MultiHopReasoner r(2);
  r.add_fact(V{1, 1});
  r.add_fact(V{-1, -1});
  r.add_link(0, 0);
  r.add_link(1, 1);
  expect_hits(r.reason(V{1, 1}, 3), {{0, 1.0f}});
  r.add_link(0, 1);
  r.add_link(1, 0);
  expect_hits(r.reason(V{1, 1}, 3), {{0, 1.0f}, {1, 0.0f}});
}

TEST(Reasoner, ThresholdIsStrictAtTheFloatNearestPointSix) {
  MultiHopReasoner r(5);
  r.add_fact(V{1, 0, 0, 0, 0});  // (1/5 + 1) * 0.5 rounds to exactly 0.6f
  r.add_fact(V{1, 1, 0, 0, 0});  // 0.7
  ASSERT_EQ(mhdc::hdc::resonance(Hypervector{1, 1, 1, 1, 1}, Hypervector{1, 0, 0, 0, 0}), 0.6f);
  expect_hits(r.reason(V{1, 1, 1, 1, 1}, 0), {{1, 0.7f}});
}

TEST(Reasoner, EmptyQueryFindsNothing) {
  MultiHopReasoner r(2);
  r.add_fact(V{1, 1});
  r.add_link(0, 0);
  EXPECT_TRUE(r.reason(V{}, 2).empty());
}

TEST(Reasoner, ResetStartsAgain) {
  MultiHopReasoner r(2);
  r.add_fact(V{1, 1});
  r.add_fact(V{-1, 1});
  r.add_link(0, 1);
  r.reset();
  EXPECT_EQ(r.fact_count(), 0u);
  EXPECT_TRUE(r.links().empty());
  EXPECT_EQ(r.add_fact(V{1, 1}), 0u);
  EXPECT_EQ(r.add_fact(V{-1, 1}), 1u);
  expect_hits(r.reason(V{1, 1}, 2), {{0, 1.0f}});
}

TEST(Reasoner, FollowedLinkToMissingFactThrows) {
  MultiHopReasoner r(2);
  r.add_fact(V{1, 1});
  r.add_fact(V{1, -1});
  r.add_link(5, 9);   // never followed: neither end is a reached fact
  r.add_link(1, 7);   // fact 1 is never reached
  r.add_link(0, 1);
  expect_hits(r.reason(V{1, 1}, 1), {{0, 1.0f}, {1, 0.5f}});
  r.add_link(4, 0);
  expect_hits(r.reason(V{1, 1}, 0), {{0, 1.0f}});  // hop 0 follows no link
  try {
    r.reason(V{1, 1}, 1);
    ADD_FAILURE() << "no error";
  } catch (const mhdc::index_error& e) {
    EXPECT_STREQ(e.what(), "link 3 (4, 0) reaches fact 4, but there are only 2 facts");
  }
  // At hop 2 fact 1 is on the frontier and its link (1, 7) comes first.
  MultiHopReasoner s(2);
  s.add_fact(V{1, 1});
  s.add_fact(V{1, -1});
  s.add_link(0, 1);
  s.add_link(1, 7);
  expect_hits(s.reason(V{1, 1}, 1), {{0, 1.0f}, {1, 0.5f}});
  EXPECT_THROW(s.reason(V{1, 1}, 2), mhdc::index_error);
  EXPECT_EQ(s.fact_count(), 2u);
}

TEST(Reasoner, NanScoresSortLastInDiscoveryOrder) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  MultiHopReasoner r(2);
  r.add_fact(V{1, 1});      // 0: 1.0
  r.add_fact(V{nan, 1});    // 1: NaN
  r.add_fact(V{-1, -1});    // 2: 0.0
  r.add_fact(V{1, nan});    // 3: NaN
  r.add_fact(V{1, -1});     // 4: 0.5
  r.add_link(0, 3);
  r.add_link(0, 1);
  r.add_link(0, 2);
  r.add_link(4, 0);
  const auto got = r.reason(V{1, 1}, 1);
  ASSERT_EQ(got.size(), 5u);
  const std::uint64_t order[] = {0, 4, 2, 3, 1};
  for (int i = 0; i < 5; ++i) EXPECT_EQ(got[i].index, order[i]);
  EXPECT_TRUE(std::isnan(got[3].score) && std::isnan(got[4].score));
}

TEST(Reasoner, FactsOfAnyLengthScoreAsResonance) {
  const float inf = std::numeric_limits<float>::infinity();
  MultiHopReasoner r(4);
  const std::vector<Hypervector> facts = {{1, 1, 1, 1}, {1, 1}, {1, 1, 1, 1, 1, 1}, {}, {1, 1, 1, 1, -1}};
  for (const auto& f : facts) r.add_fact(f);
  for (std::size_t i = 0; i < facts.size(); ++i) r.add_link(i, (i + 1) % facts.size());
  for (const Hypervector& q : {Hypervector{1, 1, 1, 1, 1, inf}, Hypervector{1, 1, 1}, Hypervector{inf, 1, 1, 1}}) {
    std::vector<Hypervector> stored;
    for (std::size_t i = 0; i < facts.size(); ++i) stored.push_back(r.fact(i));
    expect_hits(r.reason(q, 9), literal_reason(stored, r.links(), q, 9));
  }
}

TEST(Reasoner, AdjacencyWalkMatchesLiteralLoopOnRandomGraphs) {
  std::mt19937_64 rng(2024);
  for (int round = 0; round < 300; ++round) {
    const std::size_t dim = 1 + rng() % 12;
    const std::size_t n = rng() % 25;
    MultiHopReasoner r(dim);
    std::vector<Hypervector> facts;
    for (std::size_t i = 0; i < n; ++i) {
      Hypervector f(dim);
      for (auto& x : f) x = float(int(rng() % 3) - 1);
      facts.push_back(f);
      r.add_fact(f);
    }
    const std::size_t nl = rng() % 60;
    const bool allow_bad = round % 4 == 0;
    for (std::size_t j = 0; j < nl; ++j) {
      const std::uint64_t span = n + (allow_bad ? 3 : 0);
      if (span == 0) break;
      r.add_link(rng() % span, rng() % span);
    }
    Hypervector q = facts.empty() ? Hypervector(dim, 1.0f) : facts[rng() % n];
    if (rng() % 2) q[rng() % dim] = -q[0];
    const std::uint64_t hops = rng() % 6;
    std::string want_err, got_err;
    std::vector<ReasonHit> want, got;
    try { want = literal_reason(facts, r.links(), q, hops); } catch (const mhdc::index_error& e) { want_err = e.what(); }
    try { got = r.reason(q, hops); } catch (const mhdc::index_error& e) { got_err = e.what(); }
    ASSERT_EQ(got_err, want_err) << round;
    expect_hits(got, want);
  }
}

}  // namespace

namespace {
TEST(Reasoner, HugeDimWithShortFactsAllocatesNothingDimWide) {
  MultiHopReasoner r(1ULL << 62);
  EXPECT_EQ(r.add_fact(V{1, 1}), 0u);
  EXPECT_EQ(r.add_fact(V{1, 1, 1}), 1u);
  r.add_link(0, 1);
  expect_hits(r.reason(V{1, 1}, ~0ULL), {{0, 1.0f}, {1, 1.0f}});
}
}  // namespace

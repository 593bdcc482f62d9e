// Swarm composition: add_agent, the swarm vector, materialize, paradox traps and
// the codebook the scans read.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "hdc/encoders.hpp"
#include "hdc/errors.hpp"
#include "swarm/codebook.hpp"
#include "swarm/swarm.hpp"

using mhdc::Hypervector;
using mhdc::swarm::Codebook;
using mhdc::swarm::HoloSwarm;

namespace {

Hypervector bipolar(std::mt19937_64& g, std::size_t n) {
  Hypervector v(n);
  for (float& x : v) x = (g() >> 63) ? -1.0f : 1.0f;
  return v;
}

std::vector<std::uint32_t> bits(const Hypervector& v) {
  std::vector<std::uint32_t> out;
  for (float x : v) out.push_back(std::bit_cast<std::uint32_t>(x));
  return out;
}

// Literal rotation right: out[(i + k) mod L] = v[i] (k reduced first so i + k cannot wrap).
Hypervector rotate_literal(const Hypervector& v, std::uint64_t k) {
  Hypervector out(v.size());
  for (std::size_t i = 0; i < v.size(); ++i) out[(i + k % v.size()) % v.size()] = v[i];
  return out;
}

// What add_agent adds: rotation of r * (p * s) by the role shift, over min(dim, L, |sv|).
void add_literal(Hypervector& sv, std::uint64_t dim, const std::string& role, const Hypervector& r,
                 const Hypervector& p, const Hypervector& s) {
  const std::size_t len = std::min({r.size(), p.size(), s.size()});
  Hypervector agent(len);
  for (std::size_t i = 0; i < len; ++i) agent[i] = r[i] * (p[i] * s[i]);
  const std::uint64_t k = dim == 0 ? 0 : mhdc::hdc::string_hash(role) % dim;
  const Hypervector rot = rotate_literal(agent, k);
  for (std::size_t i = 0; i < std::min<std::uint64_t>({dim, len, sv.size()}); ++i) sv[i] += rot[i];
}

}  // namespace

TEST(SwarmRotate, MatchesDefinitionForEveryShiftAndLength) {
  std::mt19937_64 g(7);
  for (std::size_t len : {0u, 1u, 2u, 5u, 16u}) {
    Hypervector v(len);
    for (std::size_t i = 0; i < len; ++i) v[i] = static_cast<float>(i) + 0.5f;
    for (std::uint64_t k : {std::uint64_t{0}, std::uint64_t{1}, std::uint64_t{4}, std::uint64_t{5},
                            std::uint64_t{17}, g(), std::numeric_limits<std::uint64_t>::max()}) {
      Hypervector want = len == 0 ? Hypervector{} : rotate_literal(v, k);
      EXPECT_EQ(mhdc::swarm::rotate_right(v, k), want) << "len " << len << " k " << k;
    }
  }
}

TEST(SwarmInverseShift, UndoesRotationAndAgreesWith32BitFormBelow2To31) {
  std::mt19937_64 g(11);
  for (int c = 0; c < 2000; ++c) {
    const std::uint64_t dim = 1 + g() % 0x7fffffffull;  // below 2^31
    const std::uint64_t k = g() % dim;
    const std::int32_t d32 = static_cast<std::int32_t>(dim), k32 = static_cast<std::int32_t>(k);
    EXPECT_EQ(mhdc::swarm::inverse_shift(dim, k), static_cast<std::uint64_t>((d32 - k32) % d32));
  }
  // At and beyond 2^31 the 64-bit form still gives (dim - k) mod dim.
  const std::uint64_t big[] = {1ull << 31, (1ull << 31) + 5, 1ull << 40,
                               std::numeric_limits<std::uint64_t>::max()};
  for (std::uint64_t dim : big) {
    EXPECT_EQ(mhdc::swarm::inverse_shift(dim, 0), 0u);
    EXPECT_EQ(mhdc::swarm::inverse_shift(dim, 1), dim - 1);
    EXPECT_EQ(mhdc::swarm::inverse_shift(dim, dim - 1), 1u);
    EXPECT_EQ(mhdc::swarm::inverse_shift(dim, (1ull << 31) + 3), dim - ((1ull << 31) + 3) % dim);
  }
  EXPECT_EQ(mhdc::swarm::inverse_shift(0, 0), 0u);
  for (std::size_t dim : {1u, 2u, 7u, 64u}) {
    const Hypervector v = bipolar(g, dim);
    for (std::uint64_t k = 0; k < dim; ++k)
      EXPECT_EQ(mhdc::swarm::rotate_right(mhdc::swarm::rotate_right(v, k),
                                          mhdc::swarm::inverse_shift(dim, k)),
                v);
  }
}

TEST(SwarmCompose, FreshSwarmIsDimZerosAndMaterializesNothing) {
  for (std::uint64_t dim : {0u, 1u, 7u, 1000u}) {
    HoloSwarm sw(dim);
    EXPECT_EQ(sw.dim(), dim);
    EXPECT_EQ(sw.size(), 0u);
    EXPECT_EQ(sw.swarm_vector(), Hypervector(dim, 0.0f));
    EXPECT_TRUE(sw.materialize(Hypervector(dim, 1.0f), -10.0f).empty());
  }
}

TEST(SwarmCompose, DimBeyondMemoryThrowsFromConstructor) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "AddressSanitizer aborts on oversized allocations instead of throwing";
#endif
  for (std::uint64_t dim : {std::numeric_limits<std::uint64_t>::max(), std::uint64_t{1} << 60}) {
    bool threw = false;
    try {
      HoloSwarm sw(dim);
    } catch (const std::bad_alloc&) {
      threw = true;
    } catch (const std::length_error&) {
      threw = true;
    }
    EXPECT_TRUE(threw) << dim;
  }
}

TEST(SwarmCompose, OneBipolarAgentIsExactlyTheRotatedBinding) {
  std::mt19937_64 g(1);
  for (std::uint64_t dim : {1u, 2u, 3u, 31u, 256u, 1000u}) {
    HoloSwarm sw(dim);
    const Hypervector r = bipolar(g, dim), p = bipolar(g, dim), s = bipolar(g, dim);
    sw.add_agent("scout", r, "explore", p, "climb", s);
    const std::uint64_t k = mhdc::hdc::string_hash("scout") % dim;
    EXPECT_EQ(sw.role_shift("scout"), k);
    const Hypervector& sv = sw.swarm_vector();
    ASSERT_EQ(sv.size(), dim);
    for (std::size_t i = 0; i < dim; ++i) EXPECT_EQ(sv[(i + k) % dim], r[i] * p[i] * s[i]) << i;
    EXPECT_EQ(sw.role_names(), std::vector<std::string>{"scout"});
    EXPECT_EQ(sw.policy_names(), std::vector<std::string>{"explore"});
    EXPECT_EQ(sw.skill_names(), std::vector<std::string>{"climb"});
    EXPECT_EQ(sw.role_hv(0), r);
    EXPECT_EQ(sw.policy_hv(0), p);
    EXPECT_EQ(sw.skill_hv(0), s);
  }
}

TEST(SwarmCompose, SameRoleNameSameShiftAndDimOneNeverShifts) {
  HoloSwarm one(1);
  for (const char* name : {"a", "b", "", "long role name"}) EXPECT_EQ(one.role_shift(name), 0u);
  HoloSwarm sw(997);
  EXPECT_EQ(sw.role_shift("worker"), sw.role_shift(std::string("work") + "er"));
  // Two agents of one role add their bindings at the same offset.
  std::mt19937_64 g(2);
  Hypervector want(997, 0.0f);
  for (int a = 0; a < 2; ++a) {
    const Hypervector r = bipolar(g, 997), p = bipolar(g, 997), s = bipolar(g, 997);
    sw.add_agent("worker", r, "p", p, "s", s);
    add_literal(want, 997, "worker", r, p, s);
  }
  EXPECT_EQ(bits(sw.swarm_vector()), bits(want));
}

// Mixed lengths: the binding covers the shortest component, is rotated within
// its own length (even when that is shorter than the shift) and added over
// min(dim, L, |sv|); the components are stored whole.
TEST(SwarmCompose, MixedLengthsFollowTheRotationDefinition) {
  struct Case {
    std::uint64_t dim;
    std::size_t r, p, s, sv;  // lengths; sv = swarm vector length set beforehand
  };
  const Case cases[] = {
      {1000, 3, 3, 3, 1000}, {1000, 5, 9, 7, 1000}, {8, 20, 12, 30, 8}, {8, 20, 12, 30, 40},
      {64, 64, 64, 64, 10},  {64, 0, 64, 64, 64},   {5, 1, 1, 1, 5},    {1000, 2, 1000, 1000, 3},
  };
  std::mt19937_64 g(3);
  std::uniform_real_distribution<float> u(-4.0f, 4.0f);
  for (const Case& c : cases) {
    HoloSwarm sw(c.dim);
    Hypervector sv(c.sv);
    for (float& x : sv) x = u(g);
    sw.set_swarm_vector(sv);
    Hypervector want = sv;
    const char* roles[] = {"alpha", "beta", "gamma"};
    for (const char* role : roles) {
      Hypervector r(c.r), p(c.p), s(c.s);
      for (auto* v : {&r, &p, &s})
        for (float& x : *v) x = u(g);
      sw.add_agent(role, r, "pol", p, "sk", s);
      add_literal(want, c.dim, role, r, p, s);
      EXPECT_EQ(sw.role_hv(sw.size() - 1), r);
      EXPECT_EQ(sw.policy_hv(sw.size() - 1), p);
      EXPECT_EQ(sw.skill_hv(sw.size() - 1), s);
    }
    EXPECT_EQ(bits(sw.swarm_vector()), bits(want)) << "dim " << c.dim << " sv " << c.sv;
  }
}

TEST(SwarmCompose, SetterThenAddAgentAddsOverTheShorterLength) {
  std::mt19937_64 g(4);
  HoloSwarm sw(16);
  const Hypervector stored = {0.25f, -3.0f, 7.5f};
  sw.set_swarm_vector(stored);
  EXPECT_EQ(sw.swarm_vector(), stored);  // read back exactly as stored
  const Hypervector r = bipolar(g, 16), p = bipolar(g, 16), s = bipolar(g, 16);
  sw.add_agent("r", r, "p", p, "s", s);
  const std::uint64_t k = sw.role_shift("r");
  Hypervector bound(16);
  for (std::size_t i = 0; i < 16; ++i) bound[i] = r[i] * (p[i] * s[i]);
  const Hypervector full = rotate_literal(bound, k);
  ASSERT_EQ(sw.swarm_vector().size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(sw.swarm_vector()[i], stored[i] + full[i]);
  // An empty stored vector takes no additions at all.
  sw.set_swarm_vector({});
  sw.add_agent("r", r, "p", p, "s", s);
  EXPECT_TRUE(sw.swarm_vector().empty());
  EXPECT_EQ(sw.size(), 2u);
}

TEST(SwarmCompose, DimZeroStoresAgentsWithoutArithmetic) {
  HoloSwarm sw(0);
  EXPECT_EQ(sw.role_shift("anything"), 0u);
  sw.add_agent("a", Hypervector{1.0f, -1.0f}, "p", Hypervector{1.0f, 1.0f}, "s", Hypervector{-1.0f, 1.0f});
  const std::string names[] = {"x", "y"};
  const Hypervector vs[] = {{1.0f}, {-1.0f}};
  sw.add_paradox_trap(names, vs, vs);
  EXPECT_TRUE(sw.swarm_vector().empty());
  EXPECT_EQ(sw.size(), 3u);
  // A swarm vector set later still takes no additions: min(dim, ...) = 0.
  sw.set_swarm_vector(Hypervector{5.0f, 5.0f});
  sw.add_agent("a", Hypervector{1.0f, -1.0f}, "p", Hypervector{1.0f, 1.0f}, "s", Hypervector{-1.0f, 1.0f});
  EXPECT_EQ(sw.swarm_vector(), (Hypervector{5.0f, 5.0f}));
  const auto res = sw.resonate("a", Hypervector{1.0f, 1.0f}, 3);
  EXPECT_EQ(res.role, "a");
  const auto ranked = sw.materialize(Hypervector{1.0f, -1.0f}, -1.0f);
  EXPECT_EQ(ranked.size(), 4u);
}

TEST(SwarmMaterialize, ScoresAgainstRoleVectorsOnly) {
  const std::uint64_t dim = 4;
  HoloSwarm sw(dim);
  const Hypervector a = {1, 1, 1, 1}, b = {1, -1, 1, -1}, c = {-1, -1, -1, -1};
  // Policies and skills equal to the probe must not matter.
  sw.add_agent("a", a, "p", c, "s", c);
  sw.add_agent("b", b, "p", a, "s", a);
  sw.add_agent("c", c, "p", a, "s", a);
  const auto got = sw.materialize(a, 0.25f);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0], (mhdc::swarm::RoleScore{"a", 1.0f}));
  EXPECT_EQ(got[1], (mhdc::swarm::RoleScore{"b", 0.5f}));

  struct Case {
    float threshold;
    std::size_t count;
  };
  const Case cases[] = {{1.0f, 0}, {std::nanf(""), 0}, {-0.001f, 3}, {0.0f, 2}, {0.5f, 1},
                        {0.4999f, 2}, {-std::numeric_limits<float>::infinity(), 3}};
  for (const Case& k : cases) EXPECT_EQ(sw.materialize(a, k.threshold).size(), k.count) << k.threshold;
  EXPECT_TRUE(sw.materialize({}, -100.0f).empty());  // every score is NaN
}

TEST(SwarmMaterialize, DividesByProbeLengthOverTheCommonPrefix) {
  HoloSwarm sw(4);
  sw.add_agent("short", Hypervector{1.0f, 1.0f}, "p", Hypervector{1.0f}, "s", Hypervector{1.0f});
  sw.add_agent("long", Hypervector{1, 1, 1, 1, 1, 1}, "p", Hypervector{1.0f}, "s", Hypervector{1.0f});
  sw.add_agent("empty", Hypervector{}, "p", Hypervector{1.0f}, "s", Hypervector{1.0f});
  const auto got = sw.materialize(Hypervector{1, 1, 1, 1}, -1.0f);
  ASSERT_EQ(got.size(), 3u);
  // long: 4/4 -> 1.0; short: 2/4 -> 0.75; empty: 0/4 -> 0.5.
  EXPECT_EQ(got[0], (mhdc::swarm::RoleScore{"long", 1.0f}));
  EXPECT_EQ(got[1], (mhdc::swarm::RoleScore{"short", 0.75f}));
  EXPECT_EQ(got[2], (mhdc::swarm::RoleScore{"empty", 0.5f}));
  // An infinite probe element beyond a short role's length stays out of its sum.
  const float inf = std::numeric_limits<float>::infinity();
  const auto far = sw.materialize(Hypervector{1, 1, inf, 1}, -1.0f);
  ASSERT_EQ(far.size(), 3u);
  EXPECT_EQ(far[0], (mhdc::swarm::RoleScore{"long", inf}));
  EXPECT_EQ(far[1], (mhdc::swarm::RoleScore{"short", 0.75f}));
  EXPECT_EQ(far[2], (mhdc::swarm::RoleScore{"empty", 0.5f}));
}

TEST(SwarmMaterialize, EqualScoresKeepAgentOrderAndDuplicatesAppearPerAgent) {
  std::mt19937_64 g(5);
  const std::size_t dim = 64;
  HoloSwarm sw(dim);
  const Hypervector probe = bipolar(g, dim);
  Hypervector neg = probe;
  for (float& x : neg) x = -x;
  // 20 agents (crossing the 8-row blocks of the bank) with three score levels.
  std::vector<std::pair<std::string, float>> want_hi, want_mid;
  for (int j = 0; j < 20; ++j) {
    const std::string name = (j % 4 == 0) ? "dup" : "r" + std::to_string(j);
    const Hypervector& r = (j % 3 == 0) ? probe : (j % 3 == 1) ? neg : bipolar(g, dim);
    sw.add_agent(name, r, "p", probe, "s", probe);
    if (j % 3 == 0) want_hi.emplace_back(name, 1.0f);
  }
  const auto got = sw.materialize(probe, 0.9f);
  EXPECT_EQ(got, want_hi);
  // Every score in [0, 1] for bipolar data, so a negative threshold keeps all 20,
  // and the list is sorted highest first.
  const auto all = sw.materialize(probe, -0.5f);
  ASSERT_EQ(all.size(), 20u);
  for (std::size_t i = 1; i < all.size(); ++i) EXPECT_GE(all[i - 1].second, all[i].second);
  for (const auto& [name, score] : all) {
    EXPECT_GE(score, 0.0f);
    EXPECT_LE(score, 1.0f);
  }
  EXPECT_EQ(all.back().second, 0.0f);
  EXPECT_EQ(std::count_if(all.begin(), all.end(), [](auto& x) { return x.first == "dup"; }), 5);
}

TEST(SwarmParadox, AddsTheCycleOfTriples) {
  std::mt19937_64 g(6);
  const std::size_t dim = 32;
  HoloSwarm sw(dim);
  const std::string names[] = {"a", "b", "c"};
  const Hypervector roles[] = {bipolar(g, dim), bipolar(g, dim), bipolar(g, dim), bipolar(g, dim)};
  const Hypervector keys[] = {bipolar(g, dim), bipolar(g, dim), bipolar(g, dim)};
  sw.add_paradox_trap(names, roles, keys);  // the fourth role is ignored
  ASSERT_EQ(sw.size(), 3u);
  EXPECT_EQ(sw.role_names(), (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(sw.policy_names(), std::vector<std::string>(3, "PARADOX_LINK"));
  EXPECT_EQ(sw.skill_names(), (std::vector<std::string>{"b", "c", "a"}));
  Hypervector want(dim, 0.0f);
  for (std::size_t i = 0; i < 3; ++i) {
    const std::size_t nxt = (i + 1) % 3;
    EXPECT_EQ(sw.role_hv(i), roles[i]);
    EXPECT_EQ(sw.policy_hv(i), keys[i]);
    EXPECT_EQ(sw.skill_hv(i), roles[nxt]);
    // roles[i] * (keys[i] * roles[nxt]) is what add_agent would add for this triple.
    add_literal(want, dim, names[i], roles[i], keys[i], roles[nxt]);
  }
  EXPECT_EQ(bits(sw.swarm_vector()), bits(want));
}

TEST(SwarmParadox, FewerThanTwoNamesChangeNothing) {
  HoloSwarm sw(4);
  const std::string one[] = {"solo"};
  const Hypervector v[] = {{1, 1, 1, 1}};
  sw.add_paradox_trap({}, {}, {});
  sw.add_paradox_trap(one, v, v);
  sw.add_paradox_trap(one, {}, {});  // too few roles, but n < 2 comes first
  EXPECT_EQ(sw.size(), 0u);
  EXPECT_EQ(sw.swarm_vector(), Hypervector(4, 0.0f));
}

TEST(SwarmParadox, ShortRolesOrKeysThrowNamingTheArgumentAndChangeNothing) {
  std::mt19937_64 g(8);
  HoloSwarm sw(8);
  sw.add_agent("base", bipolar(g, 8), "p", bipolar(g, 8), "s", bipolar(g, 8));
  const Hypervector before = sw.swarm_vector();
  const std::string names[] = {"a", "b", "c"};
  const Hypervector three[] = {bipolar(g, 8), bipolar(g, 8), bipolar(g, 8)};
  struct Case {
    std::size_t roles, keys;
    const char* message;
  };
  const Case cases[] = {
      {2, 3, "argument 'roles': expected at least 3 vectors (one per name), got 2"},
      {0, 3, "argument 'roles': expected at least 3 vectors (one per name), got 0"},
      {3, 1, "argument 'keys': expected at least 3 vectors (one per name), got 1"},
      {2, 2, "argument 'roles': expected at least 3 vectors (one per name), got 2"},
  };
  for (const Case& c : cases) {
    try {
      sw.add_paradox_trap(names, std::span(three, c.roles), std::span(three, c.keys));
      ADD_FAILURE() << "no error for " << c.roles << "/" << c.keys;
    } catch (const mhdc::value_error& e) {
      EXPECT_STREQ(e.what(), c.message);
    }
    EXPECT_EQ(sw.size(), 1u);
    EXPECT_EQ(sw.role_names(), std::vector<std::string>{"base"});
    EXPECT_EQ(bits(sw.swarm_vector()), bits(before));
  }
}

TEST(SwarmCodebook, MixedWidthDotsCoverEachEntrysOwnLength) {
  std::mt19937_64 g(9);
  std::uniform_real_distribution<float> u(-2.0f, 2.0f);
  Codebook book;
  std::vector<Hypervector> rows;
  const std::size_t widths[] = {5, 0, 12, 5, 3, 12, 5, 5, 5, 5, 5, 5, 5, 5, 20, 12};
  book.reserve(std::size(widths));
  for (std::size_t w : widths) {
    Hypervector r(w);
    for (float& x : r) x = u(g);
    rows.push_back(r);
    book.commit(book.stage(r));
  }
  ASSERT_EQ(book.size(), rows.size());
  for (std::size_t qn : {0u, 3u, 5u, 12u, 25u}) {
    Hypervector q(qn);
    for (float& x : q) x = u(g);
    if (qn > 6) q[6] = std::numeric_limits<float>::infinity();  // beyond the width-5 rows
    std::vector<float> d(rows.size(), -7.0f), scratch;
    book.dots(q.data(), q.size(), d.data(), scratch);
    for (std::size_t j = 0; j < rows.size(); ++j) {
      float want = 0.0f;
      for (std::size_t i = 0; i < std::min(qn, rows[j].size()); ++i) want += q[i] * rows[j][i];
      EXPECT_EQ(std::bit_cast<std::uint32_t>(d[j]), std::bit_cast<std::uint32_t>(want))
          << "entry " << j << " q " << qn;
    }
  }
  for (std::size_t j = 0; j < rows.size(); ++j) {
    EXPECT_EQ(book.row(j), rows[j]);
    EXPECT_EQ(book.row(j, 4), Hypervector(rows[j].begin(), rows[j].begin() + std::min<std::size_t>(4, rows[j].size())));
  }
}

TEST(SwarmCodebook, StagedRowsWithoutCommitAreNeverReported) {
  Codebook book;
  book.reserve(3);
  book.commit(book.stage(Hypervector{1.0f, 2.0f}));
  (void)book.stage(Hypervector{100.0f, 100.0f});  // as if a later allocation had failed
  book.commit(book.stage(Hypervector{3.0f, 4.0f}));
  ASSERT_EQ(book.size(), 2u);
  EXPECT_EQ(book.row(1), (Hypervector{3.0f, 4.0f}));
  const float q[] = {1.0f, 1.0f};
  std::vector<float> d(2), scratch;
  book.dots(q, 2, d.data(), scratch);
  EXPECT_EQ(d, (std::vector<float>{3.0f, 7.0f}));
}

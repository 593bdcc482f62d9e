// Resonator network and its agreement with a literal, loop-every-iteration model.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "hdc/encoders.hpp"
#include "swarm/swarm.hpp"

using mhdc::Hypervector;
using mhdc::swarm::HoloSwarm;
using mhdc::swarm::ResonatorResult;

namespace {

Hypervector bipolar(std::mt19937_64& g, std::size_t n) {
  Hypervector v(n);
  for (float& x : v) x = (g() >> 63) ? -1.0f : 1.0f;
  return v;
}

// ---- A literal model: plain lists, every step written out as described. ----
struct Model {
  std::uint64_t dim;
  Hypervector sv;
  std::vector<std::string> rn, pn, sn;
  std::vector<Hypervector> rh, ph, sh;

  explicit Model(std::uint64_t d) : dim(d), sv(d, 0.0f) {}

  static Hypervector mul(const Hypervector& a, const Hypervector& b) {
    Hypervector out(std::min(a.size(), b.size()));
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = a[i] * b[i];
    return out;
  }
  static Hypervector rot(const Hypervector& v, std::uint64_t k) {
    Hypervector out(v.size());
    for (std::size_t i = 0; i < v.size(); ++i) out[(i + k % v.size()) % v.size()] = v[i];
    return out;
  }
  std::uint64_t shift(const std::string& s) const {
    return dim == 0 ? 0 : mhdc::hdc::string_hash(s) % dim;
  }
  void add(const std::string& r, const Hypervector& rv, const std::string& p, const Hypervector& pv,
           const std::string& s, const Hypervector& svv) {
    const Hypervector agent = rot(mul(rv, mul(pv, svv)), shift(r));
    for (std::size_t i = 0; i < std::min<std::uint64_t>({dim, agent.size(), sv.size()}); ++i)
      sv[i] += agent[i];
    rn.push_back(r), rh.push_back(rv), pn.push_back(p), ph.push_back(pv), sn.push_back(s),
        sh.push_back(svv);
  }
  void trap(const std::vector<std::string>& names, const std::vector<Hypervector>& roles,
            const std::vector<Hypervector>& keys) {
    const std::size_t n = names.size();
    if (n < 2) return;
    for (std::size_t i = 0; i < n; ++i) {
      const std::size_t nxt = i + 1 == n ? 0 : i + 1;
      add(names[i], roles[i], "PARADOX_LINK", keys[i], names[nxt], roles[nxt]);
    }
  }
  static std::pair<std::size_t, float> cleanup(const Hypervector& v,
                                               const std::vector<Hypervector>& book) {
    std::size_t idx = 0;
    float best = -2.0f;
    for (std::size_t j = 0; j < book.size(); ++j) {
      float d = 0.0f;
      for (std::size_t i = 0; i < std::min(v.size(), book[j].size()); ++i) d += v[i] * book[j][i];
      const float m = (d / static_cast<float>(v.size()) + 1.0f) * 0.5f;
      if (m > best) best = m, idx = j;
    }
    return {idx, best};
  }
  // Runs exactly max_iter iterations; also records the policy index of each.
  ResonatorResult resonate(const std::string& key, const Hypervector& guess, std::uint64_t max_iter,
                           std::vector<std::size_t>* trail = nullptr) const {
    if (rn.empty()) return {"none", "none", "none", 0.0f};
    const std::uint64_t k = shift(key);
    const Hypervector u = rot(sv, dim == 0 ? 0 : (dim - k) % dim);
    std::size_t ridx = 0;
    Hypervector r(dim, 0.0f);
    for (std::size_t j = 0; j < rn.size(); ++j)
      if (rn[j] == key) {
        ridx = j, r = rh[j];
        break;
      }
    std::size_t pidx = 0, sidx = 0;
    float score = 0.0f;
    Hypervector p = guess;
    for (std::uint64_t t = 0; t < max_iter; ++t) {
      sidx = cleanup(mul(u, mul(r, p)), sh).first;
      const auto [pi, best] = cleanup(mul(u, mul(r, sh[sidx])), ph);
      pidx = pi, score = best, p = ph[pidx];
      if (trail) trail->push_back(pidx);
    }
    return {rn[ridx], pn[pidx], sn[sidx], score};
  }
};

// Bit-identical, except that any two NaNs match: the sign of a NaN produced from
// two NaN operands depends on operand order, which the two sides need not share.
bool same_float(float a, float b) {
  return std::bit_cast<std::uint32_t>(a) == std::bit_cast<std::uint32_t>(b) ||
         (std::isnan(a) && std::isnan(b));
}

void expect_same(const ResonatorResult& got, const ResonatorResult& want, const std::string& ctx) {
  EXPECT_EQ(got.role, want.role) << ctx;
  EXPECT_EQ(got.policy, want.policy) << ctx;
  EXPECT_EQ(got.skill, want.skill) << ctx;
  EXPECT_TRUE(same_float(got.score, want.score))
      << ctx << " score " << got.score << " vs " << want.score;
}

}  // namespace

TEST(SwarmResonate, EmptySwarmReportsNone) {
  for (std::uint64_t dim : {0u, 1u, 16u}) {
    HoloSwarm sw(dim);
    for (std::uint64_t it : {std::uint64_t{0}, std::uint64_t{1}, std::uint64_t{1} << 63}) {
      const auto r = sw.resonate("x", Hypervector{1.0f, 2.0f}, it);
      expect_same(r, {"none", "none", "none", 0.0f}, "dim " + std::to_string(dim));
    }
  }
}

TEST(SwarmResonate, SingleBipolarAgentIsRecoveredExactly) {
  std::mt19937_64 g(21);
  for (std::uint64_t dim : {1u, 2u, 5u, 64u, 1000u}) {
    for (std::uint64_t it : {1u, 2u, 7u}) {
      HoloSwarm sw(dim);
      const Hypervector r = bipolar(g, dim), p = bipolar(g, dim), s = bipolar(g, dim);
      sw.add_agent("navigator", r, "greedy", p, "route", s);
      expect_same(sw.resonate("navigator", p, it), {"navigator", "greedy", "route", 1.0f},
                  "dim " + std::to_string(dim));
    }
  }
}

TEST(SwarmResonate, UnmatchedRoleGivesAgentZeroAndOneHalf) {
  std::mt19937_64 g(22);
  HoloSwarm sw(128);
  for (int j = 0; j < 5; ++j)
    sw.add_agent("role" + std::to_string(j), bipolar(g, 128), "pol" + std::to_string(j),
                 bipolar(g, 128), "skill" + std::to_string(j), bipolar(g, 128));
  for (std::uint64_t it : {1u, 3u}) {
    expect_same(sw.resonate("nobody", bipolar(g, 128), it), {"role0", "pol0", "skill0", 0.5f},
                "max_iter " + std::to_string(it));
  }
}

TEST(SwarmResonate, ZeroIterationsReportAgentZeroComponents) {
  std::mt19937_64 g(23);
  HoloSwarm sw(32);
  for (int j = 0; j < 4; ++j)
    sw.add_agent("role" + std::to_string(j), bipolar(g, 32), "pol" + std::to_string(j),
                 bipolar(g, 32), "skill" + std::to_string(j), bipolar(g, 32));
  expect_same(sw.resonate("role2", bipolar(g, 32), 0), {"role2", "pol0", "skill0", 0.0f}, "match");
  expect_same(sw.resonate("zzz", {}, 0), {"role0", "pol0", "skill0", 0.0f}, "no match");
}

TEST(SwarmResonate, EmptyGuessPicksSkillZeroThenPolicyNormally) {
  std::mt19937_64 g(24);
  const std::size_t dim = 256;
  HoloSwarm sw(dim);
  Model m(dim);
  std::vector<Hypervector> pols;
  for (int j = 0; j < 3; ++j) {
    const Hypervector r = bipolar(g, dim), p = bipolar(g, dim), s = bipolar(g, dim);
    sw.add_agent("r" + std::to_string(j), r, "p" + std::to_string(j), p, "s" + std::to_string(j), s);
    m.add("r" + std::to_string(j), r, "p" + std::to_string(j), p, "s" + std::to_string(j), s);
  }
  const auto got = sw.resonate("r0", {}, 1);
  EXPECT_EQ(got.skill, "s0");
  expect_same(got, m.resonate("r0", {}, 1), "empty guess");
  // Skill 0 is r0's own skill, so the policy step finds p0 above the noise floor.
  EXPECT_EQ(got.policy, "p0");
  EXPECT_GT(got.score, 0.6f);
}

TEST(SwarmResonate, RecoversEachAgentOfASwarmFromANoisyGuess) {
  std::mt19937_64 g(25);
  const std::size_t dim = 2048, n = 6;
  HoloSwarm sw(dim);
  std::vector<Hypervector> pols(n);
  for (std::size_t j = 0; j < n; ++j) {
    pols[j] = bipolar(g, dim);
    sw.add_agent("role" + std::to_string(j), bipolar(g, dim), "policy" + std::to_string(j), pols[j],
                 "skill" + std::to_string(j), bipolar(g, dim));
  }
  for (std::size_t j = 0; j < n; ++j) {
    Hypervector guess = pols[j];
    for (std::size_t i = 0; i < dim; i += 3) guess[i] = -guess[i];  // a third flipped
    const auto res = sw.resonate("role" + std::to_string(j), guess, 5);
    EXPECT_EQ(res.role, "role" + std::to_string(j));
    EXPECT_EQ(res.policy, "policy" + std::to_string(j));
    EXPECT_EQ(res.skill, "skill" + std::to_string(j));
    EXPECT_GT(res.score, 0.6f);
  }
}

TEST(SwarmResonate, DuplicateCodebookVectorsReportTheFirstAgent) {
  std::mt19937_64 g(26);
  const std::size_t dim = 64;
  const Hypervector r = bipolar(g, dim), p = bipolar(g, dim), s = bipolar(g, dim);
  HoloSwarm sw(dim);
  sw.add_agent("solo", r, "first", p, "first-skill", s);
  sw.add_agent("other", bipolar(g, dim), "second", p, "second-skill", s);
  const auto res = sw.resonate("solo", p, 3);
  EXPECT_EQ(res.policy, "first");
  EXPECT_EQ(res.skill, "first-skill");
}

TEST(SwarmResonate, ReadsOnly) {
  std::mt19937_64 g(27);
  HoloSwarm sw(16);
  sw.add_agent("a", bipolar(g, 16), "p", bipolar(g, 16), "s", bipolar(g, 16));
  const Hypervector before = sw.swarm_vector();
  (void)sw.resonate("a", bipolar(g, 16), 4);
  (void)sw.materialize(bipolar(g, 16), 0.1f);
  EXPECT_EQ(sw.swarm_vector(), before);
  EXPECT_EQ(sw.size(), 1u);
}

// Random small swarms with mixed lengths, non-bipolar and non-finite values,
// traps, replaced swarm vectors (shorter than the shift too) and dim 0: every
// resonate, materialize and the swarm vector agree bit for bit with the model.
TEST(SwarmResonate, MatchesTheLiteralModelOnRandomSmallSwarms) {
  std::mt19937_64 g(2024);
  const float inf = std::numeric_limits<float>::infinity();
  const float values[] = {1.0f, -1.0f, 1.0f, -1.0f, 0.5f, -2.0f, 0.0f, 3.25f, -0.0f, 0.1f, 1e20f, 1e-20f};
  const char* pool[] = {"a", "b", "c", "dd", ""};
  auto pick = [&](std::size_t n) { return static_cast<std::size_t>(g() % n); };
  std::size_t checks = 0;
  for (int c = 0; c < 400; ++c) {
    const std::uint64_t dims[] = {0, 1, 2, 3, 5, 8, 13};
    const std::uint64_t dim = dims[pick(std::size(dims))];
    const bool wild = pick(6) == 0;  // occasionally infinities and NaNs
    auto vec = [&](bool any_len) {
      const std::size_t len = any_len && pick(4) == 0 ? pick(dim + 4) : dim;
      Hypervector v(len);
      for (float& x : v) {
        x = values[pick(std::size(values))];
        if (wild && pick(8) == 0) x = pick(2) ? inf : std::nanf("");
      }
      return v;
    };
    HoloSwarm sw(dim);
    Model m(dim);
    const std::size_t ops = pick(7);
    for (std::size_t o = 0; o < ops; ++o) {
      const std::size_t kind = pick(8);
      if (kind == 0) {
        const Hypervector v = vec(true);
        sw.set_swarm_vector(v);
        m.sv = v;
      } else if (kind == 1) {
        const std::size_t n = pick(4);
        std::vector<std::string> names;
        std::vector<Hypervector> roles, keys;
        for (std::size_t i = 0; i < n; ++i) {
          names.push_back(pool[pick(std::size(pool))]);
          roles.push_back(vec(true));
          keys.push_back(vec(true));
        }
        sw.add_paradox_trap(names, roles, keys);
        m.trap(names, roles, keys);
      } else {
        const std::string r = pool[pick(std::size(pool))];
        const Hypervector rv = vec(true), pv = vec(true), svv = vec(true);
        const std::string p = "p" + std::to_string(o), s = "s" + std::to_string(o);
        sw.add_agent(r, rv, p, pv, s, svv);
        m.add(r, rv, p, pv, s, svv);
      }
    }
    const std::string ctx = "case " + std::to_string(c);
    ASSERT_EQ(sw.swarm_vector().size(), m.sv.size()) << ctx;
    for (std::size_t i = 0; i < m.sv.size(); ++i)
      ASSERT_TRUE(same_float(sw.swarm_vector()[i], m.sv[i]))
          << ctx << " entry " << i << ": " << sw.swarm_vector()[i] << " vs " << m.sv[i];
    ASSERT_EQ(sw.role_names(), m.rn) << ctx;
    ASSERT_EQ(sw.policy_names(), m.pn) << ctx;
    ASSERT_EQ(sw.skill_names(), m.sn) << ctx;
    for (int q = 0; q < 4; ++q) {
      const std::string key = pick(5) == 0 ? "zz" : pool[pick(std::size(pool))];
      const Hypervector guess = vec(true);
      const std::uint64_t it = pick(4) == 0 ? pick(3) : pick(25);
      const auto want = m.resonate(key, guess, it);
      expect_same(sw.resonate(key, guess, it), want, ctx + " key '" + key + "' iters " +
                                                          std::to_string(it));
      ++checks;
    }
    const Hypervector probe = vec(true);
    const float threshold = values[pick(std::size(values))] * 0.5f;
    auto got = sw.materialize(probe, threshold);
    std::vector<std::pair<std::string, float>> want;
    for (std::size_t j = 0; j < m.rn.size(); ++j) {
      float d = 0.0f;
      for (std::size_t i = 0; i < std::min(probe.size(), m.rh[j].size()); ++i) d += probe[i] * m.rh[j][i];
      const float s = (d / static_cast<float>(probe.size()) + 1.0f) * 0.5f;
      if (s > threshold) want.emplace_back(m.rn[j], s);
    }
    std::stable_sort(want.begin(), want.end(), [](auto& x, auto& y) { return x.second > y.second; });
    ASSERT_EQ(got, want) << ctx;
  }
  EXPECT_EQ(checks, 1600u);
}

// A huge max_iter ends quickly and gives what the literal loop gives at any
// iteration count of the same phase once the trail has settled into its cycle.
TEST(SwarmResonate, HugeIterationCountsReplayTheCycle) {
  std::mt19937_64 g(77);
  // Large and tiny magnitudes overflow or underflow in one product grouping and not
  // the other, which is what lets the two cleanups disagree and cycle.
  const float values[] = {1.0f, -1.0f, 0.5f, -2.0f, 3.0f, 1e20f, -1e20f, 1e-20f, 1e30f, 0.1f, 0.3f, 1.1f};
  std::size_t long_cycles = 0;
  for (int c = 0; c < 1000; ++c) {
    const std::uint64_t dim = 2 + g() % 6;
    HoloSwarm sw(dim);
    Model m(dim);
    auto vec = [&] {
      Hypervector v(g() % 3 == 0 ? g() % (dim + 2) : dim);
      for (float& x : v) x = values[g() % std::size(values)];
      return v;
    };
    for (int j = 0; j < 5; ++j) {
      const std::string r = std::string(1, static_cast<char>('a' + g() % 3));
      const Hypervector rv = vec(), pv = vec(), svv = vec();
      sw.add_agent(r, rv, "p" + std::to_string(j), pv, "s" + std::to_string(j), svv);
      m.add(r, rv, "p" + std::to_string(j), pv, "s" + std::to_string(j), svv);
    }
    const Hypervector guess = vec();
    // After 40 iterations over 5 policies the trail is periodic; find its period.
    std::vector<std::size_t> trail;
    (void)m.resonate("a", guess, 64, &trail);
    std::size_t period = 1;
    while (period < 6) {
      bool ok = true;
      for (std::size_t t = 40; t + period < 64; ++t) ok = ok && trail[t] == trail[t + period];
      if (ok) break;
      ++period;
    }
    ASSERT_LT(period, 6u);
    if (period > 1) ++long_cycles;
    for (std::uint64_t big : {std::numeric_limits<std::uint64_t>::max(),
                              std::numeric_limits<std::uint64_t>::max() - 1,
                              std::uint64_t{1} << 40}) {
      std::uint64_t same = 40 + (big - 40) % period;  // an iteration count of the same phase
      expect_same(sw.resonate("a", guess, big), m.resonate("a", guess, same),
                  "case " + std::to_string(c) + " iters " + std::to_string(big));
    }
  }
  // The replay must have met cycles longer than one step, not only fixed points.
  EXPECT_GT(long_cycles, 0u);
}

// Overflow in one product grouping and not the other makes the two cleanups
// disagree: here the policy index alternates 1, 0, 1, 0, ... for ever.
TEST(SwarmResonate, TwoStepCycleIsReplayedExactly) {
  HoloSwarm sw(2);
  Model m(2);
  const Hypervector r0 = {-2.0f, 0x1.5af1d8p+66f}, p0 = {0x1.333334p-2f, 0x1.93e594p+99f},
                    s0 = {-0x1.5af1d8p+66f, -0x1.5af1d8p+66f};
  const Hypervector r1 = {0x1.79ca1p-67f, 0x1.79ca1p-67f}, p1 = {3.0f, 1.0f}, s1 = {-2.0f, 1.0f};
  sw.add_agent("a", r0, "p0", p0, "s0", s0);
  sw.add_agent("b", r1, "p1", p1, "s1", s1);
  m.add("a", r0, "p0", p0, "s0", s0);
  m.add("b", r1, "p1", p1, "s1", s1);
  const Hypervector sv = {0x1.79ca1p-67f, 0x1.93e594p+99f};
  sw.set_swarm_vector(sv);
  m.sv = sv;
  const Hypervector guess = {1.0f, 0x1.93e594p+99f};
  std::vector<std::size_t> trail;
  (void)m.resonate("a", guess, 12, &trail);
  ASSERT_EQ(trail, (std::vector<std::size_t>{1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0}));
  for (std::uint64_t it = 0; it <= 12; ++it)
    expect_same(sw.resonate("a", guess, it), m.resonate("a", guess, it), std::to_string(it));
  const std::uint64_t top = std::numeric_limits<std::uint64_t>::max();  // odd
  expect_same(sw.resonate("a", guess, top), m.resonate("a", guess, 11), "odd");
  expect_same(sw.resonate("a", guess, top - 1), m.resonate("a", guess, 12), "even");
  EXPECT_NE(sw.resonate("a", guess, top).policy, sw.resonate("a", guess, top - 1).policy);
}

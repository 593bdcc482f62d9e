#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "audit/self_audit.hpp"
#include "hdc/format.hpp"

using mhdc::Hypervector;
using mhdc::audit::AuditResult;
using mhdc::audit::SelfAudit;

namespace {

bool same_bits(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }

Hypervector bipolar(std::mt19937& g, std::size_t n) {
  Hypervector v(n);
  for (auto& x : v) x = (g() & 1) ? 1.0f : -1.0f;
  return v;
}

Hypervector negated(Hypervector v) {
  for (auto& x : v) x = -x;
  return v;
}

void expect_result(const AuditResult& r, float score, bool passed, const std::vector<std::string>& issues) {
  EXPECT_TRUE(same_bits(r.score, score)) << r.score << " vs " << score;
  EXPECT_EQ(r.passed, passed);
  EXPECT_EQ(r.issues, issues);
}

// full_audit written out plainly, over its own copy of the history.
struct ReferenceAudit {
  std::uint64_t dim;
  std::vector<Hypervector> hist;
  AuditResult audit(const Hypervector& hv) {
    std::vector<std::string> issues;
    std::uint64_t c = 0;
    for (float x : hv) if (std::fabs(x) < 0.1f) ++c;
    if (c > dim / 10) issues.push_back("drift detected: " + std::to_string(c) + " elements near zero");
    if (!hist.empty()) {
      const std::size_t k = std::min<std::size_t>(5, hist.size());
      float sum = 0.0f;
      for (std::size_t l = 0; l < k; ++l) {
        const Hypervector& p = hist[hist.size() - 1 - l];
        float d = -0.0f;
        for (std::size_t i = 0; i < hv.size() && i < p.size(); ++i) d = d + hv[i] * p[i];
        sum = sum + d / static_cast<float>(hv.size());
      }
      const float consistency = sum / static_cast<float>(k);
      if (consistency < 0.5f)
        issues.push_back("low history consistency: " + mhdc::hdc::format_fixed(consistency, 3));
    }
    hist.push_back(hv);
    if (hist.size() > 100) hist.erase(hist.begin());
    AuditResult r;
    if (!issues.empty()) {
      r.score = std::max(0.0f, 1.0f - 0.1f * static_cast<float>(issues.size()));
      r.passed = false;
    }
    r.issues = issues;
    return r;
  }
};

TEST(SelfAudit, FirstAuditOfBipolarVectorPasses) {
  std::mt19937 g(1);
  SelfAudit a(64);
  expect_result(a.full_audit(bipolar(g, 64)), 1.0f, true, {});
  EXPECT_EQ(a.history().size(), 1u);
}

TEST(SelfAudit, NearZeroLimitIsStrict) {
  struct Case { std::vector<float> small; bool issue; };
  // dim 100 allows 10 near-zero components; |x| < 0.1 is strict and NaN is not near zero.
  const Case cases[] = {{std::vector<float>(10, 0.0f), false},
                        {std::vector<float>(11, 0.0f), true},
                        {{0.0999f, -0.0999f, 0.05f, -0.0f, 0, 0, 0, 0, 0, 0, 0}, true},
                        {{0.1f, -0.1f, 0.1f, 0, 0, 0, 0, 0, 0, 0, 0, 0}, false},
                        {{NAN, NAN, 0, 0, 0, 0, 0, 0, 0, 0, 0}, false}};
  for (const Case& c : cases) {
    Hypervector v(100, 1.0f);
    std::copy(c.small.begin(), c.small.end(), v.begin());
    SelfAudit a(100);
    if (c.issue)
      expect_result(a.full_audit(v), 1.0f - 0.1f, false, {"drift detected: 11 elements near zero"});
    else
      expect_result(a.full_audit(v), 1.0f, true, {});
  }
  EXPECT_EQ(static_cast<double>(1.0f - 0.1f), 0.8999999761581421);
}

TEST(SelfAudit, HistoryChecks) {
  std::mt19937 g(2);
  const Hypervector v = bipolar(g, 50);
  SelfAudit a(50);
  a.full_audit(v);
  expect_result(a.full_audit(negated(v)), 0.9f, false, {"low history consistency: -1.000"});

  SelfAudit b(50);
  b.full_audit(v);
  expect_result(b.full_audit(Hypervector(50, 0.0f)), 1.0f - 0.2f, false,
                {"drift detected: 50 elements near zero", "low history consistency: 0.000"});

  // An empty vector after a history: every d is 0/0, NaN is not below 0.5.
  SelfAudit c(50);
  c.full_audit(v);
  expect_result(c.full_audit({}), 1.0f, true, {});
  EXPECT_EQ(c.history().size(), 2u);
  EXPECT_TRUE(c.history().back().empty());
}

TEST(SelfAudit, WindowIsTheFiveNewestAndHistoryKeepsHundred) {
  std::mt19937 g(3);
  const Hypervector v = bipolar(g, 32);
  SelfAudit a(32);
  for (int k = 0; k < 3; ++k) a.full_audit(negated(v));
  for (int k = 0; k < 5; ++k) a.full_audit(v);
  expect_result(a.full_audit(v), 1.0f, true, {});  // the three negations are out of the window

  SelfAudit h(8);
  std::vector<Hypervector> seen;
  for (int k = 0; k < 101; ++k) {
    seen.push_back(bipolar(g, 8));
    h.full_audit(seen.back());
  }
  ASSERT_EQ(h.history().size(), 100u);
  EXPECT_EQ(h.history().front(), seen[1]);
  EXPECT_EQ(h.history().back(), seen[100]);
}

TEST(SelfAudit, MatchesPlainModelOverRandomSequences) {
  std::mt19937 g(4);
  std::uniform_real_distribution<float> u(-1.2f, 1.2f);
  for (int t = 0; t < 20; ++t) {
    const std::uint64_t dim = g() % 40;
    SelfAudit a(dim);
    ReferenceAudit ref{dim, {}};
    Hypervector base = bipolar(g, dim);
    for (int step = 0; step < 30; ++step) {
      Hypervector hv = (step % 4 == 0) ? bipolar(g, g() % 45) : base;
      for (auto& x : hv) if (g() % 5 == 0) x = u(g);
      const AuditResult got = a.full_audit(hv), want = ref.audit(hv);
      ASSERT_TRUE(same_bits(got.score, want.score)) << t << " " << step;
      ASSERT_EQ(got.passed, want.passed);
      ASSERT_EQ(got.issues, want.issues) << t << " " << step;
    }
  }
}

TEST(SelfAudit, CheckConsistency) {
  std::mt19937 g(5);
  const Hypervector v = bipolar(g, 20);
  expect_result(SelfAudit::check_consistency(v, v), 1.0f, true, {});
  expect_result(SelfAudit::check_consistency(v, negated(v)), 0.0f, false, {"low consistency: 0.000"});
  const AuditResult empty = SelfAudit::check_consistency({}, {});
  EXPECT_TRUE(std::isnan(empty.score));
  EXPECT_FALSE(empty.passed);
  EXPECT_TRUE(empty.issues.empty());
  // The divisor is the first vector's length: (2 / 4 + 1) * 0.5.
  expect_result(SelfAudit::check_consistency(Hypervector{1, 1, 1, 1}, Hypervector{1, 1}), 0.75f, true, {});
  expect_result(SelfAudit::check_consistency(Hypervector{1, 1}, Hypervector{1, 1, 1, 1}), 1.0f, true, {});
  // 7 of 10 agree: exactly the f32 0.7, which passes (>=), below it fails.
  const Hypervector a{1, 1, 1, 1, 1, 1, 1, 1, 1, 1}, b{1, 1, 1, 1, 1, 1, 1, -1, -1, -1};
  expect_result(SelfAudit::check_consistency(a, b), 0.7f, true, {});
  const Hypervector c{1, 1, 1, 1, 1, 1, -1, -1, -1, -1};
  expect_result(SelfAudit::check_consistency(a, c), 0.6f, false, {"low consistency: 0.600"});
}

}  // namespace

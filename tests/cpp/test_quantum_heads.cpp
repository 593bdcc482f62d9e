#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "hdc/errors.hpp"
#include "quantum_heads/attention_head.hpp"

using mhdc::Hypervector;
using mhdc::heads::QuantumAttentionHead;
using mhdc::heads::RowBuffer;
using Rows = std::vector<Hypervector>;

namespace {

const float kNaN = std::numeric_limits<float>::quiet_NaN();
const char* kAssert = "assertion failed: !keys.is_empty() && keys.len() == values.len()";

// The formula written out as plainly as possible, one key at a time.
Hypervector reference(std::size_t dim, const Hypervector& q, const Rows& keys, const Rows& values) {
  if (keys.size() == 1) return values[0];
  std::vector<float> w;
  for (const auto& k : keys) {
    float sum = 0.0f;
    for (std::size_t i = 0; i < q.size() && i < k.size(); ++i) sum = sum + q[i] * k[i];
    const float s = sum / static_cast<float>(q.size());
    float x = s + s + -1.0f;
    if (std::isnan(x) || x < 0.0f) x = 0.0f;
    w.push_back(x);
  }
  float total = w[0];
  for (std::size_t j = 1; j < w.size(); ++j) total = total + w[j];
  Hypervector out(dim, 0.0f);
  if (total < 1e-9f) return out;
  for (std::size_t j = 0; j < w.size(); ++j) {
    const float p = w[j] / total;
    for (std::size_t i = 0; i < dim && i < values[j].size(); ++i) out[i] = values[j][i] * p + out[i];
  }
  return out;
}

bool same_bits(const Hypervector& a, const Hypervector& b) {
  return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0);
}

Hypervector bipolar(std::mt19937& g, std::size_t n) {
  Hypervector v(n);
  for (auto& x : v) x = (g() & 1) ? 1.0f : -1.0f;
  return v;
}

TEST(AttentionHead, LengthRuleFailsWithTheAssertionText) {
  const QuantumAttentionHead h(4, 2);
  const Hypervector q{1, 1, 1, 1};
  for (const auto& [nk, nv] : std::vector<std::pair<int, int>>{{0, 0}, {0, 1}, {1, 0}, {2, 1}, {1, 2}, {3, 5}}) {
    const Rows k(nk, q), v(nv, q);
    try {
      h.compute(q, k, v);
      FAIL() << nk << " " << nv;
    } catch (const mhdc::value_error& e) {
      EXPECT_STREQ(e.what(), kAssert);
    }
  }
}

TEST(AttentionHead, OneKeyReturnsTheValueUnchanged) {
  const QuantumAttentionHead h(3, 0);
  for (const Hypervector& value : {Hypervector{}, Hypervector{1, 2, 3, 4, 5, 6}, Hypervector{kNaN, -0.0f}}) {
    for (const Hypervector& q : {Hypervector{}, Hypervector{kNaN, 1}, Hypervector{1, -1, 1}}) {
      const Hypervector out = h.compute(q, Rows{Hypervector{9, 9}}, Rows{value});
      EXPECT_TRUE(same_bits(out, value));
    }
  }
}

TEST(AttentionHead, QueryEqualToFirstKeySelectsFirstValue) {
  const Hypervector k0{1, -1, 1, -1}, k1{1, 1, -1, -1};  // k1 is orthogonal to k0
  const QuantumAttentionHead padded(6, 1), cut(2, 1);
  const Rows values{{3, 4, 5, 6}, {7, 7, 7, 7}};
  EXPECT_TRUE(same_bits(padded.compute(k0, Rows{k0, k1}, values), (Hypervector{3, 4, 5, 6, 0, 0})));
  EXPECT_TRUE(same_bits(cut.compute(k0, Rows{k0, k1}, values), (Hypervector{3, 4})));
}

TEST(AttentionHead, NoPositiveWeightGivesZeros) {
  const Hypervector q{1, -1, 1, -1};
  const QuantumAttentionHead h(5, 1);
  const Rows values{{1, 2, 3, 4, 5}, {6, 7, 8, 9, 10}};
  const Rows cases[] = {
      {{1, 1, -1, -1}, {-1, -1, 1, 1}},   // orthogonal
      {{-1, 1, -1, 1}, {-1, 1, -1, 1}},   // anti-correlated
      {{0.5f, -0.5f, 0.5f, -0.5f}, {1, 1, -1, -1}},  // similarity exactly 0.5
  };
  for (const Rows& keys : cases) EXPECT_TRUE(same_bits(h.compute(q, keys, values), Hypervector(5, 0.0f)));
  // An empty query makes every similarity 0/0.
  EXPECT_TRUE(same_bits(h.compute({}, Rows{q, q}, values), Hypervector(5, 0.0f)));
}

TEST(AttentionHead, EqualWeightsMixHalfAndHalf) {
  const Hypervector q{1, 1, 1, 1};
  const QuantumAttentionHead h(3, 1);
  EXPECT_TRUE(same_bits(h.compute(q, Rows{q, q}, Rows{{2, 4, 6}, {4, 0, -6}}), (Hypervector{3, 2, 0})));
  // nqubits plays no part.
  EXPECT_TRUE(same_bits(QuantumAttentionHead(3, 999).compute(q, Rows{q, q}, Rows{{2, 4, 6}, {4, 0, -6}}),
                        (Hypervector{3, 2, 0})));
}

// Random cases against the plain transcription, bit for bit: equal and ragged
// key lengths (runs of one length go through the lane kernel), keys longer and
// shorter than the query, values shorter and longer than dim, odd magnitudes.
TEST(AttentionHead, MatchesPlainFormulaBitForBit) {
  std::mt19937 g(12345);
  std::uniform_real_distribution<float> u(-1.5f, 1.5f);
  for (int t = 0; t < 300; ++t) {
    const std::size_t qn = g() % 40, dim = g() % 30, n = 2 + g() % 21;
    const bool ragged = t % 3 == 0;
    const std::size_t klen = g() % 45;
    Hypervector q = (t % 2) ? bipolar(g, qn) : Hypervector(qn);
    if (t % 2 == 0) for (auto& x : q) x = u(g);
    Rows keys, values;
    for (std::size_t j = 0; j < n; ++j) {
      const std::size_t len = ragged ? g() % 45 : klen;
      Hypervector k = (j % 4 == 0 && len <= qn) ? Hypervector(q.begin(), q.begin() + len) : bipolar(g, len);
      if (t % 5 == 0) for (auto& x : k) x *= u(g);
      keys.push_back(k);
      Hypervector v(g() % 40);
      for (auto& x : v) x = u(g);
      values.push_back(v);
    }
    if (t % 17 == 0 && !q.empty()) q[0] = kNaN;
    const QuantumAttentionHead h(dim, t);
    const Hypervector want = reference(dim, q, keys, values);
    ASSERT_TRUE(same_bits(h.compute(q, keys, values), want)) << "case " << t;
    // The packed-buffer entry point gives the same bits.
    const RowBuffer kb(keys), vb(values);
    ASSERT_TRUE(same_bits(h.compute(q, kb.view(), vb.view()), want)) << "case " << t;
  }
}

}  // namespace

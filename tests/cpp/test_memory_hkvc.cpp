// Holographic key-value cache: edge cases, and random store/query sequences
// against a literal per-component transcription of the cache's rules.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "hdc/encoders.hpp"
#include "hdc/hash.hpp"
#include "memory/hkvc.hpp"
#include "memory/phasor.hpp"

namespace {

using mhdc::memory::Hkvc;
using mhdc::memory::hash_to_phase;

bool same_bits(float a, float b) { return std::bit_cast<std::uint32_t>(a) == std::bit_cast<std::uint32_t>(b); }

// Literal model: plain loops, std::cos / std::sin per component, std::map index.
struct ModelCache {
  std::uint64_t dim;
  std::vector<float> cre, cim, pre, pim;
  std::vector<std::string> values;
  std::vector<std::vector<float>> vph, kph;
  std::map<std::uint64_t, std::vector<std::size_t>> index;

  explicit ModelCache(std::uint64_t d) : dim(d), cre(d), cim(d), pre(d), pim(d) {}

  void store(const std::string& k, const std::string& v, std::uint64_t pos) {
    auto kp = mhdc::hdc::encode_phases(k, dim), vp = mhdc::hdc::encode_phases(v, dim);
    for (std::uint64_t i = 0; i < dim; ++i) {
      unsigned char msg[16];
      for (int b = 0; b < 8; ++b) msg[b] = static_cast<unsigned char>(pos >> (8 * b));
      for (int b = 0; b < 8; ++b) msg[8 + b] = static_cast<unsigned char>(i >> (8 * b));
      const float pb = hash_to_phase(mhdc::hdc::sip13(msg, 16));
      const float t = kp[i] + vp[i];
      cre[i] += std::cos(t);
      cim[i] += std::sin(t);
      pre[i] += std::cos(pb);
      pim[i] += std::sin(pb);
    }
    index[mhdc::hdc::string_hash(k)].push_back(values.size());
    values.push_back(v);
    vph.push_back(vp);
    kph.push_back(kp);
  }
  float strength(std::size_t e, const std::vector<float>& q) const {
    float acc = 0.0f;
    for (std::uint64_t i = 0; i < dim; ++i) {
      const float t = q[i] + vph[e][i];
      acc += std::cos(t) * cre[i] + std::sin(t) * cim[i];
    }
    return acc / (static_cast<float>(values.size()) * static_cast<float>(dim));
  }
  std::pair<std::string, float> query(const std::string& k) const {
    if (values.empty()) return {"", 0.0f};
    auto q = mhdc::hdc::encode_phases(k, dim);
    auto it = index.find(mhdc::hdc::string_hash(k));
    if (it != index.end()) {
      float best = -2.0f;
      std::size_t bi = 0;
      for (std::size_t c : it->second) {
        float r = 0.0f;
        for (std::uint64_t i = 0; i < dim; ++i) r += std::cos(kph[c][i] - q[i]);
        r = r / static_cast<float>(dim);
        if (r > best) best = r, bi = c;
      }
      if (best > 0.5f) {
        const float s = strength(bi, q);
        return {values[bi], s > 0.0f ? s : 0.0f};
      }
    }
    float best = -2.0f;
    std::size_t bi = 0;
    for (std::size_t j = 0; j < values.size(); ++j) {
      const float s = strength(j, q);
      if (s > best) best = s, bi = j;
    }
    return {values[bi], best > 0.0f ? best : 0.0f};
  }
  float position_score(std::uint64_t pos) const {
    if (values.empty()) return 0.0f;
    unsigned char msg[8];
    for (int b = 0; b < 8; ++b) msg[b] = static_cast<unsigned char>(pos >> (8 * b));
    const std::uint64_t h = mhdc::hdc::sip13(msg, 8);
    float acc = 0.0f;
    for (std::uint64_t i = 0; i < dim; ++i) {
      const std::uint64_t x = h ^ (i * 11400714819323198485ULL);
      const float phi = hash_to_phase(((x << 21) | (x >> 43)) + x);
      acc += std::cos(phi) * pre[i] + std::sin(phi) * pim[i];
    }
    return acc / static_cast<float>(values.size());
  }
};

TEST(HkvcPhase, HashToPhaseKnownValues) {
  EXPECT_EQ(hash_to_phase(0), 0.0f);
  EXPECT_EQ(hash_to_phase(1ULL << 63), 3.1415927f);                 // 0.5 -> 1.0 -> pi
  EXPECT_EQ(hash_to_phase(~0ULL), 2.0f * 3.1415927f);               // rounds up to 2^64 -> 2 pi
  EXPECT_EQ(hash_to_phase(1ULL << 62), 3.1415927f * 0.5f);
}

TEST(HkvcPhase, EncodePhasesUsesTheSameMapping) {
  // encode_phases hashes (s as bytes, i); position_basis must agree with the same mapping.
  const auto p = mhdc::hdc::encode_phases("abc", 5);
  for (std::uint64_t i = 0; i < 5; ++i) {
    mhdc::hdc::Sip13 h;
    h.write_bytes("abc");
    h.write_index(i);
    EXPECT_TRUE(same_bits(p[i], hash_to_phase(h.finish()))) << i;
  }
}

TEST(HkvcPhase, BasisAndProbeArePrefixStableAndDiffer) {
  for (std::uint64_t pos : {0ULL, 7ULL, 1ULL << 40, ~0ULL}) {
    const auto b8 = Hkvc::position_basis(pos, 8), b3 = Hkvc::position_basis(pos, 3);
    const auto p8 = Hkvc::position_probe(pos, 8), p3 = Hkvc::position_probe(pos, 3);
    for (int i = 0; i < 3; ++i) {
      EXPECT_TRUE(same_bits(b8[i], b3[i]));
      EXPECT_TRUE(same_bits(p8[i], p3[i]));
    }
    int equal = 0;
    for (int i = 0; i < 8; ++i) {
      EXPECT_GE(b8[i], 0.0f);
      EXPECT_LE(b8[i], 6.2831855f);
      equal += b8[i] == p8[i];
    }
    EXPECT_LT(equal, 8);
  }
}

TEST(Hkvc, FreshCache) {
  for (std::uint64_t dim : {0, 1, 16}) {
    Hkvc c(dim);
    EXPECT_EQ(c.count(), 0u);
    const auto a = c.query("anything");
    EXPECT_EQ(a.value, "");
    EXPECT_EQ(a.score, 0.0f);
    EXPECT_EQ(c.position_score(3), 0.0f);
    EXPECT_EQ(c.accumulator_magnitude(), std::vector<float>(dim, 0.0f));
  }
}

TEST(Hkvc, SingleEntryScoresOne) {
  for (std::uint64_t dim : {1, 7, 64, 1000}) {
    Hkvc c(dim);
    c.store("a", "b", 0);
    const auto a = c.query("a");
    EXPECT_EQ(a.value, "b");
    EXPECT_NEAR(a.score, 1.0f, 1e-5f) << dim;
    for (float m : c.accumulator_magnitude()) EXPECT_NEAR(m, 1.0f, 1e-6f);
    EXPECT_EQ(c.count(), 1u);
  }
}

TEST(Hkvc, RepeatedKeyReturnsEarliest) {
  Hkvc c(256);
  c.store("k", "alpha", 1);
  c.store("k", "beta", 2);
  c.store("k", "gamma", 3);
  EXPECT_EQ(c.query("k").value, "alpha");
  EXPECT_EQ(c.count(), 3u);
}

TEST(Hkvc, ExactPathFindsEveryKeyAmongMany) {
  Hkvc c(512);
  for (int j = 0; j < 40; ++j) c.store("key" + std::to_string(j), "value" + std::to_string(j), j);
  for (int j = 0; j < 40; ++j) {
    const auto a = c.query("key" + std::to_string(j));
    EXPECT_EQ(a.value, "value" + std::to_string(j));
    EXPECT_NEAR(a.score, 1.0f / 40.0f, 0.08f);  // about 1/count once unrelated pairs are superposed
  }
}

TEST(Hkvc, UnknownKeyFallsBackToTheBestStrength) {
  Hkvc c(128);
  for (int j = 0; j < 13; ++j) c.store("k" + std::to_string(j), "v" + std::to_string(j), j);
  const auto q = mhdc::hdc::encode_phases("never stored", 128);
  std::vector<float> s(13);
  c.strengths(q.data(), s.data());
  std::size_t best = 0;
  for (std::size_t j = 1; j < 13; ++j)
    if (s[j] > s[best]) best = j;
  const auto a = c.query("never stored");
  EXPECT_EQ(a.value, "v" + std::to_string(best));
  EXPECT_GE(a.score, 0.0f);
  EXPECT_TRUE(same_bits(a.score, s[best] > 0.0f ? s[best] : 0.0f));
}

TEST(Hkvc, LaneScanMatchesSingleEntryStrength) {
  for (std::uint64_t dim : {1, 63, 64, 65, 200}) {
    Hkvc c(dim);
    for (int j = 0; j < 19; ++j) c.store("x" + std::to_string(j), "y" + std::to_string(j * 7), j);
    const auto q = mhdc::hdc::encode_phases("probe", dim);
    std::vector<float> s(19);
    c.strengths(q.data(), s.data());
    for (std::size_t j = 0; j < 19; ++j) EXPECT_TRUE(same_bits(s[j], c.strength(j, q.data()))) << dim << " " << j;
  }
}

TEST(Hkvc, ZeroDimAnswersFirstValueWithZero) {
  Hkvc c(0);
  c.store("a", "first", 0);
  c.store("b", "second", 1);
  const auto a = c.query("b");
  EXPECT_EQ(a.value, "first");
  EXPECT_EQ(a.score, 0.0f);
  EXPECT_FALSE(std::signbit(a.score));
  EXPECT_EQ(c.position_score(1), 0.0f);
  EXPECT_TRUE(c.accumulator_magnitude().empty());
}

TEST(Hkvc, HugeDimThrowsFromConstructor) {
  for (std::uint64_t dim : {1ULL << 40, 1ULL << 62, ~0ULL}) {
    bool threw = false;
    try {
      Hkvc c(dim);
    } catch (const std::bad_alloc&) {
      threw = true;
    } catch (const std::length_error&) {
      threw = true;
    }
    EXPECT_TRUE(threw) << dim;
  }
}

TEST(Hkvc, RandomSequencesMatchLiteralModel) {
  std::mt19937_64 rng(12345);
  const std::vector<std::string> words = {"", "a", "b", "key", "value", "ü", "long key with spaces", "k1", "k2"};
  for (int round = 0; round < 12; ++round) {
    const std::uint64_t dim = std::uniform_int_distribution<std::uint64_t>(0, 150)(rng);
    Hkvc c(dim);
    ModelCache m(dim);
    for (int op = 0; op < 30; ++op) {
      const auto& k = words[rng() % words.size()];
      if (rng() % 2) {
        const auto& v = words[rng() % words.size()];
        const std::uint64_t pos = rng() % 3 == 0 ? rng() : rng() % 10;
        c.store(k, v, pos);
        m.store(k, v, pos);
      } else {
        const auto got = c.query(k);
        const auto want = m.query(k);
        ASSERT_EQ(got.value, want.first) << round << " " << op;
        ASSERT_TRUE(same_bits(got.score, want.second)) << got.score << " vs " << want.second;
        const std::uint64_t pos = rng() % 5;
        ASSERT_TRUE(same_bits(c.position_score(pos), m.position_score(pos)));
      }
    }
    ASSERT_EQ(c.count(), m.values.size());
    const auto mag = c.accumulator_magnitude();
    for (std::uint64_t i = 0; i < dim; ++i) {
      ASSERT_TRUE(same_bits(c.composite_re()[i], m.cre[i]));
      ASSERT_TRUE(same_bits(c.composite_im()[i], m.cim[i]));
      ASSERT_TRUE(same_bits(c.pos_memory_re()[i], m.pre[i]));
      ASSERT_TRUE(same_bits(c.pos_memory_im()[i], m.pim[i]));
      ASSERT_TRUE(same_bits(mag[i], std::sqrt(m.cim[i] * m.cim[i] + m.cre[i] * m.cre[i])));
    }
  }
}

}  // namespace

// Known answers and properties of the deterministic encoders.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "hdc/encoders.hpp"
#include "hdc/hash.hpp"

using namespace mhdc;
using namespace mhdc::hdc;

namespace {

// Bit i set <=> element i is -1.
template <class V>
std::uint32_t sign_mask(const V& v) {
  std::uint32_t m = 0;
  for (std::size_t i = 0; i < v.size() && i < 32; ++i)
    if (v[i] < 0) m |= 1u << i;
  return m;
}

std::uint64_t sip(const std::string& m) { return sip13(m.data(), m.size()); }
std::string le64(std::uint64_t x) {
  std::string s(8, '\0');
  for (int b = 0; b < 8; ++b) s[b] = static_cast<char>(x >> (8 * b));
  return s;
}
std::string as_text(std::string_view s) { return std::string(s) + '\xff'; }
std::string as_bytes(std::string_view s) { return le64(s.size()) + std::string(s); }

// Values from an independent implementation written from the definitions.
struct SignCase {
  const char* s;
  std::uint32_t hv_hash_string, encode_string, make_role, text_to_bipolar_i8;
};
constexpr SignCase kSignCases[] = {
    {"", 0xb16e7f8du, 0x00692180u, 0x1f159a77u, 0x7d7c64f3u},
    {"abc", 0x4b7f1f14u, 0xfe3e59d7u, 0x8ae0d154u, 0x084220bdu},
    {"ram:50", 0x93a42e0bu, 0xb7d88007u, 0x8bb2d6c7u, 0x56da9f8du},
    {"h\xc3\xa9llo", 0x37b1bc94u, 0x50612f41u, 0x7ec9111cu, 0x298e7ffbu},
};

struct PhaseCase {
  const char* s;
  float phase[4];
};
const PhaseCase kPhaseCases[] = {
    {"", {0x1.750c06p+1f, 0x1.6a622ep+1f, 0x1.71164cp+2f, 0x1.90b626p-3f}},
    {"key", {0x1.628ca0p+2f, 0x1.819d5ap+2f, 0x1.85b8bep+2f, 0x1.bfbf4ep+1f}},
    {"abcdefgh", {0x1.336450p+0f, 0x1.9139eep-4f, 0x1.a7f69ep-2f, 0x1.6f196ep+2f}},
};

}  // namespace

TEST(Encoders, StringHashIsSipOfText) {
  EXPECT_EQ(string_hash(""), 0x30406ea523c53defULL);  // the single byte 0xff
  EXPECT_EQ(string_hash("abc"), 0xef09e0f4895a251dULL);
  EXPECT_EQ(string_hash("abc"), sip(as_text("abc")));
}

TEST(Encoders, SignKnownAnswers) {
  for (const auto& c : kSignCases) {
    EXPECT_EQ(sign_mask(hv_hash_string(c.s, 32)), c.hv_hash_string) << c.s;
    EXPECT_EQ(sign_mask(encode_string(c.s, 32)), c.encode_string) << c.s;
    EXPECT_EQ(sign_mask(make_role(32, c.s)), c.make_role) << c.s;
    EXPECT_EQ(sign_mask(text_to_bipolar_i8(c.s, 32)), c.text_to_bipolar_i8) << c.s;
  }
}

TEST(Encoders, PhaseKnownAnswers) {
  for (const auto& c : kPhaseCases) {
    const auto p = encode_phases(c.s, 4);
    ASSERT_EQ(p.size(), 4u);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(p[i], c.phase[i]) << c.s << ' ' << i;
  }
}

TEST(Encoders, PhaseRoundsHashOnceFromTheInteger) {
  // 2^63 + 2^39 + 1 lies just above the midpoint of two floats; via double it
  // first loses the +1 and then ties to even, landing one float lower.
  const std::uint64_t h = (1ULL << 63) + (1ULL << 39) + 1;
  const float once = static_cast<float>(h);
  EXPECT_EQ(once, 0x1.000002p+63f);
  const float twice = static_cast<float>(static_cast<double>(h));
  EXPECT_EQ(twice, 0x1p+63f);
  const float x = once * 0x1p-64f;
  EXPECT_EQ(phase_from_hash(h), (x + x) * 3.1415927f);
  EXPECT_NE(phase_from_hash(h), (0.5f + 0.5f) * 3.1415927f);
  EXPECT_EQ(phase_from_hash(0), 0.0f);
  EXPECT_EQ(phase_from_hash(~0ULL), 2.0f * 3.1415927f);  // rounds up to 2^64
  EXPECT_EQ(phase_from_hash(1ULL << 62), 0.5f * 3.1415927f);
}

// The prefix-absorbing encoders must equal hashing the whole message per index,
// for every pending-tail length of the prefix.
TEST(Encoders, PerIndexHashesMatchWholeMessage) {
  std::string s;
  for (int len = 0; len <= 20; ++len, s.push_back(static_cast<char>('a' + len * 5 % 26))) {
    const auto p = encode_phases(s, 19);
    const auto t = text_to_bipolar_i8(s, 19);
    for (std::uint64_t i = 0; i < 19; ++i) {
      EXPECT_EQ(p[i], phase_from_hash(sip(as_bytes(s) + le64(i)))) << len << ' ' << i;
      EXPECT_EQ(t[i], (sip(as_text(s) + le64(i)) & 1) ? -1 : 1) << len << ' ' << i;
    }
  }
}

TEST(Encoders, SequenceEncodersFollowTheirGenerators) {
  for (const char* s : {"", "x", "a longer string of text"}) {
    std::uint64_t a = sip(as_text(s)), b = a, c = sip(as_bytes(s));
    const auto hs = hv_hash_string(s, 200), es = encode_string(s, 200), mr = make_role(200, s);
    for (int i = 0; i < 200; ++i) {
      a = lcg_step(a);
      b = xorshift_step(b);
      c = xorshift_step(c);
      EXPECT_EQ(hs[i], (a >> 63) ? -1.0f : 1.0f);
      EXPECT_EQ(es[i], (b & 1) ? -1.0f : 1.0f);
      EXPECT_EQ(mr[i], (c & 1) ? -1.0f : 1.0f);
    }
  }
  EXPECT_NE(encode_string("role", 64), make_role(64, "role"));
}

TEST(Encoders, PrefixProperty) {
  for (const char* s : {"", "abc", "0123456789abcdef-"}) {
    for (std::uint64_t n : {0u, 1u, 7u, 64u}) {
      for (std::uint64_t k : {1u, 13u}) {
        auto pre = [n](auto v) { v.resize(n); return v; };
        EXPECT_EQ(hv_hash_string(s, n), pre(hv_hash_string(s, n + k)));
        EXPECT_EQ(encode_string(s, n), pre(encode_string(s, n + k)));
        EXPECT_EQ(make_role(n, s), pre(make_role(n + k, s)));
        EXPECT_EQ(encode_phases(s, n), pre(encode_phases(s, n + k)));
        EXPECT_EQ(text_to_bipolar_i8(s, n), pre(text_to_bipolar_i8(s, n + k)));
      }
    }
  }
  EXPECT_TRUE(hv_hash_string("anything", 0).empty());
}

TEST(Encoders, PhasesLieInZeroToTwoPi) {
  for (float p : encode_phases("range", 2000)) {
    EXPECT_GE(p, 0.0f);
    EXPECT_LE(p, 2.0f * 3.1415927f);
  }
}

TEST(HvHash, SignBitsOfFirst64) {
  EXPECT_EQ(hv_hash({}), 0u);
  const std::vector<float> a = {1.0f, -1.0f, 1.0f};
  EXPECT_EQ(hv_hash(a), 5u);
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const std::vector<float> b = {0.0f, -0.0f, nan, 1e-45f, -1e-45f, std::numeric_limits<float>::infinity()};
  EXPECT_EQ(hv_hash(b), (1u << 3) | (1u << 5));
  std::vector<float> c(70, 1.0f);
  EXPECT_EQ(hv_hash(c), ~0ULL);
  c[64] = -1.0f;
  c[69] = 0.0f;
  EXPECT_EQ(hv_hash(c), ~0ULL);  // index 64 on has no effect
  c[63] = -1.0f;
  EXPECT_EQ(hv_hash(c), ~0ULL >> 1);
}

TEST(ScalarHv, QuantisesIn32Bits) {
  struct Case {
    float value;
    const char* key;
  };
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  const Case cases[] = {
      {0.05f, "ram:50"},    {0.256f, "ram:0"},    {1.0f, "ram:232"},  {0.0f, "ram:0"},
      {-0.0f, "ram:0"},     {-3.0f, "ram:0"},     {nan, "ram:0"},     {-inf, "ram:0"},
      {0.009f, "ram:9"},    {999999.0f, "ram:0"},  {50.0f, "ram:80"},  {50.256f, "ram:80"},
      {1e7f, "ram:0"},      {inf, "ram:0"},       {0.255f, "ram:255"}, {0.001f, "ram:1"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(scalar_hv("ram", 48, c.value), hv_hash_string(c.key, 48)) << c.value << ' ' << c.key;
  // In double arithmetic 0.009f gives 8 and 999999 gives 24: the keys must differ from those.
  EXPECT_NE(scalar_hv("ram", 48, 0.009f), hv_hash_string("ram:8", 48));
  EXPECT_NE(scalar_hv("ram", 48, 999999.0f), hv_hash_string("ram:24", 48));
  EXPECT_EQ(scalar_hv("", 8, 0.002f), hv_hash_string(":2", 8));
}

TEST(Encoders, HugeDimFailsAsAllocationBeforeWork) {
  auto fails = [](auto&& f) {
    try {
      f();
    } catch (const std::bad_alloc&) {
      return true;
    } catch (const std::length_error&) {
      return true;
    }
    return false;
  };
  const std::uint64_t huge = 1ULL << 62;
  EXPECT_TRUE(fails([&] { hv_hash_string("x", huge); }));
  EXPECT_TRUE(fails([&] { encode_string("x", huge); }));
  EXPECT_TRUE(fails([&] { make_role(huge, "x"); }));
  EXPECT_TRUE(fails([&] { encode_phases("x", huge); }));
  EXPECT_TRUE(fails([&] { text_to_bipolar_i8("x", huge); }));
  EXPECT_TRUE(fails([&] { scalar_hv("x", huge, 1.0f); }));
  EXPECT_TRUE(fails([&] { rand_bipolar(huge); }));
  EXPECT_TRUE(fails([&] { rand_bipolar(~0ULL); }));
}

TEST(RandBipolar, ValuesAndLength) {
  EXPECT_TRUE(rand_bipolar(0).empty());
  const auto v = rand_bipolar(1000);
  ASSERT_EQ(v.size(), 1000u);
  int neg = 0;
  for (float x : v) {
    ASSERT_TRUE(x == 1.0f || x == -1.0f);
    neg += x < 0;
  }
  EXPECT_GT(neg, 380);  // ~10 sigma around 500
  EXPECT_LT(neg, 620);
  EXPECT_NE(rand_bipolar(256), rand_bipolar(256));
}

// System-state diagnostics: role, encoding, bundling into a payload and extraction.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "hdc/algebra.hpp"
#include "hdc/diagnostics.hpp"
#include "hdc/encoders.hpp"

using namespace mhdc;
using namespace mhdc::hdc;

namespace {

// Literal transcription: four value vectors bound to their role vectors, summed in order.
Hypervector reference_state(std::uint64_t d, float ram, float cpu, std::uint32_t err, std::uint32_t lat) {
  const char* names[4] = {"ram", "cpu", "err", "lat"};
  const float values[4] = {ram, cpu, static_cast<float>(err), static_cast<float>(lat)};
  Hypervector state(d, 0.0f);
  for (int f = 0; f < 4; ++f) {
    const Hypervector bound =
        hdc::bind(scalar_hv(names[f], d, values[f]), hv_hash_string(std::string(names[f]) + "_role", d));
    for (std::size_t i = 0; i < d; ++i) state[i] = state[i] + bound[i];
  }
  return state;
}

std::vector<int> as_ints(const Hypervector& v) { return {v.begin(), v.end()}; }

}  // namespace

TEST(Diagnostics, RoleKnownAnswerAndPrefix) {
  const Hypervector r = diagnostic_role(32);
  std::uint32_t mask = 0;
  for (int i = 0; i < 32; ++i) {
    ASSERT_TRUE(r[i] == 1.0f || r[i] == -1.0f);
    if (r[i] < 0) mask |= 1u << i;
  }
  EXPECT_EQ(mask, 0x1096d002u);
  const Hypervector r8 = diagnostic_role(8), r3 = diagnostic_role(3);
  EXPECT_EQ(Hypervector(r8.begin(), r8.begin() + 3), r3);
  EXPECT_TRUE(diagnostic_role(0).empty());
}

TEST(Diagnostics, EncodeKnownAnswers) {
  EXPECT_EQ(as_ints(encode_system_state(16, 50.0f, 25.0f, 3, 1200)),
            (std::vector<int>{-2, 2, 2, -2, -2, -2, 0, 2, 0, -2, -2, -2, 0, -4, 4, 2}));
  EXPECT_EQ(as_ints(encode_system_state(16, 0.0f, 0.0f, 0, 0)),
            (std::vector<int>{4, 2, 0, 0, 0, 0, 0, -4, 0, -2, -2, 0, 0, 2, 2, 0}));
}

TEST(Diagnostics, EncodeMatchesLiteralDefinition) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  struct Figures {
    float ram, cpu;
    std::uint32_t err, lat;
  };
  const Figures cases[] = {{0.0f, 0.0f, 0, 0},        {50.0f, 99.5f, 7, 1200},
                           {nan, -3.0f, 4294967295u, 1}, {0.256f, 1e9f, 255, 16777217u},
                           {0.009f, 0.05f, 1000000, 4294967295u}};
  for (const auto& c : cases) {
    for (std::uint64_t d : {0u, 1u, 37u, 300u}) {
      const Hypervector s = encode_system_state(d, c.ram, c.cpu, c.err, c.lat);
      const Hypervector want = reference_state(d, c.ram, c.cpu, c.err, c.lat);
      ASSERT_EQ(s.size(), want.size());
      for (std::size_t i = 0; i < d; ++i)  // bit patterns, so that a -0.0 would show
        ASSERT_EQ(std::bit_cast<std::uint32_t>(s[i]), std::bit_cast<std::uint32_t>(want[i])) << c.ram << ' ' << d << ' ' << i;
      for (float x : s) ASSERT_TRUE(x == -4 || x == -2 || x == 0 || x == 2 || x == 4) << x;
    }
  }
  // The zero figures are the ":0" keys.
  Hypervector zero(64, 0.0f);
  for (const char* n : {"ram", "cpu", "err", "lat"}) {
    const auto b = hdc::bind(hv_hash_string(std::string(n) + ":0", 64), hv_hash_string(std::string(n) + "_role", 64));
    for (int i = 0; i < 64; ++i) zero[i] = zero[i] + b[i];
  }
  EXPECT_EQ(encode_system_state(64, 0.0f, 0.0f, 0, 0), zero);
}

TEST(Diagnostics, QuantisationCollisions) {
  EXPECT_EQ(encode_system_state(128, 0.256f, 1.0f, 2, 3), encode_system_state(128, 0.0f, 1.0f, 2, 3));
  EXPECT_EQ(encode_system_state(128, 50.0f, 1.0f, 2, 3), encode_system_state(128, 50.256f, 1.0f, 2, 3));
  EXPECT_NE(encode_system_state(128, 50.0f, 1.0f, 2, 3), encode_system_state(128, 49.0f, 1.0f, 2, 3));
  // 4294967295 becomes 2^32 as a float, clamps to 1e6 and quantises to 0.
  EXPECT_EQ(encode_system_state(128, 1.0f, 1.0f, 4294967295u, 3), encode_system_state(128, 1.0f, 1.0f, 0, 3));
}

TEST(Diagnostics, BundleAndExtract) {
  const std::uint64_t d = 257;
  const Hypervector zeros(d, 0.0f);
  const Hypervector state = encode_system_state(d, 42.0f, 17.5f, 3, 950);
  EXPECT_EQ(extract_system_state(bundle_diagnostics(zeros, 42.0f, 17.5f, 3, 950)), state);

  // With a payload: out = payload + state * role, and extraction gives state + role * payload.
  Hypervector payload = rand_bipolar(d);
  payload[5] = 0.3f;
  payload[6] = std::numeric_limits<float>::infinity();
  const Hypervector role = diagnostic_role(d);
  const Hypervector b = bundle_diagnostics(payload, 42.0f, 17.5f, 3, 950);
  ASSERT_EQ(b.size(), d);
  for (std::size_t i = 0; i < d; ++i) ASSERT_EQ(b[i], payload[i] + state[i] * role[i]) << i;
  const Hypervector e = extract_system_state(b);
  for (std::size_t i = 0; i < d; ++i) ASSERT_EQ(e[i], role[i] * b[i]) << i;
  EXPECT_TRUE(bundle_diagnostics({}, 1, 2, 3, 4).empty());
  EXPECT_TRUE(extract_system_state({}).empty());
  // Extraction recovers the state far better than another state's.
  const Hypervector p2 = rand_bipolar(d);
  EXPECT_GT(resonance(extract_system_state(bundle_diagnostics(p2, 42.0f, 17.5f, 3, 950)), state),
            resonance(extract_system_state(bundle_diagnostics(p2, 1.0f, 2.0f, 5, 7)), state) + 0.5f);
}

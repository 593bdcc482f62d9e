// Renderer encodings, byte binding and the role table.
//
// Known answers (strings of + and -) were produced by an independent model of
// the generator (ChaCha12 block function checked against the published all-zero
// key ChaCha20 vector, four-block buffering, PCG32 seed expansion), not by this
// code.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "hdc/errors.hpp"
#include "hdc/rng.hpp"
#include "hkvc_graphics/renderer.hpp"

namespace mhdc::graphics {
namespace {

ByteVector from_signs(std::string_view s) {
  ByteVector v;
  for (char c : s) v.push_back(c == '+' ? 1 : -1);
  return v;
}

ByteVector negated(ByteVector v) {
  for (auto& e : v) e = static_cast<std::int8_t>(-e);
  return v;
}

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

// ---------------------------------------------------------------------------
// Role seed and table
// ---------------------------------------------------------------------------

TEST(RoleSeed, IsPinned) {
  // Every stored encoding that uses a role depends on these bytes and this order.
  const std::string_view expected = "morvelan_hdc graphics role seed!";
  ASSERT_EQ(expected.size(), 32u);
  for (std::size_t i = 0; i < 32; ++i) {
    EXPECT_EQ(kRoleSeed[i], static_cast<std::uint8_t>(expected[i])) << "byte " << i;
  }
  const std::string_view tags = "ODPNMWXYFTLRBI";
  ASSERT_EQ(kRoleTags.size(), tags.size());
  for (std::size_t i = 0; i < tags.size(); ++i) {
    EXPECT_EQ(kRoleTags[i], static_cast<std::uint8_t>(tags[i])) << "tag " << i;
  }
}

TEST(RoleTable, KnownAnswersAtDim16) {
  struct Case {
    char tag;
    const char* signs;
  };
  const Case cases[] = {
      {'O', "---++--+-++++-+-"}, {'D', "++-++++-+--++-++"}, {'P', "+-+++-+--+--+-++"},
      {'N', "+--++++-+-+-+-++"}, {'M', "--+++-+-+-+-++++"}, {'W', "-++++--+--+-++-+"},
      {'X', "+--++-----+--+--"}, {'Y', "--+----++---+--+"}, {'F', "-+--++-+-+----++"},
      {'T', "--+--+++--+-++++"}, {'L', "--++----++-++-+-"}, {'R', "-++--+++-+-+++-+"},
      {'B', "-+-+++--+-+--++-"}, {'I', "------+-++--+++-"},
  };
  const RoleHV table = RoleHV::build(16);
  for (const auto& c : cases) {
    EXPECT_EQ(table.get(static_cast<std::uint8_t>(c.tag)), from_signs(c.signs)) << c.tag;
  }
  EXPECT_EQ(table.left(), table.get('L'));
  EXPECT_EQ(table.right(), table.get('R'));
}

TEST(RoleTable, BuildIsRoleVecInTagOrder) {
  auto generator = hdc::SeededRng::from_seed(kRoleSeed);
  const RoleHV table = RoleHV::build(40);
  for (std::uint8_t tag : kRoleTags) {
    EXPECT_EQ(RoleHV::role_vec(40, tag, generator), table.get(tag)) << tag;
  }
}

TEST(RoleTable, ShorterDimIsPrefixAndTablesRepeat) {
  const RoleHV t8 = RoleHV::build(8);
  const RoleHV t16 = RoleHV::build(16);
  const RoleHV t16b = RoleHV::build(16);
  for (std::uint8_t tag : kRoleTags) {
    const ByteVector& s = t8.get(tag);
    const ByteVector& l = t16.get(tag);
    ASSERT_EQ(s.size(), 8u);
    ASSERT_EQ(l.size(), 16u);
    EXPECT_TRUE(std::equal(s.begin(), s.end(), l.begin())) << tag;
    EXPECT_EQ(l, t16b.get(tag)) << tag;
  }
  const RoleHV t0 = RoleHV::build(0);
  EXPECT_TRUE(t0.left().empty());
  EXPECT_TRUE(t0.get('I').empty());
}

TEST(RoleTable, UnknownTagIsRejected) {
  const RoleHV table = RoleHV::build(4);
  EXPECT_THROW(table.get('Z'), value_error);
  EXPECT_THROW(table.get(0), value_error);
}

// ---------------------------------------------------------------------------
// floats_to_hv
// ---------------------------------------------------------------------------

// The encoding as three literal parity passes, one per axis.
int reference_bin(float x) {
  float c = std::fmin(std::fmax(x, -10.0f), 10.0f);
  if (std::isnan(x)) c = x;
  const float q = (c + 10.0f) / 20.0f * 32.0f;
  if (!(q > 0.0f)) return 0;
  return std::min(static_cast<int>(q), 31);
}

ByteVector reference_floats(std::size_t dim, const Float3& v) {
  ByteVector out(dim, 1);
  for (int a = 0; a < 3; ++a) {
    const int bin = reference_bin(v[a]);
    for (std::size_t i = 0; i < dim; ++i) {
      if (((i % 3) + (i / 32) + bin + a) % 2 == 1) out[i] = static_cast<std::int8_t>(-out[i]);
    }
  }
  return out;
}

TEST(FloatsToHv, MatchesThreeParityPasses) {
  const Float3 cases[] = {
      {0, 0, 0},        {10, 0, 0},          {-10, 0, 0},      {kNaN, 0, 0},
      {kInf, -kInf, 1}, {0.625f, 0, 0},      {0.624f, 0, 0},   {9.99f, -9.99f, 3.3f},
      {-0.0f, 5, -5},   {1e30f, -1e30f, 0},  {-9.375f, 2, 7},  {kNaN, kNaN, kNaN},
  };
  for (const auto& v : cases) {
    for (std::size_t dim : {0u, 1u, 31u, 32u, 33u, 97u, 191u, 192u, 193u, 385u}) {
      EXPECT_EQ(HKVCRenderer::floats_to_hv(dim, v), reference_floats(dim, v))
          << v[0] << "," << v[1] << "," << v[2] << " dim " << dim;
    }
  }
}

TEST(FloatsToHv, OriginParityPattern) {
  const ByteVector v = HKVCRenderer::floats_to_hv(200, {0, 0, 0});
  ASSERT_EQ(v.size(), 200u);
  EXPECT_EQ(v[0], -1);
  EXPECT_EQ(v[1], 1);
  EXPECT_EQ(v[32], 1);
  for (std::size_t i = 0; i < v.size(); ++i) {
    EXPECT_EQ(v[i], (((i % 3) + i / 32) % 2 == 1) ? 1 : -1) << i;
  }
  EXPECT_TRUE(HKVCRenderer::floats_to_hv(0, {1, 2, 3}).empty());
}

TEST(FloatsToHv, ClampEndsNegateEachOther) {
  const ByteVector hi = HKVCRenderer::floats_to_hv(130, {10, 0, 0});
  const ByteVector lo = HKVCRenderer::floats_to_hv(130, {-10, 0, 0});
  EXPECT_EQ(hi, negated(lo));
  // Beyond the clamp nothing changes.
  EXPECT_EQ(HKVCRenderer::floats_to_hv(130, {1e9f, 0, 0}), hi);
  EXPECT_EQ(HKVCRenderer::floats_to_hv(130, {-kInf, 0, 0}), lo);
}

TEST(FloatsToHv, NaNIsBinZero) {
  for (int axis = 0; axis < 3; ++axis) {
    Float3 with_nan{0.5f, -3.0f, 7.0f};
    Float3 with_low = with_nan;
    with_nan[axis] = kNaN;
    with_low[axis] = -10.0f;
    EXPECT_EQ(HKVCRenderer::floats_to_hv(70, with_nan), HKVCRenderer::floats_to_hv(70, with_low))
        << axis;
  }
}

TEST(FloatsToHv, OnlyBinSumParityMatters) {
  // 0.625 scales to exactly 17.0 (bin 17); 0.624 stays in bin 16.
  const ByteVector origin = HKVCRenderer::floats_to_hv(64, {0, 0, 0});
  EXPECT_EQ(HKVCRenderer::floats_to_hv(64, {0.624f, 0, 0}), origin);
  EXPECT_EQ(HKVCRenderer::floats_to_hv(64, {0.625f, 0, 0}), negated(origin));
  EXPECT_EQ(HKVCRenderer::floats_to_hv(64, {0.625f, 0.625f, 0}), origin);
  EXPECT_EQ(HKVCRenderer::floats_to_hv(64, {0, 0, 0.625f}), negated(origin));
}

// ---------------------------------------------------------------------------
// uint_to_hv and seeded_bipolar
// ---------------------------------------------------------------------------

TEST(UintToHv, KnownAnswers) {
  EXPECT_EQ(HKVCRenderer::uint_to_hv(16, 0), from_signs("--+-+-+----++-++"));
  EXPECT_EQ(HKVCRenderer::uint_to_hv(16, 7), from_signs("+++-+-+++--+++--"));
  EXPECT_EQ(HKVCRenderer::uint_to_hv(16, 0xFFFFFFFFu), from_signs("+++--+-+---+-+--"));
  EXPECT_EQ(seeded_bipolar(16, std::uint64_t{1} << 40), from_signs("+--+---+--+-++--"));
  EXPECT_TRUE(HKVCRenderer::uint_to_hv(0, 7).empty());
}

TEST(UintToHv, RepeatsAndPrefixes) {
  const ByteVector a = HKVCRenderer::uint_to_hv(300, 12345);
  EXPECT_EQ(a, HKVCRenderer::uint_to_hv(300, 12345));
  const ByteVector p = HKVCRenderer::uint_to_hv(37, 12345);
  EXPECT_TRUE(std::equal(p.begin(), p.end(), a.begin()));
  EXPECT_NE(a, HKVCRenderer::uint_to_hv(300, 12346));
  // Each element is the top bit of one 64-bit draw, across buffer refills.
  auto rng = hdc::SeededRng::seed_from_u64(12345);
  for (std::size_t i = 0; i < a.size(); ++i) {
    EXPECT_EQ(a[i], (rng.next_u64() >> 63) ? -1 : 1) << i;
  }
}

TEST(SeededBipolar, MatchesSeededRngDrawForDraw) {
  // The encodings read whole refills; SeededRng is the definition.
  for (std::uint64_t seed : {0ull, 1ull, 0x7FC00000ull, 0x80000000ull, ~0ull}) {
    for (std::size_t dim : {1u, 31u, 32u, 33u, 64u, 65u, 1000u}) {
      auto rng = hdc::SeededRng::seed_from_u64(seed);
      ByteVector want(dim);
      for (auto& e : want) e = rng.bipolar_i8();
      EXPECT_EQ(seeded_bipolar(dim, seed), want) << seed << " " << dim;
    }
  }
}

// ---------------------------------------------------------------------------
// make_photon
// ---------------------------------------------------------------------------

TEST(MakePhoton, KnownAnswers) {
  struct Case {
    std::size_t dim;
    Float3 position, direction;
    float wavelength;
    const char* signs;
  };
  const Case cases[] = {
      {64, {0, 0, 0}, {1, 0, 0}, 480.0f,
       "--++-----+-++++-------++-+---+-+-+++-+--++-++-+++----+-++-+----+"},
      {64, {0, 0, 0}, {1, 0, 0}, 650.0f,
       "-+++++----------+--+--+--+--++++--+-+-----++++--+++---+-++-+--+-"},
      {40, {1.5f, -2, 3}, {0, 0, 1}, -0.0f, "+--+--++-+----+++--+-++-++--++++-+++---+"},
      {40, {1.5f, -2, 3}, {0, 0, 1}, 0.0f, "++---+-++++--+----+++-++-+--+-+---++----"},
      {40, {0, 0, 0}, {0, 0, 0}, kNaN, "-+-+------+++---+-------+--+++--+-+-+---"},
      {100, {0, 0, 0}, {0, 0, 0}, -3.0f,
       "+++++++++-----+-++-+-+++---+--+--++++--+---+-+++++-----++--+++--++++----+++++-+++--"
       "-------------+---"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(HKVCRenderer::make_photon(c.dim, c.position, c.direction, c.wavelength),
              from_signs(c.signs))
        << "dim " << c.dim << " wavelength " << c.wavelength;
  }
}

// make_photon written out element by element with SeededRng::gen_bool.
ByteVector reference_photon(std::size_t dim, const Float3& p, const Float3& d, float wavelength) {
  const ByteVector pv = reference_floats(dim, p), dv = reference_floats(dim, d);
  auto rng = hdc::SeededRng::seed_from_u64(std::bit_cast<std::uint32_t>(wavelength));
  ByteVector out(dim);
  for (std::size_t i = 0; i < dim; ++i) {
    const std::size_t k = std::min<std::size_t>(i / (dim / 32), 31);
    const bool flag = -10.0f + 0.625f * static_cast<float>(k) <= wavelength;
    const int w = rng.gen_bool(0.6) == flag ? 1 : -1;
    out[i] = static_cast<std::int8_t>(w * pv[i] * dv[i]);
  }
  return out;
}

TEST(MakePhoton, MatchesPerDrawReferenceAndItsScalarTwin) {
  // Positions and directions whose bin sums take both parities, NaN and clamped components included.
  const Float3 points[] = {{1, -2, 3}, {0.5f, 0, -7}, {0, 0, 0}, {kNaN, 11, -11}, {-10, 10, 0.3125f}, {9.9f, -0.0f, 2}};
  for (std::size_t dim : {32u, 33u, 63u, 64u, 100u, 127u, 1000u, 1025u, 10007u}) {
    for (float wl : {-10.0f, -0.0f, 0.3f, 9.375f, 480.0f, kNaN}) {
      for (const Float3& p : points) {
        for (const Float3& d : {points[1], points[3], points[4]}) {
          const ByteVector want = reference_photon(dim, p, d, wl);
          EXPECT_EQ(HKVCRenderer::make_photon(dim, p, d, wl), want) << dim << " " << wl;
          EXPECT_EQ(HKVCRenderer::make_photon_scalar(dim, p, d, wl), want) << dim << " " << wl;
        }
      }
    }
  }
}

TEST(MakePhoton, BiasComparesWholeDrawsAtTheThreshold) {
  // Draws on both sides of floor(0.6 * 2^64), where the two halves compare differently.
  constexpr std::uint64_t t = kPhotonBiasThreshold;
  const std::uint64_t draws[] = {t - 1, t, t + 1, t & 0xFFFFFFFF00000000ull, (t | 0xFFFFFFFFull), t - 0x100000000ull,
                                 t + 0x100000000ull, 0, ~0ull, (t - 1) & 0xFFFFFFFFull, t >> 32};
  for (std::size_t n : {1u, 11u, 40u}) {  // 40: past one vector's worth, the draws repeated
    std::vector<std::uint32_t> w;
    std::vector<std::int8_t> want;
    for (std::size_t j = 0; j < n; ++j) {
      const std::uint64_t x = draws[j % std::size(draws)];
      w.push_back(static_cast<std::uint32_t>(x));
      w.push_back(static_cast<std::uint32_t>(x >> 32));
      want.push_back(x < t ? std::int8_t{-1} : std::int8_t{1});
    }
    std::vector<std::int8_t> got(n, 0);
    mhdc::graphics::detail::bias_stretch(w.data(), n, -1, got.data());
    EXPECT_EQ(got, want) << n;
  }
}

TEST(MakePhoton, DimBelowOneBlockFails) {
  EXPECT_TRUE(HKVCRenderer::make_photon(0, {0, 0, 0}, {1, 0, 0}, 480.0f).empty());
  for (std::size_t dim = 1; dim <= 31; ++dim) {
    try {
      HKVCRenderer::make_photon(dim, {0, 0, 0}, {1, 0, 0}, 480.0f);
      ADD_FAILURE() << "dim " << dim << " did not fail";
    } catch (const value_error& e) {
      EXPECT_STREQ(e.what(), "attempt to divide by zero");
    }
  }
  EXPECT_EQ(HKVCRenderer::make_photon(32, {0, 0, 0}, {1, 0, 0}, 480.0f).size(), 32u);
}

TEST(MakePhoton, VisibleWavelengthsShareThermometerButNotSeed) {
  const ByteVector blue = HKVCRenderer::make_photon(256, {0, 0, 0}, {1, 0, 0}, 480.0f);
  const ByteVector red = HKVCRenderer::make_photon(256, {0, 0, 0}, {1, 0, 0}, 650.0f);
  EXPECT_NE(blue, red);
  EXPECT_EQ(blue, HKVCRenderer::make_photon(256, {0, 0, 0}, {1, 0, 0}, 480.0f));
}

// Recovers, for every element, the thermometer flag it was drawn against:
// W = photon * PD (PD is +/-1), and W[i] = +1 exactly when the i-th gen_bool(0.6)
// equals the flag.
std::vector<bool> recovered_flags(std::size_t dim, float wavelength) {
  const Float3 p{2, 3, -4}, d{0, 1, 0};
  const ByteVector photon = HKVCRenderer::make_photon(dim, p, d, wavelength);
  const ByteVector pv = HKVCRenderer::floats_to_hv(dim, p);
  const ByteVector dv = HKVCRenderer::floats_to_hv(dim, d);
  auto rng = hdc::SeededRng::seed_from_u64(std::bit_cast<std::uint32_t>(wavelength));
  std::vector<bool> flags(dim);
  for (std::size_t i = 0; i < dim; ++i) {
    const int w = photon[i] * pv[i] * dv[i];
    const bool b = rng.gen_bool(0.6);
    flags[i] = (w == 1) == b;
  }
  return flags;
}

TEST(MakePhoton, BlockEdges) {
  // -0.0 sets flags 0..16 (thresholds -10 .. 0), leaves 17..31 clear.
  struct Case {
    std::size_t dim, block;
  };
  for (const Case c : {Case{32, 1}, Case{64, 2}, Case{100, 3}, Case{127, 3}, Case{1000, 31}}) {
    const std::vector<bool> flags = recovered_flags(c.dim, -0.0f);
    for (std::size_t i = 0; i < c.dim; ++i) {
      const std::size_t k = std::min<std::size_t>(i / c.block, 31);
      EXPECT_EQ(flags[i], k <= 16) << "dim " << c.dim << " element " << i;
    }
  }
  // dim 64: elements 0, 1 use flag 0 (set only at -10.0); 62, 63 use flag 31.
  const std::vector<bool> at_low_end = recovered_flags(64, -10.0f);
  EXPECT_TRUE(at_low_end[0] && at_low_end[1]);
  EXPECT_FALSE(at_low_end[2]);
  const std::vector<bool> at_top = recovered_flags(64, 9.375f);
  EXPECT_TRUE(at_top[62] && at_top[63]);
  EXPECT_FALSE(recovered_flags(64, 9.374f)[62]);
  // dim 100: 93..99 all use flag 31.
  const std::vector<bool> top100 = recovered_flags(100, 9.375f);
  const std::vector<bool> below100 = recovered_flags(100, 9.374f);
  for (std::size_t i = 93; i < 100; ++i) {
    EXPECT_TRUE(top100[i]) << i;
    EXPECT_FALSE(below100[i]) << i;
  }
  EXPECT_TRUE(below100[92]);
}

TEST(MakePhoton, FlagsClearBelowRangeAndForNaN) {
  for (float wl : {-10.001f, -1000.0f, -kInf, kNaN}) {
    const std::vector<bool> flags = recovered_flags(96, wl);
    for (std::size_t i = 0; i < flags.size(); ++i) EXPECT_FALSE(flags[i]) << wl << " " << i;
  }
  for (float wl : {480.0f, 9.375f, kInf}) {
    const std::vector<bool> flags = recovered_flags(96, wl);
    for (std::size_t i = 0; i < flags.size(); ++i) EXPECT_TRUE(flags[i]) << wl << " " << i;
  }
}

TEST(MakePhoton, BiasThresholdIsGenBoolOfSixTenths) {
  auto a = hdc::SeededRng::seed_from_u64(99);
  auto b = hdc::SeededRng::seed_from_u64(99);
  int trues = 0;
  for (int i = 0; i < 4000; ++i) {
    const bool x = a.gen_bool(0.6);
    EXPECT_EQ(x, b.next_u64() < kPhotonBiasThreshold) << i;
    trues += x;
  }
  EXPECT_GT(trues, 2200);
  EXPECT_LT(trues, 2600);
}

// ---------------------------------------------------------------------------
// Byte binding
// ---------------------------------------------------------------------------

std::int8_t wrap_product(int a, int b) {
  const int p = (a * b) & 0xFF;
  return static_cast<std::int8_t>(p >= 128 ? p - 256 : p);
}

TEST(BindBytes, EveryBytePairWraps) {
  std::vector<std::int8_t> a, b;
  for (int x = -128; x < 128; ++x) {
    for (int y = -128; y < 128; ++y) {
      a.push_back(static_cast<std::int8_t>(x));
      b.push_back(static_cast<std::int8_t>(y));
    }
  }
  std::vector<std::int8_t> fast(a.size()), slow(a.size());
  bind_bytes(a.data(), b.data(), a.size(), fast.data());
  bind_bytes_scalar(a.data(), b.data(), a.size(), slow.data());
  for (std::size_t i = 0; i < a.size(); ++i) {
    ASSERT_EQ(fast[i], wrap_product(a[i], b[i])) << int(a[i]) << "*" << int(b[i]);
    ASSERT_EQ(slow[i], fast[i]);
  }
  EXPECT_EQ(wrap_product(-128, -1), -128);
  EXPECT_EQ(wrap_product(16, 16), 0);
}

TEST(BindBytes, UnalignedLengthsAndInPlace) {
  std::vector<std::int8_t> a(200), b(200);
  for (std::size_t i = 0; i < a.size(); ++i) {
    a[i] = static_cast<std::int8_t>(i * 37 + 11);
    b[i] = static_cast<std::int8_t>(i * 91 - 5);
  }
  for (std::size_t off = 0; off < 3; ++off) {
    for (std::size_t n = 0; n <= 70; ++n) {
      std::vector<std::int8_t> out(n + 1, 42), want(n + 1, 42);
      bind_bytes(a.data() + off, b.data() + off, n, out.data());
      bind_bytes_scalar(a.data() + off, b.data() + off, n, want.data());
      ASSERT_EQ(out, want) << off << " " << n;
    }
  }
  std::vector<std::int8_t> acc(a);
  bind_bytes_inplace(acc, b);
  for (std::size_t i = 0; i < acc.size(); ++i) EXPECT_EQ(acc[i], wrap_product(a[i], b[i]));
}

}  // namespace
}  // namespace mhdc::graphics

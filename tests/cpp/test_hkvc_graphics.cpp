// What the Python model cannot reach: the roles other than L and R, the unknown-tag
// error, and the vectorised kernels against their scalar twins (the baseline build
// runs the same checks on the non-AVX2 clones).
#include <gtest/gtest.h>

#include <cmath>
#include <string_view>
#include <utility>
#include <vector>

#include "hdc/errors.hpp"
#include "hkvc_graphics/engine.hpp"
#include "hkvc_graphics/renderer.hpp"

namespace mhdc::hkvc_graphics {

TEST(RoleTable, SeedAndTagOrderArePinnedByTheFirstDraws) {
  // The first 16 signs of each role in tag order, from an independent generator model.
  const std::string_view signs =
      "---++--+-++++-+-++-++++-+--++-+++-+++-+--+--+-+++--++++-+-+-+-++--+++-+-+-+-++++-++++--+--+-++-+"
      "+--++-----+--+----+----++---+--+-+--++-+-+----++--+--+++--+-++++--++----++-++-+--++--+++-+-+++-+"
      "-+-+++--+-+--++-------+-++--+++-";
  const RoleHV table = RoleHV::build(16);
  for (std::size_t i = 0; i < signs.size(); ++i)
    EXPECT_EQ(table.get(kRoleTags[i / 16])[i % 16], signs[i] == '+' ? 1 : -1) << kRoleTags[i / 16] << i % 16;
  try { table.get('Z'); ADD_FAILURE(); } catch (const value_error& e) { EXPECT_STREQ(e.what(), "unknown role tag"); }
}

TEST(EncodeUtf8, EachSequenceLengthAtItsBoundsAndSurrogatesAsReplacement) {
  const std::pair<std::u32string_view, std::string_view> cases[] = {
      {U"", ""}, {U"\x7f", "\x7f"}, {U"\x80", "\xC2\x80"}, {U"\x7ff", "\xDF\xBF"}, {U"\x800", "\xE0\xA0\x80"},
      {U"\xd7ff\xe000", "\xED\x9F\xBF\xEE\x80\x80"}, {U"\xffff", "\xEF\xBF\xBF"}, {U"\x10000", "\xF0\x90\x80\x80"},
      {U"\x10ffff", "\xF4\x8F\xBF\xBF"}, {U"\xd800\xdfff", "\xEF\xBF\xBD\xEF\xBF\xBD"}};
  for (const auto& [code_points, utf8] : cases) EXPECT_EQ(encode_utf8(code_points), utf8) << utf8.size();
}

TEST(MakePhoton, MatchesItsScalarTwin) {
  const Float3 p[] = {{1, -2, 3}, {0.5f, 0, -7}, {NAN, 11, -11}, {-10, 10, 0.3125f}};
  for (std::uint64_t dim : {0u, 32u, 33u, 63u, 64u, 100u, 127u, 1025u, 10007u})
    for (float wl : {-10.0f, -0.0f, 0.3f, 9.375f, 480.0f, NAN})
      for (std::size_t k = 0; k < 16; ++k)
        EXPECT_EQ(HKVCRenderer::make_photon(dim, p[k / 4], p[k % 4], wl),
                  HKVCRenderer::make_photon_scalar(dim, p[k / 4], p[k % 4], wl)) << dim << ' ' << wl << ' ' << k;
}

TEST(MakePhoton, BiasComparesWholeDrawsAtTheThreshold) {
  // Draws beside floor(0.6 * 2^64), where the two 32-bit halves compare differently; 40 runs past a vector.
  constexpr std::uint64_t t = kPhotonBiasThreshold, hi = 0x100000000ull;
  const std::uint64_t edge[] = {t - 1, t, t + 1, t & ~(hi - 1), t | (hi - 1), t - hi, t + hi, 0, ~0ull, t >> 32};
  std::vector<std::uint32_t> w;
  std::vector<std::int8_t> want, got(40);
  for (std::size_t j = 0; j < got.size(); ++j) {
    const std::uint64_t x = edge[j % std::size(edge)];
    w.insert(w.end(), {static_cast<std::uint32_t>(x), static_cast<std::uint32_t>(x >> 32)});
    want.push_back(x < t ? -1 : 1);
  }
  for (hdc::Isa isa : hdc::kAllIsas) {
    detail::bias_stretch(w.data(), got.size(), -1, got.data(), isa);
    EXPECT_EQ(got, want) << hdc::isa_name(isa);
  }
}

TEST(BindBytes, VectorisedMatchesScalarOnEveryPairLengthAndOffset) {
  std::vector<std::int8_t> a, b;
  for (int x = 0; x < 65536; ++x)
    a.push_back(static_cast<std::int8_t>(x >> 8)), b.push_back(static_cast<std::int8_t>(x));
  for (std::size_t off = 0; off < 3; ++off)
    for (std::size_t n : {0, 1, 31, 33, 65, 65533}) {
      std::vector<std::int8_t> fast(n + 1, 42), slow(n + 1, 42);
      bind_bytes(a.data() + off, b.data() + off, n, fast.data());
      bind_bytes_scalar(a.data() + off, b.data() + off, n, slow.data());
      ASSERT_EQ(fast, slow) << off << ' ' << n;
    }
}

}  // namespace mhdc::hkvc_graphics

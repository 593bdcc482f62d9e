// Generation engine: structure of each encoding, colour names, length checks.
// Known answers come from the same independent generator model as the renderer
// tests.
#include <gtest/gtest.h>

#include <limits>
#include <new>
#include <stdexcept>
#include <string>

#include "hdc/encoders.hpp"
#include "hdc/errors.hpp"
#include "hkvc_graphics/engine.hpp"

namespace mhdc::graphics {
namespace {

ByteVector from_signs(std::string_view s) {
  ByteVector v;
  for (char c : s) v.push_back(c == '+' ? 1 : -1);
  return v;
}

ByteVector product(const ByteVector& a, const ByteVector& b) {
  ByteVector out(a.size());
  bind_bytes_scalar(a.data(), b.data(), a.size(), out.data());
  return out;
}

std::string value_error_text(auto&& call) {
  try {
    call();
  } catch (const value_error& e) {
    return e.what();
  }
  return "<no value_error>";
}

TEST(Engine, DimZeroGivesEmptyResults) {
  const HoloGenEngine e(0);
  EXPECT_EQ(e.structural_dimension(), 0u);
  EXPECT_TRUE(e.generate_pixel_geometry(3, 5, 9).empty());
  EXPECT_TRUE(e.generate_material_mapping({1, 2, 3}, {0, 1, 0}, 4).empty());
  EXPECT_TRUE(e.generate_photon({0, 0, 0}, {1, 0, 0}, 480.0f).empty());
  EXPECT_TRUE(e.generate_photon_colour("red").empty());
  EXPECT_TRUE(e.encode_bvh_node({0, 0, 0}, {1, 1, 1}, {}, {}).empty());
  EXPECT_TRUE(e.simulate_counterfactual("a", "b").empty());
}

TEST(Engine, HugeDimFailsAsAllocation) {
  for (std::uint64_t dim : {std::numeric_limits<std::uint64_t>::max(), std::uint64_t{1} << 62}) {
    try {
      HoloGenEngine e(dim);
      ADD_FAILURE() << "dim " << dim << " was allocated";
    } catch (const std::bad_alloc&) {
    } catch (const std::length_error&) {
    }
  }
}

TEST(Engine, PixelGeometry) {
  const HoloGenEngine e(32);
  const ByteVector p35 = e.generate_pixel_geometry(3, 5);
  EXPECT_EQ(p35, from_signs("--++--+-+--++--+-+++-++-+-+--++-"));
  EXPECT_EQ(e.generate_pixel_geometry(5, 3), p35);
  EXPECT_EQ(e.generate_pixel_geometry(3, 5, 0), p35);
  EXPECT_EQ(e.generate_pixel_geometry(5, 3, 9), from_signs("-+-++--+++----+-+-+--+--+---+---"));
  // x == y cancels to the frame vector, which for large frames is seeded from 64 bits.
  EXPECT_EQ(e.generate_pixel_geometry(7, 7, 9), HKVCRenderer::uint_to_hv(32, 9));
  const ByteVector big_frame = e.generate_pixel_geometry(1, 1, std::uint64_t{1} << 40);
  EXPECT_EQ(ByteVector(big_frame.begin(), big_frame.begin() + 16),
            from_signs("+--+---+--+-++--"));
  EXPECT_EQ(e.generate_pixel_geometry(0xFFFFFFFFu, 0, 0),
            HKVCRenderer::uint_to_hv(32, 0xFFFFFFFFu));
}

TEST(Engine, MaterialMapping) {
  const HoloGenEngine e(32);
  EXPECT_EQ(e.generate_material_mapping({1, 2, 3}, {0, 1, 0}, 42),
            from_signs("+++---++--++--+--+-++-+---+--+-+"));
  const HoloGenEngine big(150);
  const ByteVector m = big.generate_material_mapping({-4, 0.5f, 9}, {1, 0, 0}, 7);
  EXPECT_EQ(m, product(product(HKVCRenderer::floats_to_hv(150, {-4, 0.5f, 9}),
                               HKVCRenderer::floats_to_hv(150, {1, 0, 0})),
                       HKVCRenderer::uint_to_hv(150, 7)));
}

TEST(Engine, PhotonVectorPathEqualsColour) {
  const HoloGenEngine e(64);
  EXPECT_EQ(e.generate_photon({0, 0, 0}, {1, 0, 0}, 480.0f), e.generate_photon_colour("blue"));
  EXPECT_EQ(e.generate_photon_colour("red"),
            from_signs("-+++++----------+--+--+--+--++++--+-+-----++++--+++---+-++-+--+-"));
  EXPECT_NE(e.generate_photon_colour("blue"), e.generate_photon_colour("cyan"));
}

TEST(Engine, ColourNamesAreTrimmedAndLowered) {
  const HoloGenEngine e(96);
  struct Case {
    std::string_view name;
    std::string_view same_as;
  };
  const Case cases[] = {
      {"  Blue\n", "blue"},
      {"\t\v\f\rRED \r\n", "red"},
      {"ORANGE", "amber"},
      {"orange", "amber"},
      {"Purple", "violet"},
      {"\u3000\u00A0green\u2028\u2029\u0085", "green"},
      {"\u1680\u2000\u200A\u202F\u205FYellow\u3000", "yellow"},
      {"wHiTe", "white"},
      {" cyan", "cyan"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(e.generate_photon_colour(c.name), e.generate_photon_colour(c.same_as)) << c.name;
  }
  struct Wave {
    std::string_view name;
    float nm;
  };
  for (const Wave w : {Wave{"red", 650}, Wave{"orange", 590}, Wave{"amber", 590},
                       Wave{"yellow", 580}, Wave{"white", 550}, Wave{"green", 530},
                       Wave{"cyan", 500}, Wave{"blue", 480}, Wave{"violet", 420},
                       Wave{"purple", 420}}) {
    EXPECT_EQ(colour_wavelength(w.name), w.nm) << w.name;
  }
}

TEST(Engine, UnknownColourNamesReportTheNormalisedName) {
  const HoloGenEngine e(64);
  const std::string tail = "'. Use blue, red, green, yellow, white, cyan, amber, or violet.";
  struct Case {
    std::string_view name;
    std::string_view reported;
  };
  const Case cases[] = {
      {"magenta", "magenta"},
      {"MAGENTA", "magenta"},
      {"  \n", ""},
      {"", ""},
      {"R\u00C9D", "r\u00C9d"},            // only ASCII letters are lowered
      {"\x1c" "red\x1f", "\x1c" "red\x1f"},  // information separators are not white space
      {"\u200Bblue", "\u200Bblue"},        // zero-width space is not white space
      {"\uFEFFred", "\uFEFFred"},
      {"light blue", "light blue"},
      {"red\xC0\xA0", "red\xC0\xA0"},      // an overlong space is not a space
  };
  for (const auto& c : cases) {
    EXPECT_EQ(value_error_text([&] { e.generate_photon_colour(c.name); }),
              "unsupported photon color '" + std::string(c.reported) + tail)
        << c.name;
  }
}

TEST(Engine, PhotonBelowOneBlockFails) {
  const HoloGenEngine e(16);
  EXPECT_EQ(value_error_text([&] { e.generate_photon({0, 0, 0}, {1, 0, 0}, 480.0f); }),
            "attempt to divide by zero");
  EXPECT_EQ(value_error_text([&] { e.generate_photon_colour("blue"); }),
            "attempt to divide by zero");
  // The name is looked up before any photon is made.
  EXPECT_EQ(value_error_text([&] { e.generate_photon_colour("mauve"); }).substr(0, 26),
            "unsupported photon color '");
}

TEST(Engine, BvhNodeBindsRolesAndBox) {
  const HoloGenEngine e(32);
  const ByteVector ones(32, 1);
  const ByteVector node = e.encode_bvh_node({-1, -1, -1}, {1, 1, 1}, ones, ones);
  EXPECT_EQ(node, from_signs("-+-+-++++----++++----+-+-+--+-+-"));
  EXPECT_EQ(e.encode_bvh_node({1, 1, 1}, {-1, -1, -1}, ones, ones), node);
  const ByteVector box =
      product(HKVCRenderer::floats_to_hv(32, {-1, -1, -1}), HKVCRenderer::floats_to_hv(32, {1, 1, 1}));
  EXPECT_EQ(node, product(product(e.roles().left(), e.roles().right()), box));

  // Caller bytes are not required to be bipolar: products wrap modulo 256.
  const ByteVector l(32, 2), r(32, 64);
  const ByteVector wrapped = e.encode_bvh_node({-1, -1, -1}, {1, 1, 1}, l, r);
  for (std::size_t i = 0; i < 32; ++i) EXPECT_EQ(wrapped[i], -128) << i;
}

TEST(Engine, BvhNodeLengthMismatch) {
  const HoloGenEngine e(32);
  const ByteVector ok(32, 1), short_list(31, 1), long_list(40, -1);
  const ByteVector before = e.encode_bvh_node({0, 1, 2}, {3, 4, 5}, ok, ok);
  EXPECT_EQ(value_error_text([&] { e.encode_bvh_node({0, 0, 0}, {1, 1, 1}, short_list, ok); }),
            "assertion `left == right` failed\n  left: 31\n right: 32");
  EXPECT_EQ(value_error_text([&] { e.encode_bvh_node({0, 0, 0}, {1, 1, 1}, ok, long_list); }),
            "assertion `left == right` failed\n  left: 40\n right: 32");
  EXPECT_EQ(value_error_text([&] { e.encode_bvh_node({0, 0, 0}, {1, 1, 1}, long_list, {}); }),
            "assertion `left == right` failed\n  left: 40\n right: 32");
  // Nothing about the engine changed.
  EXPECT_EQ(e.encode_bvh_node({0, 1, 2}, {3, 4, 5}, ok, ok), before);
  const HoloGenEngine fresh(32);
  EXPECT_EQ(e.roles().left(), fresh.roles().left());
  EXPECT_EQ(e.roles().right(), fresh.roles().right());
}

TEST(Engine, CounterfactualExamples) {
  for (std::uint64_t dim : {0u, 5u, 64u}) {
    const HoloGenEngine e(dim);
    EXPECT_EQ(e.simulate_counterfactual(ByteVector{1, -1}, ByteVector{1, 1}), (ByteVector{1, -1}));
    const ByteVector self = e.simulate_counterfactual("rain tomorrow", "rain tomorrow");
    EXPECT_EQ(self, ByteVector(dim, 1)) << dim;
  }
  const HoloGenEngine e(48);
  const ByteVector a = e.encode_text("[1, 2.5]");
  EXPECT_EQ(a, hdc::text_to_bipolar_i8("[1, 2.5]", 48));
  const ByteVector b = e.encode_text("intervention");
  EXPECT_EQ(e.simulate_counterfactual("[1, 2.5]", "intervention"), product(a, b));
  EXPECT_EQ(e.simulate_counterfactual(a, "intervention"), product(a, b));
  EXPECT_EQ(e.simulate_counterfactual("[1, 2.5]", b), product(a, b));
  EXPECT_EQ(e.simulate_counterfactual(ByteVector{127, -128, 0}, ByteVector{2, -1, 5}),
            (ByteVector{-2, -128, 0}));
}

TEST(Engine, CounterfactualLengthMismatch) {
  const HoloGenEngine e(8);
  const ByteVector three{1, 2, 3};
  // left: the second vector's length; right: the first vector's length.
  EXPECT_EQ(value_error_text([&] { e.simulate_counterfactual(three, "text"); }),
            "assertion `left == right` failed\n  left: 8\n right: 3");
  EXPECT_EQ(value_error_text([&] { e.simulate_counterfactual("text", three); }),
            "assertion `left == right` failed\n  left: 3\n right: 8");
  EXPECT_EQ(value_error_text([&] { e.simulate_counterfactual(three, ByteVector{1}); }),
            "assertion `left == right` failed\n  left: 1\n right: 3");
  EXPECT_EQ(length_mismatch_message(0, 18446744073709551615ull),
            "assertion `left == right` failed\n  left: 0\n right: 18446744073709551615");
}

TEST(ColourName, Normalisation) {
  EXPECT_EQ(normalise_colour_name(" \tA-Z az\u00A0"), "a-z az");
  EXPECT_EQ(normalise_colour_name("\u2029"), "");
  EXPECT_EQ(normalise_colour_name("\u00A0x\u00A0y\u00A0"), "x\u00A0y");
  EXPECT_EQ(normalise_colour_name("\xE3\x80"), "\xE3\x80");  // truncated sequence stays
  EXPECT_EQ(normalise_colour_name("\x80 "), "\x80");
  EXPECT_FALSE(colour_wavelength("Red").has_value());
  EXPECT_FALSE(colour_wavelength("").has_value());
}

}  // namespace
}  // namespace mhdc::graphics

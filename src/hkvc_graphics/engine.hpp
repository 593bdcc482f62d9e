// The generation engine: encodes rendering structure (pixels, surface points,
// photons, bounding-volume nodes, counterfactuals) into bipolar byte vectors of
// one fixed dimension, using the renderer encodings and the role table.
//
// Contract:
//  - the engine's state (dim and role table) is fixed by the constructor; every
//    operation is const and a pure function of its arguments and dim;
//  - generated results have exactly dim elements; results that bind caller
//    bytes are wrapping 8-bit products and need not be +1/-1;
//  - ordinary bad input throws mhdc::value_error with the exact message;
//  - a dim too large to allocate throws std::bad_alloc / std::length_error from
//    the constructor.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "hdc/state.hpp"
#include "hkvc_graphics/renderer.hpp"

namespace mhdc::hkvc_graphics {

// "assertion `left == right` failed\n  left: <left>\n right: <right>"
std::string length_mismatch_message(std::uint64_t left, std::uint64_t right);

// UTF-8 of code points, each surrogate (which has no UTF-8 form) as U+FFFD: the
// text of a counterfactual operand whose string holds lone surrogates.
std::string encode_utf8(std::u32string_view code_points);

// The colour name as it is matched: Unicode White_Space trimmed from both ends
// (UTF-8), then ASCII A-Z lowered. Bytes that are not valid UTF-8 are kept.
std::string normalise_colour_name(std::string_view text);

// The wavelength (nm) of a normalised colour name, or nullopt when unknown.
std::optional<float> colour_wavelength(std::string_view normalised_name);

// "unsupported photon color '<name>'. Use blue, red, ..." for a normalised name.
// The name may hold any character, NUL included, so a caller that hands the text
// on must keep its length.
std::string unsupported_colour_message(std::string_view normalised_name);

class HoloGenEngine {
 public:
  explicit HoloGenEngine(std::uint64_t dim);

  std::uint64_t structural_dimension() const { return dim_; }
  const RoleHV& roles() const { return roles_; }

  // frame vector (seeded_bipolar of frame_id) bound with uint_to_hv(x) and uint_to_hv(y).
  ByteVector generate_pixel_geometry(std::uint32_t x, std::uint32_t y,
                                     std::uint64_t frame_id = 0) const;

  ByteVector generate_material_mapping(const Float3& position, const Float3& normal,
                                       std::uint32_t material_id) const;

  // Vector path: make_photon(dim, position, direction, wavelength).
  ByteVector generate_photon(const Float3& position, const Float3& direction,
                             float wavelength) const;
  // Colour path: a photon at the origin heading +x with the named colour's
  // wavelength. Unknown names throw value_error "unsupported photon color '<name>'. ..."
  // with the normalised name.
  ByteVector generate_photon_colour(std::string_view name) const;

  // ((left bound with L) bound with (right bound with R)) bound with the box.
  // left and right must each have dim elements, else value_error with
  // length_mismatch_message(caller's length, dim); left is checked first.
  ByteVector encode_bvh_node(const Float3& min_bounds, const Float3& max_bounds, ByteView left,
                             ByteView right) const;

  // The text form of a counterfactual operand: text_to_bipolar_i8(text, dim).
  ByteVector encode_text(std::string_view text) const;

  // root bound with intervention. The lengths must agree, else value_error with
  // length_mismatch_message(intervention length, root length). A text operand is
  // first encoded with encode_text.
  ByteVector simulate_counterfactual(ByteView root_state, ByteView intervention) const;
  ByteVector simulate_counterfactual(ByteView root_state, std::string_view intervention) const;
  ByteVector simulate_counterfactual(std::string_view root_state, ByteView intervention) const;
  ByteVector simulate_counterfactual(std::string_view root_state,
                                     std::string_view intervention) const;

  // The dim alone (docs/STATE.md): the role table is drawn from fixed seeds, so
  // load draws it again.
  void save(hdc::StateWriter& w) const;
  static HoloGenEngine load(hdc::StateReader& r);

 private:
  std::uint64_t dim_;
  RoleHV roles_;
};

}  // namespace mhdc::hkvc_graphics

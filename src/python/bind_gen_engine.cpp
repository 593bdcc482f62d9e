// PyHoloGenEngine: deterministic byte encodings of rendering structure. Every
// method only reads the engine; the Python-only rules (the colour-or-vector
// position of generate_photon, the byte-list-or-text operands of
// simulate_counterfactual) live here, the encodings in hkvc_graphics.
#include <optional>
#include <string>
#include <variant>

#include "hdc/errors.hpp"
#include "hkvc_graphics/engine.hpp"
#include "python/class_binding.hpp"
#include "python/messages.hpp"
#include "python/registry.hpp"

namespace mhdc::py {
namespace {
using hkvc_graphics::HoloGenEngine;

// A counterfactual operand: the caller's byte list as given, or else its text form.
using Operand = std::variant<ByteVector, std::string>;

Operand to_operand(PyObject* obj) {
  try {
    return to_int_list<std::int8_t>(obj);
  } catch (const ErrorSet&) {
    PyErr_Clear();  // not a byte list: fall back to the text form
  }
  return to_text_form(obj);
}

hkvc_graphics::ByteView operand_view(const ByteVector& bytes) { return bytes; }
std::string_view operand_view(const std::string& text) { return text; }

constexpr ClassInfo kInfo{"PyHoloGenEngine", "", ThreadBound::yes};
constexpr Ctor<HoloGenEngine> kNew{{"dim"}, [](Args& a) { return HoloGenEngine(a.u64(0)); }};

constexpr Method<HoloGenEngine> kStructuralDimension{
    "structural_dimension", "", Access::shared, {},
    [](HoloGenEngine& e, Args&) { return box(e.structural_dimension()); }};

constexpr Method<HoloGenEngine> kPixel{
    "generate_pixel_geometry", "", Access::shared,
    Params{{"x", "y", "frame_id"}, 2}, [](HoloGenEngine& e, Args& a) {
      const std::uint32_t x = a.u32(0);
      const std::uint32_t y = a.u32(1);
      const std::uint64_t frame_id = a.present(2) ? a.u64(2) : 0;
      return box(e.generate_pixel_geometry(x, y, frame_id));
    }};

constexpr Method<HoloGenEngine> kMaterial{
    "generate_material_mapping", "",
    Access::shared, {"position", "normal", "material_id"}, [](HoloGenEngine& e, Args& a) {
      const auto position = a.fixed<3>(0);
      const auto normal = a.fixed<3>(1);
      const std::uint32_t material_id = a.u32(2);
      return box(e.generate_material_mapping(position, normal, material_id));
    }};

constexpr Method<HoloGenEngine> kPhoton{
    "generate_photon", "",
    Access::shared, Params{{"position", "direction", "wavelength"}, 1}, [](HoloGenEngine& e, Args& a) {
      // Direction and wavelength are converted first, so their errors win even
      // on the colour path, which then ignores them.
      std::optional<hkvc_graphics::Float3> direction;
      if (a.present(1)) direction = a.fixed<3>(1);
      std::optional<float> wavelength;
      if (a.present(2)) wavelength = a.f32(2);
      PyObject* position = a.raw(0);
      if (PyUnicode_Check(position)) {
        return box(e.generate_photon_colour(to_utf8(position)));
      }
      // The position vector's conversion error is raised as it is, unprefixed.
      const auto p = to_fixed<3>(position);
      if (!direction)
        throw value_error(msg::kPhotonDirection);
      if (!wavelength)
        throw value_error(msg::kPhotonWavelength);
      return box(e.generate_photon(p, *direction, *wavelength));
    }};

constexpr Method<HoloGenEngine> kBvh{
    "encode_bvh_node", "", Access::shared,
    {"min_bounds", "max_bounds", "left", "right"}, [](HoloGenEngine& e, Args& a) {
      const auto min_bounds = a.fixed<3>(0);
      const auto max_bounds = a.fixed<3>(1);
      const ByteVector left = a.int_list<std::int8_t>(2);
      const ByteVector right = a.int_list<std::int8_t>(3);
      return box(e.encode_bvh_node(min_bounds, max_bounds, left, right));
    }};

constexpr Method<HoloGenEngine> kCounterfactual{
    "simulate_counterfactual", "", Access::shared, {"root_state", "intervention"}, [](HoloGenEngine& e, Args& a) {
      const Operand root = to_operand(a.raw(0));
      const Operand intervention = to_operand(a.raw(1));
      return box(std::visit([&](const auto& r, const auto& i) {
        return e.simulate_counterfactual(operand_view(r), operand_view(i));
      }, root, intervention));
    }};

constexpr Persist<HoloGenEngine> kSave{1, [] { return Py_BuildValue("(i)", 0); },
                                       [](const HoloGenEngine& s, hdc::StateWriter& w) { s.save(w); },
                                       &HoloGenEngine::load};

}  // namespace

PyTypeObject* type_PyHoloGenEngine() {
  return class_type<HoloGenEngine, kInfo, kNew, kStructuralDimension, kPixel, kMaterial, kPhoton, kBvh,
                    kCounterfactual, kSave>();
}

}  // namespace mhdc::py

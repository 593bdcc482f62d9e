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
using graphics::HoloGenEngine;

// UTF-8 of a str; lone surrogates, which have no UTF-8 form, become U+FFFD.
std::string utf8_lossy(PyObject* text) {
  Py_ssize_t n = 0;
  if (const char* s = PyUnicode_AsUTF8AndSize(text, &n)) return std::string(s, static_cast<std::size_t>(n));
  PyErr_Clear();
  std::string out;
  const Py_ssize_t len = PyUnicode_GET_LENGTH(text);
  for (Py_ssize_t i = 0; i < len; ++i) {
    Py_UCS4 c = PyUnicode_READ_CHAR(text, i);
    if (c >= 0xD800 && c <= 0xDFFF) c = 0xFFFD;
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

// str(obj); when str() itself raises, the error goes to the unraisable hook and
// the text is "<unprintable <type name> object>".
std::string text_form(PyObject* obj) {
  Ref s(PyObject_Str(obj));
  if (s) return utf8_lossy(s.get());
  PyErr_WriteUnraisable(obj);
  Ref name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__name__"));
  if (name && PyUnicode_Check(name.get())) return msg::unprintable(utf8_lossy(name.get()));
  PyErr_Clear();
  return msg::kUnprintableObject;
}

// A counterfactual operand: the caller's byte list as given, or else its text form.
using Operand = std::variant<ByteVector, std::string>;

Operand to_operand(PyObject* obj) {
  try {
    return to_int_list<std::int8_t>(obj);
  } catch (const ErrorSet&) {
    PyErr_Clear();  // not a byte list: fall back to the text form
  }
  return text_form(obj);
}

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
      std::optional<graphics::Float3> direction;
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
    "simulate_counterfactual", "",
    Access::shared, {"root_state", "intervention"}, [](HoloGenEngine& e, Args& a) {
      const Operand root = to_operand(a.raw(0));
      const Operand intervention = to_operand(a.raw(1));
      return box(std::visit(
          [&](const auto& r, const auto& i) -> ByteVector {
            using R = std::decay_t<decltype(r)>;
            using I = std::decay_t<decltype(i)>;
            const auto view = [](const auto& x) {
              if constexpr (std::is_same_v<std::decay_t<decltype(x)>, ByteVector>)
                return graphics::ByteView(x);
              else
                return std::string_view(x);
            };
            static_assert(std::is_same_v<R, ByteVector> || std::is_same_v<R, std::string>);
            static_assert(std::is_same_v<I, ByteVector> || std::is_same_v<I, std::string>);
            return e.simulate_counterfactual(view(r), view(i));
          },
          root, intervention));
    }};

}  // namespace

PyTypeObject* type_PyHoloGenEngine() {
  return class_type<HoloGenEngine, kInfo, kNew, kStructuralDimension, kPixel, kMaterial, kPhoton, kBvh,
                    kCounterfactual>();
}

}  // namespace mhdc::py

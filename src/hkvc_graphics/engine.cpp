#include "hkvc_graphics/engine.hpp"

#include <array>

#include "hdc/encoders.hpp"
#include "hdc/errors.hpp"

namespace mhdc::hkvc_graphics {

namespace {

// The Unicode White_Space property (not Python's str.strip set, which also
// strips the information separators U+001C..U+001F).
bool is_white_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
         c == 0x205F || c == 0x3000;
}

// Decodes one well-formed UTF-8 sequence at the front of s; returns its length
// (0 when malformed, overlong or a surrogate) and the code point in *cp.
std::size_t decode_utf8(std::string_view s, char32_t* cp) {
  if (s.empty()) return 0;
  const auto b0 = static_cast<unsigned char>(s[0]);
  std::size_t len = 0;
  char32_t c = 0;
  char32_t min = 0;
  if (b0 < 0x80) {
    *cp = b0;
    return 1;
  } else if ((b0 & 0xE0) == 0xC0) {
    len = 2, c = b0 & 0x1F, min = 0x80;
  } else if ((b0 & 0xF0) == 0xE0) {
    len = 3, c = b0 & 0x0F, min = 0x800;
  } else if ((b0 & 0xF8) == 0xF0) {
    len = 4, c = b0 & 0x07, min = 0x10000;
  } else {
    return 0;
  }
  if (s.size() < len) return 0;
  for (std::size_t k = 1; k < len; ++k) {
    const auto b = static_cast<unsigned char>(s[k]);
    if ((b & 0xC0) != 0x80) return 0;
    c = (c << 6) | (b & 0x3F);
  }
  if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return 0;
  *cp = c;
  return len;
}

// The encoding decode_utf8 reads, one code point (at most U+10FFFF) appended to out.
void append_utf8(char32_t c, std::string& out) {
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

struct Colour {
  std::string_view name;
  float wavelength;
};

constexpr std::array<Colour, 10> kColours = {{{"red", 650.0f},
                                              {"orange", 590.0f},
                                              {"amber", 590.0f},
                                              {"yellow", 580.0f},
                                              {"white", 550.0f},
                                              {"green", 530.0f},
                                              {"cyan", 500.0f},
                                              {"blue", 480.0f},
                                              {"violet", 420.0f},
                                              {"purple", 420.0f}}};

void require_length(std::uint64_t got, std::uint64_t required) {
  if (got != required) throw value_error(length_mismatch_message(got, required));
}

}  // namespace

std::string length_mismatch_message(std::uint64_t left, std::uint64_t right) {
  return "assertion `left == right` failed\n  left: " + std::to_string(left) +
         "\n right: " + std::to_string(right);
}

std::string encode_utf8(std::u32string_view code_points) {
  std::string out;
  for (const char32_t c : code_points) append_utf8(c >= 0xD800 && c <= 0xDFFF ? 0xFFFD : c, out);
  return out;
}

std::string normalise_colour_name(std::string_view text) {
  char32_t cp = 0;
  while (!text.empty()) {
    const std::size_t len = decode_utf8(text, &cp);
    if (len == 0 || !is_white_space(cp)) break;
    text.remove_prefix(len);
  }
  while (!text.empty()) {
    // Step back over continuation bytes to the start of the last sequence.
    std::size_t start = text.size() - 1;
    while (start > 0 && text.size() - start < 4 &&
           (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) {
      --start;
    }
    const std::size_t len = decode_utf8(text.substr(start), &cp);
    if (len == 0 || start + len != text.size() || !is_white_space(cp)) break;
    text.remove_suffix(len);
  }
  std::string name(text);
  for (auto& ch : name) {
    if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
  }
  return name;
}

std::string unsupported_colour_message(std::string_view normalised_name) {
  std::string message = "unsupported photon color '";
  message.append(normalised_name);
  message += "'. Use blue, red, green, yellow, white, cyan, amber, or violet.";
  return message;
}

std::optional<float> colour_wavelength(std::string_view normalised_name) {
  for (const auto& c : kColours) {
    if (c.name == normalised_name) return c.wavelength;
  }
  return std::nullopt;
}

HoloGenEngine::HoloGenEngine(std::uint64_t dim) : dim_(dim), roles_(RoleHV::build(dim)) {}

ByteVector HoloGenEngine::generate_pixel_geometry(std::uint32_t x, std::uint32_t y,
                                                  std::uint64_t frame_id) const {
  ByteVector out = HKVCRenderer::uint_to_hv(dim_, x);
  const ByteVector hy = HKVCRenderer::uint_to_hv(dim_, y);
  const ByteVector frame = seeded_bipolar(dim_, frame_id);
  bind_bytes_inplace(out, hy);
  bind_bytes_inplace(out, frame);
  return out;
}

ByteVector HoloGenEngine::generate_material_mapping(const Float3& position, const Float3& normal,
                                                    std::uint32_t material_id) const {
  ByteVector out = HKVCRenderer::floats_to_hv(dim_, position);
  const ByteVector n = HKVCRenderer::floats_to_hv(dim_, normal);
  const ByteVector m = HKVCRenderer::uint_to_hv(dim_, material_id);
  bind_bytes_inplace(out, n);
  bind_bytes_inplace(out, m);
  return out;
}

ByteVector HoloGenEngine::generate_photon(const Float3& position, const Float3& direction,
                                          float wavelength) const {
  return HKVCRenderer::make_photon(dim_, position, direction, wavelength);
}

ByteVector HoloGenEngine::generate_photon_colour(std::string_view name) const {
  const std::string normalised = normalise_colour_name(name);
  const std::optional<float> wavelength = colour_wavelength(normalised);
  if (!wavelength) throw value_error(unsupported_colour_message(normalised));
  return HKVCRenderer::make_photon(dim_, Float3{0.0f, 0.0f, 0.0f}, Float3{1.0f, 0.0f, 0.0f},
                                   *wavelength);
}

ByteVector HoloGenEngine::encode_bvh_node(const Float3& min_bounds, const Float3& max_bounds,
                                          ByteView left, ByteView right) const {
  require_length(left.size(), dim_);
  require_length(right.size(), dim_);
  ByteVector out = HKVCRenderer::floats_to_hv(dim_, min_bounds);
  const ByteVector hi = HKVCRenderer::floats_to_hv(dim_, max_bounds);
  // Wrapping byte products commute and associate, so the terms can be folded
  // into one accumulator in any order.
  bind_bytes_inplace(out, hi);
  bind_bytes_inplace(out, left);
  bind_bytes_inplace(out, roles_.left());
  bind_bytes_inplace(out, right);
  bind_bytes_inplace(out, roles_.right());
  return out;
}

ByteVector HoloGenEngine::encode_text(std::string_view text) const {
  return hdc::text_to_bipolar_i8(text, dim_);
}

ByteVector HoloGenEngine::simulate_counterfactual(ByteView root_state,
                                                  ByteView intervention) const {
  require_length(intervention.size(), root_state.size());
  ByteVector out(root_state.size());
  bind_bytes(root_state.data(), intervention.data(), out.size(), out.data());
  return out;
}

ByteVector HoloGenEngine::simulate_counterfactual(ByteView root_state,
                                                  std::string_view intervention) const {
  require_length(dim_, root_state.size());
  return simulate_counterfactual(root_state, ByteView(encode_text(intervention)));
}

ByteVector HoloGenEngine::simulate_counterfactual(std::string_view root_state,
                                                  ByteView intervention) const {
  require_length(intervention.size(), dim_);
  return simulate_counterfactual(ByteView(encode_text(root_state)), intervention);
}

ByteVector HoloGenEngine::simulate_counterfactual(std::string_view root_state,
                                                  std::string_view intervention) const {
  const ByteVector root = encode_text(root_state);
  const ByteVector other = encode_text(intervention);
  return simulate_counterfactual(ByteView(root), ByteView(other));
}

void HoloGenEngine::save(hdc::StateWriter& w) const { w.u64(dim_); }

HoloGenEngine HoloGenEngine::load(hdc::StateReader& r) { return HoloGenEngine(r.u64("dim")); }

}  // namespace mhdc::hkvc_graphics

#include "hdc/encoders.hpp"

#include <cmath>
#include <stdexcept>
#include <string>

#include "hdc/hash.hpp"
#include "hdc/rng.hpp"
#include "hdc/trig.hpp"

namespace mhdc::hdc {

namespace {

// The result is sized before anything else happens, so an impossible dim fails
// as an allocation failure with no work done.
template <class V>
V allocate(std::uint64_t dim) {
  V out;
  if (dim > out.max_size()) throw std::length_error("hypervector dimension too large");
  out.resize(static_cast<std::size_t>(dim));
  return out;
}

std::uint64_t hash_text(std::string_view s) {
  Sip13 h;
  h.write_text(s);
  return h.finish();
}

std::uint64_t hash_bytes(std::string_view s) {
  Sip13 h;
  h.write_bytes(s);
  return h.finish();
}

Hypervector xorshift_bits(std::uint64_t x, std::uint64_t dim) {
  Hypervector out = allocate<Hypervector>(dim);
  for (float& o : out) {
    x = xorshift_step(x);
    o = (x & 1) ? -1.0f : 1.0f;
  }
  return out;
}

}  // namespace

std::uint64_t string_hash(std::string_view s) { return hash_text(s); }

std::uint64_t hv_hash(HvView v) {
  std::uint64_t h = 0;
  const std::size_t n = v.size() < 64 ? v.size() : 64;
  for (std::size_t i = 0; i < n; ++i)
    if (v[i] > 0.0f) h |= std::uint64_t{1} << i;
  return h;
}

Hypervector hv_hash_string(std::string_view s, std::uint64_t dim) {
  Hypervector out = allocate<Hypervector>(dim);
  std::uint64_t x = hash_text(s);
  for (float& o : out) {
    x = lcg_step(x);
    o = (x >> 63) ? -1.0f : 1.0f;
  }
  return out;
}

Hypervector rand_bipolar(std::uint64_t dim) {
  Hypervector out = allocate<Hypervector>(dim);
  if (out.empty()) return out;
  EntropyRng::current().fill_bipolar(out.data(), out.size());
  return out;
}

std::string scalar_key(std::string_view name, float value) {
  // Clamp first (NaN fails both comparisons and becomes 0), then scale in 32 bits:
  // 0.009f * 1000 rounds to 9 here, where double arithmetic would give 8.
  float c = value;
  if (!(c >= 0.0f)) c = 0.0f;
  if (c > 1000000.0f) c = 1000000.0f;
  c = c * 1000.0f;
  const std::uint32_t t = c >= 4294967295.0f ? 0xFFFFFFFFu : static_cast<std::uint32_t>(c);
  const unsigned q = t % 256u;
  std::string key;
  key.reserve(name.size() + 4);
  key.append(name);
  key.push_back(':');
  key.append(std::to_string(q));
  return key;
}

Hypervector scalar_hv(std::string_view name, std::uint64_t dim, float value) {
  return hv_hash_string(scalar_key(name, value), dim);
}

std::vector<float> encode_phases(std::string_view s, std::uint64_t dim) {
  auto out = allocate<std::vector<float>>(dim);
  // Every element hashes the same prefix; absorb it once and finish per index.
  Sip13 prefix;
  prefix.write_bytes(s);
  for (std::size_t i = 0; i < out.size(); ++i) {
    Sip13 h = prefix;
    h.write_index(i);
    out[i] = phase_from_hash(h.finish());
  }
  return out;
}

Hypervector encode_string(std::string_view s, std::uint64_t dim) {
  return xorshift_bits(hash_text(s), dim);
}

Hypervector make_role(std::uint64_t dim, std::string_view name) {
  return xorshift_bits(hash_bytes(name), dim);
}

ByteVector text_to_bipolar_i8(std::string_view text, std::uint64_t dim) {
  ByteVector out = allocate<ByteVector>(dim);
  Sip13 prefix;
  prefix.write_text(text);
  for (std::size_t i = 0; i < out.size(); ++i) {
    Sip13 h = prefix;
    h.write_index(i);
    out[i] = (h.finish() & 1) ? std::int8_t{-1} : std::int8_t{1};
  }
  return out;
}

}  // namespace mhdc::hdc

#include "hdc/diagnostics.hpp"

#include <stdexcept>
#include <string>

#include "hdc/encoders.hpp"
#include "hdc/hash.hpp"

namespace mhdc::hdc {

namespace {

constexpr std::uint64_t kDiagnosticSeed = 0x3E5B09A1D146C0DEULL;

Hypervector allocate(std::uint64_t dim) {
  Hypervector out;
  if (dim > out.max_size()) throw std::length_error("hypervector dimension too large");
  out.resize(static_cast<std::size_t>(dim));
  return out;
}

inline float sign63(std::uint64_t s) { return (s >> 63) ? -1.0f : 1.0f; }

// role[i] for the diagnostic role, written into out (n elements).
void role_into(float* out, std::size_t n) {
  std::uint64_t s = kDiagnosticSeed;
  for (std::size_t i = 0; i < n; ++i) {
    s = lcg_step(s);
    out[i] = sign63(s);
  }
}

// The system state written into out. Each figure's value vector and role vector
// are hv_hash_string sequences; rather than materialising eight vectors, their
// eight generators step side by side. A bound element is -1 exactly when the two
// top bits differ, and the ordered 32-bit sum of four +-1 values is exact, with
// x + (-x) giving +0, so it equals 4 - 2 * (number of -1 terms) as a float.
void state_into(float* out, std::size_t n, float ram, float cpu, std::uint32_t err,
                std::uint32_t lat) {
  static constexpr const char* kNames[4] = {"ram", "cpu", "err", "lat"};
  static constexpr const char* kRoles[4] = {"ram_role", "cpu_role", "err_role", "lat_role"};
  const float values[4] = {ram, cpu, static_cast<float>(err), static_cast<float>(lat)};
  std::uint64_t v[4], r[4];
  for (int f = 0; f < 4; ++f) {
    v[f] = string_hash(scalar_key(kNames[f], values[f]));
    r[f] = string_hash(kRoles[f]);
  }
  for (std::size_t i = 0; i < n; ++i) {
    int negative = 0;
    for (int f = 0; f < 4; ++f) {
      v[f] = lcg_step(v[f]);
      r[f] = lcg_step(r[f]);
      negative += static_cast<int>((v[f] ^ r[f]) >> 63);
    }
    out[i] = static_cast<float>(4 - 2 * negative);
  }
}

}  // namespace

Hypervector diagnostic_role(std::uint64_t dim) {
  Hypervector out = allocate(dim);
  role_into(out.data(), out.size());
  return out;
}

Hypervector encode_system_state(std::uint64_t dim, float ram_pct, float cpu_pct,
                                std::uint32_t error_count, std::uint32_t latency_us) {
  Hypervector out = allocate(dim);
  state_into(out.data(), out.size(), ram_pct, cpu_pct, error_count, latency_us);
  return out;
}

Hypervector bundle_diagnostics(HvView payload, float ram_pct, float cpu_pct,
                               std::uint32_t error_count, std::uint32_t latency_us) {
  const std::size_t n = payload.size();
  Hypervector state = allocate(n);
  Hypervector out = allocate(n);
  state_into(state.data(), n, ram_pct, cpu_pct, error_count, latency_us);
  role_into(out.data(), n);
  for (std::size_t i = 0; i < n; ++i) out[i] = payload[i] + state[i] * out[i];
  return out;
}

Hypervector extract_system_state(HvView bundled) {
  Hypervector out = allocate(bundled.size());
  role_into(out.data(), out.size());
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = out[i] * bundled[i];
  return out;
}

}  // namespace mhdc::hdc

// Free functions of the hashes, rand_bipolar and the system-state diagnostics.

#include "hdc/diagnostics.hpp"
#include "hdc/encoders.hpp"
#include "python/frame.hpp"
#include "python/registry.hpp"

namespace mhdc::py {
namespace {

// Results go through box(), which shares float objects per value (by bit
// pattern) for the values bipolar vectors and system states consist of (+-1;
// 0, +-2, +-4), so building these lists is mostly pointer stores.

constexpr Function kRandBipolar{"rand_bipolar", "", {"dim"}, [](Args& a) {
                                  const std::uint64_t dim = a.u64(0);
                                  return box(hdc::rand_bipolar(dim));
                                }};

constexpr Function kHvHash{"hv_hash", "", {"v"}, [](Args& a) {
                             auto v = a.hv(0);
                             return box(hdc::hv_hash(v));
                           }};

constexpr Function kHvHashString{"hv_hash_string", "", {"s", "dim"},
                                 [](Args& a) {
                                   auto s = a.str(0);
                                   const std::uint64_t dim = a.u64(1);
                                   return box(hdc::hv_hash_string(s, dim));
                                 }};

constexpr Function kDiagnosticRole{"diagnostic_role", "", {"dim"},
                                   [](Args& a) {
                                     const std::uint64_t dim = a.u64(0);
                                     return box(hdc::diagnostic_role(dim));
                                   }};

constexpr Function kEncodeSystemState{
    "encode_system_state", "",
    {"dim", "ram_pct", "cpu_pct", "error_count", "latency_us"}, [](Args& a) {
      const std::uint64_t dim = a.u64(0);
      const float ram = a.f32(1);
      const float cpu = a.f32(2);
      const std::uint32_t err = a.u32(3);
      const std::uint32_t lat = a.u32(4);
      return box(hdc::encode_system_state(dim, ram, cpu, err, lat));
    }};

constexpr Function kBundleDiagnostics{
    "bundle_diagnostics", "",
    {"payload", "ram_pct", "cpu_pct", "error_count", "latency_us"}, [](Args& a) {
      auto payload = a.hv(0);
      const float ram = a.f32(1);
      const float cpu = a.f32(2);
      const std::uint32_t err = a.u32(3);
      const std::uint32_t lat = a.u32(4);
      return box(hdc::bundle_diagnostics(payload, ram, cpu, err, lat));
    }};

constexpr Function kExtractSystemState{"extract_system_state", "",
                                       {"bundled"}, [](Args& a) {
                                         auto bundled = a.hv(0);
                                         return box(hdc::extract_system_state(bundled));
                                       }};

}  // namespace

PyMethodDef* def_rand_bipolar() { return function_def<kRandBipolar>(); }
PyMethodDef* def_hv_hash() { return function_def<kHvHash>(); }
PyMethodDef* def_hv_hash_string() { return function_def<kHvHashString>(); }
PyMethodDef* def_diagnostic_role() { return function_def<kDiagnosticRole>(); }
PyMethodDef* def_encode_system_state() { return function_def<kEncodeSystemState>(); }
PyMethodDef* def_bundle_diagnostics() { return function_def<kBundleDiagnostics>(); }
PyMethodDef* def_extract_system_state() { return function_def<kExtractSystemState>(); }

}  // namespace mhdc::py

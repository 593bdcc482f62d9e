// Free functions of the hashes, rand_bipolar and the system-state diagnostics.
#include <bit>

#include "hdc/diagnostics.hpp"
#include "hdc/encoders.hpp"
#include "python/frame.hpp"
#include "python/registry.hpp"

namespace mhdc::py {
namespace {

// Lists whose elements take only a few values (+-1 for the bipolar vectors, the
// five even integers -4 .. 4 for a system state) share one float object per value
// for the call instead of allocating one per element: building the list is then
// mostly pointer stores, which matters for rand_bipolar, whose draw itself is
// cheap. Values are matched by bit pattern; anything else gets its own float.
template <std::size_t N>
PyObject* box_few(const Hypervector& v, const float (&common)[N]) {
  Ref list(checked(PyList_New(static_cast<Py_ssize_t>(v.size()))));
  std::uint32_t keys[N];
  for (std::size_t k = 0; k < N; ++k) keys[k] = std::bit_cast<std::uint32_t>(common[k]);
  Ref shared[N];
  for (std::size_t i = 0; i < v.size(); ++i) {
    const std::uint32_t bits = std::bit_cast<std::uint32_t>(v[i]);
    PyObject* item = nullptr;
    for (std::size_t k = 0; k < N; ++k) {
      if (bits != keys[k]) continue;
      if (!shared[k]) shared[k] = Ref(box(common[k]));
      item = shared[k].get();
      Py_INCREF(item);
      break;
    }
    if (item == nullptr) item = box(v[i]);
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

constexpr float kBipolar[] = {1.0f, -1.0f};
constexpr float kStateValues[] = {0.0f, 2.0f, -2.0f, 4.0f, -4.0f};

PyObject* box_bipolar(const Hypervector& v) { return box_few(v, kBipolar); }

constexpr Function kRandBipolar{"rand_bipolar", "rand_bipolar(dim)", "", {"dim"}, [](Args& a) {
                                  const std::uint64_t dim = a.u64(0);
                                  return box_bipolar(hdc::rand_bipolar(dim));
                                }};

constexpr Function kHvHash{"hv_hash", "hv_hash(v)", "", {"v"}, [](Args& a) {
                             auto v = a.hv(0);
                             return box(hdc::hv_hash(v));
                           }};

constexpr Function kHvHashString{"hv_hash_string", "hv_hash_string(s, dim)", "", {"s", "dim"},
                                 [](Args& a) {
                                   auto s = a.str(0);
                                   const std::uint64_t dim = a.u64(1);
                                   return box_bipolar(hdc::hv_hash_string(s, dim));
                                 }};

constexpr Function kDiagnosticRole{"diagnostic_role", "diagnostic_role(dim)", "", {"dim"},
                                   [](Args& a) {
                                     const std::uint64_t dim = a.u64(0);
                                     return box_bipolar(hdc::diagnostic_role(dim));
                                   }};

constexpr Function kEncodeSystemState{
    "encode_system_state", "encode_system_state(dim, ram_pct, cpu_pct, error_count, latency_us)", "",
    {"dim", "ram_pct", "cpu_pct", "error_count", "latency_us"}, [](Args& a) {
      const std::uint64_t dim = a.u64(0);
      const float ram = a.f32(1);
      const float cpu = a.f32(2);
      const std::uint32_t err = a.u32(3);
      const std::uint32_t lat = a.u32(4);
      return box_few(hdc::encode_system_state(dim, ram, cpu, err, lat), kStateValues);
    }};

constexpr Function kBundleDiagnostics{
    "bundle_diagnostics", "bundle_diagnostics(payload, ram_pct, cpu_pct, error_count, latency_us)", "",
    {"payload", "ram_pct", "cpu_pct", "error_count", "latency_us"}, [](Args& a) {
      auto payload = a.hv(0);
      const float ram = a.f32(1);
      const float cpu = a.f32(2);
      const std::uint32_t err = a.u32(3);
      const std::uint32_t lat = a.u32(4);
      return box(hdc::bundle_diagnostics(payload, ram, cpu, err, lat));
    }};

constexpr Function kExtractSystemState{"extract_system_state", "extract_system_state(bundled)", "",
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

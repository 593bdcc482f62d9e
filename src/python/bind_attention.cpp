// PyQuantumAttentionHead: one attention head; keys and values arrive as lists of
// lists and are converted straight into one packed buffer each.
#include "quantum_heads/attention_head.hpp"
#include "python/class_binding.hpp"
#include "python/registry.hpp"

namespace mhdc::py {

namespace {
using quantum_heads::QuantumAttentionHead;

constexpr ClassInfo kInfo{"PyQuantumAttentionHead", "", ThreadBound::yes};
constexpr Ctor<QuantumAttentionHead> kNew{{"dim", "nqubits"}, [](Args& a) {
                                            const std::uint64_t dim = a.u64(0);
                                            const std::uint64_t nqubits = a.u64(1);
                                            return QuantumAttentionHead(dim, nqubits);
                                          }};

constexpr Method<QuantumAttentionHead> kCompute{
    "compute", "", Access::exclusive, {"query", "keys", "values"},
    [](QuantumAttentionHead& h, Args& a) {
      const Hypervector query = a.hv(0);
      const hdc::RowBuffer keys = a.rows(1);
      const hdc::RowBuffer values = a.rows(2);
      return box(h.compute(query, keys.view(), values.view()));
    }};

constexpr Persist<QuantumAttentionHead> kSave{
    1, [] { return Py_BuildValue("(ii)", 0, 0); },
    [](const QuantumAttentionHead& s, hdc::StateWriter& w) { s.save(w); }, &QuantumAttentionHead::load};

}  // namespace

PyTypeObject* type_PyQuantumAttentionHead() {
  return class_type<QuantumAttentionHead, kInfo, kNew, kCompute, kSave>();
}

}  // namespace mhdc::py

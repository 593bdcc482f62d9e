// PyCausalMemory: one CausalMemory, each operation under two names.
#include "memory/causal_memory.hpp"
#include "python/class_binding.hpp"
#include "python/registry.hpp"

namespace mhdc::py {
namespace {
using memory::CausalMemory;

constexpr ClassInfo kInfo{"PyCausalMemory", "", ThreadBound::yes};
constexpr Ctor<CausalMemory> kNew{{"dim"}, [](Args& a) { return CausalMemory(a.u64(0)); }};

PyObject* record(CausalMemory& m, Args& a) {
  const Hypervector cause = a.hv(0);
  const Hypervector effect = a.hv(1);
  const Hypervector time = a.hv(2);
  m.record(cause, effect, time);
  return none();
}
PyObject* recall_effect(CausalMemory& m, Args& a) {
  const Hypervector cause = a.hv(0);
  return box(m.recall_effect(cause));
}
PyObject* recall_cause(CausalMemory& m, Args& a) {
  const Hypervector effect = a.hv(0);
  return box(m.recall_cause(effect));
}
PyObject* recall_by_time(CausalMemory& m, Args& a) {
  const Hypervector time = a.hv(0);
  return box(m.recall_by_time(time));
}

constexpr Method<CausalMemory> kStore{
    "store",
    "Record a causal relationship.\n"
    "\n"
    "# Arguments\n"
    "* `cause` \xE2\x80\x94 cause hypervector\n"
    "* `effect` \xE2\x80\x94 effect hypervector\n"
    "* `time` \xE2\x80\x94 time-role hypervector",
    Access::exclusive, {"cause", "effect", "time"}, record};
constexpr Method<CausalMemory> kRecord{"record", "Alias of `store()`, matching the `CausalMemory` interface.",
                                       Access::exclusive, {"cause", "effect", "time"}, record};
constexpr Method<CausalMemory> kQueryEffect{"query_effect",
                                            "Given a cause, retrieve the predicted effect.\n"
                                            "\n"
                                            "Returns the first recorded effect for this cause, if any.",
                                            Access::shared, {"cause"}, recall_effect};
constexpr Method<CausalMemory> kRecallEffect{"recall_effect",
                                             "Alias of `query_effect()`, matching the `CausalMemory` interface.",
                                             Access::shared, {"cause"}, recall_effect};
constexpr Method<CausalMemory> kQueryCause{"query_cause",
                                           "Given an effect, retrieve all known causes.\n"
                                           "\n"
                                           "Returns a list of cause hypervectors that led to this effect.",
                                           Access::shared, {"effect"}, recall_cause};
constexpr Method<CausalMemory> kRecallCause{"recall_cause",
                                            "Alias of `query_cause()`, matching the `CausalMemory` interface.",
                                            Access::shared, {"effect"}, recall_cause};
constexpr Method<CausalMemory> kQueryByTime{"query_by_time",
                                            "Given a time-role hypervector, retrieve the effect at that time.",
                                            Access::shared, {"time"}, recall_by_time};
constexpr Method<CausalMemory> kRecallByTime{"recall_by_time",
                                             "Alias of `query_by_time()`, matching the `CausalMemory` interface.",
                                             Access::shared, {"time"}, recall_by_time};

constexpr Persist<CausalMemory> kSave{1, [] { return Py_BuildValue("(i)", 0); },
                                      [](const CausalMemory& m, hdc::StateWriter& w) { m.save(w); },
                                      &CausalMemory::load};

}  // namespace

PyTypeObject* type_PyCausalMemory() {
  return class_type<CausalMemory, kInfo, kNew, kStore, kRecord, kQueryEffect, kRecallEffect, kQueryCause,
                    kRecallCause, kQueryByTime, kRecallByTime, kSave>();
}

}  // namespace mhdc::py

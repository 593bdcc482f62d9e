// PyHoloCPUScheduler: the holographic scheduler with its embedded recorder,
// optimizer and attention head.
#include "scheduler/holo_scheduler.hpp"
#include "python/class_binding.hpp"
#include "python/registry.hpp"

namespace mhdc::py {
namespace {
using scheduler::HoloScheduler;

constexpr ClassInfo kInfo{"PyHoloCPUScheduler", "", ThreadBound::yes};
constexpr Ctor<HoloScheduler> kNew{{"dim", "quantum_capacity"}, [](Args& a) {
                                     const std::uint64_t dim = a.u64(0);
                                     const std::uint64_t qc = a.u64(1);
                                     return HoloScheduler(dim, qc);
                                   }};

constexpr Property<HoloScheduler> kDim{"dim", [](const HoloScheduler& s) { return box(s.dim()); }};
constexpr Property<HoloScheduler> kQc{"qc", [](const HoloScheduler& s) { return box(s.quantum_capacity()); }};

constexpr Method<HoloScheduler> kDimension{"dimension", "", Access::shared, {},
                                           [](HoloScheduler& s, Args&) { return box(s.dim()); }};
constexpr Method<HoloScheduler> kQuantumCapacity{"quantum_capacity", "", Access::shared, {},
                                                 [](HoloScheduler& s, Args&) { return box(s.quantum_capacity()); }};

constexpr Method<HoloScheduler> kStoreMemory{"store_memory",
                                             "Store a concept via RSM (Patent \u00a76.2):\n"
                                             "key_hv = encode(target), value_hv = encode(target)\n"
                                             "WV \u2295= bind(key_hv, value_hv)",
                                             Access::exclusive, {"target"}, [](HoloScheduler& s, Args& a) {
                                               const auto target = a.str(0);
                                               s.store_memory(target);
                                               return none();
                                             }};

constexpr Method<HoloScheduler> kRecall{"recall",
                                        "O(1) holographic associative recall (Patent \u00a76.2):\n"
                                        "query_hv = encode(target), recalled = WV \u2297 query_hv\n"
                                        "Then find best match in value codebook via resonance",
                                        Access::shared, {"target"}, [](HoloScheduler& s, Args& a) {
                                          const auto target = a.str(0);
                                          return box(s.recall(target));
                                        }};

constexpr Method<HoloScheduler> kExportState{"export_holographic_state", "", Access::shared, {},
                                             [](HoloScheduler& s, Args&) {
                                               return box(s.export_holographic_state());
                                             }};

constexpr Method<HoloScheduler> kProcessFeedback{"process_feedback", "",
                                                 Access::exclusive, {"signal"}, [](HoloScheduler& s, Args& a) {
                                                   const float signal = a.f32(0);
                                                   s.process_feedback(signal);
                                                   return none();
                                                 }};

constexpr Method<HoloScheduler> kFeedbackStrength{"feedback_strength", "", Access::shared, {},
                                                  [](HoloScheduler& s, Args&) { return box(s.feedback_strength()); }};

constexpr Method<HoloScheduler> kGroverSearch{
    "quantum_grover_search", "", Access::exclusive,
    {"query", "keys", "values"}, [](HoloScheduler& s, Args& a) {
      const Hypervector query = a.hv(0);
      const hdc::RowBuffer keys = a.rows(1);
      const hdc::RowBuffer values = a.rows(2);
      return box(s.quantum_grover_search(query, keys.view(), values.view()));
    }};

constexpr Method<HoloScheduler> kIntegrity{"run_audit_integrity_check", "", Access::shared, {},
                                           [](HoloScheduler& s, Args&) {
                                             return box(s.run_audit_integrity_check());
                                           }};

constexpr Method<HoloScheduler> kGenerateRole{"generate_role", "", Access::shared,
                                              {"label"}, [](HoloScheduler& s, Args& a) {
                                                const auto label = a.str(0);
                                                return box(s.generate_role(label));
                                              }};

constexpr Persist<HoloScheduler> kSave{1, [] { return Py_BuildValue("(ii)", 0, 0); },
                                       [](const HoloScheduler& s, hdc::StateWriter& w) { s.save(w); },
                                       &HoloScheduler::load};

}  // namespace

PyTypeObject* type_PyHoloCPUScheduler() {
  return class_type<HoloScheduler, kInfo, kNew, kDim, kQc, kDimension, kQuantumCapacity, kStoreMemory, kRecall,
                    kExportState, kProcessFeedback, kFeedbackStrength, kGroverSearch, kIntegrity, kGenerateRole,
                    kSave>();
}

}  // namespace mhdc::py

// PyMetacognition: one Metacognition recorder.
#include <tuple>
#include <utility>

#include "metalearning/metacognition.hpp"
#include "python/class_binding.hpp"
#include "python/registry.hpp"

namespace mhdc::py {
namespace {
using metalearning::Metacognition;

constexpr ClassInfo kInfo{"PyMetacognition", "", ThreadBound::yes};
constexpr Ctor<Metacognition> kNew{{"dim"}, [](Args& a) { return Metacognition(a.u64(0)); }};

constexpr Method<Metacognition> kRecord{
    "record", "", Access::exclusive,
    {"res", "coh", "acc", "context", "hash"}, [](Metacognition& m, Args& a) {
      const float res = a.f32(0);
      const float coh = a.f32(1);
      const float acc = a.f32(2);
      Hypervector context = a.hv(3);
      // A wrong length is reported at its own argument, before `hash` is looked at,
      // rather than dropped while the call claims success.
      m.check_context(context);
      const std::uint64_t hash = a.u64(4);
      m.record_checked({std::make_shared<const Hypervector>(std::move(context)), hash, res, coh, acc});
      return none();
    }};

constexpr Method<Metacognition> kSuccessRate{"success_rate", "", Access::shared, {},
                                             [](Metacognition& m, Args&) { return box(m.success_rate()); }};

constexpr Method<Metacognition> kAvgResonance{"avg_resonance", "", Access::shared, {},
                                              [](Metacognition& m, Args&) { return box(m.avg_resonance()); }};

constexpr Method<Metacognition> kRecommend{"recommend", "", Access::shared, {}, [](Metacognition& m, Args&) {
                                             std::vector<std::tuple<std::string, float, std::string>> out;
                                             for (auto& r : m.recommend())
                                               out.emplace_back(std::move(r.action), r.delta, std::move(r.reason));
                                             return box(out);
                                           }};

constexpr Persist<Metacognition> kSave{1, [] { return Py_BuildValue("(i)", 0); },
                                       [](const Metacognition& s, hdc::StateWriter& w) { s.save(w); },
                                       [](hdc::StateReader& r) { return Metacognition::load(r); }};

}  // namespace

PyTypeObject* type_PyMetacognition() {
  return class_type<Metacognition, kInfo, kNew, kRecord, kSuccessRate, kAvgResonance, kRecommend, kSave>();
}

}  // namespace mhdc::py

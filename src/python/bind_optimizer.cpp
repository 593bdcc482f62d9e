// PyOptimizer: one Optimizer, changed only through named actions.
#include <string_view>
#include <utility>
#include <vector>

#include "metalearning/optimizer.hpp"
#include "python/class_binding.hpp"
#include "python/registry.hpp"

namespace mhdc::py {
namespace {
using metalearning::Optimizer;

constexpr ClassInfo kInfo{"PyOptimizer", "", ThreadBound::yes};
constexpr Ctor<Optimizer> kNew{{}, [](Args&) { return Optimizer(); }};

constexpr Method<Optimizer> kApply{"apply", "", Access::exclusive,
                                   {"action", "delta", "reason"}, [](Optimizer& o, Args& a) {
                                     const auto action = a.str(0);
                                     const float delta = a.f32(1);
                                     a.str(2);  // the reason travels with a recommendation; never read
                                     o.apply(action, delta);
                                     return none();
                                   }};

constexpr Method<Optimizer> kRollback{"rollback", "", Access::exclusive, {}, [](Optimizer& o, Args&) {
                                        o.rollback();
                                        return none();
                                      }};

constexpr Method<Optimizer> kGet{
    "get",
    "Get a cognitive parameter value by name.\n\n"
    "Valid names: \"learning_rate\", \"attention_weight\", \"momentum\", \"excitation_bias\",\n"
    "\"inhibition_bias\", \"identity_lr\", \"exploration_rate\".\n\n"
    "Returns None if the parameter is not set.",
    Access::shared, {"name"}, [](Optimizer& o, Args& a) {
      const auto name = a.str(0);
      return box(o.get(name));
    }};

constexpr Method<Optimizer> kGetParams{"get_params", "", Access::shared, {}, [](Optimizer& o, Args&) {
                                         std::vector<std::pair<std::string_view, float>> params;
                                         for (const auto& [name, member] : metalearning::kParamTable)
                                           params.emplace_back(name, o.params().*member);
                                         return box_dict(params);
                                       }};

constexpr Persist<Optimizer> kSave{1, [] { return PyTuple_New(0); },
                                   [](const Optimizer& s, hdc::StateWriter& w) { s.save(w); }, &Optimizer::load};

}  // namespace

PyTypeObject* type_PyOptimizer() {
  return class_type<Optimizer, kInfo, kNew, kApply, kRollback, kGet, kGetParams, kSave>();
}

}  // namespace mhdc::py

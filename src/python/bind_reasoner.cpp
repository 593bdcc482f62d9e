// PyMultiHopReasoner: facts, undirected links and breadth-first reasoning.
#include <utility>
#include <vector>

#include "memory/reasoner.hpp"
#include "python/class_binding.hpp"
#include "python/registry.hpp"

namespace mhdc::py {
namespace {
using memory::MultiHopReasoner;

constexpr ClassInfo kInfo{"PyMultiHopReasoner", "", ThreadBound::yes};
constexpr Ctor<MultiHopReasoner> kNew{{"dim"}, [](Args& a) { return MultiHopReasoner(a.u64(0)); }};

constexpr Method<MultiHopReasoner> kAddFact{"add_fact", "Register a fact and return its index.", Access::exclusive,
                                            {"fact"}, [](MultiHopReasoner& r, Args& a) {
                                              const Hypervector fact = a.hv(0);
                                              return box(r.add_fact(fact));
                                            }};

constexpr Method<MultiHopReasoner> kAddLink{
    "add_link", "Register a link between two fact indices (undirected association).",
    Access::exclusive, {"a", "b"}, [](MultiHopReasoner& r, Args& a) {
      const std::uint64_t from = a.u64(0);
      const std::uint64_t to = a.u64(1);
      r.add_link(from, to);
      return none();
    }};

constexpr Method<MultiHopReasoner> kReason{
    "reason",
    "Query for facts resonating with `query`, exploring up to `hops` hops.\n"
    "\n"
    "Returns a list of (fact_index, resonance_score) sorted by resonance descending.\n"
    "Hop-0: direct resonance with all facts.\n"
    "Each subsequent hop follows links to associated facts.",
    Access::shared, {"query", "hops"}, [](MultiHopReasoner& r, Args& a) {
      const Hypervector query = a.hv(0);
      const std::uint64_t hops = a.u64(1);
      const std::vector<memory::ReasonHit> hits = r.reason(query, hops);
      std::vector<std::pair<std::uint64_t, float>> out;
      out.reserve(hits.size());
      for (const auto& h : hits) out.emplace_back(h.index, h.score);
      return box(out);
    }};

constexpr Method<MultiHopReasoner> kReset{"reset", "Reset all facts and associations.",
                                          Access::exclusive, {}, [](MultiHopReasoner& r, Args&) {
                                            r.reset();
                                            return none();
                                          }};

constexpr Persist<MultiHopReasoner> kSave{1, [] { return Py_BuildValue("(i)", 0); },
                                           [](const MultiHopReasoner& s, hdc::StateWriter& w) { s.save(w); },
                                           &MultiHopReasoner::load};

}  // namespace

PyTypeObject* type_PyMultiHopReasoner() {
  return class_type<MultiHopReasoner, kInfo, kNew, kAddFact, kAddLink, kReason, kReset, kSave>();
}

}  // namespace mhdc::py

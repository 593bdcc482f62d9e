// PyHKVC: one holographic key-value cache.
#include "memory/hkvc.hpp"
#include "python/class_binding.hpp"
#include "python/registry.hpp"

namespace mhdc::py {
namespace {
using memory::Hkvc;

constexpr ClassInfo kInfo{"PyHKVC", "", ThreadBound::yes};
constexpr Ctor<Hkvc> kNew{{"dim"}, [](Args& a) { return Hkvc(a.u64(0)); }};

constexpr Method<Hkvc> kStore{
    "store",
    "Store a key-value pair (Patent \xC2\xA7" "6.3.2):\n"
    "composite += exp(i \xC2\xB7 (key_phases + val_phases))  \xE2\x80\x94 binds key\xE2\x86\x94value\n"
    "pos_memory += exp(i \xC2\xB7 position_basis(pos))        \xE2\x80\x94 tracks positions\n"
    "key_index[hash(key)] \xE2\x86\x90 entry index                 \xE2\x80\x94 O(1) lookup",
    Access::exclusive, {"key", "value", "position"}, [](Hkvc& c, Args& a) {
      const auto key = a.str(0);
      const auto value = a.str(1);
      const std::uint64_t position = a.u64(2);
      c.store(key, value, position);
      return none();
    }};

constexpr Method<Hkvc> kQuery{
    "query",
    "Query the cache (Patent \xC2\xA7" "6.3.4 + \xC2\xA7" "6.1 CBS):\n"
    "1. O(1) HashMap lookup by key hash \xE2\x86\x92 small candidate set\n"
    "2. Among candidates, match by key phase resonance \xE2\x86\x92 exact value\n"
    "3. Fallback: holographic recall from composite for approximate matches\n"
    "Returns (best_value, best_score)",
    Access::shared, {"query_key"}, [](Hkvc& c, Args& a) {
      const auto key = a.str(0);
      const memory::HkvcAnswer r = c.query(key);
      return box_tuple(r.value, r.score);
    }};

constexpr Method<Hkvc> kCount{"count", "Number of stored entries", Access::shared, {},
                              [](Hkvc& c, Args&) { return box(c.count()); }};

constexpr Method<Hkvc> kPositionScore{
    "position_score",
    "Check recency bias: score for a specific position should be \xE2\x89\x88" "equal for all positions\n"
    "because all entries contribute unit complex numbers",
    Access::shared, {"position"}, [](Hkvc& c, Args& a) {
      const std::uint64_t position = a.u64(0);
      return box(c.position_score(position));
    }};

constexpr Method<Hkvc> kMagnitude{"accumulator_magnitude",
                                  "Export state as raw accumulator magnitudes for inspection", Access::shared, {},
                                  [](Hkvc& c, Args&) { return box(c.accumulator_magnitude()); }};

constexpr Persist<Hkvc> kSave{1, [] { return Py_BuildValue("(i)", 0); },
                              [](const Hkvc& c, hdc::StateWriter& w) { c.save(w); }, &Hkvc::load};

}  // namespace

PyTypeObject* type_PyHKVC() {
  return class_type<Hkvc, kInfo, kNew, kStore, kQuery, kCount, kPositionScore, kMagnitude, kSave>();
}

}  // namespace mhdc::py

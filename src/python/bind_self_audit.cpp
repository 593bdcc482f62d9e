// PySelfAudit: near-zero and history checks over the audited vectors.
#include "audit/self_audit.hpp"
#include "python/class_binding.hpp"
#include "python/registry.hpp"

namespace mhdc::py {
namespace {
using audit::AuditResult;
using audit::SelfAudit;

PyObject* box_result(const AuditResult& r) { return box_tuple(r.score, r.passed, r.issues); }

constexpr ClassInfo kInfo{"PySelfAudit", "", ThreadBound::yes};
constexpr Ctor<SelfAudit> kNew{{"dim"}, [](Args& a) { return SelfAudit(a.u64(0)); }};

constexpr Method<SelfAudit> kFullAudit{"full_audit",
                                       "Full audit: run all consistency checks on a hypervector.\n"
                                       "Returns (score, passed, issues_list)",
                                       Access::exclusive, {"hv"}, [](SelfAudit& s, Args& a) {
                                         const Hypervector hv = a.hv(0);
                                         // Box first, remember last: a failure anywhere
                                         // leaves the history as it was.
                                         Ref result(box_result(s.evaluate(hv)));
                                         s.remember(hv);
                                         return result.release();
                                       }};

constexpr Method<SelfAudit> kCheckConsistency{
    "check_consistency",
    "Check consistency between two hypervectors.\n"
    "Returns (score, passed, issues_list) where score is resonance \u2208 [0,1].\n"
    "Passed if score >= 0.7.",
    Access::shared, {"h1", "h2"}, [](SelfAudit&, Args& a) {
      const Hypervector h1 = a.hv(0);
      const Hypervector h2 = a.hv(1);
      return box_result(SelfAudit::check_consistency(h1, h2));
    }};

constexpr Persist<SelfAudit> kSave{1, [] { return Py_BuildValue("(i)", 0); },
                                   [](const SelfAudit& s, hdc::StateWriter& w) { s.save(w); }, &SelfAudit::load};

}  // namespace

PyTypeObject* type_PySelfAudit() {
  return class_type<SelfAudit, kInfo, kNew, kFullAudit, kCheckConsistency, kSave>();
}

}  // namespace mhdc::py

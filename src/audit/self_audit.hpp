// The self audit: checks a hypervector for components near zero and for drift
// from the vectors audited before it, and compares two hypervectors directly.
#pragma once
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "hdc/state.hpp"
#include "hdc/types.hpp"

namespace mhdc::audit {

struct AuditResult {
  float score = 1.0f;
  bool passed = true;
  std::vector<std::string> issues;  // in the order the checks ran
};

class SelfAudit {
 public:
  static constexpr std::size_t kHistoryLimit = 100;
  static constexpr std::size_t kHistoryWindow = 5;

  explicit SelfAudit(std::uint64_t dim) noexcept : dim_(dim) {}

  // 1. c = #{i : |hv[i]| < 0.1}; c > dim / 10 adds "drift detected: <c> elements near zero".
  // 2. With a history: d_p = (hv . p over the common prefix, from -0.0) / |hv| for
  //    the newest min(5, size) entries p, newest first; consistency = (0 + d...) / k;
  //    below 0.5 adds "low history consistency: <3 decimals>".
  // 3. hv joins the history (oldest dropped beyond 100), failing or not.
  // 4. score = max(0, 1 - 0.1 m) for m issues, passed = (m == 0).
  // All-or-nothing: on std::bad_alloc the history is unchanged.
  AuditResult full_audit(HvView hv);
  // The two halves of full_audit, for a caller that must do its own fallible
  // work (boxing the result) between judging and remembering.
  AuditResult evaluate(HvView hv) const;  // steps 1, 2 and 4
  void remember(HvView hv);               // step 3; all-or-nothing

  // score = resonance(h1, h2); below 0.7 the issue "low consistency: <3 decimals>";
  // passed = score >= 0.7 (so NaN fails without an issue). Reads no state.
  static AuditResult check_consistency(HvView h1, HvView h2);

  std::uint64_t dim() const noexcept { return dim_; }
  const std::deque<Hypervector>& history() const noexcept { return history_; }

  // The dim and the history, oldest first (docs/STATE.md).
  void save(hdc::StateWriter& w) const;
  static SelfAudit load(hdc::StateReader& r);

 private:
  std::deque<Hypervector> history_;  // oldest first
  std::uint64_t dim_;
};

}  // namespace mhdc::audit

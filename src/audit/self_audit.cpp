#include "audit/self_audit.hpp"

#include <algorithm>
#include <cmath>
#include <string>
#include <utility>

#include "hdc/algebra.hpp"
#include "hdc/format.hpp"

namespace mhdc::audit {

namespace {

// out[l] = -0.0 + sum_{i<m} hv[i] * p[l][i] for K rows at once: K independent
// chains instead of one, each still added in index order.
template <std::size_t K>
void window_dots(const float* hv, const float* const* p, std::size_t m, float* out) {
  float acc[K];
  for (std::size_t l = 0; l < K; ++l) acc[l] = -0.0f;
  for (std::size_t i = 0; i < m; ++i) {
    const float x = hv[i];
    for (std::size_t l = 0; l < K; ++l) acc[l] += x * p[l][i];
  }
  for (std::size_t l = 0; l < K; ++l) out[l] = acc[l];
}

// Dots of hv against k <= 5 rows of lengths len[l]; the common prefix runs in
// lanes, each row's remaining tail continues its own sum.
void history_dots(HvView hv, const float* const* p, const std::size_t* len, std::size_t k, float* out) {
  std::size_t m = hv.size();
  for (std::size_t l = 0; l < k; ++l) m = std::min(m, len[l]);
  switch (k) {
    case 1: window_dots<1>(hv.data(), p, m, out); break;
    case 2: window_dots<2>(hv.data(), p, m, out); break;
    case 3: window_dots<3>(hv.data(), p, m, out); break;
    case 4: window_dots<4>(hv.data(), p, m, out); break;
    default: window_dots<5>(hv.data(), p, m, out); break;
  }
  for (std::size_t l = 0; l < k; ++l) {
    const std::size_t end = std::min(hv.size(), len[l]);
    float s = out[l];
    for (std::size_t i = m; i < end; ++i) s += hv[i] * p[l][i];
    out[l] = s;
  }
}

AuditResult finish(std::vector<std::string> issues) {
  AuditResult r;
  const std::size_t m = issues.size();
  if (m > 0) {
    r.score = std::max(0.0f, 1.0f - 0.1f * static_cast<float>(m));
    r.passed = false;
  }
  r.issues = std::move(issues);
  return r;
}

}  // namespace

AuditResult SelfAudit::evaluate(HvView hv) const {
  std::vector<std::string> issues;
  issues.reserve(2);

  std::uint64_t near_zero = 0;
  for (const float x : hv) near_zero += std::fabs(x) < 0.1f ? 1 : 0;
  if (near_zero > dim_ / 10)
    issues.push_back("drift detected: " + std::to_string(near_zero) + " elements near zero");

  if (!history_.empty()) {
    const std::size_t k = std::min(kHistoryWindow, history_.size());
    const float* p[kHistoryWindow];
    std::size_t len[kHistoryWindow];
    for (std::size_t l = 0; l < k; ++l) {
      const Hypervector& e = history_[history_.size() - 1 - l];  // newest first
      p[l] = e.data();
      len[l] = e.size();
    }
    float d[kHistoryWindow];
    history_dots(hv, p, len, k, d);
    const float n = static_cast<float>(hv.size());
    float sum = 0.0f;
    for (std::size_t l = 0; l < k; ++l) sum += d[l] / n;
    const float consistency = sum / static_cast<float>(k);
    if (consistency < 0.5f) issues.push_back("low history consistency: " + hdc::format_fixed(consistency, 3));
  }

  return finish(std::move(issues));
}

void SelfAudit::remember(HvView hv) {
  history_.emplace_back(hv.begin(), hv.end());  // deque: no effect if this throws
  if (history_.size() > kHistoryLimit) history_.pop_front();
}

AuditResult SelfAudit::full_audit(HvView hv) {
  AuditResult result = evaluate(hv);
  remember(hv);
  return result;
}

AuditResult SelfAudit::check_consistency(HvView h1, HvView h2) {
  const float score = hdc::resonance(h1, h2);
  std::vector<std::string> issues;
  if (score < 0.7f) issues.push_back("low consistency: " + hdc::format_fixed(score, 3));
  AuditResult r;
  r.score = score;
  r.passed = score >= 0.7f;
  r.issues = std::move(issues);
  return r;
}

void SelfAudit::save(hdc::StateWriter& w) const {
  w.u64(dim_);
  w.u64(history_.size());
  for (const Hypervector& hv : history_) w.floats(hv);
}

SelfAudit SelfAudit::load(hdc::StateReader& r) {
  SelfAudit s(r.u64("dim"));
  const std::size_t n = r.count("history count", 8);
  if (n > kHistoryLimit)
    r.fail("history count " + std::to_string(n) + " is more than " + std::to_string(kHistoryLimit));
  for (std::size_t k = 0; k < n; ++k) s.history_.push_back(r.floats("history vector"));
  return s;
}

}  // namespace mhdc::audit

#include "metalearning/metacognition.hpp"

#include <string>
#include <utility>

#include "hdc/errors.hpp"
#include "hdc/format.hpp"

namespace mhdc::metalearning {

void Metacognition::record(MetacognitionRecord r) {
  if (!r.context || r.context->size() != dim_) return;
  // deque::push_back is all-or-nothing; pop_front cannot fail.
  history_.push_back(std::move(r));
  if (history_.size() > kHistoryLimit) history_.pop_front();
}

void Metacognition::check_context(HvView context) const {
  if (context.size() != dim_)
    throw value_error("argument 'context': expected a sequence of length " + std::to_string(dim_) +
                      " (got " + std::to_string(context.size()) + ")");
}

void Metacognition::record_checked(MetacognitionRecord r) {
  check_context(r.context ? HvView(*r.context) : HvView());
  record(std::move(r));
}

float Metacognition::success_rate() const noexcept {
  if (history_.empty()) return 0.0f;
  std::size_t successes = 0;
  for (const auto& r : history_) successes += is_success(r) ? 1 : 0;
  return static_cast<float>(successes) / static_cast<float>(history_.size());
}

float Metacognition::avg_resonance() const noexcept {
  if (history_.empty()) return 0.0f;
  // -0.0 start: an all-(-0.0) history averages to -0.0, as an empty sum of -0.0 should.
  float sum = -0.0f;
  for (const auto& r : history_) sum += r.res;
  return sum / static_cast<float>(history_.size());
}

std::vector<Recommendation> Metacognition::recommend() const {
  // One pass for both figures, with exactly the arithmetic of the two methods.
  float s = 0.0f, r = 0.0f;
  if (!history_.empty()) {
    std::size_t successes = 0;
    float sum = -0.0f;
    for (const auto& rec : history_) {
      successes += is_success(rec) ? 1 : 0;
      sum += rec.res;
    }
    const float n = static_cast<float>(history_.size());
    s = static_cast<float>(successes) / n;
    r = sum / n;
  }
  std::vector<Recommendation> out;
  out.reserve(3);
  if (s < 0.5f) {
    out.push_back({"learning_rate_increase", "success rate " + hdc::format_fixed(s, 2) + " < 50%", 0.1f});
    out.push_back({"attention_increase", "increase focus", 0.05f});
  } else if (s > 0.8f) {
    out.push_back({"momentum_increase",
                   "success rate " + hdc::format_fixed(s, 2) + " > 80%, reinforce", 0.05f});
  }
  // Negative on purpose: the optimizer subtracts |delta| for a decrease either way.
  if (r < 0.4f)
    out.push_back({"identity_lr_decrease", "avg resonance " + hdc::format_fixed(r, 2) + " too low", -0.005f});
  return out;
}

}  // namespace mhdc::metalearning

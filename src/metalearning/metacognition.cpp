#include "metalearning/metacognition.hpp"

#include <string>
#include <unordered_map>
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

void Metacognition::save(hdc::StateWriter& w, std::span<const SharedContext> rebuilt) const {
  // Table index of each context object; the map only finds them, the order is the history's.
  std::unordered_map<const Hypervector*, std::uint32_t> index;
  for (const SharedContext& c : rebuilt) index.emplace(c.get(), static_cast<std::uint32_t>(index.size()));
  std::vector<const Hypervector*> written;
  std::vector<std::uint32_t> refs;
  refs.reserve(history_.size());
  for (const auto& rec : history_) {
    const auto [at, added] = index.emplace(rec.context.get(), static_cast<std::uint32_t>(index.size()));
    if (added) written.push_back(rec.context.get());
    refs.push_back(at->second);
  }
  w.u64(dim_);
  w.u64(written.size());
  for (const Hypervector* c : written) w.floats(*c);
  w.u64(history_.size());
  for (std::size_t k = 0; k < history_.size(); ++k) {
    const MetacognitionRecord& rec = history_[k];
    w.u32(refs[k]);
    w.u64(rec.hash);
    w.f32(rec.res);
    w.f32(rec.coh);
    w.f32(rec.acc);
  }
}

Metacognition Metacognition::load(hdc::StateReader& r, std::span<const SharedContext> rebuilt) {
  Metacognition m(r.u64("dim"));
  for (const SharedContext& c : rebuilt)
    if (c->size() != m.dim_)
      r.fail("recorder dim " + std::to_string(m.dim_) + " does not match its owner's dim " + std::to_string(c->size()));
  std::vector<SharedContext> table(rebuilt.begin(), rebuilt.end());
  const std::size_t n = r.count("context count", 8);
  table.reserve(table.size() + n);
  for (std::size_t k = 0; k < n; ++k) {
    Hypervector c = r.floats("context");
    if (c.size() != m.dim_)
      r.fail("a context of " + std::to_string(c.size()) + " elements, not dim " + std::to_string(m.dim_));
    table.push_back(std::make_shared<const Hypervector>(std::move(c)));
  }
  const std::size_t records = r.count("record count", 24);  // index, hash, three floats
  if (records > kHistoryLimit)
    r.fail("record count " + std::to_string(records) + " is more than " + std::to_string(kHistoryLimit));
  // Written contexts are numbered in the order records first use them, so each
  // one is used and the next new one is always the next number.
  std::size_t next = rebuilt.size();
  for (std::size_t k = 0; k < records; ++k) {
    const std::uint32_t i = r.u32("context index");
    if (i >= table.size())
      r.fail("record " + std::to_string(k) + " names context " + std::to_string(i) + " of " +
             std::to_string(table.size()));
    if (i > next)
      r.fail("record " + std::to_string(k) + " names context " + std::to_string(i) + " before context " +
             std::to_string(next));
    if (i == next) ++next;
    MetacognitionRecord rec{table[i]};
    rec.hash = r.u64("hash");
    rec.res = r.f32("res");
    rec.coh = r.f32("coh");
    rec.acc = r.f32("acc");
    m.history_.push_back(std::move(rec));
  }
  if (next != table.size()) r.fail("context " + std::to_string(next) + " is used by no record");
  return m;
}

}  // namespace mhdc::metalearning

#include "scheduler/holo_scheduler.hpp"

#include <cmath>
#include <stdexcept>
#include <utility>

#include "hdc/encoders.hpp"
#include "hdc/format.hpp"
#include "hdc/hash.hpp"

namespace mhdc::scheduler {

namespace {

Hypervector filled(std::uint64_t dim, float x) {
  Hypervector v;
  if (dim > v.max_size()) throw std::length_error("hypervector dimension too large");
  v.assign(static_cast<std::size_t>(dim), x);
  return v;
}

}  // namespace

HoloScheduler::HoloScheduler(std::uint64_t dim, std::uint64_t quantum_capacity)
    : metacognition_(dim),
      world_(filled(dim, 0.0f)),
      codebook_(static_cast<std::size_t>(dim)),
      state_(filled(dim, 1.0f)),
      dim_(dim),
      quantum_capacity_(quantum_capacity),
      head_(dim, quantum_capacity) {}

void HoloScheduler::store_memory(std::string_view target) {
  // Value and key are the same text's encoding, so one encoding serves both.
  const Hypervector key = hdc::encode_string(target, dim_);
  std::string label(target);
  if (labels_.size() == labels_.capacity()) labels_.reserve(labels_.empty() ? 8 : 2 * labels_.size());
  codebook_.push(key);  // the last step that can fail; it fails without effect
  labels_.push_back(std::move(label));

  const std::size_t n = world_.size();
  for (std::size_t i = 0; i < n; ++i) {
    const float bound = key[i] * key[i];
    world_[i] = world_[i] + bound;
  }
  for (std::size_t i = 0; i < n; ++i) {
    const float x = state_[i] + key[i];
    state_[i] = x < -1.0f ? -1.0f : (x > 1.0f ? 1.0f : x);
  }
}

bool HoloScheduler::recall(std::string_view target) const {
  if (labels_.empty()) return false;
  const Hypervector query = hdc::encode_string(target, dim_);
  Hypervector recalled(query.size());
  for (std::size_t i = 0; i < recalled.size(); ++i) recalled[i] = world_[i] * query[i];

  std::vector<float> sums(codebook_.size());
  codebook_.dots(recalled.data(), recalled.size(), sums.data(), 0.0f);
  const float d = static_cast<float>(dim_);
  float best = -2.0f;
  for (const float sum : sums) {
    const float score = sum / d;
    if (score > best) best = score;  // a NaN score never replaces best
  }
  return best > 0.3f;
}

void HoloScheduler::process_feedback(float s) {
  const float delta = s + -0.5f;
  meta::Recommendation rec{delta > 0.0f ? "learning_rate_increase" : "learning_rate_decrease",
                           "feedback signal: " + hdc::format_fixed(s, 3), std::fabs(delta)};
  metacognition_.record({filled(dim_, 1.0f), 0, s, s, s});  // all-or-nothing
  optimizer_.apply(rec);                                      // cannot fail
}

Hypervector HoloScheduler::generate_role(std::string_view label) const {
  Hypervector out = filled(dim_, 0.0f);
  hdc::Sip13 prefix;
  prefix.write_text(label);  // the label's bytes, then 0xFF
  for (std::size_t i = 0; i < out.size(); ++i) {
    hdc::Sip13 h = prefix;
    h.write_index(i);
    out[i] = (h.finish() & 1) ? 1.0f : -1.0f;
  }
  return out;
}

}  // namespace mhdc::scheduler

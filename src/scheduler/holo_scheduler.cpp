#include "scheduler/holo_scheduler.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <span>
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
      feedback_context_(std::make_shared<const Hypervector>(filled(dim, 1.0f))),
      world_(filled(dim, 0.0f)),
      codebook_(static_cast<std::size_t>(std::min<std::uint64_t>(dim, SIZE_MAX))),
      state_(filled(dim, 1.0f)),
      dim_(dim),
      quantum_capacity_(quantum_capacity),
      head_(dim, quantum_capacity) {}

void HoloScheduler::store_memory(std::string_view target) {
  // Value and key are the same text's encoding, so one encoding serves both.
  const Hypervector key = hdc::encode_string(target, dim_);
  std::string label(target);
  hdc::grow_for(labels_, 1);
  codebook_.reserve(key);  // the last step that can fail; it fails without effect
  codebook_.append(key);
  labels_.push_back(std::move(label));

  const std::size_t n = world_.size();
  for (std::size_t i = 0; i < n; ++i) {
    const float bound = key[i] * key[i];
    world_[i] = world_[i] + bound;
  }
  saturate_state(key);
}

void HoloScheduler::saturate_state(HvView key) noexcept {
  for (std::size_t i = 0; i < state_.size(); ++i) {
    const float x = state_[i] + key[i];
    state_[i] = x < -1.0f ? -1.0f : (x > 1.0f ? 1.0f : x);
  }
}

std::vector<float> HoloScheduler::scores_in_order(HvView query, bool scalar) const {
  Hypervector wq(query.size());
  for (std::size_t i = 0; i < wq.size(); ++i) wq[i] = world_level() * query[i];  // +-W, exactly
  std::vector<float> sums(labels_.size());
  scalar ? codebook_.dots_scalar(wq, 0.0f, sums.data()) : codebook_.dots(wq, 0.0f, sums.data());
  const float d = static_cast<float>(dim_);
  for (float& s : sums) s = s / d;
  return sums;
}

namespace {
float best_of(const std::vector<float>& scores) {
  float best = -2.0f;
  for (const float score : scores)
    if (score > best) best = score;  // a NaN score never replaces best
  return best;
}
}  // namespace

bool HoloScheduler::recall(std::string_view target) const {
  if (labels_.empty()) return false;
  if (dim_ == 0) return false;  // every score is 0 / 0, and NaN never beats the floor
  const Hypervector query = hdc::encode_string(target, dim_);
  const float W = world_level();
  // Each partial sum is an integer multiple of W no larger than W * dim; up to
  // 2^24 every one is exact, so a row's sum is W times its count of agreeing
  // minus disagreeing signs (the scan counts them: both are bipolar).
  if (static_cast<double>(W) * static_cast<double>(dim_) > 16777216.0) return best_of(scores_in_order(query, false)) > 0.3f;
  std::vector<float> scores(labels_.size());
  codebook_.dots(query, 0.0f, scores.data());
  const float d = static_cast<float>(dim_);
  for (float& s : scores) s = (W * s) / d;
  return best_of(scores) > 0.3f;  // a score at or below the -2 floor fails this as well
}

bool HoloScheduler::recall_in_order(std::string_view target) const {
  if (labels_.empty()) return false;
  return best_of(scores_in_order(hdc::encode_string(target, dim_), true)) > 0.3f;
}

void HoloScheduler::process_feedback(float s) {
  const float delta = s + -0.5f;
  metalearning::Recommendation rec{delta > 0.0f ? "learning_rate_increase" : "learning_rate_decrease",
                           "feedback signal: " + hdc::format_fixed(s, 3), std::fabs(delta)};
  metacognition_.record({feedback_context_, 0, s, s, s});  // all-or-nothing
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

void HoloScheduler::save(hdc::StateWriter& w) const {
  head_.save(w);
  metacognition_.save(w, std::span(&feedback_context_, 1));
  optimizer_.save(w);
  codebook_.save(w);
  w.u64(labels_.size());
  for (const std::string& label : labels_) w.str(label);
}

HoloScheduler HoloScheduler::load(hdc::StateReader& r) {
  const auto head = quantum_heads::QuantumAttentionHead::load(r);
  HoloScheduler s(head.dim(), head.nqubits());
  s.metacognition_ = metalearning::Metacognition::load(r, std::span(&s.feedback_context_, 1));
  // Feedback is the only way records arrive: (all ones, hash 0, res = coh = acc).
  for (const auto& rec : s.metacognition_.history()) {
    if (rec.context != s.feedback_context_) r.fail("a record whose context is not the feedback context");
    if (rec.hash != 0 || std::bit_cast<std::uint32_t>(rec.res) != std::bit_cast<std::uint32_t>(rec.coh) ||
        std::bit_cast<std::uint32_t>(rec.res) != std::bit_cast<std::uint32_t>(rec.acc))
      r.fail("a feedback record with a hash or differing signals");
  }
  s.optimizer_ = metalearning::Optimizer::load(r);
  // Each feedback snapshots once, and both histories keep their newest entries.
  const std::size_t feedback = s.metacognition_.size();
  if (s.optimizer_.history_size() != std::min(feedback, metalearning::Optimizer::kHistoryLimit))
    r.fail(std::to_string(s.optimizer_.history_size()) + " optimizer snapshots for " + std::to_string(feedback) +
           " feedback records");
  // and moves the learning rate alone.
  const auto moved_alone = [](metalearning::CognitiveParams p) {
    p.learning_rate = metalearning::CognitiveParams{}.learning_rate;
    return p == metalearning::CognitiveParams{};
  };
  bool alone = moved_alone(s.optimizer_.params());
  for (std::size_t k = 0; k < s.optimizer_.history_size(); ++k) alone = alone && moved_alone(s.optimizer_.snapshot(k));
  if (!alone) r.fail("optimizer parameters other than the learning rate moved");
  s.codebook_ = hdc::Rows::load(r);
  if (s.codebook_.width() != s.dim_)
    r.fail("codebook width " + std::to_string(s.codebook_.width()) + ", not dim " + std::to_string(s.dim_));
  for (std::size_t k = 0; k < s.codebook_.size(); ++k)
    if (s.codebook_.length(k) != s.dim_)
      r.fail("a codebook row of " + std::to_string(s.codebook_.length(k)) + " elements, not dim " +
             std::to_string(s.dim_));
  if (!s.codebook_.keeps_bits()) r.fail("a codebook row that is not +1/-1");
  const std::size_t n = r.count("label count", 8);
  if (n != s.codebook_.size())
    r.fail(std::to_string(n) + " labels for " + std::to_string(s.codebook_.size()) + " codebook rows");
  s.labels_.reserve(n);
  for (std::size_t k = 0; k < n; ++k) s.labels_.push_back(r.str("label"));

  // Every store adds 1.0f to every world entry: the level is the count of stores,
  // exact as a float up to 2^24 and stuck there (2^24 + 1 rounds back down).
  const float level = n < (std::size_t{1} << 24) ? static_cast<float>(n) : 16777216.0f;
  std::fill(s.world_.begin(), s.world_.end(), level);
  for (std::size_t k = 0; k < n; ++k) s.saturate_state(s.codebook_.row(k));
  return s;
}

}  // namespace mhdc::scheduler

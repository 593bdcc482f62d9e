#include "metalearning/optimizer.hpp"

#include <cmath>
#include <string>

namespace mhdc::metalearning {

namespace {

// Written as two comparisons so a NaN falls through unchanged.
float clamp_unit(float v) {
  if (v < 0.0f) return 0.0f;
  if (v > 1.0f) return 1.0f;
  return v;
}

// fmax picks the number over a NaN, so a NaN becomes the floor.
float floor_identity(float v) { return std::fmax(v, 0.001f); }

enum class Bound { unit, identity_floor };

struct Action {
  std::string_view name;
  float CognitiveParams::*param;
  bool decrease;  // decreases subtract |delta|; increases add the signed delta
  Bound bound;
};

constexpr Action kActions[] = {
    {"learning_rate_increase", &CognitiveParams::learning_rate, false, Bound::unit},
    {"learning_rate_decrease", &CognitiveParams::learning_rate, true, Bound::unit},
    {"attention_increase", &CognitiveParams::attention_weight, false, Bound::unit},
    {"attention_decrease", &CognitiveParams::attention_weight, true, Bound::unit},
    {"momentum_increase", &CognitiveParams::momentum, false, Bound::unit},
    {"momentum_decrease", &CognitiveParams::momentum, true, Bound::unit},
    {"excitation_increase", &CognitiveParams::excitation_bias, false, Bound::unit},
    {"inhibition_increase", &CognitiveParams::inhibition_bias, false, Bound::unit},
    {"exploration_increase", &CognitiveParams::exploration_rate, false, Bound::unit},
    {"identity_lr_increase", &CognitiveParams::identity_lr, false, Bound::identity_floor},
    {"identity_lr_decrease", &CognitiveParams::identity_lr, true, Bound::identity_floor},
};

}  // namespace

void Optimizer::apply(std::string_view action, float delta) noexcept {
  if (count_ < kHistoryLimit) {
    ring_[(oldest_ + count_) % kHistoryLimit] = params_;
    ++count_;
  } else {  // full: the new snapshot takes the oldest one's place
    ring_[oldest_] = params_;
    oldest_ = (oldest_ + 1) % kHistoryLimit;
  }

  for (const Action& a : kActions) {
    if (a.name != action) continue;
    float& v = params_.*a.param;
    const float moved = a.decrease ? v - std::fabs(delta) : v + delta;
    v = a.bound == Bound::unit ? clamp_unit(moved) : floor_identity(moved);
    return;
  }
}

void Optimizer::rollback() noexcept {
  if (count_ == 0) return;
  --count_;
  params_ = ring_[(oldest_ + count_) % kHistoryLimit];
}

std::optional<float> Optimizer::get(std::string_view name) const noexcept {
  for (const auto& [n, member] : kParamTable)
    if (n == name) return params_.*member;
  return std::nullopt;
}

namespace {

void save_params(hdc::StateWriter& w, const CognitiveParams& p) {
  for (const auto& [name, member] : kParamTable) w.f32(p.*member);
}

// Only values the bounds of apply can leave: a unit parameter in [0, 1] (+0.0
// at its lowest) or a NaN that fell through, identity_lr at least 0.001.
CognitiveParams load_params(hdc::StateReader& r, const char* what) {
  CognitiveParams p;
  for (const auto& [name, member] : kParamTable) {
    const float v = r.f32(what);
    const bool ok = member == &CognitiveParams::identity_lr ? v >= 0.001f
                                                            : std::isnan(v) || (!std::signbit(v) && v <= 1.0f);
    if (!ok) r.fail(std::string(what) + ": " + std::string(name) + " " + std::to_string(v) + " is out of its bounds");
    p.*member = v;
  }
  return p;
}

}  // namespace

void Optimizer::save(hdc::StateWriter& w) const {
  save_params(w, params_);
  w.u64(count_);
  for (std::size_t k = 0; k < count_; ++k) save_params(w, snapshot(k));
}

Optimizer Optimizer::load(hdc::StateReader& r) {
  Optimizer o;
  o.params_ = load_params(r, "parameters");
  const std::size_t n = r.count("snapshot count", 4 * kParamTable.size());
  if (n > kHistoryLimit)
    r.fail("snapshot count " + std::to_string(n) + " is more than " + std::to_string(kHistoryLimit));
  for (std::size_t k = 0; k < n; ++k) o.ring_[k] = load_params(r, "snapshot");
  o.count_ = n;
  return o;
}

}  // namespace mhdc::metalearning

#include "metalearning/optimizer.hpp"

#include <cmath>

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

}  // namespace mhdc::metalearning

// The cognitive-parameter optimizer: seven parameters changed only through named
// actions, each bounded, each preceded by a snapshot so changes can be undone
// one by one (the newest 100 of them).
#pragma once
#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "hdc/state.hpp"

namespace mhdc::metalearning {

struct CognitiveParams {
  float learning_rate = 0.5f;
  float attention_weight = 0.5f;
  float momentum = 0.5f;
  float excitation_bias = 0.5f;
  float inhibition_bias = 0.3f;
  float identity_lr = 0.01f;
  float exploration_rate = 0.3f;

  bool operator==(const CognitiveParams&) const = default;  // exact float equality
};

// The seven names in declaration order, with their member pointers.
inline constexpr std::array<std::pair<std::string_view, float CognitiveParams::*>, 7> kParamTable{{
    {"learning_rate", &CognitiveParams::learning_rate},
    {"attention_weight", &CognitiveParams::attention_weight},
    {"momentum", &CognitiveParams::momentum},
    {"excitation_bias", &CognitiveParams::excitation_bias},
    {"inhibition_bias", &CognitiveParams::inhibition_bias},
    {"identity_lr", &CognitiveParams::identity_lr},
    {"exploration_rate", &CognitiveParams::exploration_rate},
}};

// A proposed change in the optimizer's action vocabulary. `reason` travels with
// it for the reader's benefit; the optimizer never looks at it.
struct Recommendation {
  std::string action;
  std::string reason;
  float delta = 0.0f;
};

class Optimizer {
 public:
  static constexpr std::size_t kHistoryLimit = 100;

  // The snapshot history is a fixed ring inside the object, so apply and
  // rollback never allocate (and so can never fail half-way), copies included.
  Optimizer() = default;

  // Snapshot the current parameters (dropping the oldest beyond 100), then apply
  // the action if it is one of the eleven known ones (exact, case-sensitive).
  // Unknown actions change nothing but the snapshot still counts. Never throws.
  void apply(std::string_view action, float delta) noexcept;
  void apply(const Recommendation& r) noexcept { apply(r.action, r.delta); }

  // Restore the newest snapshot and drop it; nothing when the history is empty.
  void rollback() noexcept;

  // Exact, case-sensitive name lookup among the seven parameters.
  std::optional<float> get(std::string_view name) const noexcept;

  const CognitiveParams& params() const noexcept { return params_; }
  std::size_t history_size() const noexcept { return count_; }
  // Snapshot k of the history, 0 the oldest; k < history_size().
  const CognitiveParams& snapshot(std::size_t k) const noexcept {
    return ring_[(oldest_ + k) % kHistoryLimit];
  }

  // The parameters and the snapshots, oldest first (docs/STATE.md). Where the
  // ring starts is not saved: a load puts the oldest snapshot in slot 0, and
  // every later apply and rollback sees the same sequence either way.
  void save(hdc::StateWriter& w) const;
  static Optimizer load(hdc::StateReader& r);

 private:
  CognitiveParams params_;
  std::array<CognitiveParams, kHistoryLimit> ring_{};
  std::size_t oldest_ = 0;  // ring index of the oldest snapshot
  std::size_t count_ = 0;
};

}  // namespace mhdc::metalearning

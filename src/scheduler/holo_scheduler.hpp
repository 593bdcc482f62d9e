// The holographic scheduler: a world-vector memory over text concepts with a
// saturating state vector, a feedback path into an embedded metacognition
// recorder and optimizer, a role generator and an attention search.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "hdc/rows.hpp"
#include "hdc/state.hpp"
#include "hdc/types.hpp"
#include "metalearning/metacognition.hpp"
#include "metalearning/optimizer.hpp"
#include "quantum_heads/attention_head.hpp"

namespace mhdc::scheduler {

class HoloScheduler {
 public:
  // Allocates both dim-long vectors here: an impossible dim throws
  // std::bad_alloc / std::length_error and no object exists.
  HoloScheduler(std::uint64_t dim, std::uint64_t quantum_capacity);

  std::uint64_t dim() const noexcept { return dim_; }
  std::uint64_t quantum_capacity() const noexcept { return quantum_capacity_; }

  // key = value = encode_string(target, dim); world += key * value; state =
  // clamp(state + key, -1, 1); the value joins the codebook and target the labels.
  // All-or-nothing: allocation happens before any field changes.
  void store_memory(std::string_view target);

  // False with nothing stored. Else the best of (world * encode_string(target))
  // . v / dim over the codebook, from a floor of -2 (NaN never wins), above 0.3.
  bool recall(std::string_view target) const;
  // The same answer by the always-applicable path (each sum added term by term
  // in index order); recall uses it when the counting shortcut is not exact.
  bool recall_in_order(std::string_view target) const;

  Hypervector export_holographic_state() const { return state_; }

  // Records (all-ones context, hash 0, res = coh = acc = s) and then applies
  // "learning_rate_increase"/"_decrease" with |s - 0.5| and the reason
  // "feedback signal: <s to 3 decimals>". All-or-nothing.
  void process_feedback(float s);
  float feedback_strength() const noexcept { return optimizer_.params().learning_rate; }

  // The embedded head's compute (same length rule and messages); read-only.
  Hypervector quantum_grover_search(HvView query, hdc::PackedRows keys, hdc::PackedRows values) const {
    return head_.compute(query, keys, values);
  }

  bool run_audit_integrity_check() const noexcept { return dim_ != 0 && quantum_capacity_ != 0; }

  // Entry i: +1 if bit 0 of sip13(label bytes, 0xFF, i as 8 bytes LE) is set, else -1.
  Hypervector generate_role(std::string_view label) const;

  // Read access for tests and diagnostics.
  const metalearning::Metacognition& metacognition() const noexcept { return metacognition_; }
  const metalearning::Optimizer& optimizer() const noexcept { return optimizer_; }
  const quantum_heads::QuantumAttentionHead& attention_head() const noexcept { return head_; }
  HvView world_vector() const noexcept { return world_; }
  std::size_t concepts() const noexcept { return labels_.size(); }
  Hypervector codebook_entry(std::size_t r) const { return codebook_.row(r); }

  // The attention head (dim and quantum capacity), the recorder (its feedback
  // context, made again on load, not written), the optimizer, the codebook and
  // the labels (docs/STATE.md). The world and state vectors follow from the
  // codebook and are rebuilt from it.
  void save(hdc::StateWriter& w) const;
  static HoloScheduler load(hdc::StateReader& r);

 private:
  // Every stored value is an encode_string vector, all +1/-1 (so the codebook
  // keeps them as sign bits), and every store adds exactly 1.0 to every world
  // entry, so all world entries hold one value W and recall's terms
  // (world[i] * q[i]) * v[i] are exactly +W or -W.
  float world_level() const { return world_.empty() ? 0.0f : world_[0]; }
  // The index-order sums of (W q[i]) v[i] for every value row, divided by dim.
  std::vector<float> scores_in_order(HvView query, bool scalar) const;
  // state = clamp(state + key, -1, 1), the state's part of a store.
  void saturate_state(HvView key) noexcept;

  metalearning::Metacognition metacognition_;
  metalearning::SharedContext feedback_context_;  // the all-ones context of every feedback record
  metalearning::Optimizer optimizer_;
  Hypervector world_;
  hdc::Rows codebook_;  // the stored values
  std::vector<std::string> labels_;
  Hypervector state_;
  std::uint64_t dim_;
  std::uint64_t quantum_capacity_;
  quantum_heads::QuantumAttentionHead head_;
};

}  // namespace mhdc::scheduler

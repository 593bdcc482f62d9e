// The metacognition recorder: a bounded history of outcomes, its success rate and
// average resonance, and the parameter changes it suggests in the optimizer's
// action vocabulary.
#pragma once
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <span>
#include <vector>

#include "hdc/state.hpp"
#include "hdc/types.hpp"
#include "metalearning/optimizer.hpp"

namespace mhdc::metalearning {

// The context is immutable once recorded and may be shared between records: the
// scheduler records the same all-ones vector every time, so its history costs one
// vector, not one per record.
using SharedContext = std::shared_ptr<const Hypervector>;

struct MetacognitionRecord {
  SharedContext context;   // must hold exactly dim elements to be kept
  std::uint64_t hash = 0;  // caller's tag; kept, never read
  float res = 0.0f;        // resonance
  float coh = 0.0f;        // coherence; kept, never read
  float acc = 0.0f;        // accuracy
};

// Success: both resonance and accuracy strictly above one half.
inline bool is_success(const MetacognitionRecord& r) { return r.res > 0.5f && r.acc > 0.5f; }

class Metacognition {
 public:
  static constexpr std::size_t kHistoryLimit = 10000;

  explicit Metacognition(std::uint64_t dim) noexcept : dim_(dim) {}

  // Keeps the record unless its context length differs from dim, in which case
  // it is dropped without a word (the scheduler always passes dim elements).
  // The oldest record is evicted beyond 10000. Throws only std::bad_alloc, and
  // then the history is unchanged.
  void record(MetacognitionRecord r);

  // As record, but a context of the wrong length throws value_error
  // "argument 'context': expected a sequence of length <dim> (got <n>)" and
  // keeps nothing (the wording of the frame's fixed-length check).
  void record_checked(MetacognitionRecord r);
  // The check on its own, for callers that validate before converting more.
  void check_context(HvView context) const;

  // successes / n in 32-bit floats; 0 for an empty history.
  float success_rate() const noexcept;
  // Sum of res from -0.0 in history order, divided by n; 0 for an empty history.
  float avg_resonance() const noexcept;
  // One to three recommendations (see metacognition.cpp); does not change the history.
  std::vector<Recommendation> recommend() const;

  std::uint64_t dim() const noexcept { return dim_; }
  std::size_t size() const noexcept { return history_.size(); }
  const std::deque<MetacognitionRecord>& history() const noexcept { return history_; }

  // The dim, each distinct context object once (in the order records first use
  // it), then the records, each naming its context by index (docs/STATE.md);
  // load shares a context between the records that name it, as they did.
  void save(hdc::StateWriter& w) const { save(w, {}); }
  static Metacognition load(hdc::StateReader& r) { return load(r, {}); }
  // For an owner that makes some contexts itself again on load: the distinct
  // `rebuilt` are indices 0, 1, ... of the table and are not written; load
  // takes the owner's new objects (each dim long) in their place.
  void save(hdc::StateWriter& w, std::span<const SharedContext> rebuilt) const;
  static Metacognition load(hdc::StateReader& r, std::span<const SharedContext> rebuilt);

 private:
  std::deque<MetacognitionRecord> history_;  // oldest first
  std::uint64_t dim_;
};

}  // namespace mhdc::metalearning

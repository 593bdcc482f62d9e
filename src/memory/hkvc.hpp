// Holographic key-value cache over strings.
//
// Every entry is kept twice. Exactly: its key and value phase vectors
// (encode_phases) and the key's string_hash in an index. Holographically: one
// unit phasor per component, at the sum of key and value phases, added into the
// complex accumulator `composite`; a phasor pattern of the entry's position goes
// into a second accumulator `pos_memory`. Both accumulators are pairs of 32-bit
// float arrays (re, im) updated in component order.
//
// query(k): the hash index proposes candidates, key-phase agreement
// sum_i cos(kp[i] - q[i]) / dim above 0.5 confirms one (the earliest on ties);
// otherwise every stored value is scored against `composite`. Either way the
// answer is a stored value and its holographic strength
//   sum_i (cos t_i * re_i + sin t_i * im_i) / (float(count) * float(dim)),
//   t_i = q[i] + vp[i], clamped below at 0 (NaN becomes 0).
// Cosines and sines are the platform's single-precision ones.
//
// Failure: the constructor allocates the accumulators (std::bad_alloc or
// std::length_error for a dim beyond memory); `store` allocates everything it
// keeps before changing anything, so a failed store leaves the cache as it was.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "hdc/rows.hpp"
#include "hdc/types.hpp"
#include "memory/index_map.hpp"

namespace mhdc::memory {

struct HkvcAnswer {
  std::string value;
  float score;
};

class Hkvc {
 public:
  explicit Hkvc(std::uint64_t dim);

  std::uint64_t dim() const { return dim_; }
  std::uint64_t count() const { return count_; }

  void store(std::string_view key, std::string_view value, std::uint64_t position);
  // ("", 0.0) while empty; afterwards always some stored value.
  HkvcAnswer query(std::string_view query_key) const;
  // sum_i term(probe phase_i, pos_memory_i) / float(count); 0.0 while empty.
  float position_score(std::uint64_t position) const;
  // |composite_i| = sqrtf(im^2 + re^2) per component.
  Hypervector accumulator_magnitude() const;

  // Phase i is the hash-to-phase of sip13(position as 8 LE bytes, i as 8 LE bytes);
  // this is the pattern `store` adds into pos_memory.
  static std::vector<float> position_basis(std::uint64_t position, std::uint64_t dim);
  // The different per-component phases `position_score` probes with: one hash of
  // the position, spread over components by a multiplicative rotate-and-add mix.
  static std::vector<float> position_probe(std::uint64_t position, std::uint64_t dim);

  // Read-only views for inspection and tests.
  const std::vector<float>& composite_re() const { return comp_re_; }
  const std::vector<float>& composite_im() const { return comp_im_; }
  const std::vector<float>& pos_memory_re() const { return pos_re_; }
  const std::vector<float>& pos_memory_im() const { return pos_im_; }

  // Key resonance of entry e against query phases q (length dim).
  float key_resonance(std::size_t e, const float* q) const;
  // Holographic strength of entry e's value against query phases q (length dim).
  float strength(std::size_t e, const float* q) const;
  // strength(j, q) for every entry j, into out[0 .. count).
  void strengths(const float* q, float* out) const;

  // The accumulators, values, key hashes and both phase vectors of every entry
  // (docs/STATE.md); the key index is rebuilt from the hashes.
  void save(hdc::StateWriter& w) const;
  static Hkvc load(hdc::StateReader& r);

 private:
  float denominator() const { return static_cast<float>(count_) * static_cast<float>(dim_); }

  std::uint64_t dim_;
  std::uint64_t count_ = 0;
  std::vector<float> comp_re_, comp_im_, pos_re_, pos_im_;
  std::vector<std::string> values_;
  std::vector<std::vector<float>> key_phases_;
  // Value phases in lane blocks (never as bits: they are phases), so the
  // fallback scores a block of entries one lane each while every sum runs i = 0, 1, ...
  hdc::Rows val_phases_;
  IndexMap key_index_;
};

}  // namespace mhdc::memory

// Causal memory: cause -> effect relations, each stamped with a time vector.
//
// Every relation is kept verbatim (an edge), indexed by the sign signature
// (hv_hash: the signs of the first 64 components) of its cause and of its
// effect, and superposed into one role-bound trace
//   trace[i] += (cause_role[i]*cause[i] + effect_role[i]*effect[i]) + temporal_role[i]*time[i].
// Queries try the exact path first (candidates sharing the signature, scored by
// norm_dot) and fall back to scanning every edge against the trace probe
//   probe[i] = (role[i] * q[i]) * trace[i],  i < m = min(len q, dim).
// norm_dot(q, v, n) = (-0.0 + sum_{i < min(len q, len v, n)} q[i]*v[i]) / float(n),
// summed in index order; scans over all edges run on hdc::Rows, whose kernels
// give each edge's index-order sum bit for bit.
//
// Failure: the constructor allocates the trace and the roles up front; `record`
// rejects a cause, effect or time shorter than dim with value_error and
// allocates everything before changing anything, so a failed record leaves the
// memory as it was.
#pragma once
#include <cstdint>
#include <optional>
#include <vector>

#include "hdc/types.hpp"
#include "memory/index_map.hpp"
#include "hdc/rows.hpp"

namespace mhdc::memory {

struct CausalEdge {
  Hypervector cause;
  Hypervector effect;
  Hypervector time;
};

class CausalMemory {
 public:
  explicit CausalMemory(std::uint64_t dim);

  std::uint64_t dim() const { return dim_; }
  std::size_t size() const { return causes_.size(); }
  CausalEdge edge(std::size_t k) const;
  const Hypervector& trace() const { return trace_; }
  const Hypervector& cause_role() const { return cause_role_; }
  const Hypervector& effect_role() const { return effect_role_; }
  const Hypervector& temporal_role() const { return temporal_role_; }

  void record(HvView cause, HvView effect, HvView time);
  void store(HvView cause, HvView effect, HvView time) { record(cause, effect, time); }

  // The effect of the best edge whose cause matches; the earliest wins ties.
  std::optional<Hypervector> recall_effect(HvView cause) const;
  // Every matching cause with a positive score, best first (stable).
  std::vector<Hypervector> recall_cause(HvView effect) const;
  // The effect recorded at the best-matching time.
  std::optional<Hypervector> recall_by_time(HvView time) const;

  static float norm_dot(HvView q, HvView v, std::size_t n);

  // The dim, the trace and every edge (docs/STATE.md); the roles are made again
  // from their names and the indexes from the edges.
  void save(hdc::StateWriter& w) const;
  static CausalMemory load(hdc::StateReader& r);

 private:
  Hypervector probe(HvView q, const Hypervector& role) const;
  // norm_dot of q against every row of `rows` over `n` components, divisor float(n).
  std::vector<float> scan(const hdc::Rows& rows, HvView q, std::size_t n) const;

  std::uint64_t dim_;
  Hypervector trace_;
  Hypervector cause_role_, effect_role_, temporal_role_;
  hdc::Rows causes_, effects_, times_;
  IndexMap cause_index_, effect_index_;
};

}  // namespace mhdc::memory

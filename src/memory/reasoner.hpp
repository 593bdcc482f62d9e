// Multi-hop fact reasoner: facts (hypervectors of any length) and undirected
// links between fact indices. reason(q, hops) takes every fact whose resonance
// with q exceeds the f32 nearest 0.6 (hop 0, index order), then follows links
// breadth-first for up to `hops` hops, adding each newly reached fact with its
// own resonance, and returns (index, score) best first (stable).
//
// The walk visits, for each frontier fact in order, its links in registration
// order, exactly as a scan of the whole link list per frontier fact would, but
// through an adjacency list built per call: O(links + facts) instead of
// O(frontier x links). Scores of every fact are computed once, by one scan
// (counted when the query and the facts are bipolar; hdc/rows.hpp).
//
// Links are not checked when added (facts may come later). A followed link
// whose other end is not a fact index makes reason() throw index_error naming
// the link and the number of facts. NaN scores sort after every number, in
// discovery order among themselves.
#pragma once
#include <cstdint>
#include <utility>
#include <vector>

#include "hdc/types.hpp"
#include "hdc/rows.hpp"

namespace mhdc::memory {

struct ReasonHit {
  std::uint64_t index;
  float score;
};

class MultiHopReasoner {
 public:
  explicit MultiHopReasoner(std::uint64_t dim) : dim_(dim) {}

  std::uint64_t dim() const { return dim_; }
  std::size_t fact_count() const { return facts_.size(); }
  const std::vector<std::pair<std::uint64_t, std::uint64_t>>& links() const { return links_; }
  Hypervector fact(std::size_t i) const { return facts_.row(i); }

  std::uint64_t add_fact(HvView fact);
  void add_link(std::uint64_t a, std::uint64_t b);
  std::vector<ReasonHit> reason(HvView query, std::uint64_t hops) const;
  void reset();

  // The dim, the facts and the links (docs/STATE.md).
  void save(hdc::StateWriter& w) const;
  static MultiHopReasoner load(hdc::StateReader& r);

 private:
  std::uint64_t dim_;
  // Bank width: min(dim, length of the first fact), fixed until reset, so that a
  // huge dim with short facts never allocates dim-wide rows.
  bool width_fixed_ = false;
  hdc::Rows facts_;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> links_;
};

// Stable best-first order with NaN after every number (ties and NaNs keep their order).
void sort_hits(std::vector<ReasonHit>& hits);

}  // namespace mhdc::memory

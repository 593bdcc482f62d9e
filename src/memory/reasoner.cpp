#include "memory/reasoner.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "hdc/errors.hpp"

namespace mhdc::memory {

namespace {
// The f32 nearest 0.6, 0.60000002384185791015625.
constexpr float kHopZeroThreshold = 0.6f;
}  // namespace

std::uint64_t MultiHopReasoner::add_fact(HvView fact) {
  if (!width_fixed_) {
    // Reset the width while the store is empty; it stays until reset().
    facts_.clear(static_cast<std::size_t>(std::min<std::uint64_t>(dim_, fact.size())));
  }
  facts_.push(fact);
  width_fixed_ = true;
  return facts_.size() - 1;
}

void MultiHopReasoner::add_link(std::uint64_t a, std::uint64_t b) { links_.emplace_back(a, b); }

void MultiHopReasoner::reset() {
  facts_.clear(0);
  links_.clear();
  width_fixed_ = false;
}

void MultiHopReasoner::save(hdc::StateWriter& w) const {
  w.u64(dim_);
  w.u8(width_fixed_);
  facts_.save(w);
  w.u64(links_.size());
  for (const auto& [a, b] : links_) {
    w.u64(a);
    w.u64(b);
  }
}

MultiHopReasoner MultiHopReasoner::load(hdc::StateReader& r) {
  MultiHopReasoner m(r.u64("dim"));
  m.width_fixed_ = r.u8("width flag") != 0;
  m.facts_ = hdc::Rows::load(r);
  if (m.facts_.width() > m.dim_ || (!m.width_fixed_ && (m.facts_.size() != 0 || m.facts_.width() != 0)))
    r.fail("fact width " + std::to_string(m.facts_.width()) + " does not fit dim " + std::to_string(m.dim_));
  const std::size_t n = r.count("link count", 16);
  m.links_.reserve(n);
  for (std::size_t k = 0; k < n; ++k) {
    const std::uint64_t a = r.u64("link");
    m.links_.emplace_back(a, r.u64("link"));
  }
  return m;
}

void sort_hits(std::vector<ReasonHit>& hits) {
  std::stable_sort(hits.begin(), hits.end(), [](const ReasonHit& a, const ReasonHit& b) {
    if (std::isnan(b.score)) return !std::isnan(a.score);
    return a.score > b.score;  // false whenever a is NaN
  });
}

std::vector<ReasonHit> MultiHopReasoner::reason(HvView query, std::uint64_t hops) const {
  const std::size_t n = facts_.size();
  std::vector<ReasonHit> hits;
  if (n == 0) return hits;

  // Resonance of every fact, computed side by side; a fact's score is the same
  // whichever hop reaches it.
  std::vector<float> score(n);
  facts_.dots(query, 0.0f, score.data());
  hdc::to_resonance(score.data(), n, static_cast<float>(query.size()));

  // Hop 0 usually finds few facts: count them first, then collect.
  const std::size_t found = hdc::count_above(score.data(), n, kHopZeroThreshold);
  std::vector<std::size_t> frontier;
  frontier.reserve(found);
  for (std::size_t i = 0; frontier.size() < found; ++i)
    if (score[i] > kHopZeroThreshold) frontier.push_back(i);
  hits.reserve(frontier.size());
  for (const std::size_t i : frontier) hits.push_back({i, score[i]});

  if (hops > 0 && !frontier.empty() && !links_.empty()) {
    std::vector<unsigned char> visited(n, 0);
    for (const std::size_t i : frontier) visited[i] = 1;
    // Adjacency in registration order: link j = (a, b) is seen from a (other end b)
    // and, unless it is a self-link, from b (other end a). Ends that are not facts
    // are never frontier facts, so they only ever appear as other ends.
    std::vector<std::size_t> start(n + 1, 0);
    for (const auto& [a, b] : links_) {
      if (a < n) ++start[a + 1];
      if (b < n && b != a) ++start[b + 1];
    }
    for (std::size_t i = 0; i < n; ++i) start[i + 1] += start[i];
    struct Arc {
      std::uint64_t other;
      std::size_t link;
    };
    std::vector<Arc> arcs(start[n]);
    std::vector<std::size_t> fill(start.begin(), start.end() - 1);
    for (std::size_t j = 0; j < links_.size(); ++j) {
      const auto [a, b] = links_[j];
      if (a < n) arcs[fill[a]++] = {b, j};
      if (b < n && b != a) arcs[fill[b]++] = {a, j};
    }

    std::vector<std::size_t> next;
    for (std::uint64_t hop = 0; hop < hops && !frontier.empty(); ++hop) {
      next.clear();
      for (const std::size_t f : frontier) {
        for (std::size_t e = start[f]; e < start[f + 1]; ++e) {
          const std::uint64_t other = arcs[e].other;
          if (other >= n) {
            const auto [a, b] = links_[arcs[e].link];
            throw index_error("link " + std::to_string(arcs[e].link) + " (" + std::to_string(a) + ", " +
                              std::to_string(b) + ") reaches fact " + std::to_string(other) +
                              ", but there are only " + std::to_string(n) + " facts");
          }
          if (visited[other]) continue;
          visited[other] = 1;
          hits.push_back({other, score[other]});
          next.push_back(other);
        }
      }
      frontier.swap(next);
    }
  }

  sort_hits(hits);
  return hits;
}

}  // namespace mhdc::memory

#include "memory/causal_memory.hpp"

#include <algorithm>
#include <string>
#include <utility>

#include "hdc/encoders.hpp"
#include "hdc/errors.hpp"
#include "hdc/kernels.hpp"

namespace mhdc::memory {

namespace {
// Sums start from -0.0 so that a sum with no products (or only -0.0 ones) stays -0.0.
constexpr float kNegZero = -0.0f;

struct Scored {
  std::size_t edge;
  float score;
};

// A running best: a later edge replaces it only with a strictly greater score,
// so ties keep the earliest edge and a NaN score never wins.
struct Best {
  float score = -1.0f;
  std::size_t edge = 0;
  void offer(std::size_t k, float s) {
    if (s > score) {
      score = s;
      edge = k;
    }
  }
  void offer_all(const std::vector<float>& scores) {
    const std::size_t k = hdc::first_best(scores.data(), scores.size(), score);
    if (k < scores.size()) offer(k, scores[k]);
  }
};

void check_length(const char* name, HvView v, std::uint64_t dim) {
  if (v.size() < dim)
    throw value_error(std::string(name) + " has length " + std::to_string(v.size()) +
                      ", expected at least " + std::to_string(dim));
}
}  // namespace

CausalMemory::CausalMemory(std::uint64_t dim)
    : dim_(dim),
      trace_(dim),
      cause_role_(hdc::make_role(dim, "__CAUSE_ROLE__")),
      effect_role_(hdc::make_role(dim, "__EFFECT_ROLE__")),
      temporal_role_(hdc::make_role(dim, "__TEMPORAL_ROLE__")),
      causes_(dim),
      effects_(dim),
      times_(dim) {}

CausalEdge CausalMemory::edge(std::size_t k) const {
  return CausalEdge{causes_.row(k), effects_.row(k), times_.row(k)};
}

float CausalMemory::norm_dot(HvView q, HvView v, std::size_t n) {
  const std::size_t m = std::min({q.size(), v.size(), n});
  return hdc::dot(q.data(), v.data(), m, kNegZero) / static_cast<float>(n);
}

void CausalMemory::record(HvView cause, HvView effect, HvView time) {
  check_length("cause", cause, dim_);
  check_length("effect", effect, dim_);
  check_length("time", time, dim_);
  const std::uint64_t cs = hdc::hv_hash(cause);
  const std::uint64_t es = hdc::hv_hash(effect);

  // Allocate everything first; the edge, both index entries and the trace change together.
  causes_.reserve(cause);
  effects_.reserve(effect);
  times_.reserve(time);
  IndexSlot slot_c = reserve_index(cause_index_, cs);
  IndexSlot slot_e;
  try {
    slot_e = reserve_index(effect_index_, es);
  } catch (...) {
    slot_c.rollback();
    throw;
  }

  const std::uint64_t k = causes_.size();
  causes_.append(cause);
  effects_.append(effect);
  times_.append(time);
  slot_c.commit(k);
  slot_e.commit(k);
  for (std::uint64_t i = 0; i < dim_; ++i)
    trace_[i] += (cause_role_[i] * cause[i] + effect_role_[i] * effect[i]) + temporal_role_[i] * time[i];
}

void CausalMemory::save(hdc::StateWriter& w) const {
  w.u64(dim_);
  w.floats(trace_);
  causes_.save(w);
  effects_.save(w);
  times_.save(w);
}

CausalMemory CausalMemory::load(hdc::StateReader& r) {
  const std::uint64_t dim = r.u64("dim");
  Hypervector trace = r.floats("trace");
  if (trace.size() != dim)
    r.fail("a trace of " + std::to_string(trace.size()) + " components for dim " + std::to_string(dim));
  CausalMemory m(dim);  // a dim the trace's bytes justify
  m.trace_ = std::move(trace);
  std::size_t edges = 0;
  for (auto [rows, name] : {std::pair{&m.causes_, "cause"}, {&m.effects_, "effect"}, {&m.times_, "time"}}) {
    // record() keeps vectors of at least dim components, in stores of width dim.
    const hdc::Rows::Shape shape = hdc::Rows::shape(r);
    if (rows == &m.causes_) edges = shape.lengths.size();
    if (shape.width != dim || shape.lengths.size() != edges)
      r.fail(std::to_string(shape.lengths.size()) + " " + name + " rows of width " + std::to_string(shape.width) +
             " for " + std::to_string(edges) + " edges of dim " + std::to_string(dim));
    for (const std::size_t len : shape.lengths)
      if (len < dim)
        r.fail(std::string(name) + " row of " + std::to_string(len) + " components for dim " + std::to_string(dim));
    *rows = hdc::Rows::load(r);
  }
  for (std::size_t k = 0; k < edges; ++k) {
    reserve_index(m.cause_index_, hdc::hv_hash(m.causes_.row(k, 64))).commit(k);
    reserve_index(m.effect_index_, hdc::hv_hash(m.effects_.row(k, 64))).commit(k);
  }
  return m;
}

Hypervector CausalMemory::probe(HvView q, const Hypervector& role) const {
  const std::size_t m = std::min<std::size_t>(q.size(), dim_);
  Hypervector p(m);
  for (std::size_t i = 0; i < m; ++i) p[i] = (role[i] * q[i]) * trace_[i];
  return p;
}

std::vector<float> CausalMemory::scan(const hdc::Rows& rows, HvView q, std::size_t n) const {
  std::vector<float> s(rows.size());
  rows.dots(q, kNegZero, s.data());
  const float divisor = static_cast<float>(n);
  for (float& x : s) x = x / divisor;
  return s;
}

std::optional<Hypervector> CausalMemory::recall_effect(HvView cause) const {
  if (size() == 0) return std::nullopt;
  const auto it = cause_index_.find(hdc::hv_hash(cause));
  if (it != cause_index_.end() && !it->second.empty()) {
    const float divisor = static_cast<float>(cause.size());
    Best exact;
    for (const std::uint64_t k : it->second) exact.offer(k, causes_.dot(k, cause, kNegZero) / divisor);
    if (exact.score > 0.0f) return effects_.row(exact.edge);
  }
  const Hypervector p = probe(cause, cause_role_);
  Best best;
  best.offer_all(scan(effects_, p, p.size()));
  if (best.score > 0.0f) return effects_.row(best.edge);
  return std::nullopt;
}

std::vector<Hypervector> CausalMemory::recall_cause(HvView effect) const {
  std::vector<Hypervector> out;
  if (size() == 0) return out;
  std::vector<Scored> hits;
  const auto it = effect_index_.find(hdc::hv_hash(effect));
  if (it != effect_index_.end() && !it->second.empty()) {
    const float divisor = static_cast<float>(effect.size());
    for (const std::uint64_t k : it->second) {
      const float s = effects_.dot(k, effect, kNegZero) / divisor;
      if (s > 0.0f) hits.push_back({k, s});
    }
  }
  if (hits.empty()) {
    const Hypervector p = probe(effect, effect_role_);
    const std::vector<float> scores = scan(causes_, p, p.size());
    for (std::size_t k = 0; k < scores.size(); ++k)
      if (scores[k] > 0.0f) hits.push_back({k, scores[k]});
  }
  // Every collected score is > 0, so no NaN reaches the comparison.
  std::stable_sort(hits.begin(), hits.end(), [](const Scored& a, const Scored& b) { return a.score > b.score; });
  out.reserve(hits.size());
  for (const Scored& h : hits) out.push_back(causes_.row(h.edge));
  return out;
}

std::optional<Hypervector> CausalMemory::recall_by_time(HvView time) const {
  if (size() == 0) return std::nullopt;
  Best best;
  best.offer_all(scan(times_, time, time.size()));
  if (best.score > 0.0f) return effects_.row(best.edge);
  // The fallback continues the same running best.
  const Hypervector p = probe(time, temporal_role_);
  best.offer_all(scan(effects_, p, p.size()));
  if (best.score > 0.0f) return effects_.row(best.edge);
  return std::nullopt;
}

}  // namespace mhdc::memory

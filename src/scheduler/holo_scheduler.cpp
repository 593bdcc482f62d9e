#include "scheduler/holo_scheduler.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <stdexcept>
#include <utility>

#include "hdc/encoders.hpp"
#include "hdc/format.hpp"
#include "hdc/hash.hpp"

namespace mhdc::scheduler {

namespace {

Hypervector filled(std::uint64_t dim, float x) {
  Hypervector v;
  if (dim > v.max_size()) throw std::length_error("hypervector dimension too large");
  v.assign(static_cast<std::size_t>(dim), x);
  return v;
}

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && !defined(MHDC_NO_CLONES)
#define MHDC_SCHED_CLONES __attribute__((target_clones("avx2", "default")))
#define MHDC_POPCNT_CLONES __attribute__((target_clones("popcnt", "default")))
#else
#define MHDC_SCHED_CLONES
#define MHDC_POPCNT_CLONES
#endif

// Smallest Hamming distance between q and any of the rows. Four counters per
// row keep the popcounts independent; the scan is bound by reading the rows.
MHDC_POPCNT_CLONES
std::uint64_t min_distance(const std::uint64_t* q, const std::uint64_t* rows, std::size_t n, std::size_t words) {
  std::uint64_t best = ~std::uint64_t{0};
  for (std::size_t r = 0; r < n; ++r) {
    const std::uint64_t* v = rows + r * words;
    std::uint64_t d0 = 0, d1 = 0, d2 = 0, d3 = 0;
    std::size_t w = 0;
    for (; w + 4 <= words; w += 4) {
      d0 += static_cast<std::uint64_t>(std::popcount(q[w] ^ v[w]));
      d1 += static_cast<std::uint64_t>(std::popcount(q[w + 1] ^ v[w + 1]));
      d2 += static_cast<std::uint64_t>(std::popcount(q[w + 2] ^ v[w + 2]));
      d3 += static_cast<std::uint64_t>(std::popcount(q[w + 3] ^ v[w + 3]));
    }
    for (; w < words; ++w) d0 += static_cast<std::uint64_t>(std::popcount(q[w] ^ v[w]));
    best = std::min(best, d0 + d1 + d2 + d3);
  }
  return best;
}

// out[r] = 0 + t_0 + t_1 + ... in index order, t_i = -W where bit i of q ^ row r
// is set and +W elsewhere: the float sums of the unshortened formula, eight rows
// side by side.
MHDC_SCHED_CLONES
void signed_sums(const std::uint64_t* q, const std::uint64_t* rows, std::size_t n, std::size_t words,
                 std::size_t dim, float W, float* out) {
  constexpr std::size_t L = 8;
  for (std::size_t r0 = 0; r0 < n; r0 += L) {
    const std::size_t k = std::min(L, n - r0);
    float acc[L] = {};
    for (std::size_t w = 0; w < words; ++w) {
      std::uint64_t x[L] = {};
      for (std::size_t l = 0; l < k; ++l) x[l] = q[w] ^ rows[(r0 + l) * words + w];
      const std::size_t bits = std::min<std::size_t>(64, dim - w * 64);
      for (std::size_t b = 0; b < bits; ++b)
        for (std::size_t l = 0; l < L; ++l) acc[l] += ((x[l] >> b) & 1) ? -W : W;
    }
    for (std::size_t l = 0; l < k; ++l) out[r0 + l] = acc[l];
  }
}

}  // namespace

HoloScheduler::HoloScheduler(std::uint64_t dim, std::uint64_t quantum_capacity)
    : metacognition_(dim),
      feedback_context_(std::make_shared<const Hypervector>(filled(dim, 1.0f))),
      world_(filled(dim, 0.0f)),
      words_(static_cast<std::size_t>((dim + 63) / 64)),
      state_(filled(dim, 1.0f)),
      dim_(dim),
      quantum_capacity_(quantum_capacity),
      head_(dim, quantum_capacity) {}

void HoloScheduler::pack(HvView v, std::uint64_t* out) const {
  std::fill(out, out + words_, std::uint64_t{0});
  for (std::size_t i = 0; i < v.size(); ++i)
    if (v[i] < 0.0f) out[i / 64] |= std::uint64_t{1} << (i % 64);
}

Hypervector HoloScheduler::codebook_entry(std::size_t r) const {
  Hypervector v(world_.size());
  const std::uint64_t* row = codebook_.data() + r * words_;
  for (std::size_t i = 0; i < v.size(); ++i) v[i] = (row[i / 64] >> (i % 64) & 1) ? -1.0f : 1.0f;
  return v;
}

void HoloScheduler::store_memory(std::string_view target) {
  // Value and key are the same text's encoding, so one encoding serves both.
  const Hypervector key = hdc::encode_string(target, dim_);
  std::string label(target);
  if (labels_.size() == labels_.capacity()) labels_.reserve(labels_.empty() ? 8 : 2 * labels_.size());
  const std::size_t old = codebook_.size();
  codebook_.resize(old + words_);  // the last step that can fail; it fails without effect
  pack(key, codebook_.data() + old);
  labels_.push_back(std::move(label));

  const std::size_t n = world_.size();
  for (std::size_t i = 0; i < n; ++i) {
    const float bound = key[i] * key[i];
    world_[i] = world_[i] + bound;
  }
  for (std::size_t i = 0; i < n; ++i) {
    const float x = state_[i] + key[i];
    state_[i] = x < -1.0f ? -1.0f : (x > 1.0f ? 1.0f : x);
  }
}

std::vector<float> HoloScheduler::scores_in_order(const std::uint64_t* q) const {
  std::vector<float> sums(labels_.size());
  signed_sums(q, codebook_.data(), sums.size(), words_, world_.size(), world_level(), sums.data());
  const float d = static_cast<float>(dim_);
  for (float& s : sums) s = s / d;
  return sums;
}

bool HoloScheduler::recall(std::string_view target) const {
  if (labels_.empty()) return false;
  if (dim_ == 0) return false;  // every score is 0 / 0, and NaN never beats the floor
  const Hypervector query = hdc::encode_string(target, dim_);
  std::vector<std::uint64_t> q(words_);
  pack(query, q.data());

  const float W = world_level();
  // Each partial sum is an integer multiple of W no larger than W * dim; up to
  // 2^24 every one is exact, so the sum is W * (dim - 2 * distance) whatever the
  // order, and the best score belongs to the nearest row.
  if (static_cast<double>(W) * static_cast<double>(dim_) <= 16777216.0) {
    const std::uint64_t dist = min_distance(q.data(), codebook_.data(), labels_.size(), words_);
    const double sum = static_cast<double>(W) * (static_cast<double>(dim_) - 2.0 * static_cast<double>(dist));
    const float score = static_cast<float>(sum) / static_cast<float>(dim_);
    return score > 0.3f;  // a score at or below the -2 floor fails this as well
  }
  float best = -2.0f;
  for (const float score : scores_in_order(q.data()))
    if (score > best) best = score;  // a NaN score never replaces best
  return best > 0.3f;
}

bool HoloScheduler::recall_in_order(std::string_view target) const {
  if (labels_.empty()) return false;
  const Hypervector query = hdc::encode_string(target, dim_);
  std::vector<std::uint64_t> q(words_);
  pack(query, q.data());
  float best = -2.0f;
  for (const float score : scores_in_order(q.data()))
    if (score > best) best = score;
  return best > 0.3f;
}

void HoloScheduler::process_feedback(float s) {
  const float delta = s + -0.5f;
  meta::Recommendation rec{delta > 0.0f ? "learning_rate_increase" : "learning_rate_decrease",
                           "feedback signal: " + hdc::format_fixed(s, 3), std::fabs(delta)};
  metacognition_.record({feedback_context_, 0, s, s, s});  // all-or-nothing
  optimizer_.apply(rec);                                      // cannot fail
}

Hypervector HoloScheduler::generate_role(std::string_view label) const {
  Hypervector out = filled(dim_, 0.0f);
  hdc::Sip13 prefix;
  prefix.write_text(label);  // the label's bytes, then 0xFF
  for (std::size_t i = 0; i < out.size(); ++i) {
    hdc::Sip13 h = prefix;
    h.write_index(i);
    out[i] = (h.finish() & 1) ? 1.0f : -1.0f;
  }
  return out;
}

}  // namespace mhdc::scheduler

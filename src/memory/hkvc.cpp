#include "memory/hkvc.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <utility>

#include "hdc/encoders.hpp"
#include "hdc/hash.hpp"
#include "hdc/simd.hpp"
#include "hdc/trig.hpp"

namespace mhdc::memory {

namespace {
// Components per pass of the batch trigonometry: small enough to stay in L1.
constexpr std::size_t kTile = 64;

float clamp_score(float s) { return s > 0.0f ? s : 0.0f; }  // NaN and -0.0 become +0.0
}  // namespace

Hkvc::Hkvc(std::uint64_t dim)
    : dim_(dim), comp_re_(dim), comp_im_(dim), pos_re_(dim), pos_im_(dim), val_phases_(dim, false) {}

std::vector<float> Hkvc::position_basis(std::uint64_t position, std::uint64_t dim) {
  std::vector<float> out(dim);
  hdc::Sip13 prefix;
  prefix.write_index(position);
  for (std::uint64_t i = 0; i < dim; ++i) {
    hdc::Sip13 h = prefix;
    h.write_index(i);
    out[i] = hdc::phase_from_hash(h.finish());
  }
  return out;
}

std::vector<float> Hkvc::position_probe(std::uint64_t position, std::uint64_t dim) {
  std::vector<float> out(dim);
  hdc::Sip13 s;
  s.write_index(position);
  const std::uint64_t h = s.finish();
  for (std::uint64_t i = 0; i < dim; ++i) {
    const std::uint64_t x = h ^ (i * 0x9E3779B97F4A7C15ULL);
    const std::uint64_t y = std::rotl(x, 21) + x;
    out[i] = hdc::phase_from_hash(y);
  }
  return out;
}

void Hkvc::store(std::string_view key, std::string_view value, std::uint64_t position) {
  // Allocate everything the entry needs first.
  std::vector<float> kp = hdc::encode_phases(key, dim_);
  std::vector<float> vp = hdc::encode_phases(value, dim_);
  const std::vector<float> pb = position_basis(position, dim_);
  std::string stored_value(value);
  val_phases_.reserve(vp);
  hdc::grow_for(values_, 1);
  hdc::grow_for(key_phases_, 1);
  IndexSlot slot = reserve_index(key_index_, hdc::string_hash(key));  // last allocation

  // Nothing below can fail.
  float theta[kTile], c[kTile], s[kTile];
  for (std::size_t i0 = 0; i0 < dim_; i0 += kTile) {
    const std::size_t n = std::min<std::size_t>(kTile, dim_ - i0);
    for (std::size_t k = 0; k < n; ++k) theta[k] = kp[i0 + k] + vp[i0 + k];
    hdc::cos_sin_n(theta, n, c, s);
    for (std::size_t k = 0; k < n; ++k) {
      comp_re_[i0 + k] += c[k];
      comp_im_[i0 + k] += s[k];
    }
    hdc::cos_sin_n(pb.data() + i0, n, c, s);
    for (std::size_t k = 0; k < n; ++k) {
      pos_re_[i0 + k] += c[k];
      pos_im_[i0 + k] += s[k];
    }
  }
  val_phases_.append(vp);
  values_.push_back(std::move(stored_value));
  key_phases_.push_back(std::move(kp));
  slot.commit(count_);
  ++count_;
}

void Hkvc::save(hdc::StateWriter& w) const {
  std::size_t bytes = 8 + 4 * (8 + 4 * dim_) + 8 + 17 + count_ * (8 + 8 + 8 + 4 * dim_ + 4 * dim_);
  for (const std::string& v : values_) bytes += v.size();
  w.reserve(bytes);
  w.u64(dim_);
  for (const auto* acc : {&comp_re_, &comp_im_, &pos_re_, &pos_im_}) w.floats(*acc);
  // The index holds each entry's key hash exactly once; give it back per entry.
  std::vector<std::uint64_t> key_hash(count_);
  for (const auto& [hash, entries] : key_index_)
    for (const std::uint64_t e : entries) key_hash[e] = hash;
  w.u64(count_);
  for (std::size_t e = 0; e < count_; ++e) {
    w.str(values_[e]);
    w.u64(key_hash[e]);
  }
  for (const auto& kp : key_phases_) w.f32s(kp);
  val_phases_.save(w);
}

Hkvc Hkvc::load(hdc::StateReader& r) {
  // Phases come from phase_from_hash: +0.0 up to 2pi (the top hash rounds to it).
  // As bit patterns those are exactly the ones up to 2pi's; -0.0, negatives and
  // NaNs lie above. (One integer compare a phase, so the check is vectorised.)
  const std::uint32_t top = std::bit_cast<std::uint32_t>(hdc::phase_from_hash(~std::uint64_t{0}));
  auto phases_ok = [top](const float* p, std::size_t n) {
    std::uint32_t over = 0;
    for (std::size_t i = 0; i < n; ++i) over |= std::bit_cast<std::uint32_t>(p[i]) > top;
    return over == 0;
  };

  Hkvc c(0);  // the accumulators are read, not allocated for a dim not yet checked
  c.dim_ = r.u64("dim");
  for (auto* acc : {&c.comp_re_, &c.comp_im_, &c.pos_re_, &c.pos_im_}) {
    *acc = r.floats("accumulator");
    if (acc->size() != c.dim_)
      r.fail("an accumulator of " + std::to_string(acc->size()) + " components for dim " + std::to_string(c.dim_));
  }
  const std::size_t n = r.count("entry count", 16);  // a value's byte count and a key hash each
  std::vector<std::uint64_t> key_hash(n);
  c.values_.reserve(n);
  for (std::size_t e = 0; e < n; ++e) {
    c.values_.push_back(r.text("value"));
    key_hash[e] = r.u64("key hash");
  }
  r.need("key phases", static_cast<unsigned __int128>(n) * c.dim_ * 4);
  c.key_phases_.reserve(n);
  for (std::size_t e = 0; e < n; ++e) {
    std::vector<float>& kp = c.key_phases_.emplace_back(c.dim_);
    r.floats_into("key phases", kp.data(), kp.size());
    if (!phases_ok(kp.data(), kp.size())) r.fail("key phases of entry " + std::to_string(e) + " outside [0, 2pi]");
  }
  // One row of dim phases an entry, checked before any row is built.
  const hdc::Rows::Shape shape = hdc::Rows::shape(r);
  if (shape.width != c.dim_ || shape.lengths.size() != n)
    r.fail(std::to_string(shape.lengths.size()) + " value phase rows of width " + std::to_string(shape.width) +
           " for " + std::to_string(n) + " entries of dim " + std::to_string(c.dim_));
  for (std::size_t e = 0; e < n; ++e)
    if (shape.lengths[e] != c.dim_) r.fail("value phases of entry " + std::to_string(e) + " not dim long");
  c.val_phases_ = hdc::Rows::load(r, false);
  // Whole lane blocks: their padding lanes are zeros.
  for (std::size_t b = 0; b * hdc::kLanes < n; ++b)
    if (!phases_ok(c.val_phases_.lane_block(b), c.dim_ * hdc::kLanes))
      r.fail("value phases outside [0, 2pi] in entries " + std::to_string(b * hdc::kLanes) + " to " +
             std::to_string(std::min(n, (b + 1) * hdc::kLanes) - 1));
  for (std::size_t e = 0; e < n; ++e) reserve_index(c.key_index_, key_hash[e]).commit(e);
  c.count_ = n;
  return c;
}

float Hkvc::key_resonance(std::size_t e, const float* q) const {
  const float* kp = key_phases_[e].data();
  float theta[kTile], c[kTile];
  float acc = 0.0f;
  for (std::size_t i0 = 0; i0 < dim_; i0 += kTile) {
    const std::size_t n = std::min<std::size_t>(kTile, dim_ - i0);
    for (std::size_t k = 0; k < n; ++k) theta[k] = kp[i0 + k] - q[i0 + k];
    hdc::cos_n(theta, n, c);
    for (std::size_t k = 0; k < n; ++k) acc += c[k];
  }
  return acc / static_cast<float>(dim_);
}

float Hkvc::strength(std::size_t e, const float* q) const {
  float theta[kTile], c[kTile], s[kTile];
  float acc = 0.0f;
  for (std::size_t i0 = 0; i0 < dim_; i0 += kTile) {
    const std::size_t n = std::min<std::size_t>(kTile, dim_ - i0);
    for (std::size_t k = 0; k < n; ++k) theta[k] = q[i0 + k] + val_phases_.at(e, i0 + k);
    hdc::cos_sin_n(theta, n, c, s);
    for (std::size_t k = 0; k < n; ++k) acc += c[k] * comp_re_[i0 + k] + s[k] * comp_im_[i0 + k];
  }
  return acc / denominator();
}

namespace {

using hdc::Isa;
using hdc::kLanes;
typedef float F8 __attribute__((vector_size(32)));

// acc[l] += c[k][l] * re[k] + s[k][l] * im[k] for k < n, lanes l < 8, in k order:
// one lane per entry, each lane's products and adds rounded as written.
template <Isa>
[[gnu::always_inline]] inline void accumulate_terms_body(const float* c, const float* s, const float* re,
                                                         const float* im, std::size_t n, float* acc) {
  F8 a;
  std::memcpy(&a, acc, sizeof a);
  for (std::size_t k = 0; k < n; ++k) {
    F8 ck, sk;
    std::memcpy(&ck, c + k * 8, sizeof ck);
    std::memcpy(&sk, s + k * 8, sizeof sk);
    a += ck * re[k] + sk * im[k];
  }
  std::memcpy(acc, &a, sizeof a);
}
MHDC_ISA_VARIANTS(void, accumulate_terms, (const float* c, const float* s, const float* re, const float* im,
                                           std::size_t n, float* acc),
                  (c, s, re, im, n, acc))

}  // namespace

void Hkvc::strengths(const float* q, float* out) const {
  constexpr std::size_t T = kTile;
  static_assert(kLanes == 8);
  float theta[T * kLanes], c[T * kLanes], s[T * kLanes];
  const float denom = denominator();
  const auto accumulate = accumulate_terms_for(hdc::active_isa());
  for (std::size_t b = 0; b * kLanes < count_; ++b) {
    const float* block = val_phases_.lane_block(b);
    float acc[kLanes];
    for (std::size_t l = 0; l < kLanes; ++l) acc[l] = 0.0f;
    for (std::size_t i0 = 0; i0 < dim_; i0 += T) {
      const std::size_t n = std::min<std::size_t>(T, dim_ - i0);
      const float* col = block + i0 * kLanes;
      for (std::size_t k = 0; k < n; ++k)
        for (std::size_t l = 0; l < kLanes; ++l) theta[k * kLanes + l] = q[i0 + k] + col[k * kLanes + l];
      hdc::cos_sin_n(theta, n * kLanes, c, s);
      // One lane per entry: each entry's sum still runs over i in order.
      accumulate(c, s, comp_re_.data() + i0, comp_im_.data() + i0, n, acc);
    }
    const std::size_t rows = std::min<std::size_t>(kLanes, count_ - b * kLanes);
    for (std::size_t l = 0; l < rows; ++l) out[b * kLanes + l] = acc[l] / denom;
  }
}

HkvcAnswer Hkvc::query(std::string_view query_key) const {
  if (count_ == 0) return {std::string(), 0.0f};
  const std::vector<float> q = hdc::encode_phases(query_key, dim_);
  const auto it = key_index_.find(hdc::string_hash(query_key));
  if (it != key_index_.end() && !it->second.empty()) {
    float best = -2.0f;
    std::size_t best_index = 0;
    for (const std::uint64_t c : it->second) {
      const float r = key_resonance(c, q.data());
      if (r > best) {  // strict: the earliest candidate wins ties, NaN never wins
        best = r;
        best_index = c;
      }
    }
    if (best > 0.5f) return {values_[best_index], clamp_score(strength(best_index, q.data()))};
  }
  std::vector<float> scores(count_);
  strengths(q.data(), scores.data());
  float best = -2.0f;
  std::size_t best_index = 0;
  for (std::size_t j = 0; j < count_; ++j) {
    if (scores[j] > best) {
      best = scores[j];
      best_index = j;
    }
  }
  return {values_[best_index], clamp_score(best)};
}

float Hkvc::position_score(std::uint64_t position) const {
  if (count_ == 0) return 0.0f;
  const std::vector<float> phi = position_probe(position, dim_);
  float c[kTile], s[kTile];
  float acc = 0.0f;
  for (std::size_t i0 = 0; i0 < dim_; i0 += kTile) {
    const std::size_t n = std::min<std::size_t>(kTile, dim_ - i0);
    hdc::cos_sin_n(phi.data() + i0, n, c, s);
    for (std::size_t k = 0; k < n; ++k) acc += c[k] * pos_re_[i0 + k] + s[k] * pos_im_[i0 + k];
  }
  return acc / static_cast<float>(count_);
}

Hypervector Hkvc::accumulator_magnitude() const {
  Hypervector out(dim_);
  for (std::uint64_t i = 0; i < dim_; ++i) out[i] = std::sqrt(comp_im_[i] * comp_im_[i] + comp_re_[i] * comp_re_[i]);
  return out;
}

}  // namespace mhdc::memory

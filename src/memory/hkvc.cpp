#include "memory/hkvc.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <utility>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

#include "hdc/encoders.hpp"
#include "hdc/hash.hpp"
#include "memory/phasor.hpp"
#include "memory/row_store.hpp"

namespace mhdc::memory {

namespace {
// Components per pass of the batch trigonometry: small enough to stay in L1.
constexpr std::size_t kTile = 64;

float clamp_score(float s) { return s > 0.0f ? s : 0.0f; }  // NaN and -0.0 become +0.0
}  // namespace

Hkvc::Hkvc(std::uint64_t dim)
    : dim_(dim), comp_re_(dim), comp_im_(dim), pos_re_(dim), pos_im_(dim) {}

std::vector<float> Hkvc::position_basis(std::uint64_t position, std::uint64_t dim) {
  std::vector<float> out(dim);
  hdc::Sip13 prefix;
  prefix.write_index(position);
  for (std::uint64_t i = 0; i < dim; ++i) {
    hdc::Sip13 h = prefix;
    h.write_index(i);
    out[i] = hash_to_phase(h.finish());
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
    out[i] = hash_to_phase(y);
  }
  return out;
}

void Hkvc::store(std::string_view key, std::string_view value, std::uint64_t position) {
  // Allocate everything the entry needs first.
  std::vector<float> kp = hdc::encode_phases(key, dim_);
  std::vector<float> vp = hdc::encode_phases(value, dim_);
  const std::vector<float> pb = position_basis(position, dim_);
  std::string stored_value(value);
  const std::size_t lane = count_ % kLanes;
  std::vector<float> fresh_block;
  if (lane == 0) {
    fresh_block.assign(dim_ * kLanes, 0.0f);
    reserve_one_more(val_blocks_);
  }
  reserve_one_more(values_);
  reserve_one_more(key_phases_);
  IndexSlot slot = reserve_index(key_index_, hdc::string_hash(key));  // last allocation

  // Nothing below can fail.
  float* block = lane == 0 ? fresh_block.data() : val_blocks_.back().data();
  for (std::uint64_t i = 0; i < dim_; ++i) block[i * kLanes + lane] = vp[i];
  float theta[kTile], c[kTile], s[kTile];
  for (std::size_t i0 = 0; i0 < dim_; i0 += kTile) {
    const std::size_t n = std::min<std::size_t>(kTile, dim_ - i0);
    for (std::size_t k = 0; k < n; ++k) theta[k] = kp[i0 + k] + vp[i0 + k];
    cos_sin_n(theta, n, c, s);
    for (std::size_t k = 0; k < n; ++k) {
      comp_re_[i0 + k] += c[k];
      comp_im_[i0 + k] += s[k];
    }
    cos_sin_n(pb.data() + i0, n, c, s);
    for (std::size_t k = 0; k < n; ++k) {
      pos_re_[i0 + k] += c[k];
      pos_im_[i0 + k] += s[k];
    }
  }
  if (lane == 0) val_blocks_.push_back(std::move(fresh_block));
  values_.push_back(std::move(stored_value));
  key_phases_.push_back(std::move(kp));
  slot.commit(count_);
  ++count_;
}

float Hkvc::key_resonance(std::size_t e, const float* q) const {
  const float* kp = key_phases_[e].data();
  float theta[kTile], c[kTile];
  float acc = 0.0f;
  for (std::size_t i0 = 0; i0 < dim_; i0 += kTile) {
    const std::size_t n = std::min<std::size_t>(kTile, dim_ - i0);
    for (std::size_t k = 0; k < n; ++k) theta[k] = kp[i0 + k] - q[i0 + k];
    cos_n(theta, n, c);
    for (std::size_t k = 0; k < n; ++k) acc += c[k];
  }
  return acc / static_cast<float>(dim_);
}

float Hkvc::strength(std::size_t e, const float* q) const {
  float theta[kTile], c[kTile], s[kTile];
  float acc = 0.0f;
  for (std::size_t i0 = 0; i0 < dim_; i0 += kTile) {
    const std::size_t n = std::min<std::size_t>(kTile, dim_ - i0);
    for (std::size_t k = 0; k < n; ++k) theta[k] = q[i0 + k] + val_phase(e, i0 + k);
    cos_sin_n(theta, n, c, s);
    for (std::size_t k = 0; k < n; ++k) acc += c[k] * comp_re_[i0 + k] + s[k] * comp_im_[i0 + k];
  }
  return acc / denominator();
}

namespace {

// acc[l] += c[k][l] * re[k] + s[k][l] * im[k] for k < n, lanes l < 8, in k order:
// one lane per entry, each lane's products and adds rounded as written.
void accumulate_terms_generic(const float* c, const float* s, const float* re, const float* im, std::size_t n,
                              float* acc) {
  for (std::size_t k = 0; k < n; ++k)
    for (std::size_t l = 0; l < 8; ++l) acc[l] += c[k * 8 + l] * re[k] + s[k * 8 + l] * im[k];
}

#if defined(__x86_64__) && defined(__GNUC__)
__attribute__((target("avx2"))) void accumulate_terms_avx2(const float* c, const float* s, const float* re,
                                                           const float* im, std::size_t n, float* acc) {
  __m256 a = _mm256_loadu_ps(acc);
  for (std::size_t k = 0; k < n; ++k) {
    const __m256 t = _mm256_add_ps(_mm256_mul_ps(_mm256_loadu_ps(c + k * 8), _mm256_set1_ps(re[k])),
                                   _mm256_mul_ps(_mm256_loadu_ps(s + k * 8), _mm256_set1_ps(im[k])));
    a = _mm256_add_ps(a, t);
  }
  _mm256_storeu_ps(acc, a);
}
#endif

void accumulate_terms(const float* c, const float* s, const float* re, const float* im, std::size_t n, float* acc) {
#if defined(__x86_64__) && defined(__GNUC__)
  static const bool avx2 = __builtin_cpu_supports("avx2");
  if (avx2) return accumulate_terms_avx2(c, s, re, im, n, acc);
#endif
  accumulate_terms_generic(c, s, re, im, n, acc);
}

}  // namespace

void Hkvc::strengths(const float* q, float* out) const {
  constexpr std::size_t T = kTile;
  static_assert(kLanes == 8);
  float theta[T * kLanes], c[T * kLanes], s[T * kLanes];
  const float denom = denominator();
  for (std::size_t b = 0; b < val_blocks_.size(); ++b) {
    const float* block = val_blocks_[b].data();
    float acc[kLanes];
    for (std::size_t l = 0; l < kLanes; ++l) acc[l] = 0.0f;
    for (std::size_t i0 = 0; i0 < dim_; i0 += T) {
      const std::size_t n = std::min<std::size_t>(T, dim_ - i0);
      const float* col = block + i0 * kLanes;
      for (std::size_t k = 0; k < n; ++k)
        for (std::size_t l = 0; l < kLanes; ++l) theta[k * kLanes + l] = q[i0 + k] + col[k * kLanes + l];
      cos_sin_n(theta, n * kLanes, c, s);
      // One lane per entry: each entry's sum still runs over i in order.
      accumulate_terms(c, s, comp_re_.data() + i0, comp_im_.data() + i0, n, acc);
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
    cos_sin_n(phi.data() + i0, n, c, s);
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

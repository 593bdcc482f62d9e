#include "memory/row_store.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <utility>

#include "hdc/kernels.hpp"
#include "hdc/sign_kernels.hpp"

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

namespace mhdc::memory {

namespace {

constexpr std::size_t L = RowStore::kLanes;

// Each kernel computes, for every row of the given blocks, init + sum over i < m
// of q[i] * row[i] with one vector lane per row: a lane's adds run i = 0, 1, ...
// exactly as a scalar loop would (separate multiply and add, no fusing). Several
// blocks are kept in flight so that independent rows' adds overlap.

void store_lanes(const float* acc, std::size_t first_row, std::size_t rows, float* out) {
  for (std::size_t l = 0; l < L && first_row + l < rows; ++l) out[first_row + l] = acc[l];
}

void blocks_dots_generic(const std::vector<float>* blocks, std::size_t nblocks, std::size_t rows, const float* q,
                         std::size_t m, float init, float* out) {
  for (std::size_t b = 0; b < nblocks; ++b) {
    const float* blk = blocks[b].data();
    float acc[L];
    for (std::size_t l = 0; l < L; ++l) acc[l] = init;
    for (std::size_t i = 0; i < m; ++i)
      for (std::size_t l = 0; l < L; ++l) acc[l] += q[i] * blk[i * L + l];
    store_lanes(acc, b * L, rows, out);
  }
}

#if defined(__x86_64__) && defined(__GNUC__)
__attribute__((target("avx2"))) void blocks_dots_avx2(const std::vector<float>* blocks, std::size_t nblocks,
                                                       std::size_t rows, const float* q, std::size_t m, float init,
                                                       float* out) {
  static_assert(L == 8, "one 256-bit register per block");
  alignas(32) float lanes[L];
  std::size_t b = 0;
  for (; b + 4 <= nblocks; b += 4) {
    const float *p0 = blocks[b].data(), *p1 = blocks[b + 1].data(), *p2 = blocks[b + 2].data(),
                *p3 = blocks[b + 3].data();
    __m256 a0 = _mm256_set1_ps(init), a1 = a0, a2 = a0, a3 = a0;
    for (std::size_t i = 0; i < m; ++i) {
      const __m256 qi = _mm256_set1_ps(q[i]);
      a0 = _mm256_add_ps(a0, _mm256_mul_ps(qi, _mm256_loadu_ps(p0 + i * L)));
      a1 = _mm256_add_ps(a1, _mm256_mul_ps(qi, _mm256_loadu_ps(p1 + i * L)));
      a2 = _mm256_add_ps(a2, _mm256_mul_ps(qi, _mm256_loadu_ps(p2 + i * L)));
      a3 = _mm256_add_ps(a3, _mm256_mul_ps(qi, _mm256_loadu_ps(p3 + i * L)));
    }
    const __m256 acc[4] = {a0, a1, a2, a3};
    for (std::size_t g = 0; g < 4; ++g) {
      _mm256_store_ps(lanes, acc[g]);
      store_lanes(lanes, (b + g) * L, rows, out);
    }
  }
  for (; b < nblocks; ++b) {
    const float* p0 = blocks[b].data();
    __m256 a0 = _mm256_set1_ps(init);
    for (std::size_t i = 0; i < m; ++i)
      a0 = _mm256_add_ps(a0, _mm256_mul_ps(_mm256_set1_ps(q[i]), _mm256_loadu_ps(p0 + i * L)));
    _mm256_store_ps(lanes, a0);
    store_lanes(lanes, b * L, rows, out);
  }
}

// Baseline x86-64 (SSE2): two registers per block, two blocks in flight.
void blocks_dots_sse2(const std::vector<float>* blocks, std::size_t nblocks, std::size_t rows, const float* q,
                      std::size_t m, float init, float* out) {
  alignas(16) float lanes[L];
  std::size_t b = 0;
  for (; b + 2 <= nblocks; b += 2) {
    const float *p0 = blocks[b].data(), *p1 = blocks[b + 1].data();
    __m128 a0 = _mm_set1_ps(init), a1 = a0, a2 = a0, a3 = a0;
    for (std::size_t i = 0; i < m; ++i) {
      const __m128 qi = _mm_set1_ps(q[i]);
      a0 = _mm_add_ps(a0, _mm_mul_ps(qi, _mm_loadu_ps(p0 + i * L)));
      a1 = _mm_add_ps(a1, _mm_mul_ps(qi, _mm_loadu_ps(p0 + i * L + 4)));
      a2 = _mm_add_ps(a2, _mm_mul_ps(qi, _mm_loadu_ps(p1 + i * L)));
      a3 = _mm_add_ps(a3, _mm_mul_ps(qi, _mm_loadu_ps(p1 + i * L + 4)));
    }
    _mm_store_ps(lanes, a0);
    _mm_store_ps(lanes + 4, a1);
    store_lanes(lanes, b * L, rows, out);
    _mm_store_ps(lanes, a2);
    _mm_store_ps(lanes + 4, a3);
    store_lanes(lanes, (b + 1) * L, rows, out);
  }
  if (b < nblocks) blocks_dots_generic(blocks + b, nblocks - b, rows - b * L, q, m, init, out + b * L);
}

#endif

void blocks_dots(LaneKernel k, const std::vector<float>* blocks, std::size_t nblocks, std::size_t rows,
                 const float* q, std::size_t m, float init, float* out) {
#if defined(__x86_64__) && defined(__GNUC__)
  if (k == LaneKernel::automatic) k = lane_kernel_available(LaneKernel::avx2) ? LaneKernel::avx2 : LaneKernel::sse2;
  if (k == LaneKernel::avx2 && lane_kernel_available(k)) return blocks_dots_avx2(blocks, nblocks, rows, q, m, init, out);
  if (k == LaneKernel::sse2) return blocks_dots_sse2(blocks, nblocks, rows, q, m, init, out);
#else
  (void)k;
#endif
  blocks_dots_generic(blocks, nblocks, rows, q, m, init, out);
}

bool has_nan(const float* q, std::size_t m) {
  for (std::size_t i = 0; i < m; ++i)
    if (q[i] != q[i]) return true;
  return false;
}

}  // namespace

bool lane_kernel_available(LaneKernel k) {
#if defined(__x86_64__) && defined(__GNUC__)
  static const bool avx2 = __builtin_cpu_supports("avx2");
  return k != LaneKernel::avx2 || avx2;
#else
  return k == LaneKernel::automatic || k == LaneKernel::generic;
#endif
}

RowStore::Pending RowStore::prepare(HvView row) {
  Pending p;
  p.row = row;
  if (row.size() > width_) p.tail.assign(row.begin() + static_cast<std::ptrdiff_t>(width_), row.end());
  p.bipolar = all_bipolar_ && row.size() >= width_ && hdc::is_bipolar(row.first(width_));
  if (size() % kLanes == 0) {
    p.fresh.assign(width_ * kLanes, 0.0f);  // the block's only allocation
    p.has_fresh = true;
    reserve_one_more(blocks_);
  }
  if (p.bipolar && size() % hdc::kSignRows == 0) {
    p.fresh_signs.assign(hdc::sign_block_bytes(width_), 0);
    p.has_fresh_signs = true;
    reserve_one_more(signs_);
  }
  reserve_one_more(tails_);
  reserve_one_more(lengths_);
  return p;
}

void RowStore::commit(Pending&& p) noexcept {
  const std::size_t lane = size() % kLanes;
  const std::size_t sign_lane = size() % hdc::kSignRows;
  if (p.has_fresh) blocks_.push_back(std::move(p.fresh));
  float* block = blocks_.back().data();
  const std::size_t head = std::min(width_, p.row.size());
  for (std::size_t i = 0; i < head; ++i) block[i * kLanes + lane] = p.row[i];
  tails_.push_back(std::move(p.tail));
  lengths_.push_back(p.row.size());
  if (!all_bipolar_) return;
  if (!p.bipolar) {
    all_bipolar_ = false;
    std::vector<std::vector<std::uint8_t>>().swap(signs_);  // frees without allocating
    return;
  }
  if (p.has_fresh_signs) signs_.push_back(std::move(p.fresh_signs));
  std::uint8_t* bits = signs_.back().data();
  for (std::size_t i = 0; i < width_; ++i) {
    std::uint32_t u;
    std::memcpy(&u, &p.row[i], 4);
    hdc::put_sign(bits, i, sign_lane, u >> 31);
  }
}

void RowStore::clear(std::size_t width) {
  all_bipolar_ = true;
  signs_.clear();
  blocks_.clear();
  tails_.clear();
  lengths_.clear();
  width_ = width;
}

Hypervector RowStore::row(std::size_t r) const {
  const std::size_t len = lengths_[r];
  Hypervector out(len);
  const std::size_t head = std::min(len, width_);
  for (std::size_t i = 0; i < head; ++i) out[i] = bank_at(r, i);
  std::copy(tails_[r].begin(), tails_[r].end(), out.begin() + static_cast<std::ptrdiff_t>(head));
  return out;
}

float RowStore::dot(std::size_t r, HvView q, float init) const {
  const std::size_t limit = std::min(q.size(), lengths_[r]);
  const std::size_t head = std::min(limit, width_);
  float s = init;
  for (std::size_t i = 0; i < head; ++i) s += q[i] * bank_at(r, i);
  if (limit > width_) s = hdc::dot(q.data() + width_, tails_[r].data(), limit - width_, s);
  return s;
}

void RowStore::dots(HvView q, float init, float* out, LaneKernel kernel, hdc::SignKernel signs) const {
  const std::size_t m = std::min(q.size(), width_);
  if (kernel == LaneKernel::automatic && all_bipolar_ && !has_nan(q.data(), m))
    hdc::sign_dots_by([this](std::size_t b) { return signs_[b].data(); }, signs_.size(), size(), q.data(), m, init,
                      out, signs);
  else
    blocks_dots(kernel, blocks_.data(), blocks_.size(), size(), q.data(), m, init, out);
  for (std::size_t r = 0; r < lengths_.size(); ++r) {
    if (lengths_[r] < m) {
      out[r] = dot(r, q, init);  // the block's padding was read: redo over the row's true length
    } else if (q.size() > width_ && !tails_[r].empty()) {
      // The sum over the block's columns is a prefix of the whole sum; carry on from it.
      const std::size_t n = std::min(q.size(), lengths_[r]) - width_;
      out[r] = hdc::dot(q.data() + width_, tails_[r].data(), n, out[r]);
    }
  }
}

void RowStore::dots_scalar(HvView q, float init, float* out) const {
  for (std::size_t r = 0; r < size(); ++r) out[r] = dot(r, q, init);
}

}  // namespace mhdc::memory

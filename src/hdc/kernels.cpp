#include "hdc/kernels.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace mhdc::hdc {

// GCC builds an AVX2 clone beside the baseline one and picks it at load time.
// The lane loops below are element-wise across candidates, so vectorising them
// never reorders any single sum.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && !defined(MHDC_NO_CLONES)
#define MHDC_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define MHDC_CLONES
#endif

namespace {

// The vector helpers below are always inlined, so no vector ever crosses a call
// boundary and the ABI note GCC gives for the baseline clone does not apply (the
// one helper it still names takes its vector by reference).
#pragma GCC diagnostic ignored "-Wpsabi"

typedef float F8 __attribute__((vector_size(32)));
typedef std::int32_t I8 __attribute__((vector_size(32)));

constexpr float kTwo23 = 8388608.0f;
constexpr float kExactLimit = 16777216.0f;  // 2^24: every integer below it is a float
constexpr std::size_t kGroup = 32;          // elements per step of the exact sum: four vectors
constexpr std::size_t kChunk = 1024;        // elements per exactness check
constexpr std::size_t kFirstChunk = 128;    // ... the first one

// A broadcast that keeps the sign of zero (0 + x would turn -0.0 into +0.0).
[[gnu::always_inline]] inline F8 splat(float x) { return F8{x, x, x, x, x, x, x, x}; }

[[gnu::always_inline]] inline F8 load8(const float* p) {
  F8 v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

[[gnu::always_inline]] inline float lane_sum(const F8& v) {
  float s = v[0];
  for (int l = 1; l < 8; ++l) s += v[l];
  return s;
}

bool small_integer(float x) { return std::fabs(x) < kExactLimit && std::trunc(x) == x; }

// The sum of products over the longest run of whole chunks (then whole groups)
// that passes the test, lanes starting at -0.0; `used` is |init|. Returns the
// run's length. Every partial sum of a passing run is an exact integer, so the
// lanes may be added in any order.
MHDC_CLONES
std::size_t exact_run(const float* a, const float* b, std::size_t n, float used, float* sum) {
  const F8 nz = splat(-0.0f), two23 = splat(kTwo23);
  const I8 magnitude = I8{} + 0x7fffffff;
  F8 s0 = nz, s1 = nz, s2 = nz, s3 = nz;
  const std::size_t full = n - n % kGroup;
  std::size_t k = 0;
  while (k < full) {
    // A short first chunk, so that general data gives up after a few products.
    const std::size_t end = std::min(full, k + (k == 0 ? kFirstChunk : kChunk));
    F8 c0 = nz, c1 = nz, c2 = nz, c3 = nz;
    F8 t0 = F8{}, t1 = F8{}, t2 = F8{}, t3 = F8{};
    I8 bad = I8{};
    for (std::size_t i = k; i < end; i += kGroup) {
#define MHDC_STEP(c, t, off)                                                 \
  {                                                                          \
    const F8 p = load8(a + i + off) * load8(b + i + off);                    \
    c += p;                                                                  \
    const F8 ap = (F8)((I8)p & magnitude);                                   \
    t += ap;                                                                 \
    /* below 2^23, adding and removing 2^23 rounds to an integer; NaN fails */ \
    bad |= ((ap + two23) - two23) != ap;                                     \
  }
      MHDC_STEP(c0, t0, 0)
      MHDC_STEP(c1, t1, 8)
      MHDC_STEP(c2, t2, 16)
      MHDC_STEP(c3, t3, 24)
#undef MHDC_STEP
    }
    int any_bad = 0;
    for (int l = 0; l < 8; ++l) any_bad |= bad[l];
    if (any_bad) break;
    // Non-negative terms: the float total stays exact below 2^24 and, rounding
    // being monotonic, reaches at least 2^24 once the true total does.
    used += lane_sum((t0 + t1) + (t2 + t3));
    if (!(used < kExactLimit)) break;
    s0 += c0;
    s1 += c1;
    s2 += c2;
    s3 += c3;
    k = end;
  }
  *sum = lane_sum((s0 + s1) + (s2 + s3));
  return k;
}

}  // namespace

std::size_t dot_exact_prefix(const float* a, const float* b, std::size_t n, float init, float* sum) {
  *sum = init;
  if (n < kGroup || !small_integer(init)) return 0;
  float p;
  const std::size_t k = exact_run(a, b, n, std::fabs(init), &p);
  if (k != 0) *sum = init + p;  // exact; -0.0 only when init and every product are -0.0
  return k;
}

float dot(const float* a, const float* b, std::size_t n, float init) {
  float s;
  const std::size_t k = dot_exact_prefix(a, b, n, init, &s);
  for (std::size_t i = k; i < n; ++i) s += a[i] * b[i];
  return s;
}

float dot_scalar(const float* a, const float* b, std::size_t n, float init) {
  float s = init;
  for (std::size_t i = 0; i < n; ++i) s += a[i] * b[i];
  return s;
}

void RowBank::push(HvView row) {
  const std::size_t lane = rows_ % kLanes;
  if (lane == 0) data_.resize(data_.size() + width_ * kLanes, 0.0f);
  float* block = data_.data() + (rows_ / kLanes) * width_ * kLanes;
  const std::size_t n = std::min(width_, row.size());
  for (std::size_t i = 0; i < n; ++i) block[i * kLanes + lane] = row[i];
  ++rows_;
}

Hypervector RowBank::row(std::size_t r) const {
  Hypervector out(width_);
  for (std::size_t i = 0; i < width_; ++i) out[i] = at(r, i);
  return out;
}

namespace {

static_assert(RowBank::kLanes == 8, "one eight-float vector per block");

// G blocks side by side, one lane per row; inlined into each clone of bank_dots.
template <std::size_t G>
[[gnu::always_inline]] inline void bank_group(const float* first, std::size_t block_size, const float* q,
                                              std::size_t m, float init, F8* acc) {
  for (std::size_t g = 0; g < G; ++g) acc[g] = splat(init);
  for (std::size_t i = 0; i < m; ++i) {
    const F8 qi = splat(q[i]);
    for (std::size_t g = 0; g < G; ++g) acc[g] += qi * load8(first + g * block_size + i * 8);
  }
}

MHDC_CLONES
void bank_dots(const float* data, std::size_t width, std::size_t rows, const float* q, std::size_t m,
               float* out, float init) {
  constexpr std::size_t L = RowBank::kLanes, G = 4;  // four chains in flight hide the add latency
  const std::size_t blocks = (rows + L - 1) / L, block_size = width * L;
  auto store = [&](std::size_t b, const F8& acc) {
    const std::size_t n = std::min(L, rows - b * L);
    for (std::size_t l = 0; l < n; ++l) out[b * L + l] = acc[l];
  };
  std::size_t b = 0;
  for (; b + G <= blocks; b += G) {
    F8 acc[G];
    bank_group<G>(data + b * block_size, block_size, q, m, init, acc);
    for (std::size_t g = 0; g < G; ++g) store(b + g, acc[g]);
  }
  if (blocks - b >= 2) {
    F8 acc[2];
    bank_group<2>(data + b * block_size, block_size, q, m, init, acc);
    store(b, acc[0]);
    store(b + 1, acc[1]);
    b += 2;
  }
  if (b < blocks) {
    F8 acc[1];
    bank_group<1>(data + b * block_size, block_size, q, m, init, acc);
    store(b, acc[0]);
  }
}

// Eight arbitrary rows, one accumulator each, every sum in index order.
MHDC_CLONES
void eight_rows(const float* q, const float* const* row, std::size_t m, float init, float* out) {
  F8 acc = splat(init);
  for (std::size_t i = 0; i < m; ++i) {
    const F8 r = {row[0][i], row[1][i], row[2][i], row[3][i], row[4][i], row[5][i], row[6][i], row[7][i]};
    acc += splat(q[i]) * r;
  }
  for (int l = 0; l < 8; ++l) out[l] = acc[l];
}

}  // namespace

void RowBank::dots(const float* q, std::size_t m, float* out, float init) const {
  bank_dots(data_.data(), width_, rows_, q, std::min(m, width_), out, init);
}

void RowBank::dots_scalar(const float* q, std::size_t m, float* out, float init) const {
  m = std::min(m, width_);
  for (std::size_t r = 0; r < rows_; ++r) {
    float s = init;
    for (std::size_t i = 0; i < m; ++i) s += q[i] * at(r, i);
    out[r] = s;
  }
}

void dots_rows(const float* q, const float* rows, std::size_t k, std::size_t stride, std::size_t m, float* out,
               float init) {
  // Rows whose sum is exact take the vector sum; the rest go eight at a time.
  const std::size_t full = m - m % kGroup;
  const float* pending[8];
  std::size_t where[8];
  std::size_t np = 0;
  float lanes[8];
  for (std::size_t r = 0; r < k; ++r) {
    const float* row = rows + r * stride;
    float s;
    if (full != 0 && dot_exact_prefix(q, row, m, init, &s) == full) {
      for (std::size_t i = full; i < m; ++i) s += q[i] * row[i];
      out[r] = s;
      continue;
    }
    pending[np] = row;
    where[np++] = r;
    if (np == 8) {
      eight_rows(q, pending, m, init, lanes);
      for (std::size_t l = 0; l < 8; ++l) out[where[l]] = lanes[l];
      np = 0;
    }
  }
  if (np == 0) return;
  for (std::size_t l = np; l < 8; ++l) pending[l] = pending[0];  // spare lanes repeat a row
  eight_rows(q, pending, m, init, lanes);
  for (std::size_t l = 0; l < np; ++l) out[where[l]] = lanes[l];
}

void dots_rows_scalar(const float* q, const float* rows, std::size_t k, std::size_t stride,
                      std::size_t m, float* out, float init) {
  for (std::size_t r = 0; r < k; ++r) out[r] = dot_scalar(q, rows + r * stride, m, init);
}

}  // namespace mhdc::hdc

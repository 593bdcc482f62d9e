#include "hdc/trig.hpp"

#include <bit>
#include <cmath>
#include <cstring>

#if defined(MHDC_X86)
// GCC 12 reports the intrinsics' own deliberately undefined start values (`__Y`) as
// possibly uninitialised when they are inlined here; they never reach a result.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

namespace mhdc::hdc {

void cos_n_scalar(const float* x, std::size_t n, float* c) {
  for (std::size_t k = 0; k < n; ++k) c[k] = std::cos(x[k]);
}

void cos_sin_n_scalar(const float* x, std::size_t n, float* c, float* s) {
  for (std::size_t k = 0; k < n; ++k) {
    c[k] = std::cos(x[k]);
    s[k] = std::sin(x[k]);
  }
}

#if defined(MHDC_X86)
namespace {

// A four-lane evaluation of single-precision cosine and sine that reproduces,
// operation for operation, the scalar routine this platform's libm selects on
// CPUs with AVX2 and FMA: the argument widened to double; |x| below 2^-12 gives
// sin x = x and cos x = 1; below about 0.75 the polynomials run on x itself;
// below 120 x is reduced by the nearest multiple of pi/2 (one fused
// multiply-subtract), the quadrant picking the polynomial, the sine's sign and
// the cosine coefficients' sign; each polynomial is the same chain of fused
// multiply-adds on the same coefficients, rounded once to float at the end.
// Lanes outside these ranges (|x| >= 120, infinities, NaN) are handed to the
// scalar functions. Whether the platform really computes this is verified at
// first use (`vector_trig_ok`): on any disagreement the scalar loops are kept.
struct Poly {
  double c0, c1, s1, c2, s2, c3, s3, c4;
};
constexpr double kHpiInv = std::bit_cast<double>(0x41645F306DC9C883ull);  // 2/pi * 2^24
constexpr double kHpi = std::bit_cast<double>(0x3FF921FB54442D18ull);     // pi/2
constexpr Poly kPoly = {
    std::bit_cast<double>(0x3FF0000000000000ull), std::bit_cast<double>(0xBFDFFFFFFD0C621Cull),
    std::bit_cast<double>(0xBFC555545995A603ull), std::bit_cast<double>(0x3FA55553E1068F19ull),
    std::bit_cast<double>(0x3F81107605230BC4ull), std::bit_cast<double>(0xBF56C087E89A359Dull),
    std::bit_cast<double>(0xBF2994EB3774CF24ull), std::bit_cast<double>(0x3EF99343027BF8C3ull)};

constexpr std::uint32_t kTinyTop = 0x397;   // abstop12 at or below: |x| < 2^-12
constexpr std::uint32_t kSmallTop = 0x3f3;  // no reduction
constexpr std::uint32_t kMainTop = 0x42e;   // reduction by pi/2 multiples

MHDC_TARGET_AVX2 [[gnu::always_inline]] inline __m256d negate_where(__m256d v, __m256d mask) {
  return _mm256_xor_pd(v, _mm256_and_pd(mask, _mm256_set1_pd(-0.0)));  // flip the sign bit
}

// Four floats at p: cosines into c, sines into s (either may be null).
// Returns false when a lane needs the scalar path.
MHDC_TARGET_AVX2 [[gnu::always_inline]] inline bool cos_sin_4(const float* p, float* c, float* s) {
  const __m128 yf = _mm_loadu_ps(p);
  const __m128i bits = _mm_castps_si128(yf);
  const __m128i top = _mm_and_si128(_mm_srli_epi32(bits, 20), _mm_set1_epi32(0x7ff));
  if (_mm_movemask_epi8(_mm_cmpgt_epi32(top, _mm_set1_epi32(kMainTop))) != 0) return false;
  const __m128i small = _mm_cmpgt_epi32(_mm_set1_epi32(kSmallTop + 1), top);
  const __m128i tiny = _mm_cmpgt_epi32(_mm_set1_epi32(kTinyTop + 1), top);

  const __m256d x = _mm256_cvtps_pd(yf);
  // n = round(x * 2/pi) as the scalar code forms it: truncate x * 2/pi * 2^24, add 2^23, shift by 24.
  __m128i n = _mm256_cvttpd_epi32(_mm256_mul_pd(x, _mm256_set1_pd(kHpiInv)));
  n = _mm_srai_epi32(_mm_add_epi32(n, _mm_set1_epi32(0x800000)), 24);
  n = _mm_andnot_si128(small, n);
  const __m256d small_d = _mm256_castsi256_pd(_mm256_cvtepi32_epi64(small));
  const __m256d reduced = _mm256_fnmadd_pd(_mm256_cvtepi32_pd(n), _mm256_set1_pd(kHpi), x);
  const __m256d xr = _mm256_blendv_pd(reduced, x, small_d);

  const __m256i n64 = _mm256_cvtepi32_epi64(n);
  const __m256i q = _mm256_and_si256(n64, _mm256_set1_epi64x(3));
  const __m256d odd = _mm256_castsi256_pd(_mm256_cmpeq_epi64(_mm256_and_si256(n64, _mm256_set1_epi64x(1)),
                                                             _mm256_set1_epi64x(1)));
  const __m256d half_turn = _mm256_castsi256_pd(_mm256_cmpeq_epi64(_mm256_and_si256(n64, _mm256_set1_epi64x(2)),
                                                                   _mm256_set1_epi64x(2)));
  // sign of sine per quadrant: +1, -1, -1, +1
  const __m256d neg_sine = _mm256_castsi256_pd(_mm256_or_si256(_mm256_cmpeq_epi64(q, _mm256_set1_epi64x(1)),
                                                               _mm256_cmpeq_epi64(q, _mm256_set1_epi64x(2))));
  const __m256d sign = _mm256_blendv_pd(_mm256_set1_pd(1.0), _mm256_set1_pd(-1.0), neg_sine);

  const __m256d x2 = _mm256_mul_pd(xr, xr);
  // sine polynomial on xs = xr * sign
  const __m256d xs = _mm256_mul_pd(xr, sign);
  const __m256d st = _mm256_fmadd_pd(x2, _mm256_set1_pd(kPoly.s3), _mm256_set1_pd(kPoly.s2));
  const __m256d x3 = _mm256_mul_pd(x2, xs);
  const __m256d x5 = _mm256_mul_pd(x2, x3);
  const __m256d su = _mm256_fmadd_pd(x3, _mm256_set1_pd(kPoly.s1), xs);
  const __m256d sine = _mm256_fmadd_pd(st, x5, su);
  // Cosine polynomial. Quadrants 2 and 3 use the negated coefficients; every
  // step is then the exact negation of the step with the plain ones (rounding to
  // nearest is symmetric, and no step can be zero for |xr| <= pi/4, where the
  // terms stay near 1, -1/720 and their sums), so the result is negated once.
  const __m256d x4 = _mm256_mul_pd(x2, x2);
  const __m256d ca = _mm256_fmadd_pd(x2, _mm256_set1_pd(kPoly.c1), _mm256_set1_pd(kPoly.c0));
  const __m256d cb = _mm256_fmadd_pd(x2, _mm256_set1_pd(kPoly.c4), _mm256_set1_pd(kPoly.c3));
  const __m256d x6 = _mm256_mul_pd(x2, x4);
  const __m256d cc = _mm256_fmadd_pd(x4, _mm256_set1_pd(kPoly.c2), ca);
  const __m256d cosine = negate_where(_mm256_fmadd_pd(cb, x6, cc), half_turn);

  // odd quadrants swap the two polynomials
  const __m128 cos_f = _mm256_cvtpd_ps(_mm256_blendv_pd(cosine, sine, odd));
  const __m128 sin_f = _mm256_cvtpd_ps(_mm256_blendv_pd(sine, cosine, odd));
  const __m128 tiny_f = _mm_castsi128_ps(tiny);
  if (c) _mm_storeu_ps(c, _mm_blendv_ps(cos_f, _mm_set1_ps(1.0f), tiny_f));
  if (s) _mm_storeu_ps(s, _mm_blendv_ps(sin_f, yf, tiny_f));
  return true;
}

// The platform's functions for x[from .. to): lanes out of the vector range, and tails.
void cos_sin_platform(const float* x, std::size_t from, std::size_t to, float* c, float* s) {
  for (std::size_t j = from; j < to; ++j) {
    if (c) c[j] = std::cos(x[j]);
    if (s) s[j] = std::sin(x[j]);
  }
}

__attribute__((noipa)) MHDC_TARGET_AVX2 void cos_sin_lanes4(const float* x, std::size_t n, float* c, float* s) {
  std::size_t k = 0;
  for (; k + 4 <= n; k += 4) {
    if (!cos_sin_4(x + k, c ? c + k : nullptr, s ? s + k : nullptr)) cos_sin_platform(x, k, k + 4, c, s);
  }
  cos_sin_platform(x, k, n, c, s);
}

// The same evaluation eight lanes at a time (AVX-512): every step is the
// four-lane step on twice the lanes, with mask registers where that used
// vector masks, so the bits agree; it is verified the same way at first use.
#define MHDC_AVX512_TARGET MHDC_TARGET_AVX512 __attribute__((always_inline))
MHDC_AVX512_TARGET inline __mmask8 sign_mask(__m256i v) {
  return static_cast<__mmask8>(_mm256_movemask_ps(_mm256_castsi256_ps(v)));
}

MHDC_AVX512_TARGET inline bool cos_sin_8(const float* p, float* c, float* s) {
  const __m256 yf = _mm256_loadu_ps(p);
  const __m256i bits = _mm256_castps_si256(yf);
  const __m256i top = _mm256_and_si256(_mm256_srli_epi32(bits, 20), _mm256_set1_epi32(0x7ff));
  if (_mm256_movemask_epi8(_mm256_cmpgt_epi32(top, _mm256_set1_epi32(kMainTop))) != 0) return false;
  const __m256i small = _mm256_cmpgt_epi32(_mm256_set1_epi32(kSmallTop + 1), top);
  const __m256i tiny = _mm256_cmpgt_epi32(_mm256_set1_epi32(kTinyTop + 1), top);

  const __m512d x = _mm512_cvtps_pd(yf);
  __m256i n = _mm512_cvttpd_epi32(_mm512_mul_pd(x, _mm512_set1_pd(kHpiInv)));
  n = _mm256_srai_epi32(_mm256_add_epi32(n, _mm256_set1_epi32(0x800000)), 24);
  n = _mm256_andnot_si256(small, n);
  const __m512d reduced = _mm512_fnmadd_pd(_mm512_cvtepi32_pd(n), _mm512_set1_pd(kHpi), x);
  const __m512d xr = _mm512_mask_blend_pd(sign_mask(small), reduced, x);

  const __mmask8 odd = sign_mask(_mm256_slli_epi32(n, 31));        // bit 0 of n
  const __mmask8 half_turn = sign_mask(_mm256_slli_epi32(n, 30));  // bit 1 of n
  // sign of sine per quadrant: +1, -1, -1, +1
  const __m512d sign = _mm512_mask_blend_pd(static_cast<__mmask8>(odd ^ half_turn), _mm512_set1_pd(1.0),
                                            _mm512_set1_pd(-1.0));

  const __m512d x2 = _mm512_mul_pd(xr, xr);
  const __m512d xs = _mm512_mul_pd(xr, sign);
  const __m512d st = _mm512_fmadd_pd(x2, _mm512_set1_pd(kPoly.s3), _mm512_set1_pd(kPoly.s2));
  const __m512d x3 = _mm512_mul_pd(x2, xs);
  const __m512d x5 = _mm512_mul_pd(x2, x3);
  const __m512d su = _mm512_fmadd_pd(x3, _mm512_set1_pd(kPoly.s1), xs);
  const __m512d sine = _mm512_fmadd_pd(st, x5, su);
  const __m512d x4 = _mm512_mul_pd(x2, x2);
  const __m512d ca = _mm512_fmadd_pd(x2, _mm512_set1_pd(kPoly.c1), _mm512_set1_pd(kPoly.c0));
  const __m512d cb = _mm512_fmadd_pd(x2, _mm512_set1_pd(kPoly.c4), _mm512_set1_pd(kPoly.c3));
  const __m512d x6 = _mm512_mul_pd(x2, x4);
  const __m512d cc = _mm512_fmadd_pd(x4, _mm512_set1_pd(kPoly.c2), ca);
  const __m512i cpos = _mm512_castpd_si512(_mm512_fmadd_pd(cb, x6, cc));
  const __m512d cosine = _mm512_castsi512_pd(
      _mm512_mask_xor_epi64(cpos, half_turn, cpos, _mm512_set1_epi64(static_cast<long long>(0x8000000000000000ull))));

  const __m256 cos_f = _mm512_cvtpd_ps(_mm512_mask_blend_pd(odd, cosine, sine));
  const __m256 sin_f = _mm512_cvtpd_ps(_mm512_mask_blend_pd(odd, sine, cosine));
  const __m256 tiny_f = _mm256_castsi256_ps(tiny);
  if (c) _mm256_storeu_ps(c, _mm256_blendv_ps(cos_f, _mm256_set1_ps(1.0f), tiny_f));
  if (s) _mm256_storeu_ps(s, _mm256_blendv_ps(sin_f, yf, tiny_f));
  return true;
}
#undef MHDC_AVX512_TARGET

__attribute__((noipa)) MHDC_TARGET_AVX512 void cos_sin_lanes8(const float* x, std::size_t n, float* c, float* s) {
  std::size_t k = 0;
  for (; k + 8 <= n; k += 8) {
    if (!cos_sin_8(x + k, c ? c + k : nullptr, s ? s + k : nullptr)) cos_sin_platform(x, k, k + 8, c, s);
  }
  cos_sin_platform(x, k, n, c, s);
}

using LaneFn = void (*)(const float*, std::size_t, float*, float*);

// Checks the lane evaluation against the platform's functions on arguments that
// exercise every branch and every quadrant boundary, plus a spread of phases.
bool lanes_agree_with_platform(LaneFn lanes) {
  constexpr std::size_t N = 4096;
  static float x[N], c[N], s[N];
  std::size_t k = 0;
  const std::uint32_t edges[] = {0x00000000u, 0x00000001u, 0x00800000u, 0x39800000u, 0x3f400000u,
                                 0x3f490fdbu, 0x42f00000u, 0x40490fdbu, 0x40c90fdbu, 0x3fc90fdbu,
                                 0x4096cbe4u, 0x40fb53d1u, 0x4116cbe4u, 0x41490fdbu};
  for (std::uint32_t e : edges)
    for (int d = -24; d <= 24 && k + 2 <= N; ++d) {
      const std::uint32_t b = e + static_cast<std::uint32_t>(d);
      if (e == 0 && d < 0) continue;
      x[k++] = std::bit_cast<float>(b);
      x[k++] = -std::bit_cast<float>(b);
    }
  std::uint64_t st = 0x9E3779B97F4A7C15ull;
  while (k < N) {
    st = st * 6364136223846793005ull + 1442695040888963407ull;
    x[k++] = phase_from_hash(st) * 2.0f - 6.2831855f;  // [-2pi, 2pi] ...
    if (k < N) x[k++] = phase_from_hash(st ^ (st >> 29)) * 2.0f;  // ... and [0, 4pi]
  }
  lanes(x, N, c, s);
  for (std::size_t j = 0; j < N; ++j) {
    if (std::bit_cast<std::uint32_t>(c[j]) != std::bit_cast<std::uint32_t>(std::cos(x[j]))) return false;
    if (std::bit_cast<std::uint32_t>(s[j]) != std::bit_cast<std::uint32_t>(std::sin(x[j]))) return false;
  }
  return true;
}

// The lane evaluation for `isa`, if it runs here and agrees with the platform's
// functions (checked once per width), else null for the scalar loops.
LaneFn lanes_for(Isa isa) {
  static const bool four = isa_available(Isa::avx2) && lanes_agree_with_platform(cos_sin_lanes4);
  static const bool eight = isa_available(Isa::avx512) && lanes_agree_with_platform(cos_sin_lanes8);
  isa = usable(isa);
  if (isa == Isa::avx512 && eight) return cos_sin_lanes8;
  return isa != Isa::baseline && four ? cos_sin_lanes4 : nullptr;
}

}  // namespace

bool batch_trig_vectorised() { return lanes_for(active_isa()) != nullptr; }

void cos_n(const float* x, std::size_t n, float* c, Isa isa) {
  if (const LaneFn fn = lanes_for(isa)) return fn(x, n, c, nullptr);
  cos_n_scalar(x, n, c);
}

void cos_sin_n(const float* x, std::size_t n, float* c, float* s, Isa isa) {
  if (const LaneFn fn = lanes_for(isa)) return fn(x, n, c, s);
  cos_sin_n_scalar(x, n, c, s);
}

#else

bool batch_trig_vectorised() { return false; }
void cos_n(const float* x, std::size_t n, float* c, Isa) { cos_n_scalar(x, n, c); }
void cos_sin_n(const float* x, std::size_t n, float* c, float* s, Isa) { cos_sin_n_scalar(x, n, c, s); }

#endif

}  // namespace mhdc::hdc

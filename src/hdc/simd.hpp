// The one place that names instruction sets. A kernel is written once, as an
// always-inline template over `Isa`, and compiled once per instruction set by
// MHDC_ISA_VARIANTS; `variant_for(active_isa())` picks the one to run. The
// template body may use GCC vector types (compiled to the target's widest
// registers) or, under `if constexpr`, the target's own intrinsics.
//
// Every variant computes the same bits: vector lanes hold separate rows' sums
// (each in index order) or element-wise results, never a reordered sum.
//
// MHDC_ISA (read once, at first use) caps the instruction set, for tests and
// benchmarks: "baseline", "avx2" or "avx512". Unknown values are ignored.
#pragma once

namespace mhdc::hdc {

// baseline: x86-64 as every such CPU runs it (SSE2), or the portable build.
// avx2: AVX2 with FMA and POPCNT. avx512: AVX-512 F, BW, VL and DQ on top.
enum class Isa : unsigned char { baseline, avx2, avx512 };
inline constexpr Isa kAllIsas[] = {Isa::baseline, Isa::avx2, Isa::avx512};

const char* isa_name(Isa isa) noexcept;
// Whether this CPU runs code built for `isa` and MHDC_ISA does not forbid it.
bool isa_available(Isa isa) noexcept;
// The widest available instruction set: what the kernels run by default.
Isa active_isa() noexcept;
// `isa` when available, else the active one (so a test's request is always safe).
inline Isa usable(Isa isa) noexcept { return isa_available(isa) ? isa : active_isa(); }
// VPOPCNTDQ beside AVX-512 (a popcount per 64-bit lane); the AVX-512 popcount
// kernel uses it where present.
bool has_vpopcntdq() noexcept;

}  // namespace mhdc::hdc

#if defined(__x86_64__) && defined(__GNUC__)
#define MHDC_X86 1
#include <immintrin.h>
#define MHDC_TARGET_AVX2 __attribute__((target("avx2,fma,popcnt,bmi,bmi2")))
#define MHDC_TARGET_AVX512 \
  __attribute__((target("avx512f,avx512bw,avx512vl,avx512dq,avx2,fma,popcnt,bmi,bmi2")))
#define MHDC_TARGET_VPOPCNT \
  __attribute__((target("avx512vpopcntdq,avx512f,avx512bw,avx512vl,avx512dq,avx2,fma,popcnt,bmi,bmi2")))
#else
#define MHDC_TARGET_AVX2
#define MHDC_TARGET_AVX512
#define MHDC_TARGET_VPOPCNT
#endif

// Vector helpers are always inlined into the variants, so no vector crosses a
// call and GCC's note on vector argument passing does not apply.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wpsabi"
#endif

// Defines NAME_baseline / NAME_avx2 / NAME_avx512, each NAME_body<isa> compiled
// for its instruction set, and NAME_for(isa) returning the one to call.
#define MHDC_ISA_VARIANTS(RET, NAME, PARAMS, ARGS)                                                          \
  RET NAME##_baseline PARAMS { return NAME##_body<::mhdc::hdc::Isa::baseline> ARGS; }                      \
  MHDC_TARGET_AVX2 RET NAME##_avx2 PARAMS { return NAME##_body<::mhdc::hdc::Isa::avx2> ARGS; }             \
  MHDC_TARGET_AVX512 RET NAME##_avx512 PARAMS { return NAME##_body<::mhdc::hdc::Isa::avx512> ARGS; }       \
  [[maybe_unused]] inline auto NAME##_for(::mhdc::hdc::Isa isa) {                                          \
    return isa == ::mhdc::hdc::Isa::avx512 ? &NAME##_avx512                                                 \
           : isa == ::mhdc::hdc::Isa::avx2 ? &NAME##_avx2                                                   \
                                           : &NAME##_baseline;                                              \
  }

#include "hdc/simd.hpp"

#include <cstdlib>
#include <cstring>

namespace mhdc::hdc {

namespace {

bool cpu_runs(Isa isa) noexcept {
#if defined(MHDC_X86)
  __builtin_cpu_init();
  const bool avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma") &&
                    __builtin_cpu_supports("popcnt") && __builtin_cpu_supports("bmi") &&
                    __builtin_cpu_supports("bmi2");
  switch (isa) {
    case Isa::baseline:
      return true;
    case Isa::avx2:
      return avx2;
    case Isa::avx512:
      return avx2 && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
             __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512dq");
  }
  return false;
#else
  return isa == Isa::baseline;
#endif
}

Isa cap_from_environment() noexcept {
  const char* v = std::getenv("MHDC_ISA");
  if (v != nullptr)
    for (Isa isa : kAllIsas)
      if (std::strcmp(v, isa_name(isa)) == 0) return isa;
  return Isa::avx512;
}

}  // namespace

const char* isa_name(Isa isa) noexcept {
  switch (isa) {
    case Isa::avx2:
      return "avx2";
    case Isa::avx512:
      return "avx512";
    default:
      return "baseline";
  }
}

bool isa_available(Isa isa) noexcept {
  // Asked on every dispatch: the CPU and MHDC_ISA are read once.
  static const bool available[] = {
      Isa::baseline <= cap_from_environment() && cpu_runs(Isa::baseline),
      Isa::avx2 <= cap_from_environment() && cpu_runs(Isa::avx2),
      Isa::avx512 <= cap_from_environment() && cpu_runs(Isa::avx512)};
  return available[static_cast<int>(isa)];
}

Isa active_isa() noexcept {
  static const Isa widest = isa_available(Isa::avx512) ? Isa::avx512
                            : isa_available(Isa::avx2) ? Isa::avx2
                                                       : Isa::baseline;
  return widest;
}

bool has_vpopcntdq() noexcept {
#if defined(MHDC_X86)
  static const bool has = isa_available(Isa::avx512) && __builtin_cpu_supports("avx512vpopcntdq");
  return has;
#else
  return false;
#endif
}

}  // namespace mhdc::hdc

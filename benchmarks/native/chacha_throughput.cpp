// Throughput of the ChaCha12 four-block refill (scalar, SSE2 baseline, dispatched)
// and of the per-index string encoders for a 1 KiB string at dim 10,000.
// Not a test. `make bench` builds it into build/wheel/bench/ (CMake option MHDC_BUILD_BENCH).
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

#include "hdc/encoders.hpp"
#include "hdc/rng.hpp"

using namespace mhdc::hdc;
using Clock = std::chrono::steady_clock;

namespace {

volatile std::uint32_t g_sink;

template <class F>
double best_seconds(F f, int reps) {
  double best = 1e30;
  for (int r = 0; r < reps; ++r) {
    const auto t0 = Clock::now();
    f();
    best = std::min(best, std::chrono::duration<double>(Clock::now() - t0).count());
  }
  return best;
}

template <class Fn>
double refill_gbps(Fn fn, int refills) {
  std::uint32_t key[8] = {1, 2, 3, 4, 5, 6, 7, 8}, out[64];
  const double s = best_seconds(
      [&] {
        std::uint32_t acc = 0;
        for (int i = 0; i < refills; ++i) {
          fn(key, 4ULL * i, 0, 6, out);
          acc ^= out[i & 63];
        }
        g_sink = acc;
      },
      5);
  return 256.0 * refills / s / 1e9;
}

}  // namespace

int main() {
  const int refills = 200000;  // 51 MB of keystream per repetition
  const double scalar = refill_gbps(chacha4_scalar, refills);
  const double base = refill_gbps([](auto... a) { chacha4(a..., Isa::baseline); }, refills);
  const double fast = refill_gbps([](auto... a) { chacha4(a...); }, refills);
  std::printf("chacha12 refill scalar     %.2f GB/s\n", scalar);
  std::printf("chacha12 refill sse2       %.2f GB/s  (%.2fx scalar)\n", base, base / scalar);
  std::printf("chacha12 refill dispatched %.2f GB/s  (%.2fx scalar, %s)\n", fast, fast / scalar,
              isa_name(active_isa()));

  std::string text(1024, 'x');
  for (std::size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>('a' + i * 7 % 26);
  const double t_i8 = best_seconds([&] { g_sink = text_to_bipolar_i8(text, 10000)[9999]; }, 20);
  const double t_ph = best_seconds([&] { g_sink = encode_phases(text, 10000)[9999] > 1.0f; }, 20);
  const double t_hs = best_seconds([&] { g_sink = hv_hash_string(text, 10000)[9999] > 0; }, 20);
  std::printf("text_to_bipolar_i8(1 KiB, 10000) %.1f us\n", t_i8 * 1e6);
  std::printf("encode_phases(1 KiB, 10000)      %.1f us\n", t_ph * 1e6);
  std::printf("hv_hash_string(1 KiB, 10000)     %.1f us\n", t_hs * 1e6);
  const double t_rb = best_seconds([&] { g_sink = rand_bipolar(10000)[9999] > 0; }, 20);
  std::printf("rand_bipolar(10000) core         %.1f us\n", t_rb * 1e6);
  return 0;
}

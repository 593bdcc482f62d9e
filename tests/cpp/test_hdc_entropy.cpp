// The per-thread entropy generator over an injected source: its stream, re-keying,
// failure messages and teardown.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>

#include "hdc/errors.hpp"
#include "hdc/rng.hpp"

using namespace mhdc;
using namespace mhdc::hdc;

namespace {

std::atomic<int> g_calls{0};

// The k-th call yields the bytes k * 31 + i; word(k, i) is word i of the stream under that key.
bool counting_source(std::uint8_t* out, std::size_t n, std::string&) {
  for (std::size_t i = 0, k = g_calls++; i < n; ++i) out[i] = static_cast<std::uint8_t>(k * 31 + i);
  return true;
}
bool failing_source(std::uint8_t*, std::size_t, std::string& err) { return err = "source exhausted", false; }
std::uint32_t word(int k, int i) {
  std::uint32_t key[8], words[64];
  for (int j = 0; j < 32; ++j) reinterpret_cast<std::uint8_t*>(key)[j] = static_cast<std::uint8_t>(k * 31 + j);
  chacha4_scalar(key, i / 64 * 4, 0, 6, words);  // ChaCha12, four blocks a refill
  return words[i % 64];
}
std::string message(auto&& f) try { return f(), "no exception"; } catch (const internal_failure& e) { return e.what(); }

}  // namespace

TEST(EntropyRng, ChaCha12StreamRekeyedEvery64KiB) {
  g_calls = 0;
  const auto old = detail::set_entropy_source(&counting_source);
  std::thread([&] {  // a fresh thread has a fresh generator
    EntropyRng& r = EntropyRng::current();
    EXPECT_EQ(r.next_u32(), word(0, 0));
    float signs[40];
    r.fill_bipolar(signs, 40);  // one next_u64 per element, its sign from the high word's top bit
    for (int k = 0; k < 40; ++k) ASSERT_EQ(signs[k], (word(0, 2 * k + 2) >> 31) ? -1.0f : 1.0f) << k;
    for (int key = 0; key < 3; ++key)
      for (int i = key ? 0 : 81; i < 16384; ++i) {  // 64 KiB from each key
        ASSERT_EQ(r.next_u32(), word(key, i)) << key << ' ' << i;
        ASSERT_EQ(g_calls, key + 1) << i;
      }
  }).join();
  detail::set_entropy_source(old);
}

TEST(EntropyRng, SourceFailures) {
  g_calls = 0;
  const auto old = detail::set_entropy_source(&failing_source);
  std::thread([] {
    EXPECT_EQ(message([] { EntropyRng::current(); }), "could not initialize thread_rng: source exhausted");
    detail::set_entropy_source(&counting_source);  // nothing was created, so this call tries again
    EntropyRng& r = EntropyRng::current();
    for (int i = 0; i < 256 * 64; ++i) r.next_u32();
    detail::set_entropy_source(&failing_source);
    for (int i = 0; i < 2; ++i) EXPECT_EQ(message([&] { r.next_u64(); }), "Reseeding RNG failed: source exhausted");
    detail::set_entropy_source(&counting_source);
    EXPECT_EQ(r.next_u32(), word(1, 0)) << "usable again once the source recovers";
  }).join();
  detail::set_entropy_source(old);
  static std::string during_teardown;
  struct Probe {
    ~Probe() { during_teardown = message([] { EntropyRng::current().next_u64(); }); }
  };
  std::thread([] {
    thread_local Probe probe;  // constructed first, so destroyed after the generator
    (void)&probe, EntropyRng::current().next_u64();
  }).join();
  EXPECT_NE(during_teardown, "no exception");
}

// The per-thread entropy generator: keying, re-keying, fork safety, failures.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

#include "hdc/encoders.hpp"
#include "hdc/errors.hpp"
#include "hdc/rng.hpp"

using namespace mhdc;
using namespace mhdc::hdc;

namespace {

std::atomic<int> g_calls{0};
std::atomic<int> g_fill{0};  // seed byte pattern of the fake source

bool counting_source(std::uint8_t* out, std::size_t n, std::string&) {
  const int k = g_calls.fetch_add(1);
  for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::uint8_t>(g_fill + k * 31 + i);
  return true;
}
bool failing_source(std::uint8_t*, std::size_t, std::string& err) {
  err = "source exhausted";
  return false;
}

// Key words the fake source yields on its k-th call.
void fake_key(int k, std::uint32_t key[8]) {
  std::uint8_t b[32];
  for (int i = 0; i < 32; ++i) b[i] = static_cast<std::uint8_t>(g_fill + k * 31 + i);
  std::memcpy(key, b, 32);
}

// Runs f on a fresh thread (a fresh EntropyRng) with the given source installed.
template <class F>
void on_fresh_thread(detail::EntropySource src, F f) {
  const auto old = detail::set_entropy_source(src);
  std::thread t(f);
  t.join();
  detail::set_entropy_source(old);
}

std::vector<std::uint64_t> draws(int n) {
  std::vector<std::uint64_t> v(n);
  for (auto& x : v) x = EntropyRng::current().next_u64();
  return v;
}

}  // namespace

TEST(EntropyRng, StreamIsChaCha12OfTheOsKey) {
  g_calls = 0;
  g_fill = 5;
  on_fresh_thread(&counting_source, [] {
    std::uint32_t key[8], blocks[64];
    fake_key(0, key);
    EntropyRng& r = EntropyRng::current();
    EXPECT_EQ(&r, &EntropyRng::current());
    for (std::uint64_t refill = 0; refill < 3; ++refill) {
      chacha4_scalar(key, 4 * refill, 0, 6, blocks);
      for (int w = 0; w < 64; ++w) ASSERT_EQ(r.next_u32(), blocks[w]) << refill << ' ' << w;
    }
  });
  EXPECT_EQ(g_calls, 1);
}

TEST(EntropyRng, RekeysAfter64KiB) {
  g_calls = 0;
  g_fill = 77;
  on_fresh_thread(&counting_source, [] {
    EntropyRng& r = EntropyRng::current();
    for (int i = 0; i < 256 * 64; ++i) r.next_u32();  // 256 refills = 64 KiB from the first key
    EXPECT_EQ(g_calls, 1);
    // The next refill takes a new key and restarts at block 0.
    std::uint32_t key[8], blocks[64];
    fake_key(1, key);
    chacha4_scalar(key, 0, 0, 6, blocks);
    for (int w = 0; w < 64; ++w) ASSERT_EQ(r.next_u32(), blocks[w]) << w;
    EXPECT_EQ(g_calls, 2);
    // The new key lasts 64 KiB including that first refill.
    for (int i = 0; i < 255 * 64; ++i) r.next_u32();
    EXPECT_EQ(g_calls, 2);
    r.next_u32();
    EXPECT_EQ(g_calls, 3);
  });
}

TEST(EntropyRng, InitialisationFailureMessage) {
  on_fresh_thread(&failing_source, [] {
    try {
      EntropyRng::current();
      ADD_FAILURE() << "no exception";
    } catch (const internal_failure& e) {
      EXPECT_STREQ(e.what(), "could not initialize thread_rng: source exhausted");
    }
    // Nothing was created, so a later call tries again.
    detail::set_entropy_source(&counting_source);
    EXPECT_NO_THROW(EntropyRng::current().next_u64());
    detail::set_entropy_source(&failing_source);
    EXPECT_NO_THROW(rand_bipolar(1)) << "keyed already: no re-key is due yet";
  });
}

TEST(EntropyRng, ReseedFailureMessageLeavesGeneratorUsable) {
  g_calls = 0;
  g_fill = 1;
  on_fresh_thread(&counting_source, [] {
    EntropyRng& r = EntropyRng::current();
    for (int i = 0; i < 256 * 64; ++i) r.next_u32();
    detail::set_entropy_source(&failing_source);
    try {
      r.next_u64();
      ADD_FAILURE() << "no exception";
    } catch (const internal_failure& e) {
      EXPECT_STREQ(e.what(), "Reseeding RNG failed: source exhausted");
    }
    EXPECT_THROW(r.next_u32(), internal_failure);
    detail::set_entropy_source(&counting_source);
    std::uint32_t key[8], blocks[64];
    fake_key(1, key);
    chacha4_scalar(key, 0, 0, 6, blocks);
    EXPECT_EQ(r.next_u32(), blocks[0]);
  });
}

TEST(EntropyRng, DrawDuringThreadTeardownIsRefused) {
  static std::atomic<int> outcome{0};
  struct Probe {
    ~Probe() {
      try {
        EntropyRng::current().next_u64();
        outcome = 1;
      } catch (const internal_failure&) {
        outcome = 2;
      }
    }
  };
  std::thread t([] {
    thread_local Probe probe;  // constructed first, so destroyed after the generator
    (void)&probe;
    EntropyRng::current().next_u64();
  });
  t.join();
  EXPECT_EQ(outcome, 2);
}

// A child must not continue its parent's stream, not even the words still buffered.
TEST(EntropyRng, ForkedChildDiffersFromParentContinuation) {
  EntropyRng::current();  // the fork handler exists once a generator does
  for (int consumed : {0, 1, 5, 31}) {
    draws(consumed);  // leave the buffer partly read
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const std::uint64_t gen = detail::fork_generation();
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      close(fds[0]);
      std::vector<std::uint64_t> v = draws(40);
      v.push_back(detail::fork_generation());
      const Hypervector b = rand_bipolar(64);
      std::uint64_t bits = 0;
      for (int i = 0; i < 64; ++i) bits |= std::uint64_t{b[i] < 0} << i;
      v.push_back(bits);
      const auto* p = reinterpret_cast<const char*>(v.data());
      std::size_t left = v.size() * 8;
      while (left) {
        const ssize_t w = write(fds[1], p, left);
        if (w <= 0) _exit(3);
        p += w;
        left -= static_cast<std::size_t>(w);
      }
      _exit(0);
    }
    close(fds[1]);
    std::vector<std::uint64_t> child(42);
    char* p = reinterpret_cast<char*>(child.data());
    std::size_t got = 0;
    while (got < child.size() * 8) {
      const ssize_t r = read(fds[0], p + got, child.size() * 8 - got);
      if (r <= 0) break;
      got += static_cast<std::size_t>(r);
    }
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    ASSERT_EQ(got, child.size() * 8);
    const std::vector<std::uint64_t> parent = draws(40);
    const Hypervector pb = rand_bipolar(64);
    std::uint64_t pbits = 0;
    for (int i = 0; i < 64; ++i) pbits |= std::uint64_t{pb[i] < 0} << i;
    EXPECT_EQ(child[40], gen + 1) << "the child's fork generation";
    EXPECT_EQ(detail::fork_generation(), gen);
    for (int i = 0; i < 40; ++i) EXPECT_NE(child[i], parent[i]) << consumed << ' ' << i;
    EXPECT_NE(child[41], pbits);
  }
}

TEST(EntropyRng, FillBipolarIsOneNextU64PerElement) {
  g_fill = 200;
  for (int skip : {0, 1, 2, 63, 64, 127}) {
    for (std::size_t n : {0u, 1u, 31u, 32u, 33u, 200u}) {
      std::vector<std::uint64_t> want;
      std::vector<float> got(n);
      // Two fresh threads with the same fake key give the same stream.
      g_calls = 0;
      on_fresh_thread(&counting_source, [&] {
        EntropyRng& r = EntropyRng::current();
        for (int k = 0; k < skip; ++k) r.next_u32();
        for (std::size_t k = 0; k < n + 1; ++k) want.push_back(r.next_u64());
      });
      std::uint64_t after = 0;
      g_calls = 0;
      on_fresh_thread(&counting_source, [&] {
        EntropyRng& r = EntropyRng::current();
        for (int k = 0; k < skip; ++k) r.next_u32();
        r.fill_bipolar(got.data(), n);
        after = r.next_u64();
      });
      for (std::size_t k = 0; k < n; ++k) ASSERT_EQ(got[k], (want[k] >> 63) ? -1.0f : 1.0f) << skip << ' ' << n << ' ' << k;
      EXPECT_EQ(after, want[n]) << "fill_bipolar consumed exactly n draws";
    }
  }
}

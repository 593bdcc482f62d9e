// ChaCha-based generators. SeededRng is deterministic from a seed; EntropyRng is
// one generator per OS thread keyed from the operating system's entropy source.
// Both buffer four blocks (64 words) per refill and consume words in order.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "hdc/simd.hpp"

namespace mhdc::hdc {

// The ChaCha block function with `double_rounds` double rounds over the state
// ["expand 32-byte k", key[0..8], counter lo, counter hi, stream lo, stream hi].
void chacha_block(const std::uint32_t key[8], std::uint64_t counter, std::uint64_t stream,
                  int double_rounds, std::uint32_t out[16]);

// Four consecutive blocks (counters c .. c+3), block after block, into out[64].
// Vectorised for `isa` (SSE2 for the baseline on x86-64); chacha4_scalar is its twin.
void chacha4(const std::uint32_t key[8], std::uint64_t counter, std::uint64_t stream, int double_rounds,
             std::uint32_t out[64], Isa isa = active_isa());
void chacha4_scalar(const std::uint32_t key[8], std::uint64_t counter, std::uint64_t stream,
                    int double_rounds, std::uint32_t out[64]);

class SeededRng {
 public:
  static SeededRng from_seed(const std::array<std::uint8_t, 32>& seed);
  static SeededRng seed_from_u64(std::uint64_t x);

  std::uint32_t next_u32();
  std::uint64_t next_u64();
  // true with probability p: one next_u64 below floor(p * 2^64); p == 1 draws
  // nothing; p outside [0, 1] or NaN is a caller bug (internal_failure).
  bool gen_bool(double p);
  std::int8_t bipolar_i8() { return (next_u64() >> 63) ? -1 : 1; }
  float bipolar_f32() { return (next_u64() >> 63) ? -1.0f : 1.0f; }

 private:
  void refill();
  std::uint32_t key_[8] = {};
  std::uint64_t counter_ = 0;
  std::uint32_t buf_[64] = {};
  unsigned index_ = 64;
};

// The calling thread's generator (created on first use). Failures of the entropy
// source throw mhdc::internal_failure with "could not initialize thread_rng: ..."
// or "Reseeding RNG failed: ...".
class EntropyRng {
 public:
  static EntropyRng& current();
  std::uint32_t next_u32();
  std::uint64_t next_u64();
  // n bipolar draws (one next_u64 each, -1 when its top bit is set) into out.
  void fill_bipolar(float* out, std::size_t n);

 private:
  EntropyRng();
  void refill();
  void check_fork();
  std::uint32_t key_[8] = {};
  std::uint64_t counter_ = 0;
  std::uint32_t buf_[64] = {};
  unsigned index_ = 64;
  std::int64_t bytes_until_rekey_ = 65536;
  std::uint64_t fork_generation_ = 0;
};

namespace detail {
// The operating-system entropy source behind EntropyRng: fills n bytes or sets
// err and returns false. Replaceable so that tests can exercise the failure paths;
// a null source restores the default. Returns the previous source.
using EntropySource = bool (*)(std::uint8_t* out, std::size_t n, std::string& err);
EntropySource set_entropy_source(EntropySource source);
// The process-wide count of forks seen (incremented in each child).
std::uint64_t fork_generation();
}  // namespace detail

}  // namespace mhdc::hdc

// SipHash-1-3 with a zero key over byte messages, and the two cheap sequence
// generators the encoders step. The hash is deterministic across processes.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace mhdc::hdc {

// SipHash with c compression rounds and d finalisation rounds, 128-bit key (k0, k1).
std::uint64_t siphash(int c, int d, std::uint64_t k0, std::uint64_t k1, const void* data, std::size_t len);

// Incremental SipHash-1-3 (zero key). Message pieces are appended in order; the
// state can be copied to finish many messages that share a prefix.
class Sip13 {
 public:
  Sip13();
  void write(const void* data, std::size_t len);
  void write_text(std::string_view s);    // UTF-8 bytes followed by 0xFF
  void write_bytes(std::string_view s);   // 8-byte little-endian length, then the bytes
  void write_index(std::uint64_t i);      // 8 bytes little-endian
  std::uint64_t finish() const;           // does not change the state

 private:
  std::uint64_t v0_, v1_, v2_, v3_;
  std::uint64_t tail_ = 0;     // pending bytes, little-endian
  std::size_t ntail_ = 0;      // 0..7
  std::uint64_t length_ = 0;   // total bytes written
};

std::uint64_t sip13(const void* data, std::size_t len);

inline std::uint64_t lcg_step(std::uint64_t s) { return s * 6364136223846793005ULL + 1ULL; }

inline std::uint64_t xorshift_step(std::uint64_t x) {
  x ^= x << 13;
  x ^= x >> 7;
  x ^= x << 17;
  return x;
}

}  // namespace mhdc::hdc

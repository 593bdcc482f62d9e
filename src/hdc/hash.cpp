#include "hdc/hash.hpp"

#include <bit>
#include <cstring>

namespace mhdc::hdc {

namespace {

inline std::uint64_t load_le64(const unsigned char* p) {
  std::uint64_t x;
  std::memcpy(&x, p, 8);
  if constexpr (std::endian::native == std::endian::big) x = __builtin_bswap64(x);
  return x;
}

struct SipState {
  std::uint64_t v0, v1, v2, v3;

  void init(std::uint64_t k0, std::uint64_t k1) {
    v0 = k0 ^ 0x736f6d6570736575ULL;
    v1 = k1 ^ 0x646f72616e646f6dULL;
    v2 = k0 ^ 0x6c7967656e657261ULL;
    v3 = k1 ^ 0x7465646279746573ULL;
  }
  void round() {
    v0 += v1; v1 = std::rotl(v1, 13); v1 ^= v0; v0 = std::rotl(v0, 32);
    v2 += v3; v3 = std::rotl(v3, 16); v3 ^= v2;
    v0 += v3; v3 = std::rotl(v3, 21); v3 ^= v0;
    v2 += v1; v1 = std::rotl(v1, 17); v1 ^= v2; v2 = std::rotl(v2, 32);
  }
  void compress(std::uint64_t m, int c) {
    v3 ^= m;
    for (int r = 0; r < c; ++r) round();
    v0 ^= m;
  }
  std::uint64_t finalise(std::uint64_t last, int c, int d) {
    compress(last, c);
    v2 ^= 0xff;
    for (int r = 0; r < d; ++r) round();
    return v0 ^ v1 ^ v2 ^ v3;
  }
};

// The last block: the 0..7 trailing bytes, little-endian, with the length's low byte on top.
inline std::uint64_t last_block(std::uint64_t tail, std::uint64_t length) {
  return tail | (length << 56);
}

}  // namespace

std::uint64_t siphash(int c, int d, std::uint64_t k0, std::uint64_t k1, const void* data,
                      std::size_t len) {
  const auto* p = static_cast<const unsigned char*>(data);
  SipState s;
  s.init(k0, k1);
  const std::size_t whole = len & ~std::size_t{7};
  for (std::size_t i = 0; i < whole; i += 8) s.compress(load_le64(p + i), c);
  std::uint64_t tail = 0;
  for (std::size_t i = whole; i < len; ++i) tail |= std::uint64_t{p[i]} << (8 * (i - whole));
  return s.finalise(last_block(tail, len), c, d);
}

std::uint64_t sip13(const void* data, std::size_t len) { return siphash(1, 3, 0, 0, data, len); }

Sip13::Sip13() {
  SipState s;
  s.init(0, 0);
  v0_ = s.v0; v1_ = s.v1; v2_ = s.v2; v3_ = s.v3;
}

// One compression round of SipHash-1-3 on the member state.
#define MHDC_SIP13_COMPRESS(m)                      \
  do {                                              \
    SipState s_{v0_, v1_, v2_, v3_};                \
    s_.compress((m), 1);                            \
    v0_ = s_.v0; v1_ = s_.v1; v2_ = s_.v2; v3_ = s_.v3; \
  } while (0)

void Sip13::write(const void* data, std::size_t len) {
  const auto* p = static_cast<const unsigned char*>(data);
  length_ += len;
  // Top up a partial block first; whole blocks then go straight from the input.
  while (ntail_ != 0 && len != 0) {
    tail_ |= std::uint64_t{*p++} << (8 * ntail_);
    --len;
    if (++ntail_ == 8) {
      MHDC_SIP13_COMPRESS(tail_);
      tail_ = 0;
      ntail_ = 0;
    }
  }
  if (ntail_ != 0) return;  // the input ended inside the partial block
  SipState s{v0_, v1_, v2_, v3_};
  while (len >= 8) {
    s.compress(load_le64(p), 1);
    p += 8;
    len -= 8;
  }
  v0_ = s.v0; v1_ = s.v1; v2_ = s.v2; v3_ = s.v3;
  for (std::size_t i = 0; i < len; ++i) tail_ |= std::uint64_t{p[i]} << (8 * i);
  ntail_ = len;
}

void Sip13::write_index(std::uint64_t i) {
  // Eight bytes complete exactly one block whatever the pending count is.
  length_ += 8;
  if (ntail_ == 0) {
    MHDC_SIP13_COMPRESS(i);
  } else {
    const unsigned shift = static_cast<unsigned>(8 * ntail_);
    MHDC_SIP13_COMPRESS(tail_ | (i << shift));
    tail_ = i >> (64 - shift);
  }
}

#undef MHDC_SIP13_COMPRESS

void Sip13::write_text(std::string_view s) {
  write(s.data(), s.size());
  const unsigned char ff = 0xFF;
  write(&ff, 1);
}

void Sip13::write_bytes(std::string_view s) {
  write_index(static_cast<std::uint64_t>(s.size()));
  write(s.data(), s.size());
}

std::uint64_t Sip13::finish() const {
  SipState s{v0_, v1_, v2_, v3_};
  return s.finalise(last_block(tail_, length_), 1, 3);
}

}  // namespace mhdc::hdc

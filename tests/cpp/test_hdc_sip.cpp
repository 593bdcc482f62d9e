// SipHash known answers and the incremental hasher's agreement with the one-shot one.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "hdc/hash.hpp"

using namespace mhdc::hdc;

namespace {

// The 64 SipHash-2-4 vectors of the reference paper: key 00 01 .. 0f, message
// 00 01 .. (n-1) for n = 0 .. 63.
constexpr std::uint64_t kSip24[64] = {
    0x726fdb47dd0e0e31ULL, 0x74f839c593dc67fdULL, 0x0d6c8009d9a94f5aULL, 0x85676696d7fb7e2dULL,
    0xcf2794e0277187b7ULL, 0x18765564cd99a68dULL, 0xcbc9466e58fee3ceULL, 0xab0200f58b01d137ULL,
    0x93f5f5799a932462ULL, 0x9e0082df0ba9e4b0ULL, 0x7a5dbbc594ddb9f3ULL, 0xf4b32f46226bada7ULL,
    0x751e8fbc860ee5fbULL, 0x14ea5627c0843d90ULL, 0xf723ca908e7af2eeULL, 0xa129ca6149be45e5ULL,
    0x3f2acc7f57c29bdbULL, 0x699ae9f52cbe4794ULL, 0x4bc1b3f0968dd39cULL, 0xbb6dc91da77961bdULL,
    0xbed65cf21aa2ee98ULL, 0xd0f2cbb02e3b67c7ULL, 0x93536795e3a33e88ULL, 0xa80c038ccd5ccec8ULL,
    0xb8ad50c6f649af94ULL, 0xbce192de8a85b8eaULL, 0x17d835b85bbb15f3ULL, 0x2f2e6163076bcfadULL,
    0xde4daaaca71dc9a5ULL, 0xa6a2506687956571ULL, 0xad87a3535c49ef28ULL, 0x32d892fad841c342ULL,
    0x7127512f72f27cceULL, 0xa7f32346f95978e3ULL, 0x12e0b01abb051238ULL, 0x15e034d40fa197aeULL,
    0x314dffbe0815a3b4ULL, 0x027990f029623981ULL, 0xcadcd4e59ef40c4dULL, 0x9abfd8766a33735cULL,
    0x0e3ea96b5304a7d0ULL, 0xad0c42d6fc585992ULL, 0x187306c89bc215a9ULL, 0xd4a60abcf3792b95ULL,
    0xf935451de4f21df2ULL, 0xa9538f0419755787ULL, 0xdb9acddff56ca510ULL, 0xd06c98cd5c0975ebULL,
    0xe612a3cb9ecba951ULL, 0xc766e62cfcadaf96ULL, 0xee64435a9752fe72ULL, 0xa192d576b245165aULL,
    0x0a8787bf8ecb74b2ULL, 0x81b3e73d20b49b6fULL, 0x7fa8220ba3b2eceaULL, 0x245731c13ca42499ULL,
    0xb78dbfaf3a8d83bdULL, 0xea1ad565322a1a0bULL, 0x60e61c23a3795013ULL, 0x6606d7e446282b93ULL,
    0x6ca4ecb15c5f91e1ULL, 0x9f626da15c9625f3ULL, 0xe51b38608ef25f57ULL, 0x958a324ceb064572ULL,
};

// SipHash-1-3 with a zero key; cross-checked against an independent implementation
// and the zero-key byte-string hash of a Python interpreter built with that hash.
struct Sip13Case {
  const char* msg;
  std::uint64_t hash;
};
constexpr Sip13Case kSip13[] = {
    {"", 0xd1fba762150c532cULL},
    {"a", 0x407448d2b89b1813ULL},
    {"abc", 0xc03bc3a0042630f2ULL},
    {"abcdefg", 0x6db12aae9070f506ULL},
    {"abcdefgh", 0x3f7b849c0b8e35eaULL},
    {"abcdefghi", 0xf89b34a3d11eb6e5ULL},
    {"hello world, this is sixteen+", 0x1b38915f01537c24ULL},
};

std::vector<unsigned char> counting(std::size_t n) {
  std::vector<unsigned char> m(n);
  for (std::size_t i = 0; i < n; ++i) m[i] = static_cast<unsigned char>(i * 7 + 3);
  return m;
}

}  // namespace

TEST(SipHash24, ReferencePaperVectors) {
  const std::uint64_t k0 = 0x0706050403020100ULL, k1 = 0x0f0e0d0c0b0a0908ULL;
  unsigned char msg[64];
  for (int i = 0; i < 64; ++i) msg[i] = static_cast<unsigned char>(i);
  for (std::size_t n = 0; n < 64; ++n)
    EXPECT_EQ(siphash(2, 4, k0, k1, msg, n), kSip24[n]) << "length " << n;
}

TEST(Sip13, ZeroKeyKnownAnswers) {
  for (const auto& c : kSip13) {
    const std::string m = c.msg;
    EXPECT_EQ(sip13(m.data(), m.size()), c.hash) << '"' << m << '"';
    EXPECT_EQ(siphash(1, 3, 0, 0, m.data(), m.size()), c.hash);
    Sip13 h;
    h.write(m.data(), m.size());
    EXPECT_EQ(h.finish(), c.hash);
  }
}

TEST(Sip13, IncrementalMatchesOneShotAtEverySplit) {
  for (std::size_t n = 0; n <= 40; ++n) {
    const auto m = counting(n);
    const std::uint64_t want = sip13(m.data(), n);
    for (std::size_t a = 0; a <= n; ++a)
      for (std::size_t b = a; b <= n; b += 3) {
        Sip13 h;
        h.write(m.data(), a);
        h.write(m.data() + a, b - a);
        h.write(m.data() + b, n - b);
        ASSERT_EQ(h.finish(), want) << n << ' ' << a << ' ' << b;
      }
  }
}

TEST(Sip13, FinishLeavesStateAndCopiesAreIndependent) {
  const auto m = counting(30);
  Sip13 h;
  h.write(m.data(), 13);
  const std::uint64_t mid = h.finish();
  EXPECT_EQ(h.finish(), mid);
  Sip13 copy = h;
  copy.write(m.data() + 13, 17);
  EXPECT_EQ(copy.finish(), sip13(m.data(), 30));
  EXPECT_EQ(h.finish(), mid);
  EXPECT_EQ(mid, sip13(m.data(), 13));
}

TEST(Sip13, MessagePiecesLayout) {
  // Index at every pending-byte offset 0..7 (and beyond one block).
  for (std::size_t pre = 0; pre <= 17; ++pre) {
    auto m = counting(pre);
    const std::uint64_t i = 0x8877665544332211ULL + pre;
    Sip13 h;
    h.write(m.data(), pre);
    h.write_index(i);
    for (int b = 0; b < 8; ++b) m.push_back(static_cast<unsigned char>(i >> (8 * b)));
    EXPECT_EQ(h.finish(), sip13(m.data(), m.size())) << pre;
  }
  {
    Sip13 h;
    h.write_text("h\xc3\xa9");
    const unsigned char want[] = {'h', 0xc3, 0xa9, 0xff};
    EXPECT_EQ(h.finish(), sip13(want, sizeof want));
  }
  {
    Sip13 h;
    h.write_bytes("abc");
    const unsigned char want[] = {3, 0, 0, 0, 0, 0, 0, 0, 'a', 'b', 'c'};
    EXPECT_EQ(h.finish(), sip13(want, sizeof want));
  }
  {
    Sip13 h;
    h.write_text("");
    const unsigned char ff = 0xff;
    EXPECT_EQ(h.finish(), sip13(&ff, 1));
  }
}

TEST(SequenceSteps, LcgAndXorshift) {
  EXPECT_EQ(lcg_step(0), 1u);
  EXPECT_EQ(lcg_step(1), 6364136223846793006ULL);
  EXPECT_EQ(lcg_step(~0ULL), 1ULL - 6364136223846793005ULL);  // wraps modulo 2^64
  EXPECT_EQ(xorshift_step(1), 0x40822041ULL);
  EXPECT_EQ(xorshift_step(0x123456789abcdef0ULL), 0xfe800d6569fa1b4dULL);  // logical shifts
  EXPECT_EQ(xorshift_step(0), 0u);
}

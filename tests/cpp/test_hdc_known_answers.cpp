// Published known answers (ChaCha keystream blocks, SipHash-2-4, zero-key SipHash-1-3),
// the incremental hasher, the hash-to-phase rounding, the seeded generator's draw
// order, and the fixed-point formatter against glibc's exact rendering.
#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "hdc/encoders.hpp"
#include "hdc/errors.hpp"
#include "hdc/format.hpp"
#include "hdc/hash.hpp"
#include "hdc/rng.hpp"
#include "hdc/trig.hpp"

using namespace mhdc;
using namespace mhdc::hdc;

namespace {

std::vector<std::uint8_t> unhex(const char* h) {
  std::vector<std::uint8_t> out;
  for (; h[0] && h[1]; h += 2) out.push_back(static_cast<std::uint8_t>(std::stoi(std::string(h, 2), nullptr, 16)));
  return out;
}
std::string le64(std::uint64_t x) { return std::string(reinterpret_cast<const char*>(&x), 8); }  // little-endian host
std::uint64_t sip(const std::string& m) { return sip13(m.data(), m.size()); }

// Keystream blocks: key, 64-bit counter, 64-bit stream (nonce read little-endian), rounds.
// The 96-bit-nonce vectors map onto counter = word12 | word13 << 32, stream = words 14, 15.
struct BlockCase { const char* key; std::uint64_t counter, stream; int rounds; const char* keystream; };
#define Z "0000000000000000000000000000000000000000000000000000000000000000"
#define K "c46ec1b18ce8a878725a37e780dfb7351f68ed2e194c79fbc6aebee1a667975d"
const BlockCase kBlocks[] = {
    {Z, 0, 0, 20, "76b8e0ada0f13d90405d6ae55386bd28bdd219b8a08ded1aa836efcc8b770dc7da41597c5157488d7724e03fb8d84a376a43b8f41518a11cc387b669b2ee6586"},
    {Z, 0, 0, 12, "9bf49a6a0755f953811fce125f2683d50429c3bb49e074147e0089a52eae155f0564f879d27ae3c02ce82834acfa8c793a629f2ca0de6919610be82f411326be"},
    {Z, 0, 0, 8, "3e00ef2f895f40d67f5bb8e81f09a5a12c840ec3ce9a7f3b181be188ef711a1e984ce172b9216f419f445367456d5619314a42a3da86b001387bfdb80e0cfe42"},
    {K, 0, 0x218268cfd531da1aULL, 20, "f63a89b75c2271f9368816542ba52f06ed49241792302b00b5e8f80ae9a473afc25b218f519af0fdd406362e8d69de7f54c604a6e00f353f110f771bdca8ab92"},
    {Z, 0, 0x0200000000000000ULL, 20, "c2c64d378cd536374ae204b9ef933fcd1a8b2288b3dfa49672ab765b54ee27c78a970e0e955c14f3a88e741b97c286f75f8fc299e8148362fa198a39531bed6d"},
    {"000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f", 1 | 0x09000000ULL << 32, 0x4a000000ULL, 20, "10f1e7e4d13b5915500fdd1fa32071c4c7d1f4c733c068030422aa9ac3d46c4ed2826446079faa0914c2d705d98b02a2b5129cd1de164eb9cbd083e8a2503c4e"},
};
#undef Z
#undef K

// SipHash-2-4 vectors of the reference paper (key 00 01 .. 0f, message 00 01 .. n-1) at every
// tail length, one and two whole blocks, and the longest.
constexpr std::pair<std::size_t, std::uint64_t> kSip24[] = {
    {0, 0x726fdb47dd0e0e31}, {1, 0x74f839c593dc67fd}, {2, 0x0d6c8009d9a94f5a}, {3, 0x85676696d7fb7e2d},
    {4, 0xcf2794e0277187b7}, {5, 0x18765564cd99a68d}, {6, 0xcbc9466e58fee3ce}, {7, 0xab0200f58b01d137},
    {8, 0x93f5f5799a932462}, {15, 0xa129ca6149be45e5}, {16, 0x3f2acc7f57c29bdb}, {63, 0x958a324ceb064572}};

}  // namespace

TEST(KnownAnswers, ChaChaKeystreamBlocks) {
  for (const auto& c : kBlocks) {
    std::uint32_t key[8], out[16];
    std::memcpy(key, unhex(c.key).data(), 32);
    chacha_block(key, c.counter, c.stream, c.rounds / 2, out);
    EXPECT_EQ(std::vector<std::uint8_t>(reinterpret_cast<std::uint8_t*>(out), reinterpret_cast<std::uint8_t*>(out + 16)),
              unhex(c.keystream)) << c.key << ' ' << c.counter << ' ' << c.rounds;
  }
}

TEST(KnownAnswers, SipHash) {
  unsigned char msg[64];
  for (int i = 0; i < 64; ++i) msg[i] = static_cast<unsigned char>(i);
  for (const auto& [n, h] : kSip24) EXPECT_EQ(siphash(2, 4, 0x0706050403020100ULL, 0x0f0e0d0c0b0a0908ULL, msg, n), h) << n;
  // Zero-key SipHash-1-3, as an interpreter built with that string hash gives for these bytes.
  const std::pair<const char*, std::uint64_t> sip13s[] = {
      {"", 0xd1fba762150c532c}, {"a", 0x407448d2b89b1813}, {"abc", 0xc03bc3a0042630f2},
      {"abcdefg", 0x6db12aae9070f506}, {"abcdefgh", 0x3f7b849c0b8e35ea}, {"abcdefghi", 0xf89b34a3d11eb6e5},
      {"hello world, this is sixteen+", 0x1b38915f01537c24}};
  for (const auto& [m, h] : sip13s) EXPECT_EQ(sip(m), h) << m;
}

TEST(Sip13, IncrementalAtEverySplitAndIndex) {
  std::string m;
  for (std::size_t n = 0; n <= 40; m.push_back(static_cast<char>(n * 7 + 3)), ++n)
    for (std::size_t a = 0; a <= n; ++a)
      for (std::size_t b = a; b <= n; b += 3) {
        Sip13 h;
        h.write(m.data(), a), h.write(m.data() + a, b - a), h.write(m.data() + b, n - b);
        ASSERT_EQ(h.finish(), sip(m)) << n << ' ' << a << ' ' << b;
        EXPECT_EQ(h.finish(), sip(m)) << "finish leaves the state";
        h.write_index(0x8877665544332211ULL + a);
        ASSERT_EQ(h.finish(), sip(m + le64(0x8877665544332211ULL + a)));
      }
}

TEST(Encoders, PhaseRoundsTheHashOnce) {
  const float x = 0x1.000002p+63f * 0x1p-64f;  // via double, 2^63 + 2^39 + 1 would tie down to 2^63
  EXPECT_EQ(phase_from_hash((1ULL << 63) + (1ULL << 39) + 1), (x + x) * 3.1415927f);
  EXPECT_EQ(phase_from_hash(~0ULL), 2.0f * 3.1415927f);
}

TEST(SeededRng, DrawOrderAndStraddle) {
  std::array<std::uint8_t, 32> seed{};
  for (int i = 0; i < 32; ++i) seed[i] = static_cast<std::uint8_t>(i * 37 + 1);
  std::uint32_t key[8], blocks[12][16];
  std::memcpy(key, seed.data(), 32);
  for (int b = 0; b < 12; ++b) chacha_block(key, b, 0, 6, blocks[b]);
  auto w = [&](int i) { return blocks[i / 16][i % 16]; };
  auto w64 = [&](int i) { return std::uint64_t{w(i + 1)} << 32 | w(i); };
  SeededRng r = SeededRng::from_seed(seed);
  EXPECT_EQ(r.next_u32(), w(0));
  for (int i = 1; i < 127; i += 2) ASSERT_EQ(r.next_u64(), w64(i)) << i;  // 63 and 64 straddle two refills
  EXPECT_EQ(r.next_u32(), w(127));
  EXPECT_EQ(r.next_u32(), w(128)) << "exactly used up: the next refill is blocks 8..11";
}

TEST(SeededRng, GenBoolThresholds) {
  const std::pair<double, std::uint64_t> cases[] = {
      {0.5, 1ULL << 63}, {0.6, 0x9999999999999800ULL}, {0.0, 0}, {0.25, 1ULL << 62}, {0.999999999, 0xfffffffbb47d0800ULL}};
  for (const auto& [p, t] : cases) {
    SeededRng a = SeededRng::seed_from_u64(12345), b = a;
    for (int i = 0; i < 200; ++i) ASSERT_EQ(a.gen_bool(p), b.next_u64() < t) << p << ' ' << i;
  }
  SeededRng a = SeededRng::seed_from_u64(7), b = a;
  EXPECT_TRUE(a.gen_bool(1.0));
  EXPECT_EQ(a.next_u32(), b.next_u32()) << "p = 1 draws nothing";
  for (double p : {1.5, -0.1, std::nan("")}) EXPECT_THROW(a.gen_bool(p), internal_failure) << p;
}

TEST(FormatFixed, ExactRoundHalfEvenNeverExponent) {
  // glibc renders the exact binary value with round-half-even: agree with it everywhere finite.
  auto libc = [](float x, int d) { char r[512]; return std::snprintf(r, sizeof r, "%.*f", d, double{x}), std::string(r); };
  std::mt19937 g(2024);
  for (int i = 0; i < 5000; ++i) {
    const float x = std::bit_cast<float>(static_cast<std::uint32_t>(g()));
    const int d = static_cast<int>(g() % 10);
    if (!std::isfinite(x)) continue;
    ASSERT_EQ(format_fixed(x, d), libc(x, d)) << std::hexfloat << x << ' ' << d;
  }
  for (int k = -80; k <= 80; ++k)  // ties at every digit position
    for (float x : {k / 8.0f, k / 16.0f, k / 32.0f + 1000.0f, k * 0.5f})
      for (int d : {0, 1, 2, 3}) ASSERT_EQ(format_fixed(x, d), libc(x, d)) << x << ' ' << d;
  for (float x : {-0.0f, -0.005f, 0.995f, 16777217.0f, FLT_MAX, FLT_MIN, 0x1p-149f, -0x1p-149f, 1e10f})
    for (int d : {0, 2, 44, 45, 160}) ASSERT_EQ(format_fixed(x, d), libc(x, d)) << x << ' ' << d;
  const std::tuple<float, int, const char*> others[] = {
      {INFINITY, 2, "inf"}, {-INFINITY, 3, "-inf"}, {NAN, 2, "NaN"}, {-NAN, 3, "NaN"}, {5.0f, -1, "5"}};  // -1 acts as 0
  for (const auto& [x, d, text] : others) EXPECT_EQ(format_fixed(x, d), text) << x << ' ' << d;
}

// ChaCha keystream vectors and the SeededRng seeding, draw order and sampling rules.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>

#include "hdc/errors.hpp"
#include "hdc/rng.hpp"

using namespace mhdc;
using namespace mhdc::hdc;

namespace {

std::array<std::uint8_t, 64> hex64(const char* h) {
  std::array<std::uint8_t, 64> out{};
  for (int i = 0; i < 64; ++i) out[i] = static_cast<std::uint8_t>(std::stoi(std::string(h + 2 * i, 2), nullptr, 16));
  return out;
}

void key_words(const char* hex32, std::uint32_t key[8]) {
  for (int k = 0; k < 8; ++k) {
    key[k] = 0;
    for (int b = 0; b < 4; ++b)
      key[k] |= static_cast<std::uint32_t>(std::stoi(std::string(hex32 + 8 * k + 2 * b, 2), nullptr, 16)) << (8 * b);
  }
}

std::array<std::uint8_t, 64> serialise(const std::uint32_t w[16]) {
  std::array<std::uint8_t, 64> out{};
  for (int i = 0; i < 16; ++i)
    for (int b = 0; b < 4; ++b) out[4 * i + b] = static_cast<std::uint8_t>(w[i] >> (8 * b));
  return out;
}

// Keystream block vectors: key, counter, 64-bit stream (nonce read little-endian), rounds.
struct BlockCase {
  const char* name;
  const char* key;
  std::uint64_t counter, stream;
  int rounds;
  const char* keystream;
};
const char* kZero = "0000000000000000000000000000000000000000000000000000000000000000";
const char* kTc8Key = "c46ec1b18ce8a878725a37e780dfb7351f68ed2e194c79fbc6aebee1a667975d";
const char* kOnes = "ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff";
constexpr std::uint64_t kTc8Iv = 0x218268cfd531da1aULL;  // bytes 1a da 31 d5 cf 68 82 21
const BlockCase kBlocks[] = {
    {"zero key, 20 rounds", kZero, 0, 0, 20,
     "76b8e0ada0f13d90405d6ae55386bd28bdd219b8a08ded1aa836efcc8b770dc7da41597c5157488d7724e03fb8d84a376a43b8f41518a11cc387b669b2ee6586"},
    {"zero key, 12 rounds", kZero, 0, 0, 12,
     "9bf49a6a0755f953811fce125f2683d50429c3bb49e074147e0089a52eae155f0564f879d27ae3c02ce82834acfa8c793a629f2ca0de6919610be82f411326be"},
    {"zero key, 8 rounds", kZero, 0, 0, 8,
     "3e00ef2f895f40d67f5bb8e81f09a5a12c840ec3ce9a7f3b181be188ef711a1e984ce172b9216f419f445367456d5619314a42a3da86b001387bfdb80e0cfe42"},
    {"random key and iv, 20 rounds", kTc8Key, 0, kTc8Iv, 20,
     "f63a89b75c2271f9368816542ba52f06ed49241792302b00b5e8f80ae9a473afc25b218f519af0fdd406362e8d69de7f54c604a6e00f353f110f771bdca8ab92"},
    {"random key and iv, 12 rounds", kTc8Key, 0, kTc8Iv, 12,
     "1482072784bc6d06b4e73bdc118bc0103c7976786ca918e06986aa251f7e9cc1b2749a0a16ee83b4242d2e99b08d7c20092b80bc466c87283b61b1b39d0ffbab"},
    {"random key and iv, 8 rounds", kTc8Key, 0, kTc8Iv, 8,
     "838751b42d8ddd8a3d77f48825a2ba752cf4047cb308a5978ef274973be374c96ad848065871417b08f034e681fe46a93f7d5c61d1306614d4aaf257a7cff08b"},
    {"all bits set, 20 rounds", kOnes, 0, ~0ULL, 20,
     "d9bf3f6bce6ed0b54254557767fb57443dd4778911b606055c39cc25e674b8363feabc57fde54f790c52c8ae43240b79d49042b777bfd6cb80e931270b7f50eb"},
    {"all bits set, 12 rounds", kOnes, 0, ~0ULL, 12,
     "04bf88dae8e47a228fa47b7e6379434ba664a7d28f4dab84e5f8b464add20c3acaa69c5ab221a23a57eb5f345c96f4d1322d0a2ff7a9cd43401cd536639a615a"},
    {"all bits set, 8 rounds", kOnes, 0, ~0ULL, 8,
     "e163bbf8c9a739d18925ee8362dad2cdc973df05225afb2aa26396f2a9849a4a445e0547d31c1623c537df4ba85c70a9884a35bcbf3dfab077e98b0f68135f54"},
    // The 96-bit-nonce block vectors with the 32-bit counter in word 12 and the nonce
    // in words 13-15 map onto counter = word12 | word13 << 32, stream = words 14, 15.
    {"zero key, block 1", kZero, 1, 0, 20,
     "9f07e7be5551387a98ba977c732d080dcb0f29a048e3656912c6533e32ee7aed29b721769ce64e43d57133b074d839d531ed1f28510afb45ace10a1f4b794d6f"},
    {"key ending 01, block 1", "0000000000000000000000000000000000000000000000000000000000000001", 1, 0, 20,
     "3aeb5224ecf849929b9d828db1ced4dd832025e8018b8160b82284f3c949aa5a8eca00bbb4a73bdad192b5c42f73f2fd4e273644c8b36125a64addeb006c13a0"},
    {"key 00ff.., block 2", "00ff000000000000000000000000000000000000000000000000000000000000", 2, 0, 20,
     "72d54dfbf12ec44b362692df94137f328fea8da73990265ec1bbbea1ae9af0ca13b25aa26cb4a648cb9b9d1be65b2c0924a66c54d545ec1b7374f4872e99f096"},
    {"nonce ending 02", kZero, 0, 0x0200000000000000ULL, 20,
     "c2c64d378cd536374ae204b9ef933fcd1a8b2288b3dfa49672ab765b54ee27c78a970e0e955c14f3a88e741b97c286f75f8fc299e8148362fa198a39531bed6d"},
    {"key 00..1f, nonce 000000090000004a00000000, counter 1",
     "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f", 1 | 0x09000000ULL << 32, 0x4a000000ULL, 20,
     "10f1e7e4d13b5915500fdd1fa32071c4c7d1f4c733c068030422aa9ac3d46c4ed2826446079faa0914c2d705d98b02a2b5129cd1de164eb9cbd083e8a2503c4e"},
};

std::uint32_t word(const std::uint32_t key[8], std::uint64_t block, int w) {
  std::uint32_t out[16];
  chacha_block(key, block, 0, 6, out);
  return out[w];
}

void seed_key(const std::array<std::uint8_t, 32>& seed, std::uint32_t key[8]) {
  for (int k = 0; k < 8; ++k) std::memcpy(&key[k], seed.data() + 4 * k, 4);  // little-endian host
}

}  // namespace

TEST(ChaCha, PublishedKeystreamBlocks) {
  for (const auto& c : kBlocks) {
    std::uint32_t key[8], out[16];
    key_words(c.key, key);
    chacha_block(key, c.counter, c.stream, c.rounds / 2, out);
    EXPECT_EQ(serialise(out), hex64(c.keystream)) << c.name;
  }
}

TEST(ChaCha, FourBlocksInOrderAcrossCounterCarry) {
  std::mt19937_64 g(7);
  const std::uint64_t counters[] = {0, 1, 0xfffffffdULL, 0xffffffffULL, 0x1ffffffffULL, ~0ULL - 1, ~0ULL};
  for (std::uint64_t c : counters)
    for (int dr : {4, 6, 10}) {
      std::uint32_t key[8];
      for (auto& k : key) k = static_cast<std::uint32_t>(g());
      const std::uint64_t stream = g();
      std::uint32_t four[64], scalar[64], one[16];
      chacha4(key, c, stream, dr, four);
      chacha4_scalar(key, c, stream, dr, scalar);
      for (int b = 0; b < 4; ++b) {
        chacha_block(key, c + b, stream, dr, one);  // 64-bit counter, wraps modulo 2^64
        for (int w = 0; w < 16; ++w) {
          ASSERT_EQ(four[16 * b + w], one[w]) << c << ' ' << dr << ' ' << b << ' ' << w;
          ASSERT_EQ(scalar[16 * b + w], one[w]);
        }
      }
    }
}

TEST(SeededRng, SeedFromU64AdvancesPcgStateFirst) {
  // Seeds from an independent transcription of the expansion; the first word of
  // a fresh generator is word 0 of ChaCha12 block 0.
  struct Case {
    std::uint64_t x;
    std::uint32_t first[4];
    std::uint32_t block4_word0;
  };
  const Case cases[] = {
      {0, {0xcd2c6f7fu, 0xbb2a3fb2u, 0x8e27697bu, 0xc6017c94u}, 0x4c0bcc72u},
      {0xdeadbeefULL, {0xd379d55fu, 0x922ad30eu, 0xd7a49e60u, 0x1b0ae3dfu}, 0xc391bcb8u},
      {~0ULL, {0x2e3d5fb8u, 0x0fa79848u, 0x4112469eu, 0x0a3370b4u}, 0xdc379ad1u},
  };
  for (const auto& c : cases) {
    SeededRng r = SeededRng::seed_from_u64(c.x);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(r.next_u32(), c.first[i]) << c.x << ' ' << i;
    for (int i = 4; i < 64; ++i) r.next_u32();
    EXPECT_EQ(r.next_u32(), c.block4_word0) << "second refill starts at block 4";
  }
  // Seed bytes of x = 0: the first PCG output comes from the advanced state.
  const std::array<std::uint8_t, 32> seed0 = {
      0xec, 0xf2, 0x73, 0xf9, 0x81, 0xb5, 0xcd, 0x45, 0x87, 0xf0, 0x46, 0x73, 0x06, 0xad, 0x6c, 0xad,
      0xd0, 0xd0, 0xa3, 0xe3, 0x33, 0x17, 0xe7, 0x67, 0xf2, 0x9b, 0xea, 0x72, 0xd7, 0x8a, 0x7d, 0xfe};
  SeededRng a = SeededRng::seed_from_u64(0), b = SeededRng::seed_from_u64(0);
  SeededRng c = SeededRng::from_seed(seed0);
  for (int i = 0; i < 300; ++i) {
    const std::uint64_t x = a.next_u64();
    EXPECT_EQ(x, b.next_u64());
    EXPECT_EQ(x, c.next_u64());
  }
  // The textbook order (output from the old state) would start with a zero word.
  std::array<std::uint8_t, 32> textbook{};
  std::memcpy(textbook.data() + 4, seed0.data(), 28);
  EXPECT_NE(SeededRng::from_seed(textbook).next_u32(), SeededRng::from_seed(seed0).next_u32());
}

TEST(SeededRng, FromSeedReadsLittleEndianKeyWords) {
  std::array<std::uint8_t, 32> seed{};
  for (int i = 0; i < 32; ++i) seed[i] = static_cast<std::uint8_t>(i * 37 + 1);
  std::uint32_t key[8];
  seed_key(seed, key);
  SeededRng r = SeededRng::from_seed(seed);
  for (int blk = 0; blk < 8; ++blk)
    for (int w = 0; w < 16; ++w) ASSERT_EQ(r.next_u32(), word(key, blk, w)) << blk << ' ' << w;
}

TEST(SeededRng, DrawOrderAndStraddle) {
  std::array<std::uint8_t, 32> seed{};
  seed[0] = 9;
  std::uint32_t key[8];
  seed_key(seed, key);
  auto buf = [&](int i) { return word(key, i / 16, i % 16); };  // word i of the first refill
  auto buf2 = [&](int i) { return word(key, 4 + i / 16, i % 16); };
  {
    SeededRng r = SeededRng::from_seed(seed);
    EXPECT_EQ(r.next_u32(), buf(0));
    EXPECT_EQ(r.next_u64(), std::uint64_t{buf(2)} << 32 | buf(1));  // words 1 and 2
    EXPECT_EQ(r.next_u32(), buf(3));
  }
  {
    SeededRng r = SeededRng::from_seed(seed);
    for (int i = 0; i < 63; ++i) r.next_u32();
    EXPECT_EQ(r.next_u64(), std::uint64_t{buf2(0)} << 32 | buf(63));  // word 63 + next word 0
    EXPECT_EQ(r.next_u32(), buf2(1));
  }
  {
    SeededRng r = SeededRng::from_seed(seed);
    for (int i = 0; i < 32; ++i) ASSERT_EQ(r.next_u64(), std::uint64_t{buf(2 * i + 1)} << 32 | buf(2 * i));
    EXPECT_EQ(r.next_u64(), std::uint64_t{buf2(1)} << 32 | buf2(0));
    for (int i = 0; i < 62; ++i) r.next_u32();
    EXPECT_EQ(r.next_u32(), word(key, 8, 0));  // exactly used up: the next refill is blocks 8..11
  }
}

TEST(SeededRng, GenBoolThresholds) {
  auto twin = [] { return SeededRng::seed_from_u64(12345); };
  struct Case {
    double p;
    std::uint64_t t;
  };
  const Case cases[] = {{0.5, 1ULL << 63}, {0.6, 0x9999999999999800ULL}, {0.0, 0},
                        {0.25, 1ULL << 62}, {0.999999999, 0xfffffffbb47d0800ULL}};
  for (const auto& c : cases) {
    SeededRng a = twin(), b = twin();
    for (int i = 0; i < 200; ++i) ASSERT_EQ(a.gen_bool(c.p), b.next_u64() < c.t) << c.p << ' ' << i;
  }
  SeededRng a = twin(), b = twin();
  EXPECT_TRUE(a.gen_bool(1.0));
  EXPECT_EQ(a.next_u32(), b.next_u32()) << "p = 1 draws nothing";
  SeededRng z = twin();
  for (int i = 0; i < 100; ++i) EXPECT_FALSE(z.gen_bool(0.0));
  EXPECT_THROW(z.gen_bool(1.5), internal_failure);
  EXPECT_THROW(z.gen_bool(-0.1), internal_failure);
  EXPECT_THROW(z.gen_bool(std::nan("")), internal_failure);
}

TEST(SeededRng, BipolarDrawIsGenBoolHalf) {
  SeededRng a = SeededRng::seed_from_u64(99), b = a, c = a;
  for (int i = 0; i < 1000; ++i) {
    const bool t = a.gen_bool(0.5);
    ASSERT_EQ(b.bipolar_f32(), t ? 1.0f : -1.0f) << i;
    ASSERT_EQ(c.bipolar_i8(), t ? 1 : -1) << i;
  }
}

// The vector paths (the baseline one and the one chacha4 dispatches to) against
// the scalar twin on random keys, streams, counters and round counts; counters
// near 2^32 - 4 and 2^64 - 4 make the four lanes carry into the high word or wrap.
TEST(ChaCha, VectorPathsMatchScalar) {
  std::mt19937_64 g(0xc4ac4a);
  for (int t = 0; t < 400; ++t) {
    std::uint32_t key[8];
    for (auto& k : key) k = static_cast<std::uint32_t>(g());
    std::uint64_t counter = g();
    switch (t % 4) {
      case 0: counter = (counter & 0xffffffff00000000ULL) | (0xfffffffcULL + g() % 4); break;
      case 1: counter = ~0ULL - g() % 4; break;
      case 2: counter %= 1000; break;
      default: break;
    }
    const std::uint64_t stream = t % 3 ? g() : 0;
    const int dr = static_cast<int>(1 + g() % 10);
    std::uint32_t want[64], base[64], fast[64];
    chacha4_scalar(key, counter, stream, dr, want);
    detail::chacha4_baseline(key, counter, stream, dr, base);
    chacha4(key, counter, stream, dr, fast);
    for (int w = 0; w < 64; ++w) {
      ASSERT_EQ(base[w], want[w]) << t << ' ' << w;
      ASSERT_EQ(fast[w], want[w]) << t << ' ' << w;
    }
  }
}

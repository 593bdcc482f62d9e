#include "hdc/rng.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/random.h>
#include <unistd.h>

#include "hdc/errors.hpp"

namespace mhdc::hdc {

// ---------------------------------------------------------------------------
// ChaCha block function
// ---------------------------------------------------------------------------

namespace {

constexpr std::uint32_t kSigma[4] = {0x61707865u, 0x3320646eu, 0x79622d32u, 0x6b206574u};

inline void quarter(std::uint32_t& a, std::uint32_t& b, std::uint32_t& c, std::uint32_t& d) {
  a += b; d ^= a; d = std::rotl(d, 16);
  c += d; b ^= c; b = std::rotl(b, 12);
  a += b; d ^= a; d = std::rotl(d, 8);
  c += d; b ^= c; b = std::rotl(b, 7);
}

}  // namespace

void chacha_block(const std::uint32_t key[8], std::uint64_t counter, std::uint64_t stream,
                  int double_rounds, std::uint32_t out[16]) {
  std::uint32_t in[16];
  for (int i = 0; i < 4; ++i) in[i] = kSigma[i];
  for (int i = 0; i < 8; ++i) in[4 + i] = key[i];
  in[12] = static_cast<std::uint32_t>(counter);
  in[13] = static_cast<std::uint32_t>(counter >> 32);
  in[14] = static_cast<std::uint32_t>(stream);
  in[15] = static_cast<std::uint32_t>(stream >> 32);
  std::uint32_t x[16];
  std::memcpy(x, in, sizeof x);
  for (int r = 0; r < double_rounds; ++r) {
    quarter(x[0], x[4], x[8], x[12]);
    quarter(x[1], x[5], x[9], x[13]);
    quarter(x[2], x[6], x[10], x[14]);
    quarter(x[3], x[7], x[11], x[15]);
    quarter(x[0], x[5], x[10], x[15]);
    quarter(x[1], x[6], x[11], x[12]);
    quarter(x[2], x[7], x[8], x[13]);
    quarter(x[3], x[4], x[9], x[14]);
  }
  for (int i = 0; i < 16; ++i) out[i] = x[i] + in[i];
}

void chacha4_scalar(const std::uint32_t key[8], std::uint64_t counter, std::uint64_t stream,
                    int double_rounds, std::uint32_t out[64]) {
  for (int b = 0; b < 4; ++b)
    chacha_block(key, counter + static_cast<std::uint64_t>(b), stream, double_rounds, out + 16 * b);
}

#if defined(MHDC_X86)
// Four blocks side by side: state word i of blocks 0..3 sits in the four lanes of
// one vector, so every quarter-round is plain lane-wise arithmetic. A 4x4
// transpose per group of four words writes the blocks back one after another,
// which is exactly the scalar output order. This is the SSE2 baseline; AVX2
// machines take the row-layout kernel below.
// Macros rather than lambdas: a lambda would not inherit the AVX2 target.
#define MHDC_ROTL(v, n) _mm_or_si128(_mm_slli_epi32((v), (n)), _mm_srli_epi32((v), 32 - (n)))
#define MHDC_QR(ROTL16, ROTL8, a, b, c, d)                                                \
  x[a] = _mm_add_epi32(x[a], x[b]); x[d] = ROTL16(_mm_xor_si128(x[d], x[a]));             \
  x[c] = _mm_add_epi32(x[c], x[d]); x[b] = MHDC_ROTL(_mm_xor_si128(x[b], x[c]), 12);      \
  x[a] = _mm_add_epi32(x[a], x[b]); x[d] = ROTL8(_mm_xor_si128(x[d], x[a]));              \
  x[c] = _mm_add_epi32(x[c], x[d]); x[b] = MHDC_ROTL(_mm_xor_si128(x[b], x[c]), 7);
#define MHDC_CHACHA4_BODY(ROTL16, ROTL8)                                                  \
  __m128i in[16], x[16];                                                                  \
  for (int i = 0; i < 4; ++i) in[i] = _mm_set1_epi32(static_cast<int>(kSigma[i]));       \
  for (int i = 0; i < 8; ++i) in[4 + i] = _mm_set1_epi32(static_cast<int>(key[i]));       \
  {                                                                                       \
    std::uint32_t lo[4], hi[4];                                                           \
    for (int b = 0; b < 4; ++b) {                                                         \
      const std::uint64_t c = counter + static_cast<std::uint64_t>(b);                    \
      lo[b] = static_cast<std::uint32_t>(c);                                              \
      hi[b] = static_cast<std::uint32_t>(c >> 32);                                        \
    }                                                                                     \
    in[12] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(lo));                       \
    in[13] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(hi));                       \
  }                                                                                       \
  in[14] = _mm_set1_epi32(static_cast<int>(static_cast<std::uint32_t>(stream)));          \
  in[15] = _mm_set1_epi32(static_cast<int>(static_cast<std::uint32_t>(stream >> 32)));    \
  for (int i = 0; i < 16; ++i) x[i] = in[i];                                              \
  for (int r = 0; r < double_rounds; ++r) {                                               \
    MHDC_QR(ROTL16, ROTL8, 0, 4, 8, 12) MHDC_QR(ROTL16, ROTL8, 1, 5, 9, 13)                \
    MHDC_QR(ROTL16, ROTL8, 2, 6, 10, 14) MHDC_QR(ROTL16, ROTL8, 3, 7, 11, 15)              \
    MHDC_QR(ROTL16, ROTL8, 0, 5, 10, 15) MHDC_QR(ROTL16, ROTL8, 1, 6, 11, 12)              \
    MHDC_QR(ROTL16, ROTL8, 2, 7, 8, 13) MHDC_QR(ROTL16, ROTL8, 3, 4, 9, 14)                \
  }                                                                                       \
  auto* o = reinterpret_cast<__m128i*>(out);                                              \
  for (int g = 0; g < 4; ++g) {                                                           \
    const __m128i a = _mm_add_epi32(x[4 * g], in[4 * g]);                                 \
    const __m128i b = _mm_add_epi32(x[4 * g + 1], in[4 * g + 1]);                         \
    const __m128i c = _mm_add_epi32(x[4 * g + 2], in[4 * g + 2]);                         \
    const __m128i d = _mm_add_epi32(x[4 * g + 3], in[4 * g + 3]);                         \
    const __m128i ab_lo = _mm_unpacklo_epi32(a, b), ab_hi = _mm_unpackhi_epi32(a, b);     \
    const __m128i cd_lo = _mm_unpacklo_epi32(c, d), cd_hi = _mm_unpackhi_epi32(c, d);     \
    _mm_storeu_si128(o + 0 * 4 + g, _mm_unpacklo_epi64(ab_lo, cd_lo));                    \
    _mm_storeu_si128(o + 1 * 4 + g, _mm_unpackhi_epi64(ab_lo, cd_lo));                    \
    _mm_storeu_si128(o + 2 * 4 + g, _mm_unpacklo_epi64(ab_hi, cd_hi));                    \
    _mm_storeu_si128(o + 3 * 4 + g, _mm_unpackhi_epi64(ab_hi, cd_hi));                    \
  }

namespace {

// 16-bit rotation as a swap of the two halves of each lane (SSE2 word shuffles).
#define MHDC_ROTL16_SSE2(v) _mm_shufflehi_epi16(_mm_shufflelo_epi16((v), 0xB1), 0xB1)
#define MHDC_ROTL8_SSE2(v) MHDC_ROTL((v), 8)

void chacha4_sse2(const std::uint32_t key[8], std::uint64_t counter, std::uint64_t stream,
                  int double_rounds, std::uint32_t out[64]) {
  MHDC_CHACHA4_BODY(MHDC_ROTL16_SSE2, MHDC_ROTL8_SSE2)
}

// AVX2: a different layout. Each 256-bit register holds one state row of two
// blocks (one per 128-bit half), two register sets cover the four blocks, and the
// diagonal round is reached by rotating rows within each half. All sixteen
// registers stay live without spilling; halves are stored back block by block.
#define MHDC_ROT256(v, n) _mm256_or_si256(_mm256_slli_epi32((v), (n)), _mm256_srli_epi32((v), 32 - (n)))
#define MHDC_HALF_ROUND(a, b, c, d)                                                            \
  a = _mm256_add_epi32(a, b); d = _mm256_shuffle_epi8(_mm256_xor_si256(d, a), rot16);         \
  c = _mm256_add_epi32(c, d); b = MHDC_ROT256(_mm256_xor_si256(b, c), 12);                    \
  a = _mm256_add_epi32(a, b); d = _mm256_shuffle_epi8(_mm256_xor_si256(d, a), rot8);          \
  c = _mm256_add_epi32(c, d); b = MHDC_ROT256(_mm256_xor_si256(b, c), 7);

MHDC_TARGET_AVX2 void chacha4_avx2(const std::uint32_t key[8],
                                                  std::uint64_t counter, std::uint64_t stream,
                                                  int double_rounds, std::uint32_t out[64]) {
  const __m256i rot16 = _mm256_setr_epi8(2, 3, 0, 1, 6, 7, 4, 5, 10, 11, 8, 9, 14, 15, 12, 13,
                                         2, 3, 0, 1, 6, 7, 4, 5, 10, 11, 8, 9, 14, 15, 12, 13);
  const __m256i rot8 = _mm256_setr_epi8(3, 0, 1, 2, 7, 4, 5, 6, 11, 8, 9, 10, 15, 12, 13, 14,
                                        3, 0, 1, 2, 7, 4, 5, 6, 11, 8, 9, 10, 15, 12, 13, 14);
  const __m256i row0 = _mm256_broadcastsi128_si256(
      _mm_setr_epi32(static_cast<int>(kSigma[0]), static_cast<int>(kSigma[1]),
                     static_cast<int>(kSigma[2]), static_cast<int>(kSigma[3])));
  const __m256i row1 = _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(key)));
  const __m256i row2 = _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(key + 4)));
  std::uint32_t r3[4][4];
  for (int b = 0; b < 4; ++b) {
    const std::uint64_t c = counter + static_cast<std::uint64_t>(b);
    r3[b][0] = static_cast<std::uint32_t>(c);
    r3[b][1] = static_cast<std::uint32_t>(c >> 32);
    r3[b][2] = static_cast<std::uint32_t>(stream);
    r3[b][3] = static_cast<std::uint32_t>(stream >> 32);
  }
  const __m256i row3_01 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(r3[0]));
  const __m256i row3_23 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(r3[2]));
  __m256i a0 = row0, b0 = row1, c0 = row2, d0 = row3_01;
  __m256i a1 = row0, b1 = row1, c1 = row2, d1 = row3_23;
  for (int r = 0; r < double_rounds; ++r) {
    MHDC_HALF_ROUND(a0, b0, c0, d0)
    MHDC_HALF_ROUND(a1, b1, c1, d1)
    b0 = _mm256_shuffle_epi32(b0, 0x39); c0 = _mm256_shuffle_epi32(c0, 0x4e); d0 = _mm256_shuffle_epi32(d0, 0x93);
    b1 = _mm256_shuffle_epi32(b1, 0x39); c1 = _mm256_shuffle_epi32(c1, 0x4e); d1 = _mm256_shuffle_epi32(d1, 0x93);
    MHDC_HALF_ROUND(a0, b0, c0, d0)
    MHDC_HALF_ROUND(a1, b1, c1, d1)
    b0 = _mm256_shuffle_epi32(b0, 0x93); c0 = _mm256_shuffle_epi32(c0, 0x4e); d0 = _mm256_shuffle_epi32(d0, 0x39);
    b1 = _mm256_shuffle_epi32(b1, 0x93); c1 = _mm256_shuffle_epi32(c1, 0x4e); d1 = _mm256_shuffle_epi32(d1, 0x39);
  }
  a0 = _mm256_add_epi32(a0, row0); b0 = _mm256_add_epi32(b0, row1);
  c0 = _mm256_add_epi32(c0, row2); d0 = _mm256_add_epi32(d0, row3_01);
  a1 = _mm256_add_epi32(a1, row0); b1 = _mm256_add_epi32(b1, row1);
  c1 = _mm256_add_epi32(c1, row2); d1 = _mm256_add_epi32(d1, row3_23);
  auto* o = reinterpret_cast<__m256i*>(out);
  // Low halves are the even blocks, high halves the odd ones.
  _mm256_storeu_si256(o + 0, _mm256_permute2x128_si256(a0, b0, 0x20));
  _mm256_storeu_si256(o + 1, _mm256_permute2x128_si256(c0, d0, 0x20));
  _mm256_storeu_si256(o + 2, _mm256_permute2x128_si256(a0, b0, 0x31));
  _mm256_storeu_si256(o + 3, _mm256_permute2x128_si256(c0, d0, 0x31));
  _mm256_storeu_si256(o + 4, _mm256_permute2x128_si256(a1, b1, 0x20));
  _mm256_storeu_si256(o + 5, _mm256_permute2x128_si256(c1, d1, 0x20));
  _mm256_storeu_si256(o + 6, _mm256_permute2x128_si256(a1, b1, 0x31));
  _mm256_storeu_si256(o + 7, _mm256_permute2x128_si256(c1, d1, 0x31));
}

#undef MHDC_HALF_ROUND
#undef MHDC_ROT256

}  // namespace

void chacha4(const std::uint32_t key[8], std::uint64_t counter, std::uint64_t stream, int double_rounds,
             std::uint32_t out[64], Isa isa) {
  (usable(isa) == Isa::baseline ? chacha4_sse2 : chacha4_avx2)(key, counter, stream, double_rounds, out);
}

#else

void chacha4(const std::uint32_t key[8], std::uint64_t counter, std::uint64_t stream, int double_rounds,
             std::uint32_t out[64], Isa) {
  chacha4_scalar(key, counter, stream, double_rounds, out);
}

#endif

// ---------------------------------------------------------------------------
// SeededRng
// ---------------------------------------------------------------------------

namespace {
constexpr int kDoubleRounds = 6;  // ChaCha12

// Two words, low first; a pair that straddles the buffer's end takes its high
// word from the next refill (the low word is read before the buffer is replaced).
template <class Refill>
std::uint64_t take_u64(const std::uint32_t (&buf)[64], unsigned& index, Refill refill) {
  std::uint64_t lo, hi;
  if (index <= 62) {
    lo = buf[index];
    hi = buf[index + 1];
    index += 2;
  } else if (index == 63) {
    lo = buf[63];
    refill();
    hi = buf[0];
    index = 1;
  } else {
    refill();
    lo = buf[0];
    hi = buf[1];
    index = 2;
  }
  return hi << 32 | lo;
}

void key_from_seed(const std::array<std::uint8_t, 32>& seed, std::uint32_t key[8]) {
  for (int k = 0; k < 8; ++k)
    key[k] = std::uint32_t{seed[4 * k]} | std::uint32_t{seed[4 * k + 1]} << 8 |
             std::uint32_t{seed[4 * k + 2]} << 16 | std::uint32_t{seed[4 * k + 3]} << 24;
}
}  // namespace

SeededRng SeededRng::from_seed(const std::array<std::uint8_t, 32>& seed) {
  SeededRng r;
  key_from_seed(seed, r.key_);
  return r;
}

SeededRng SeededRng::seed_from_u64(std::uint64_t x) {
  // PCG32 run eight times; each output comes from the state after it is advanced.
  std::array<std::uint8_t, 32> seed{};
  std::uint64_t s = x;
  for (int w = 0; w < 8; ++w) {
    s = s * 6364136223846793005ULL + 11634580027462260723ULL;
    const auto xorshifted = static_cast<std::uint32_t>(((s >> 18) ^ s) >> 27);
    const std::uint32_t word = std::rotr(xorshifted, static_cast<int>(s >> 59));
    for (int b = 0; b < 4; ++b) seed[4 * w + b] = static_cast<std::uint8_t>(word >> (8 * b));
  }
  return from_seed(seed);
}

void SeededRng::refill() {
  chacha4(key_, counter_, 0, kDoubleRounds, buf_);
  counter_ += 4;
}

std::uint32_t SeededRng::next_u32() {
  if (index_ >= 64) {
    refill();
    index_ = 0;
  }
  return buf_[index_++];
}

std::uint64_t SeededRng::next_u64() {
  return take_u64(buf_, index_, [this] { refill(); });
}

bool SeededRng::gen_bool(double p) {
  if (!(p >= 0.0 && p <= 1.0)) throw internal_failure("gen_bool: probability outside [0, 1]");
  if (p == 1.0) return true;
  // p < 1, so the product is below 2^64 and the truncation is in range.
  const auto threshold = static_cast<std::uint64_t>(p * 18446744073709551616.0);
  return next_u64() < threshold;
}

// ---------------------------------------------------------------------------
// EntropyRng
// ---------------------------------------------------------------------------

namespace {

std::atomic<std::uint64_t> g_fork_generation{0};

void on_fork_child() { g_fork_generation.fetch_add(1, std::memory_order_relaxed); }

std::string errno_text(const char* what, int err) {
  return std::string(what) + ": " + std::strerror(err);
}

// Reads /dev/urandom once /dev/random is readable (the pool is initialised).
bool read_urandom(std::uint8_t* out, std::size_t n, std::string& err) {
  int fd = -1;
  do fd = ::open("/dev/random", O_RDONLY | O_CLOEXEC); while (fd < 0 && errno == EINTR);
  if (fd < 0) { err = errno_text("open /dev/random", errno); return false; }
  pollfd pfd{fd, POLLIN, 0};
  int rc;
  do rc = ::poll(&pfd, 1, -1); while (rc < 0 && errno == EINTR);
  const int poll_err = errno;
  ::close(fd);
  if (rc < 0) { err = errno_text("poll /dev/random", poll_err); return false; }

  do fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC); while (fd < 0 && errno == EINTR);
  if (fd < 0) { err = errno_text("open /dev/urandom", errno); return false; }
  std::size_t got = 0;
  while (got < n) {
    const ssize_t r = ::read(fd, out + got, n - got);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) {
      err = r == 0 ? std::string("read /dev/urandom: unexpected end of file")
                   : errno_text("read /dev/urandom", errno);
      ::close(fd);
      return false;
    }
    got += static_cast<std::size_t>(r);
  }
  ::close(fd);
  return true;
}

bool os_entropy(std::uint8_t* out, std::size_t n, std::string& err) {
  std::size_t got = 0;
  while (got < n) {
    const ssize_t r = ::getrandom(out + got, n - got, 0);
    if (r >= 0) { got += static_cast<std::size_t>(r); continue; }
    if (errno == EINTR) continue;
    if (errno == ENOSYS) return read_urandom(out, n, err);
    err = errno_text("getrandom", errno);
    return false;
  }
  return true;
}

std::atomic<detail::EntropySource> g_source{&os_entropy};

void fill_key(std::uint32_t key[8], const char* failure_prefix) {
  std::array<std::uint8_t, 32> seed{};
  std::string err;
  if (!g_source.load()(seed.data(), seed.size(), err)) throw internal_failure(failure_prefix + err);
  key_from_seed(seed, key);
}

// Per-thread slot. The state flag is trivially destructible, so it stays
// readable after the holder is torn down and a late draw can be refused.
enum class Slot : unsigned char { empty, alive, destroyed };
thread_local Slot t_slot = Slot::empty;

struct Holder {
  std::optional<EntropyRng> rng;
  ~Holder() { t_slot = Slot::destroyed; }
};
thread_local Holder t_holder;

}  // namespace

namespace detail {
EntropySource set_entropy_source(EntropySource source) {
  return g_source.exchange(source ? source : &os_entropy);
}
std::uint64_t fork_generation() { return g_fork_generation.load(); }
}  // namespace detail

EntropyRng::EntropyRng() {
  static std::once_flag installed;
  std::call_once(installed, [] {
    if (::pthread_atfork(nullptr, nullptr, &on_fork_child) != 0)
      throw internal_failure("could not initialize thread_rng: pthread_atfork failed");
  });
  fill_key(key_, "could not initialize thread_rng: ");
}

EntropyRng& EntropyRng::current() {
  if (t_slot == Slot::destroyed)
    throw internal_failure("thread_rng used during or after thread teardown");
  if (t_slot == Slot::empty) {
    t_holder.rng.emplace(EntropyRng{});
    t_slot = Slot::alive;
  }
  return *t_holder.rng;
}

void EntropyRng::refill() {
  const std::uint64_t global = g_fork_generation.load(std::memory_order_relaxed);
  const auto behind = static_cast<std::int64_t>(fork_generation_ - global);
  if (bytes_until_rekey_ > 0 && behind >= 0) {
    bytes_until_rekey_ -= 256;
  } else {
    // Key first, then the bookkeeping: a failed re-key leaves the generator as it was.
    std::uint32_t fresh[8];
    fill_key(fresh, "Reseeding RNG failed: ");
    std::memcpy(key_, fresh, sizeof key_);
    counter_ = 0;
    fork_generation_ = global;
    bytes_until_rekey_ = 65536 - 256;
  }
  chacha4(key_, counter_, 0, kDoubleRounds, buf_);
  counter_ += 4;
}

// A forked child holds a copy of its parent's buffer; dropping the unread words
// makes the child re-key before its first draw instead of replaying them.
inline void EntropyRng::check_fork() {
  if (fork_generation_ != g_fork_generation.load(std::memory_order_relaxed)) index_ = 64;
}

std::uint32_t EntropyRng::next_u32() {
  check_fork();
  if (index_ >= 64) {
    refill();
    index_ = 0;
  }
  return buf_[index_++];
}

std::uint64_t EntropyRng::next_u64() {
  check_fork();
  return take_u64(buf_, index_, [this] { refill(); });
}

void EntropyRng::fill_bipolar(float* out, std::size_t n) {
  check_fork();
  std::size_t i = 0;
  while (i < n) {
    if (index_ <= 62) {
      // Whole pairs left in the buffer: the top bit of a draw is bit 31 of its high word.
      const std::size_t pairs = std::min<std::size_t>((64 - index_) / 2, n - i);
      const std::uint32_t* hi = buf_ + index_ + 1;
      for (std::size_t k = 0; k < pairs; ++k) out[i + k] = (hi[2 * k] >> 31) ? -1.0f : 1.0f;
      i += pairs;
      index_ += static_cast<unsigned>(2 * pairs);
    } else {
      out[i++] = (next_u64() >> 63) ? -1.0f : 1.0f;
    }
  }
}

}  // namespace mhdc::hdc

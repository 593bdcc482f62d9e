#include "hdc/rng.hpp"

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

void chacha4(const std::uint32_t key[8], std::uint64_t counter, std::uint64_t stream,
             int double_rounds, std::uint32_t out[64]) {
  chacha4_scalar(key, counter, stream, double_rounds, out);
}

// ---------------------------------------------------------------------------
// SeededRng
// ---------------------------------------------------------------------------

namespace {
constexpr int kDoubleRounds = 6;  // ChaCha12

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
  std::uint64_t lo, hi;
  if (index_ <= 62) {
    lo = buf_[index_];
    hi = buf_[index_ + 1];
    index_ += 2;
  } else if (index_ == 63) {
    lo = buf_[63];
    refill();
    hi = buf_[0];
    index_ = 1;
  } else {
    refill();
    lo = buf_[0];
    hi = buf_[1];
    index_ = 2;
  }
  return hi << 32 | lo;
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
  std::uint64_t lo, hi;
  if (index_ <= 62) {
    lo = buf_[index_];
    hi = buf_[index_ + 1];
    index_ += 2;
  } else if (index_ == 63) {
    lo = buf_[63];
    refill();
    hi = buf_[0];
    index_ = 1;
  } else {
    refill();
    lo = buf_[0];
    hi = buf_[1];
    index_ = 2;
  }
  return hi << 32 | lo;
}

}  // namespace mhdc::hdc

#include "hdc/state.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <stdexcept>

#include "hdc/errors.hpp"

namespace mhdc::hdc {

namespace {
constexpr char kMagic[4] = {'M', 'H', 'D', 'C'};

template <class T>
T little(const unsigned char* p) {
  T x = 0;
  for (std::size_t k = 0; k < sizeof(T); ++k) x |= static_cast<T>(p[k]) << (8 * k);
  return x;
}
template <class T>
void put_little(unsigned char* out, T x) {
  for (std::size_t k = 0; k < sizeof(T); ++k) out[k] = static_cast<unsigned char>((x >> (8 * k)) & 0xff);
}
}  // namespace

StateWriter::StateWriter(std::string_view name, std::uint32_t version, Grow grow, void* buffer)
    : grow_(grow), buffer_(buffer) {
  raw(kMagic, 4);
  u8(static_cast<std::uint8_t>(name.size()));
  raw(name.data(), name.size());
  u32(version);
}

char* StateWriter::grow_own(void* writer, std::size_t bytes) {
  std::string& own = static_cast<StateWriter*>(writer)->own_;
  own.resize(bytes);
  return own.data();
}

void StateWriter::expand(std::size_t n) {
  if (n > SIZE_MAX - size_) throw std::length_error("state too large");
  // Geometric growth: appending piece by piece stays linear.
  const std::size_t want = std::max({size_ + n, cap_ > SIZE_MAX / 2 ? SIZE_MAX : 2 * cap_, std::size_t{256}});
  data_ = grow_(buffer_, want);
  cap_ = want;
}

void StateWriter::reserve(std::size_t more) {
  if (more <= cap_ - size_) return;
  if (more > SIZE_MAX - size_) throw std::length_error("state too large");
  data_ = grow_(buffer_, size_ + more);
  cap_ = size_ + more;
}

std::string StateWriter::take() {
  own_.resize(size_);
  size_ = cap_ = 0;
  data_ = nullptr;
  return std::move(own_);
}

void StateWriter::u32(std::uint32_t x) {
  unsigned char b[4];
  put_little(b, x);
  raw(b, 4);
}
void StateWriter::u64(std::uint64_t x) {
  unsigned char b[8];
  put_little(b, x);
  raw(b, 8);
}
void StateWriter::f32(float x) { u32(std::bit_cast<std::uint32_t>(x)); }

void StateWriter::floats(std::span<const float> v) {
  u64(v.size());
  f32s(v);
}

void StateWriter::f32s(std::span<const float> v) {
  if constexpr (std::endian::native == std::endian::little) {
    raw(v.data(), v.size() * 4);
  } else {
    for (float x : v) f32(x);
  }
}

void StateWriter::words(std::span<const std::uint64_t> v) {
  if constexpr (std::endian::native == std::endian::little) {
    raw(v.data(), v.size() * 8);
  } else {
    for (std::uint64_t x : v) u64(x);
  }
}

void StateWriter::str(std::string_view s) {
  u64(s.size());
  raw(s.data(), s.size());
}

StateReader::StateReader(std::string_view data, std::string_view name, std::uint32_t newest)
    : data_(data), name_(name) {
  const unsigned char* magic = take("header", 4);
  if (std::memcmp(magic, kMagic, 4) != 0) fail("not a saved state (no MHDC header)");
  const std::size_t n = u8("class name");
  const unsigned char* got = take("class name", n);
  if (std::string_view(reinterpret_cast<const char*>(got), n) != name)
    fail("a state of " + std::string(reinterpret_cast<const char*>(got), n) + ", not of " + name_);
  version_ = u32("version");
  if (version_ == 0 || version_ > newest)
    fail("version " + std::to_string(version_) + ", this library reads 1 to " + std::to_string(newest));
}

void StateReader::fail(const std::string& what) const {
  throw value_error("invalid " + name_ + " state: " + what);
}

const unsigned char* StateReader::take(const char* what, std::size_t n) {
  if (n > data_.size() - at_) fail(std::string("truncated at ") + what);
  const auto* p = reinterpret_cast<const unsigned char*>(data_.data()) + at_;
  at_ += n;
  return p;
}

std::uint8_t StateReader::u8(const char* what) { return *take(what, 1); }
std::uint32_t StateReader::u32(const char* what) { return little<std::uint32_t>(take(what, 4)); }
std::uint64_t StateReader::u64(const char* what) { return little<std::uint64_t>(take(what, 8)); }
float StateReader::f32(const char* what) { return std::bit_cast<float>(u32(what)); }

std::size_t StateReader::count(const char* what, std::size_t item_bytes) {
  const std::uint64_t n = u64(what);
  const std::size_t left = data_.size() - at_;
  if (item_bytes != 0 ? n > left / item_bytes : n > left)
    fail(std::string(what) + " " + std::to_string(n) + " is more than the state holds");
  return static_cast<std::size_t>(n);
}

Hypervector StateReader::floats(const char* what) {
  const std::size_t n = count(what, 4);
  Hypervector v(n);
  floats_into(what, v.data(), n);
  return v;
}

void StateReader::floats_into(const char* what, float* out, std::size_t n) {
  if (n > (data_.size() - at_) / 4) fail(std::string("truncated at ") + what);
  const unsigned char* p = take(what, n * 4);
  if constexpr (std::endian::native == std::endian::little) {
    if (n != 0) std::memcpy(out, p, n * 4);
  } else {
    for (std::size_t i = 0; i < n; ++i) out[i] = std::bit_cast<float>(little<std::uint32_t>(p + 4 * i));
  }
}

void StateReader::words(const char* what, std::uint64_t* out, std::size_t n) {
  if (n > (data_.size() - at_) / 8) fail(std::string("truncated at ") + what);
  const unsigned char* p = take(what, n * 8);
  for (std::size_t i = 0; i < n; ++i) out[i] = little<std::uint64_t>(p + 8 * i);
}

std::string StateReader::str(const char* what) {
  const std::size_t n = count(what, 1);
  const unsigned char* p = take(what, n);
  return std::string(reinterpret_cast<const char*>(p), n);
}

namespace {
bool valid_utf8(std::string_view s) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const std::size_t n = s.size();
  for (std::size_t i = 0; i < n;) {
    const unsigned char b = p[i];
    if (b < 0x80) {
      ++i;
      continue;
    }
    // The sequence's length and the range of its second byte (excluding
    // overlong forms, surrogates and code points past U+10FFFF).
    std::size_t len;
    unsigned char lo = 0x80, hi = 0xBF;
    if (b >= 0xC2 && b <= 0xDF) {
      len = 2;
    } else if (b >= 0xE0 && b <= 0xEF) {
      len = 3;
      if (b == 0xE0) lo = 0xA0;
      if (b == 0xED) hi = 0x9F;
    } else if (b >= 0xF0 && b <= 0xF4) {
      len = 4;
      if (b == 0xF0) lo = 0x90;
      if (b == 0xF4) hi = 0x8F;
    } else {
      return false;
    }
    if (len > n - i || p[i + 1] < lo || p[i + 1] > hi) return false;
    for (std::size_t k = 2; k < len; ++k)
      if (p[i + k] < 0x80 || p[i + k] > 0xBF) return false;
    i += len;
  }
  return true;
}
}  // namespace

std::string StateReader::text(const char* what) {
  std::string s = str(what);
  if (!valid_utf8(s)) fail(std::string(what) + " is not UTF-8");
  return s;
}

void StateReader::need(const char* what, unsigned __int128 bytes) {
  if (bytes > data_.size() - at_) fail(std::string(what) + " take more bytes than the state holds");
}

void StateReader::finish() {
  if (at_ != data_.size()) fail(std::to_string(data_.size() - at_) + " bytes left over");
}

}  // namespace mhdc::hdc

// The saved state of an instance: the class's own values in a versioned,
// platform-independent layout (docs/STATE.md), never a memory image.
//
//   "MHDC" | u8 n | n bytes: class name | u32 version | the class's fields
//
// Every integer is little-endian with an explicit width, every float a 32-bit
// IEEE pattern, little-endian; a string or a float array is a u64 count, then
// its bytes or floats. StateReader refuses anything it cannot trust with a
// value_error naming what is wrong, and never allocates more than the bytes
// left justify: a count is checked against them before anything is reserved.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>

#include "hdc/types.hpp"

namespace mhdc::hdc {

class StateWriter {
 public:
  // Makes the caller's buffer hold at least `bytes`, keeping those written, and
  // returns it; throws if it cannot.
  using Grow = char* (*)(void* buffer, std::size_t bytes);

  // Into a buffer of its own, given by take().
  StateWriter(std::string_view name, std::uint32_t version) : StateWriter(name, version, &grow_own, this) {}
  // Into the caller's buffer (the Python bytes object itself, so that a large
  // state is not written once and then copied into fresh memory again).
  StateWriter(std::string_view name, std::uint32_t version, Grow grow, void* buffer);
  StateWriter(const StateWriter&) = delete;
  StateWriter& operator=(const StateWriter&) = delete;

  void u8(std::uint8_t x) { raw(&x, 1); }
  void u32(std::uint32_t x);
  void u64(std::uint64_t x);
  void f32(float x);
  void floats(std::span<const float> v);  // count, then the floats
  void words(std::span<const std::uint64_t> v);  // the words alone (the count is the caller's)
  void f32s(std::span<const float> v);             // the floats alone (the count is the caller's)
  void str(std::string_view s);
  // Room for `more` bytes past those written: a state that knows its size is
  // neither copied as it grows nor given more memory than it needs.
  void reserve(std::size_t more);
  std::size_t size() const noexcept { return size_; }
  std::string take();  // the bytes, from a writer with its own buffer

 private:
  void raw(const void* p, std::size_t n) {
    if (n > cap_ - size_) expand(n);
    if (n != 0) std::memcpy(data_ + size_, p, n);
    size_ += n;
  }
  void expand(std::size_t n);
  static char* grow_own(void* writer, std::size_t bytes);

  std::string own_;
  Grow grow_;
  void* buffer_;
  char* data_ = nullptr;
  std::size_t size_ = 0, cap_ = 0;
};

class StateReader {
 public:
  // Checks the header: the magic, the class name, a version from 1 to `newest`.
  StateReader(std::string_view data, std::string_view name, std::uint32_t newest);
  std::uint32_t version() const noexcept { return version_; }
  std::uint8_t u8(const char* what);
  std::uint32_t u32(const char* what);
  std::uint64_t u64(const char* what);
  float f32(const char* what);  // any pattern
  // A count of items that take at least `item_bytes` each in what is left.
  std::size_t count(const char* what, std::size_t item_bytes);
  Hypervector floats(const char* what);
  void words(const char* what, std::uint64_t* out, std::size_t n);
  // n floats with no count before them (the caller knows it), into out[0 .. n).
  void floats_into(const char* what, float* out, std::size_t n);
  std::string str(const char* what);
  // A str that must be valid UTF-8 (the text of a Python str: no surrogates).
  std::string text(const char* what);
  // Fails unless at least `bytes` are left (a size computed in 128 bits cannot wrap).
  void need(const char* what, unsigned __int128 bytes);
  // The end: throws if bytes are left over.
  void finish();
  [[noreturn]] void fail(const std::string& what) const;

 private:
  const unsigned char* take(const char* what, std::size_t n);
  std::string_view data_;
  std::size_t at_ = 0;
  std::string name_;
  std::uint32_t version_ = 0;
};

}  // namespace mhdc::hdc

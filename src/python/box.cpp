#include "python/box.hpp"

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>

#include "python/views.hpp"  // hdc/simd.hpp

namespace mhdc::py {
namespace {

// MHDC_PLAIN_BOXING=1 at import: hypervectors and byte vectors are boxed by the
// plain twin (box_each), so that the tests can compare the two bit for bit.
const bool plain_boxing = [] {
  const char* v = std::getenv("MHDC_PLAIN_BOXING");
  return v != nullptr && std::strcmp(v, "1") == 0;
}();

// The shared values: +-0, +-1, +-2 and +-4 (what bipolar, ternary and
// system-state vectors consist of), told apart by bit pattern, so +0.0 and -0.0
// get different objects. code(u) is 2k + sign for the k-th of 0, 1, 2, 4, and
// kFresh for anything else; branch-free so that it vectorises.
constexpr std::uint32_t kFresh = 8;
constexpr std::size_t kCopies = 4;
constexpr std::size_t kBoxChunk = 512;

inline std::uint32_t share_code(std::uint32_t u) {
  const std::uint32_t e = (u >> 23) & 0xffu;
  const std::uint32_t k = e == 0 ? 0u : e - 126u;  // 1, 2, 3 for one, two, four
  const bool ok = (u & 0x007fffffu) == 0 && (e == 0 || e - 127u <= 2u);
  return ok ? k * 2u + (u >> 31) : kFresh;
}

template <hdc::Isa>
[[gnu::always_inline]] inline void share_codes_body(const float* v, std::size_t n, std::uint32_t* code) {
  for (std::size_t i = 0; i < n; ++i) code[i] = share_code(std::bit_cast<std::uint32_t>(v[i]));
}
MHDC_ISA_VARIANTS(void, share_codes, (const float* v, std::size_t n, std::uint32_t* code), (v, n, code))
void share_codes(const float* v, std::size_t n, std::uint32_t* code) { return share_codes_for(hdc::active_isa())(v, n, code); }

// Bit k set when code k occurs in code[0 .. n).
template <hdc::Isa>
[[gnu::always_inline]] inline std::uint32_t codes_present_body(const std::uint32_t* code, std::size_t n) {
  std::uint32_t present = 0;
  for (std::size_t i = 0; i < n; ++i) present |= 1u << code[i];
  return present;
}
MHDC_ISA_VARIANTS(std::uint32_t, codes_present, (const std::uint32_t* code, std::size_t n), (code, n))
std::uint32_t codes_present(const std::uint32_t* code, std::size_t n) { return codes_present_for(hdc::active_isa())(code, n); }

// Occurrences of `key` in code[0 .. n), by index modulo kCopies.
void count_code(const std::uint32_t* code, std::size_t n, std::uint32_t key, std::size_t (&c)[kCopies]) {
  std::uint32_t part[kCopies] = {};
  std::size_t i = 0;
  for (; i + kCopies <= n; i += kCopies)
    for (std::size_t r = 0; r < kCopies; ++r) part[r] += code[i + r] == key;
  for (; i < n; ++i) part[i % kCopies] += code[i] == key;
  for (std::size_t r = 0; r < kCopies; ++r) c[r] += part[r];
}

}  // namespace

PyObject* box(HvView v) {
  // Floats are immutable and a shared one has the same value and bits, so only
  // object identity can tell; a fresh float per element costs an allocation, a
  // shared one a pointer store. Each shared value has kCopies objects, element i
  // taking copy i % kCopies, so that the reference-count updates of the list's
  // eventual deallocation form several independent chains rather than one. The
  // references of the shared objects are added at the end, counted per copy
  // (bumping them element by element would chain the stores through memory).
  if (plain_boxing) return box_each(v.data(), v.size());
  const std::size_t n = v.size();
  Ref list(checked(PyList_New(static_cast<Py_ssize_t>(n))));
  PyObject** items = reinterpret_cast<PyListObject*>(list.get())->ob_item;
  PyObject* table[kFresh + 1][kCopies] = {};  // row kFresh stays empty
  struct Settle {  // on every path: the slots' references, then drop the table's own
    PyObject* (&t)[kFresh + 1][kCopies];
    std::size_t count[kFresh][kCopies] = {};
    ~Settle() {
      for (std::uint32_t k = 0; k < kFresh; ++k)
        for (std::size_t c = 0; c < kCopies; ++c) {
          PyObject* o = t[k][c];
          if (o == nullptr) continue;
          Py_SET_REFCNT(o, Py_REFCNT(o) + static_cast<Py_ssize_t>(count[k][c]));
          Py_DECREF(o);
        }
    }
  } settle{table};
  static_assert(kBoxChunk % kCopies == 0, "a chunk starts at copy 0");
  std::uint32_t code[kBoxChunk];
  for (std::size_t start = 0; start < n; start += kBoxChunk) {
    const std::size_t len = std::min(kBoxChunk, n - start);
    const float* x = v.data() + start;
    share_codes(x, len, code);
    const std::uint32_t present = codes_present(code, len) & ((1u << kFresh) - 1u);
    for (std::uint32_t k = 0; k < kFresh; ++k) {
      if (!((present >> k) & 1u) || table[k][0] != nullptr) continue;
      const float value = std::bit_cast<float>((k & 1u) << 31 | (k < 2 ? 0u : (k / 2u + 126u) << 23));
      for (std::size_t c = 0; c < kCopies; ++c) {
        table[k][c] = PyFloat_FromDouble(static_cast<double>(value));
        if (table[k][c] == nullptr) throw_error_set();
      }
    }
    PyObject** dst = items + start;
    std::size_t j = 0;
    bool failed = false;
    for (; j < len; ++j) {
      PyObject* item = table[code[j]][j % kCopies];
      if (item == nullptr) {
        item = PyFloat_FromDouble(static_cast<double>(x[j]));
        if (item == nullptr) {
          failed = true;
          break;
        }
      }
      dst[j] = item;
    }
    for (std::uint32_t k = 0; k < kFresh; ++k)
      if ((present >> k) & 1u) count_code(code, j, k, settle.count[k]);
    if (failed) throw_error_set();  // the list owns what it holds; Ref drops it
  }
  return list.release();
}

namespace {

// Occurrences of key in v[0 .. n), counted in 32-bit lanes a chunk at a time.
template <hdc::Isa>
[[gnu::always_inline]] inline std::size_t count_byte_body(const std::int8_t* v, std::size_t n, std::int8_t key) {
  std::size_t total = 0;
  for (std::size_t start = 0; start < n; start += std::size_t{1} << 30) {
    const std::size_t end = std::min(n, start + (std::size_t{1} << 30));
    std::uint32_t c = 0;
    for (std::size_t i = start; i < end; ++i) c += static_cast<std::uint32_t>(v[i] == key);
    total += c;
  }
  return total;
}
MHDC_ISA_VARIANTS(std::size_t, count_byte, (const std::int8_t* v, std::size_t n, std::int8_t key), (v, n, key))
std::size_t count_byte(const std::int8_t* v, std::size_t n, std::int8_t key) { return count_byte_for(hdc::active_isa())(v, n, key); }

template <hdc::Isa>
[[gnu::always_inline]] inline void byte_range_body(const std::int8_t* v, std::size_t n, int& lo, int& hi) {
  std::int8_t a = 127, b = -128;
  for (std::size_t i = 0; i < n; ++i) {
    a = std::min(a, v[i]);
    b = std::max(b, v[i]);
  }
  lo = a;
  hi = b;
}
MHDC_ISA_VARIANTS(void, byte_range, (const std::int8_t* v, std::size_t n, int& lo, int& hi), (v, n, lo, hi))
void byte_range(const std::int8_t* v, std::size_t n, int& lo, int& hi) { return byte_range_for(hdc::active_isa())(v, n, lo, hi); }

}  // namespace

PyObject* box(const ByteVector& v) {
  // One int object per value in the vector's range (the interpreter's cached one
  // for small values), stored by pointer; each gets its references added once at
  // the end, counted per value: bumping one shared count per element would chain
  // every store through the same memory word.
  if (plain_boxing) return box_each(v.data(), v.size());
  const std::size_t n = v.size();
  Ref list(checked(PyList_New(static_cast<Py_ssize_t>(n))));
  if (n == 0) return list.release();
  PyObject** items = reinterpret_cast<PyListObject*>(list.get())->ob_item;
  int lo = 0, hi = 0;
  byte_range(v.data(), n, lo, hi);
  PyObject* table[256] = {};  // index value + 128
  struct Settle {  // on every path: the slots' references, then drop the table's own
    PyObject* (&t)[256];
    const ByteVector& v;
    int lo, hi;
    std::size_t filled = 0;
    ~Settle() {
      for (int x = lo; x <= hi; ++x) {
        PyObject* o = t[x + 128];
        if (o == nullptr) continue;
        if (filled != 0) {
          const std::size_t c = count_byte(v.data(), filled, static_cast<std::int8_t>(x));
          Py_SET_REFCNT(o, Py_REFCNT(o) + static_cast<Py_ssize_t>(c));
        }
        Py_DECREF(o);
      }
    }
  } settle{table, v, lo, hi};
  for (int x = lo; x <= hi; ++x) {
    table[x + 128] = PyLong_FromLong(x);
    if (table[x + 128] == nullptr) throw_error_set();
  }
  PyObject* const* row = table + 128;
  for (std::size_t i = 0; i < n; ++i) items[i] = row[v[i]];
  settle.filled = n;
  return list.release();
}

}  // namespace mhdc::py

#include "python/convert.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>

#include "python/messages.hpp"

namespace mhdc::py {

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && !defined(MHDC_NO_CLONES)
#define MHDC_BOX_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define MHDC_BOX_CLONES
#endif

void raise_int_range() { raise(PyExc_OverflowError, msg::kIntRange); }

void check_vector_like(PyObject* obj) {
  if (PyUnicode_Check(obj)) raise(PyExc_TypeError, msg::kStrToVec);
  if (!PySequence_Check(obj)) raise_cannot_convert(obj, msg::kSequence);
}

namespace {

// One item through the interpreter's float protocol (float, __float__, __index__).
inline float item_to_f32(PyObject* item) {
  if (PyFloat_CheckExact(item)) return static_cast<float>(PyFloat_AS_DOUBLE(item));
  if (!PyLong_CheckExact(item)) before_python_code();  // __float__ / __index__
  const double d = PyFloat_AsDouble(item);
  if (d == -1.0 && PyErr_Occurred()) throw_error_set();
  return static_cast<float>(d);
}

// f32 -> f64 -> f32 quiets a signalling NaN, so the buffer path must too; over
// a whole array, branch-free so that it vectorises.
MHDC_BOX_CLONES
void quiet_nans(float* v, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    std::uint32_t u = std::bit_cast<std::uint32_t>(v[i]);
    u |= (u & 0x7fffffffu) > 0x7f800000u ? 0x00400000u : 0u;
    v[i] = std::bit_cast<float>(u);
  }
}

// 1-D C-contiguous buffers of native float32/float64 are read directly; they give
// the same values as iterating their items (each item is a double rounded to 32 bits).
// The export of a buffer the fast paths can read: C-contiguous with a format;
// false (and no error) for any object that has none.
bool get_buffer(PyObject* obj, Py_buffer& view) {
  if (!PyObject_CheckBuffer(obj) || PyBytes_Check(obj) || PyByteArray_Check(obj)) return false;
#if PY_VERSION_HEX >= 0x030C0000
  if (PyType_HasFeature(Py_TYPE(obj), Py_TPFLAGS_HEAPTYPE)) before_python_code();  // may be __buffer__
#endif
  if (PyObject_GetBuffer(obj, &view, PyBUF_FORMAT | PyBUF_C_CONTIGUOUS) != 0) {
    PyErr_Clear();
    return false;
  }
  return true;
}

struct Release {
  Py_buffer* v;
  ~Release() {
    if (v != nullptr) PyBuffer_Release(v);
  }
};

// The element type of a 1-D native float buffer: 'f', 'd', or 0 for anything else.
char float_format(const Py_buffer& view) {
  if (view.ndim != 1 || view.format == nullptr) return 0;
  const char* f = view.format;
  if (*f == '@' || *f == '=' || *f == '<') ++f;
  if (f[0] == '\0' || f[1] != '\0') return 0;
  if (*f == 'f' && view.itemsize == 4) return 'f';
  if (*f == 'd' && view.itemsize == 8) return 'd';
  return 0;
}

// Whether some element may be a signalling NaN (which the item path would
// quiet): all exponent bits set and the quiet bit clear, which infinities share.
// A superset, so that the test is two operations per element; an infinity only
// sends the array down the copying path.
MHDC_BOX_CLONES
bool may_hold_signalling_nan(const float* v, std::size_t n) {
  std::uint32_t any = 0;
  for (std::size_t i = 0; i < n; ++i) any |= (std::bit_cast<std::uint32_t>(v[i]) & 0x7fc00000u) == 0x7f800000u;
  return any != 0;
}

bool try_float_buffer(PyObject* obj, std::vector<float>& out) {
  Py_buffer view;
  if (!get_buffer(obj, view)) return false;
  Release release{&view};
  const char format = float_format(view);
  if (format == 0) return false;
  const std::size_t n = static_cast<std::size_t>(view.shape[0]);
  const std::size_t base = out.size();
  if (format == 'f') {
    const float* src = static_cast<const float*>(view.buf);
    out.insert(out.end(), src, src + n);  // a plain copy, then the NaNs quieted in place
    quiet_nans(out.data() + base, n);
    return true;
  }
  out.resize(base + n);
  const double* src = static_cast<const double*>(view.buf);
  for (std::size_t i = 0; i < n; ++i) out[base + i] = static_cast<float>(src[i]);
  return true;
}

// Converts items[0 ..) while they are exact floats; returns how many. Four at a
// time with one type test per four, so the loop is loads and conversions.
Py_ssize_t unbox_exact_floats(PyObject* const* items, Py_ssize_t n, float* dst) {
  PyTypeObject* const ft = &PyFloat_Type;
  Py_ssize_t i = 0;
  for (; i + 4 <= n; i += 4) {
    PyObject* x0 = items[i];
    PyObject* x1 = items[i + 1];
    PyObject* x2 = items[i + 2];
    PyObject* x3 = items[i + 3];
    if ((Py_TYPE(x0) != ft) | (Py_TYPE(x1) != ft) | (Py_TYPE(x2) != ft) | (Py_TYPE(x3) != ft)) break;
    dst[i] = static_cast<float>(PyFloat_AS_DOUBLE(x0));
    dst[i + 1] = static_cast<float>(PyFloat_AS_DOUBLE(x1));
    dst[i + 2] = static_cast<float>(PyFloat_AS_DOUBLE(x2));
    dst[i + 3] = static_cast<float>(PyFloat_AS_DOUBLE(x3));
  }
  for (; i < n; ++i) {
    PyObject* x = items[i];
    if (Py_TYPE(x) != ft) break;
    dst[i] = static_cast<float>(PyFloat_AS_DOUBLE(x));
  }
  return i;
}

}  // namespace

void append_hypervector(PyObject* obj, std::vector<float>& out) {
  if (PyList_CheckExact(obj)) {
    // Re-read the size every step: an item's __float__ may change the list,
    // exactly as the list's own iterator would see it.
    const std::size_t base = out.size();
    const Py_ssize_t n = PyList_GET_SIZE(obj);
    out.resize(base + static_cast<std::size_t>(n));
    PyObject* const* items = reinterpret_cast<PyListObject*>(obj)->ob_item;
    float* dst = out.data() + base;
    Py_ssize_t i = unbox_exact_floats(items, n, dst);
    if (i == n) return;
    out.resize(base + static_cast<std::size_t>(i));
    for (; i < PyList_GET_SIZE(obj); ++i) {
      Ref item = Ref::borrow(PyList_GET_ITEM(obj, i));
      out.push_back(item_to_f32(item.get()));
    }
    return;
  }
  if (PyTuple_CheckExact(obj)) {
    const Py_ssize_t n = PyTuple_GET_SIZE(obj);
    const std::size_t base = out.size();
    out.resize(base + static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i)
      out[base + static_cast<std::size_t>(i)] = item_to_f32(PyTuple_GET_ITEM(obj, i));
    return;
  }
  check_vector_like(obj);
  if (try_float_buffer(obj, out)) return;
  out.reserve(out.size() + static_cast<std::size_t>(length_hint(obj)));
  for_each_item(obj, [&](PyObject* item) { out.push_back(item_to_f32(item)); });
  // A __len__ that overstated must not leave megabytes of spare capacity in a
  // vector that an instance keeps (a metacognition record, a swarm vector).
  if (out.capacity() - out.size() > 4096 && out.capacity() > 2 * out.size()) out.shrink_to_fit();
}

Hypervector to_hypervector(PyObject* obj) {
  Hypervector out;
  append_hypervector(obj, out);
  return out;
}

HvArg* HvArg::live_ = nullptr;

void HvArg::load(PyObject* obj, Use use) {
#if !defined(__x86_64__)
  use = Use::any;
#endif
#if !defined(Py_GIL_DISABLED)
  // The checks append_hypervector makes before its buffer path, in its order.
  if (!PyList_CheckExact(obj) && !PyTuple_CheckExact(obj)) {
    check_vector_like(obj);
    if (get_buffer(obj, buf_)) {
      Release release{&buf_};
      const std::size_t n = static_cast<std::size_t>(buf_.shape[0]);
      if (float_format(buf_) == 'f' && reinterpret_cast<std::uintptr_t>(buf_.buf) % alignof(float) == 0 &&
          (use == Use::arithmetic || !may_hold_signalling_nan(static_cast<const float*>(buf_.buf), n))) {
        release.v = nullptr;  // kept for the call
        viewing_ = true;
        data_ = static_cast<const float*>(buf_.buf);
        size_ = n;
        next_ = live_;
        live_ = this;
        return;
      }
    }
  }
#endif
  append_hypervector(obj, owned_);
  data_ = owned_.data();
  size_ = owned_.size();
}

void HvArg::unlink() {
  for (HvArg** p = &live_; *p != nullptr; p = &(*p)->next_) {
    if (*p == this) {
      *p = next_;
      break;
    }
  }
  next_ = nullptr;
}

void HvArg::materialise() {
  owned_.assign(data_, data_ + size_);
  unlink();
  viewing_ = false;
  PyBuffer_Release(&buf_);
  data_ = owned_.data();
}

void HvArg::materialise_all() {
  while (live_ != nullptr) live_->materialise();
}

HvArg::~HvArg() {
  if (!viewing_) return;
  unlink();
  PyBuffer_Release(&buf_);
}

Py_ssize_t length_hint(PyObject* obj) {
  if (PyUnicode_Check(obj) || !PySequence_Check(obj)) return 0;
  if (!PyList_CheckExact(obj) && !PyTuple_CheckExact(obj)) before_python_code();  // __len__
  const Py_ssize_t n = PySequence_Size(obj);
  if (n < 0) PyErr_Clear();
  // Only a hint: a __len__ that overstates must not become an allocation failure.
  constexpr Py_ssize_t kMaxHint = Py_ssize_t{1} << 20;
  return n < 0 ? 0 : (n < kMaxHint ? n : kMaxHint);
}

namespace {

// A 2-D C-contiguous float32/float64 numpy array (exactly that type: iterating
// it gives its rows as 1-D arrays, each of which the buffer path would read, and
// runs no Python code), read as one buffer: rows x cols values into `out`,
// quieted as the row path would. False, with nothing read, for anything else.
bool try_float_matrix(PyObject* obj, std::vector<float>& out, std::size_t& rows, std::size_t& cols) {
  if (std::strcmp(Py_TYPE(obj)->tp_name, "numpy.ndarray") != 0) return false;
  Py_buffer view;
  if (!get_buffer(obj, view)) return false;
  Release release{&view};
  if (view.ndim != 2 || view.format == nullptr) return false;
  const char* f = view.format;
  if (*f == '@' || *f == '=' || *f == '<') ++f;
  if (f[0] == '\0' || f[1] != '\0') return false;
  rows = static_cast<std::size_t>(view.shape[0]);
  cols = static_cast<std::size_t>(view.shape[1]);
  const std::size_t n = rows * cols;
  if (*f == 'f' && view.itemsize == 4) {
    const float* src = static_cast<const float*>(view.buf);
    out.assign(src, src + n);
    quiet_nans(out.data(), n);
    return true;
  }
  if (*f == 'd' && view.itemsize == 8) {
    out.resize(n);
    const double* src = static_cast<const double*>(view.buf);
    for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<float>(src[i]);
    return true;
  }
  return false;
}

}  // namespace

Rows to_rows(PyObject* obj) {
  Rows rows;
  std::size_t r = 0, c = 0;
  if (try_float_matrix(obj, rows.data, r, c)) {
    rows.offset.resize(r + 1);
    for (std::size_t i = 0; i <= r; ++i) rows.offset[i] = i * c;
    return rows;
  }
  for_each_item(obj, [&](PyObject* item) {
    append_hypervector(item, rows.data);
    rows.offset.push_back(rows.data.size());
  });
  return rows;
}

std::vector<Hypervector> to_hypervector_list(PyObject* obj) {
  std::vector<Hypervector> out;
  {
    std::vector<float> all;
    std::size_t r = 0, c = 0;
    if (try_float_matrix(obj, all, r, c)) {
      out.reserve(r);
      for (std::size_t i = 0; i < r; ++i) out.emplace_back(all.begin() + static_cast<std::ptrdiff_t>(i * c),
                                                           all.begin() + static_cast<std::ptrdiff_t>((i + 1) * c));
      return out;
    }
  }
  out.reserve(static_cast<std::size_t>(length_hint(obj)));
  for_each_item(obj, [&](PyObject* item) { out.push_back(to_hypervector(item)); });
  return out;
}

std::vector<std::string> to_utf8_list(PyObject* obj) {
  std::vector<std::string> out;
  out.reserve(static_cast<std::size_t>(length_hint(obj)));
  for_each_item(obj, [&](PyObject* item) { out.emplace_back(to_utf8(item)); });
  return out;
}

std::string_view to_utf8(PyObject* obj) {
  if (!PyUnicode_Check(obj)) raise_cannot_convert(obj, msg::kPyString);
  Py_ssize_t n = 0;
  const char* s = PyUnicode_AsUTF8AndSize(obj, &n);
  if (s == nullptr) throw_error_set();
  return {s, static_cast<std::size_t>(n)};
}

double to_f64(PyObject* obj) {
  if (PyFloat_CheckExact(obj)) return PyFloat_AS_DOUBLE(obj);
  if (!PyLong_CheckExact(obj)) before_python_code();  // __float__ / __index__
  const double d = PyFloat_AsDouble(obj);
  if (d == -1.0 && PyErr_Occurred()) throw_error_set();
  return d;
}

std::uint64_t to_u64(PyObject* obj) {
  if (PyLong_CheckExact(obj)) {
    const unsigned long long v = PyLong_AsUnsignedLongLong(obj);
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw_error_set();
    return v;
  }
  before_python_code();  // __index__
  Ref index(PyNumber_Index(obj));
  if (!index) throw_error_set();
  const unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw_error_set();
  return v;
}

long to_c_long(PyObject* obj) {
  Ref index;
  if (!PyLong_Check(obj)) {
    before_python_code();  // __index__
    // Its own exception (an OverflowError included) passes unchanged.
    index = Ref(PyNumber_Index(obj));
    if (!index) throw_error_set();
    obj = index.get();
  }
  int overflow = 0;
  const long v = PyLong_AsLongAndOverflow(obj, &overflow);
  if (overflow != 0) raise_int_range();  // beyond a C long: outside every 32-bit type too
  if (v == -1 && PyErr_Occurred()) throw_error_set();
  return v;
}

void to_fixed_floats(PyObject* obj, float* out, std::size_t n) {
  if (!PyList_CheckExact(obj) && !PyTuple_CheckExact(obj)) before_python_code();  // __len__, __getitem__
  if (!PySequence_Check(obj)) raise_cannot_convert(obj, msg::kSequence);
  const Py_ssize_t len = PySequence_Size(obj);
  if (len < 0) throw_error_set();
  if (static_cast<std::size_t>(len) != n) raise(PyExc_ValueError, msg::wrong_length(n, len));
  for (std::size_t i = 0; i < n; ++i) {
    Ref item(PySequence_GetItem(obj, static_cast<Py_ssize_t>(i)));
    if (!item) throw_error_set();
    out[i] = item_to_f32(item.get());
  }
}

namespace {

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

MHDC_BOX_CLONES
void share_codes(const float* v, std::size_t n, std::uint32_t* code) {
  for (std::size_t i = 0; i < n; ++i) code[i] = share_code(std::bit_cast<std::uint32_t>(v[i]));
}

}  // namespace

namespace {

// Bit k set when code k occurs in code[0 .. n).
MHDC_BOX_CLONES
std::uint32_t codes_present(const std::uint32_t* code, std::size_t n) {
  std::uint32_t present = 0;
  for (std::size_t i = 0; i < n; ++i) present |= 1u << code[i];
  return present;
}

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
MHDC_BOX_CLONES
std::size_t count_byte(const std::int8_t* v, std::size_t n, std::int8_t key) {
  std::size_t total = 0;
  for (std::size_t start = 0; start < n; start += std::size_t{1} << 30) {
    const std::size_t end = std::min(n, start + (std::size_t{1} << 30));
    std::uint32_t c = 0;
    for (std::size_t i = start; i < end; ++i) c += static_cast<std::uint32_t>(v[i] == key);
    total += c;
  }
  return total;
}

MHDC_BOX_CLONES
void byte_range(const std::int8_t* v, std::size_t n, int& lo, int& hi) {
  std::int8_t a = 127, b = -128;
  for (std::size_t i = 0; i < n; ++i) {
    a = std::min(a, v[i]);
    b = std::max(b, v[i]);
  }
  lo = a;
  hi = b;
}

}  // namespace

PyObject* box(const ByteVector& v) {
  // One int object per value in the vector's range (the interpreter's cached one
  // for small values), stored by pointer; each gets its references added once at
  // the end, counted per value: bumping one shared count per element would chain
  // every store through the same memory word.
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

PyObject* box_dict(std::initializer_list<std::pair<const char*, PyObject*>> owned_items) {
  // Take ownership of every value first, so nothing leaks whichever step fails.
  std::vector<Ref> values;
  values.reserve(owned_items.size());
  for (const auto& kv : owned_items) values.emplace_back(kv.second);
  for (const auto& v : values)
    if (!v) throw_error_set();
  Ref dict(checked(PyDict_New()));
  std::size_t i = 0;
  for (const auto& kv : owned_items)
    if (PyDict_SetItemString(dict.get(), kv.first, values[i++].get()) != 0) throw_error_set();
  return dict.release();
}

}  // namespace mhdc::py

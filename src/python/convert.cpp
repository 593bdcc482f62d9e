#include "python/convert.hpp"

#include <cstdint>
#include <cstring>

#include "hkvc_graphics/engine.hpp"  // encode_utf8
#include "python/messages.hpp"

namespace mhdc::py {

void raise_int_range() { raise(PyExc_OverflowError, msg::kIntRange); }

void check_vector_like(PyObject* obj) {
  if (PyUnicode_Check(obj)) raise(PyExc_TypeError, msg::kStrToVec);
  if (!PySequence_Check(obj)) raise_cannot_convert(obj, msg::kSequence);
}

namespace {

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

template <class Floats>
void append_hypervector(PyObject* obj, Floats& out) {
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
      out.push_back(to_f32(item.get()));
    }
    return;
  }
  if (PyTuple_CheckExact(obj)) {
    const Py_ssize_t n = PyTuple_GET_SIZE(obj);
    const std::size_t base = out.size();
    out.resize(base + static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i)
      out[base + static_cast<std::size_t>(i)] = to_f32(PyTuple_GET_ITEM(obj, i));
    return;
  }
  check_vector_like(obj);
  Py_ssize_t shape[1];
  if (read_float_buffer(obj, 1, out, shape)) return;
  out.reserve(out.size() + static_cast<std::size_t>(length_hint(obj)));
  for_each_item(obj, [&](PyObject* item) { out.push_back(to_f32(item)); });
  // A __len__ that overstated must not leave megabytes of spare capacity in a
  // vector that an instance keeps (a metacognition record, a swarm vector).
  if (out.capacity() - out.size() > 4096 && out.capacity() > 2 * out.size()) out.shrink_to_fit();
}
template void append_hypervector(PyObject*, Hypervector&);
template void append_hypervector(PyObject*, hdc::FloatStore&);

Hypervector to_hypervector(PyObject* obj) {
  Hypervector out;
  append_hypervector(obj, out);
  return out;
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
bool try_float_matrix(PyObject* obj, hdc::FloatStore& out, std::size_t& rows, std::size_t& cols) {
  Py_ssize_t shape[2];
  if (std::strcmp(Py_TYPE(obj)->tp_name, "numpy.ndarray") != 0 || !read_float_buffer(obj, 2, out, shape)) return false;
  rows = static_cast<std::size_t>(shape[0]);
  cols = static_cast<std::size_t>(shape[1]);
  return true;
}

}  // namespace

hdc::RowBuffer to_rows(PyObject* obj) {
  hdc::RowBuffer rows;
  std::size_t r = 0, c = 0;
  if (try_float_matrix(obj, rows.data(), r, c)) {
    rows.end_rows(r, c);
    return rows;
  }
  if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) {
    // Rows that are lists give the total up front: one allocation for all of them
    // (a row's __float__ changing another row only makes the buffer grow again).
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(obj);
    PyObject** items = PySequence_Fast_ITEMS(obj);
    std::size_t total = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
      const std::size_t len = PyList_CheckExact(items[i]) ? static_cast<std::size_t>(PyList_GET_SIZE(items[i])) : 0;
      if (len > SIZE_MAX - total) throw std::bad_alloc();  // the same list many times over
      total += len;
    }
    rows.data().reserve(total);
  }
  for_each_item(obj, [&](PyObject* item) {
    append_hypervector(item, rows.data());
    rows.end_row();
  });
  return rows;
}

std::vector<Hypervector> to_hypervector_list(PyObject* obj) {
  std::vector<Hypervector> out;
  {
    hdc::FloatStore all;
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

namespace {

// UTF-8 of a str; one with lone surrogates (no UTF-8 form) through the lossy encoder.
std::string utf8_lossy(PyObject* text) {
  Py_ssize_t n = 0;
  if (const char* s = PyUnicode_AsUTF8AndSize(text, &n)) return std::string(s, static_cast<std::size_t>(n));
  PyErr_Clear();
  std::u32string code_points(static_cast<std::size_t>(PyUnicode_GET_LENGTH(text)), U'\0');
  for (std::size_t i = 0; i < code_points.size(); ++i)
    code_points[i] = PyUnicode_READ_CHAR(text, static_cast<Py_ssize_t>(i));
  return hkvc_graphics::encode_utf8(code_points);
}

}  // namespace

std::string to_text_form(PyObject* obj) {
  Ref s(PyObject_Str(obj));
  if (s) return utf8_lossy(s.get());
  PyErr_WriteUnraisable(obj);
  Ref name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__name__"));
  if (name && PyUnicode_Check(name.get())) return msg::unprintable(utf8_lossy(name.get()));
  PyErr_Clear();
  return msg::kUnprintableObject;
}

double to_f64(PyObject* obj) {
  if (PyFloat_CheckExact(obj)) return PyFloat_AS_DOUBLE(obj);
  if (!PyLong_CheckExact(obj)) before_python_code();  // __float__ / __index__
  const double d = PyFloat_AsDouble(obj);
  if (d == -1.0 && PyErr_Occurred()) throw_error_set();
  return d;
}

namespace {

// The int to read: obj itself when `is_int`, else its __index__, held in `index`.
// The __index__'s own exception (an OverflowError included) passes unchanged.
PyObject* as_int(PyObject* obj, bool is_int, Ref& index) {
  if (is_int) return obj;
  before_python_code();  // __index__
  index = Ref(PyNumber_Index(obj));
  if (!index) throw_error_set();
  return index.get();
}

}  // namespace

std::uint64_t to_u64(PyObject* obj) {
  Ref index;
  const unsigned long long v = PyLong_AsUnsignedLongLong(as_int(obj, PyLong_CheckExact(obj), index));
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw_error_set();
  return v;
}

long to_c_long(PyObject* obj) {
  Ref index;
  int overflow = 0;
  const long v = PyLong_AsLongAndOverflow(as_int(obj, PyLong_Check(obj), index), &overflow);
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
    out[i] = to_f32(item.get());
  }
}

}  // namespace mhdc::py

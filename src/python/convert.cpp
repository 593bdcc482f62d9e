#include "python/convert.hpp"

#include <cstring>

namespace mhdc::py {

void raise_int_range() { raise(PyExc_OverflowError, "out of range integral type conversion attempted"); }

void check_vector_like(PyObject* obj) {
  if (PyUnicode_Check(obj)) raise(PyExc_TypeError, "Can't extract `str` to `Vec`");
  if (!PySequence_Check(obj))
    raise(PyExc_TypeError, "'" + type_qualname(obj) + "' object cannot be converted to 'Sequence'");
}

namespace {

// One item through the interpreter's float protocol (float, __float__, __index__).
inline float item_to_f32(PyObject* item) {
  if (PyFloat_CheckExact(item)) return static_cast<float>(PyFloat_AS_DOUBLE(item));
  const double d = PyFloat_AsDouble(item);
  if (d == -1.0 && PyErr_Occurred()) throw_error_set();
  return static_cast<float>(d);
}

// f32 -> f64 -> f32 quiets a signalling NaN; the buffer path must do the same.
inline float through_double(float x) {
  if (x != x) {
    std::uint32_t bits;
    std::memcpy(&bits, &x, 4);
    bits |= 0x00400000u;
    std::memcpy(&x, &bits, 4);
  }
  return x;
}

// 1-D C-contiguous buffers of native float32/float64 are read directly; they give
// the same values as iterating their items (each item is a double rounded to 32 bits).
bool try_float_buffer(PyObject* obj, std::vector<float>& out) {
  if (!PyObject_CheckBuffer(obj) || PyBytes_Check(obj) || PyByteArray_Check(obj)) return false;
  Py_buffer view;
  if (PyObject_GetBuffer(obj, &view, PyBUF_FORMAT | PyBUF_C_CONTIGUOUS) != 0) {
    PyErr_Clear();
    return false;
  }
  struct Release {
    Py_buffer* v;
    ~Release() { PyBuffer_Release(v); }
  } release{&view};
  if (view.ndim != 1 || view.format == nullptr) return false;
  const char* f = view.format;
  if (*f == '@' || *f == '=' || *f == '<') ++f;
  if (f[1] != '\0') return false;
  const std::size_t n = static_cast<std::size_t>(view.shape ? view.shape[0] : view.len / view.itemsize);
  const std::size_t base = out.size();
  if (*f == 'f' && view.itemsize == 4) {
    out.resize(base + n);
    const float* src = static_cast<const float*>(view.buf);
    for (std::size_t i = 0; i < n; ++i) out[base + i] = through_double(src[i]);
    return true;
  }
  if (*f == 'd' && view.itemsize == 8) {
    out.resize(base + n);
    const double* src = static_cast<const double*>(view.buf);
    for (std::size_t i = 0; i < n; ++i) out[base + i] = static_cast<float>(src[i]);
    return true;
  }
  return false;
}

}  // namespace

void append_hypervector(PyObject* obj, std::vector<float>& out) {
  if (PyList_CheckExact(obj)) {
    // Re-read the size every step: an item's __float__ may change the list,
    // exactly as the list's own iterator would see it.
    const std::size_t base = out.size();
    const Py_ssize_t n = PyList_GET_SIZE(obj);
    out.resize(base + static_cast<std::size_t>(n));
    PyObject** items = reinterpret_cast<PyListObject*>(obj)->ob_item;
    Py_ssize_t i = 0;
    for (; i < n; ++i) {
      PyObject* item = items[i];
      if (!PyFloat_CheckExact(item)) break;
      out[base + static_cast<std::size_t>(i)] = static_cast<float>(PyFloat_AS_DOUBLE(item));
    }
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
}

Hypervector to_hypervector(PyObject* obj) {
  Hypervector out;
  append_hypervector(obj, out);
  return out;
}

Py_ssize_t length_hint(PyObject* obj) {
  if (PyUnicode_Check(obj) || !PySequence_Check(obj)) return 0;
  const Py_ssize_t n = PySequence_Size(obj);
  if (n < 0) PyErr_Clear();
  return n < 0 ? 0 : n;
}

Rows to_rows(PyObject* obj) {
  Rows rows;
  for_each_item(obj, [&](PyObject* item) {
    append_hypervector(item, rows.data);
    rows.offset.push_back(rows.data.size());
  });
  return rows;
}

std::vector<Hypervector> to_hypervector_list(PyObject* obj) {
  std::vector<Hypervector> out;
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
  if (!PyUnicode_Check(obj))
    raise(PyExc_TypeError, "'" + type_qualname(obj) + "' object cannot be converted to 'PyString'");
  Py_ssize_t n = 0;
  const char* s = PyUnicode_AsUTF8AndSize(obj, &n);
  if (s == nullptr) throw_error_set();
  return {s, static_cast<std::size_t>(n)};
}

double to_f64(PyObject* obj) {
  if (PyFloat_CheckExact(obj)) return PyFloat_AS_DOUBLE(obj);
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
  Ref index(PyNumber_Index(obj));
  if (!index) throw_error_set();
  const unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw_error_set();
  return v;
}

long to_c_long(PyObject* obj) {
  const long v = PyLong_AsLong(obj);
  if (v == -1 && PyErr_Occurred()) {
    if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
      PyErr_Clear();
      raise_int_range();
    }
    throw_error_set();
  }
  return v;
}

void to_fixed_floats(PyObject* obj, float* out, std::size_t n) {
  if (!PySequence_Check(obj))
    raise(PyExc_TypeError, "'" + type_qualname(obj) + "' object cannot be converted to 'Sequence'");
  const Py_ssize_t len = PySequence_Size(obj);
  if (len < 0) throw_error_set();
  if (static_cast<std::size_t>(len) != n)
    raise(PyExc_ValueError,
          "expected a sequence of length " + std::to_string(n) + " (got " + std::to_string(len) + ")");
  for (std::size_t i = 0; i < n; ++i) {
    Ref item(PySequence_GetItem(obj, static_cast<Py_ssize_t>(i)));
    if (!item) throw_error_set();
    out[i] = item_to_f32(item.get());
  }
}

PyObject* box(HvView v) {
  const Py_ssize_t n = static_cast<Py_ssize_t>(v.size());
  Ref list(checked(PyList_New(n)));
  PyObject** items = reinterpret_cast<PyListObject*>(list.get())->ob_item;
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* f = PyFloat_FromDouble(static_cast<double>(v[static_cast<std::size_t>(i)]));
    if (f == nullptr) throw_error_set();
    items[i] = f;
  }
  return list.release();
}

PyObject* box(const ByteVector& v) {
  const Py_ssize_t n = static_cast<Py_ssize_t>(v.size());
  Ref list(checked(PyList_New(n)));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* x = PyLong_FromLong(v[static_cast<std::size_t>(i)]);
    if (x == nullptr) throw_error_set();
    PyList_SET_ITEM(list.get(), i, x);
  }
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

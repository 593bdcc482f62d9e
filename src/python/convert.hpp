// Python objects -> the core's values. The to_* functions raise the unprefixed
// error (the "argument 'name': " rule is applied once, in Args) and throw
// ErrorSet on failure. Buffers read in place: views.hpp; results: box.hpp.
#pragma once
#include <Python.h>

#include <array>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "hdc/rows.hpp"
#include "hdc/types.hpp"
#include "python/errors.hpp"
#include "python/ref.hpp"
#include "python/views.hpp"

namespace mhdc::py {

// Any sequence but str; items through the float protocol, each rounded to 32 bits.
// Exact lists/tuples of floats and 1-D float32/float64 buffers take fast paths
// with identical results and messages.
// (For a Hypervector or an hdc::FloatStore.)
template <class Floats>
void append_hypervector(PyObject* obj, Floats& out);
Hypervector to_hypervector(PyObject* obj);

// A list of hypervectors converted straight into one packed buffer (for a list
// or tuple of lists, allocated once for every row).
hdc::RowBuffer to_rows(PyObject* obj);
std::vector<Hypervector> to_hypervector_list(PyObject* obj);
std::vector<std::string> to_utf8_list(PyObject* obj);  // copies

std::string_view to_utf8(PyObject* obj);   // valid while obj lives
// str(obj) as UTF-8, lone surrogates as U+FFFD; when str() raises, its error goes
// to the unraisable hook and the text is msg::unprintable(<type name>).
std::string to_text_form(PyObject* obj);
double to_f64(PyObject* obj);  // the float protocol: float, __float__, __index__
inline float to_f32(PyObject* obj) { return static_cast<float>(to_f64(obj)); }
std::uint64_t to_u64(PyObject* obj);
long to_c_long(PyObject* obj);
[[noreturn]] void raise_int_range();        // msg::kIntRange

// Read as a C long, then range-checked; any value outside T (a C long overflow
// included) gets the one range message.
template <class T>
T to_int(PyObject* obj) {
  static_assert(sizeof(T) <= 4, "wider integers have their own converters");
  const long v = to_c_long(obj);
  if (v < static_cast<long>(std::numeric_limits<T>::min()) ||
      v > static_cast<long>(std::numeric_limits<T>::max()))
    raise_int_range();
  return static_cast<T>(v);
}

// Sequence (not str) of integers of width T.
template <class T>
std::vector<T> to_int_list(PyObject* obj);

// A sequence of exactly N items, fetched by index.
void to_fixed_floats(PyObject* obj, float* out, std::size_t n);
template <std::size_t N>
std::array<float, N> to_fixed(PyObject* obj) {
  std::array<float, N> a{};
  to_fixed_floats(obj, a.data(), N);
  return a;
}

void check_vector_like(PyObject* obj);  // the str and 'Sequence' checks

// Every "sequence (not str) of items" conversion: the str and 'Sequence' checks,
// then the items in iteration order; the reported length is only a capacity hint.
Py_ssize_t length_hint(PyObject* obj);
template <class F>
void for_each_item(PyObject* obj, F&& each) {
  check_vector_like(obj);
  if (!PyList_CheckExact(obj) && !PyTuple_CheckExact(obj)) before_python_code();  // __iter__, __next__
  Ref it(PyObject_GetIter(obj));
  if (!it) throw_error_set();
  while (PyObject* raw = PyIter_Next(it.get())) {
    Ref item(raw);
    each(item.get());
  }
  if (PyErr_Occurred()) throw_error_set();
}

template <class T>
std::vector<T> to_int_list(PyObject* obj) {
  std::vector<T> out;
  out.reserve(static_cast<std::size_t>(length_hint(obj)));
  for_each_item(obj, [&](PyObject* item) { out.push_back(to_int<T>(item)); });
  return out;
}

}  // namespace mhdc::py

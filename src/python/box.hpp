// Core values -> new Python objects. Every box throws ErrorSet on failure, after
// releasing whatever it had made.
#pragma once
#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "hdc/types.hpp"
#include "python/errors.hpp"
#include "python/ref.hpp"

namespace mhdc::py {

inline PyObject* checked(PyObject* p) {
  if (p == nullptr) throw_error_set();
  return p;
}
inline PyObject* none() { Py_RETURN_NONE; }
inline PyObject* box(bool b) { return checked(PyBool_FromLong(b)); }
inline PyObject* box(float x) { return checked(PyFloat_FromDouble(x)); }
inline PyObject* box(double x) { return checked(PyFloat_FromDouble(x)); }
inline PyObject* box(std::uint64_t x) { return checked(PyLong_FromUnsignedLongLong(x)); }
inline PyObject* box(std::uint32_t x) { return checked(PyLong_FromUnsignedLong(x)); }
inline PyObject* box(std::int64_t x) { return checked(PyLong_FromLongLong(x)); }
inline PyObject* box(int x) { return checked(PyLong_FromLong(x)); }
inline PyObject* box(std::string_view s) {
  return checked(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}
inline PyObject* box(const std::string& s) { return box(std::string_view(s)); }
inline PyObject* box(const char* s) { return box(std::string_view(s)); }
PyObject* box(HvView v);                                  // list of float
inline PyObject* box(const Hypervector& v) { return box(HvView(v)); }
PyObject* box(const ByteVector& v);                       // list of int
inline PyObject* box(PyObject* already_boxed) { return already_boxed; }

template <class T>
PyObject* box(const std::optional<T>& v) {
  return v ? box(*v) : none();
}

template <class... T>
PyObject* box_tuple(const T&... items);

template <class A, class B>
PyObject* box(const std::pair<A, B>& p) { return box_tuple(p.first, p.second); }

template <class... T>
PyObject* box(const std::tuple<T...>& t) {
  return std::apply([](const auto&... x) { return box_tuple(x...); }, t);
}

// A list of box(x) per item, each stored as it is made: also the plain twin of
// the shared-object boxing of hypervectors and byte vectors.
template <class T>
PyObject* box_each(const T* items, std::size_t n) {
  Ref list(checked(PyList_New(static_cast<Py_ssize_t>(n))));
  for (std::size_t i = 0; i < n; ++i) PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), box(items[i]));
  return list.release();
}

template <class T>
PyObject* box(const std::vector<T>& items) {
  return box_each(items.data(), items.size());
}

template <class... T>
PyObject* box_tuple(const T&... items) {
  Ref tuple(checked(PyTuple_New(sizeof...(T))));
  Py_ssize_t i = 0;
  ((PyTuple_SET_ITEM(tuple.get(), i++, box(items))), ...);
  return tuple.release();
}

// A dict of box(value) by box(key), inserted in the order given.
template <class Pairs>
PyObject* box_dict(const Pairs& items) {
  Ref dict(checked(PyDict_New()));
  for (const auto& [key, value] : items) {
    Ref k(box(key)), v(box(value));
    if (PyDict_SetItem(dict.get(), k.get(), v.get()) != 0) throw_error_set();
  }
  return dict.release();
}

}  // namespace mhdc::py

// Conversions between Python objects and the core's values. The to_* functions
// raise the unprefixed error (the "argument 'name': " rule is applied once, in
// Args); box* functions return new references. Both throw ErrorSet on failure.
#pragma once
#include <Python.h>

#include <array>
#include <cstdint>
#include <limits>
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

// ---- Python -> core -------------------------------------------------------

// Any sequence but str; items through the float protocol, each rounded to 32 bits.
// Exact lists/tuples of floats and 1-D float32/float64 buffers take fast paths
// with identical results and messages.
void append_hypervector(PyObject* obj, std::vector<float>& out);
Hypervector to_hypervector(PyObject* obj);

// A Hypervector argument read in place where that cannot change anything: a 1-D
// C-contiguous, aligned native float32 buffer without signalling NaNs is used
// directly for the call instead of being copied (its values are the ones the
// copy would hold); anything else is converted as by to_hypervector, with the
// same values and messages. The export pins the buffer (it cannot be resized or
// freed) and the GIL is held. Python code run by a later conversion (an item's
// __float__, a sequence's __iter__, ...) could still write into the buffer, so
// every conversion step that may run Python code first copies all live views
// (before_python_code), and the values used are always those seen when the
// argument was converted. Only for operations whose core call runs no Python
// code and keeps no view. Not copyable or movable: views are tracked by address.
class HvArg {
 public:
  HvArg() = default;
  HvArg(const HvArg&) = delete;
  HvArg& operator=(const HvArg&) = delete;
  ~HvArg();

  // What the operation does with the elements. `any`: the bits may matter, so a
  // buffer holding a signalling NaN is copied and quieted, as the item path
  // would. `arithmetic`: elements only enter float arithmetic and comparisons, or
  // are copied into the result, which box() widens to double; on x86-64 both
  // quiet a signalling NaN and pick a NaN operand by position, never by whether
  // it signals, so the unquieted buffer gives the same bits and its scan is skipped.
  enum class Use { any, arithmetic };
  void load(PyObject* obj, Use use = Use::any);
  HvView view() const { return {data_, size_}; }
  bool in_place() const { return viewing_; }  // for tests of this path

  // Copies every live view into its own storage and releases the exports.
  static void materialise_all();
  static bool any_live() { return live_ != nullptr; }

 private:
  void materialise();
  void unlink();

  Hypervector owned_;
  Py_buffer buf_{};
  const float* data_ = nullptr;
  std::size_t size_ = 0;
  bool viewing_ = false;
  HvArg* next_ = nullptr;
  static HvArg* live_;  // every live view; touched only with the GIL held
};

// Called before any conversion step that may run Python code.
inline void before_python_code() {
  if (HvArg::any_live()) HvArg::materialise_all();
}

// A list of hypervectors converted straight into one buffer: row r is
// data[offset[r] .. offset[r + 1]).
struct Rows {
  std::vector<float> data;
  std::vector<std::size_t> offset{0};
  std::size_t size() const { return offset.size() - 1; }
  std::size_t length(std::size_t r) const { return offset[r + 1] - offset[r]; }
  const float* row(std::size_t r) const { return data.data() + offset[r]; }
  HvView view(std::size_t r) const { return {row(r), length(r)}; }
};
Rows to_rows(PyObject* obj);
std::vector<Hypervector> to_hypervector_list(PyObject* obj);
std::vector<std::string> to_utf8_list(PyObject* obj);  // copies

std::string_view to_utf8(PyObject* obj);   // valid while obj lives
double to_f64(PyObject* obj);
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

// ---- core -> Python -------------------------------------------------------

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

template <class T>
PyObject* box(const std::vector<T>& items) {
  Ref list(checked(PyList_New(static_cast<Py_ssize_t>(items.size()))));
  for (std::size_t i = 0; i < items.size(); ++i)
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), box(items[i]));
  return list.release();
}

template <class... T>
PyObject* box_tuple(const T&... items) {
  Ref tuple(checked(PyTuple_New(sizeof...(T))));
  Py_ssize_t i = 0;
  ((PyTuple_SET_ITEM(tuple.get(), i++, box(items))), ...);
  return tuple.release();
}

// A dict with the keys inserted in the given order.
PyObject* box_dict(std::initializer_list<std::pair<const char*, PyObject*>> owned_items);

// ---- template definitions ---------------------------------------------------

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

// Lists of hypervectors (keys, values) converted into one packed buffer, for the
// attention head and the scheduler's search.
#pragma once
#include <Python.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <vector>
#if defined(__linux__)
#include <sys/mman.h>
#endif

#include "python/convert.hpp"
#include "quantum_heads/attention_head.hpp"

namespace mhdc::py {

// Keys and values as one packed buffer. For the common input, a list (or tuple)
// of lists of exact floats, the total length is summed first and the buffer is
// allocated once and filled in one pass, running no Python code; anything else
// (other sequences, items needing __float__) is converted by the general
// `to_rows` from the start, so results and messages are the same either way.
struct FreeFloats {
  void operator()(float* p) const { std::free(p); }
};

// A float buffer for n items. Large ones (tens of MB for a thousand keys of
// dim 10,000) are placed on transparent huge pages where the system offers
// them: faulting in 4 KiB pages one by one otherwise costs several times the
// conversion itself.
inline float* allocate_floats(std::size_t n) {
  if (n > SIZE_MAX / sizeof(float) - (std::size_t{4} << 20)) throw std::bad_alloc();
  const std::size_t bytes = (n == 0 ? 1 : n) * sizeof(float);
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  constexpr std::size_t kHuge = std::size_t{2} << 20;
  if (bytes >= 4 * kHuge) {
    const std::size_t rounded = (bytes + kHuge - 1) / kHuge * kHuge;
    void* p = std::aligned_alloc(kHuge, rounded);
    if (p == nullptr) throw std::bad_alloc();
    madvise(p, rounded, MADV_HUGEPAGE);  // only advice: if refused, small pages are used
    return static_cast<float*>(p);
  }
#endif
  void* p = std::malloc(bytes);
  if (p == nullptr) throw std::bad_alloc();
  return static_cast<float*>(p);
}

struct PackedInput {
  std::unique_ptr<float[], FreeFloats> fast;
  std::vector<std::size_t> offset;
  Rows general;
  bool is_fast = false;

  quantum_heads::PackedRows view() const {
    if (is_fast) return {fast.get(), offset};
    return {general.data.data(), general.offset};
  }
};

inline bool fill_exact_rows(PyObject* outer, PackedInput& p) {
  const bool list = PyList_CheckExact(outer);
  if (!list && !PyTuple_CheckExact(outer)) return false;
  const Py_ssize_t n = list ? PyList_GET_SIZE(outer) : PyTuple_GET_SIZE(outer);
  PyObject** rows = list ? reinterpret_cast<PyListObject*>(outer)->ob_item : reinterpret_cast<PyTupleObject*>(outer)->ob_item;
  std::size_t total = 0;
  for (Py_ssize_t r = 0; r < n; ++r) {
    if (!PyList_CheckExact(rows[r])) return false;
    const auto len = static_cast<std::size_t>(PyList_GET_SIZE(rows[r]));
    if (len > SIZE_MAX - total) throw std::bad_alloc();  // the same list many times over
    total += len;
  }
  p.offset.resize(static_cast<std::size_t>(n) + 1);
  p.fast.reset(allocate_floats(total));
  float* out = p.fast.get();
  std::size_t at = 0;
  p.offset[0] = 0;
  for (Py_ssize_t r = 0; r < n; ++r) {
    const Py_ssize_t m = PyList_GET_SIZE(rows[r]);
    PyObject** items = reinterpret_cast<PyListObject*>(rows[r])->ob_item;
    for (Py_ssize_t i = 0; i < m; ++i) {
      if (!PyFloat_CheckExact(items[i])) return false;
      out[at++] = static_cast<float>(PyFloat_AS_DOUBLE(items[i]));
    }
    p.offset[static_cast<std::size_t>(r) + 1] = at;
  }
  return true;
}

inline PackedInput to_packed_rows(PyObject* obj) {
  PackedInput p;
  if (fill_exact_rows(obj, p)) {
    p.is_fast = true;
    return p;
  }
  p.fast.reset();
  p.offset.clear();
  p.general = to_rows(obj);
  return p;
}

}  // namespace mhdc::py

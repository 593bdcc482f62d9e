#include "python/views.hpp"

#include <bit>
#include <cstdint>

#include "python/convert.hpp"

namespace mhdc::py {
namespace {

// f32 -> f64 -> f32 quiets a signalling NaN, so the buffer path must too; over
// a whole array, branch-free so that it vectorises.
template <hdc::Isa>
[[gnu::always_inline]] inline void quiet_nans_body(float* v, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    std::uint32_t u = std::bit_cast<std::uint32_t>(v[i]);
    u |= (u & 0x7fffffffu) > 0x7f800000u ? 0x00400000u : 0u;
    v[i] = std::bit_cast<float>(u);
  }
}
MHDC_ISA_VARIANTS(void, quiet_nans, (float* v, std::size_t n), (v, n))
void quiet_nans(float* v, std::size_t n) { return quiet_nans_for(hdc::active_isa())(v, n); }

// Whether some element may be a signalling NaN (which the item path would
// quiet): all exponent bits set and the quiet bit clear, which infinities share.
// A superset, so that the test is two operations per element; an infinity only
// sends the array down the copying path.
template <hdc::Isa>
[[gnu::always_inline]] inline bool may_hold_signalling_nan_body(const float* v, std::size_t n) {
  std::uint32_t any = 0;
  for (std::size_t i = 0; i < n; ++i) any |= (std::bit_cast<std::uint32_t>(v[i]) & 0x7fc00000u) == 0x7f800000u;
  return any != 0;
}
MHDC_ISA_VARIANTS(bool, may_hold_signalling_nan, (const float* v, std::size_t n), (v, n))
bool may_hold_signalling_nan(const float* v, std::size_t n) { return may_hold_signalling_nan_for(hdc::active_isa())(v, n); }

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

// The element type of a native float buffer of `ndim` dimensions: 'f', 'd', or 0 for anything else.
char float_format(const Py_buffer& view, int ndim) {
  if (view.ndim != ndim || view.format == nullptr) return 0;
  const char* f = view.format;
  if (*f == '@' || *f == '=' || *f == '<') ++f;
  if (f[0] == '\0' || f[1] != '\0') return 0;
  if (*f == 'f' && view.itemsize == 4) return 'f';
  if (*f == 'd' && view.itemsize == 8) return 'd';
  return 0;
}

}  // namespace

template <class Floats>
bool read_float_buffer(PyObject* obj, int ndim, Floats& out, Py_ssize_t* shape) {
  Py_buffer view;
  if (!get_buffer(obj, view)) return false;
  Release release{&view};
  const char format = float_format(view, ndim);
  if (format == 0) return false;
  std::size_t n = 1;
  for (int d = 0; d < ndim; ++d) n *= static_cast<std::size_t>(shape[d] = view.shape[d]);
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
template bool read_float_buffer(PyObject*, int, Hypervector&, Py_ssize_t*);
template bool read_float_buffer(PyObject*, int, hdc::FloatStore&, Py_ssize_t*);

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
      // A 0-d buffer has no shape: its length is read only once it is known to be 1-D.
      const bool f32 = float_format(buf_, 1) == 'f';
      const std::size_t n = f32 ? static_cast<std::size_t>(buf_.shape[0]) : 0;
      if (f32 && reinterpret_cast<std::uintptr_t>(buf_.buf) % alignof(float) == 0 &&
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

}  // namespace mhdc::py

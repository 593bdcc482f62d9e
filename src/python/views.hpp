// Float buffers: read in place for one call (HvArg, with the registry of live
// views that keeps later Python code from changing what a call sees), or copied
// into a vector. The only reader of buffer formats.
#pragma once
#include <Python.h>

#include <vector>

#include "hdc/types.hpp"
#include "python/errors.hpp"

// The element loops of the frame (quieting, scans, boxing) are built per
// instruction set like the core's kernels.
#include "hdc/simd.hpp"

namespace mhdc::py {

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

// A C-contiguous native float32/float64 buffer of `ndim` dimensions: its values
// appended to `out` as iterating its items would give them (each a double rounded
// to 32 bits, a signalling NaN quieted) and its shape in shape[0 .. ndim). False,
// with nothing read and no error, for any other object.
template <class Floats>
bool read_float_buffer(PyObject* obj, int ndim, Floats& out, Py_ssize_t* shape);

}  // namespace mhdc::py

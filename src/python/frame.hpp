// The argument frame: one constant parameter record per operation, one matcher
// that produces every argument-matching message, and `Args`, which converts the
// matched objects in parameter order and applies the "argument 'name': " prefix
// rule in exactly one place.
#pragma once
#include <Python.h>

#include <array>
#include <initializer_list>
#include <string>

#include "python/box.hpp"
#include "python/convert.hpp"

namespace mhdc::py {

inline constexpr int kMaxParams = 8;

struct Params {
  std::array<const char*, kMaxParams> names{};
  int count = 0;
  int required = 0;

  constexpr Params() = default;
  // Parameters after the first `required` ones are optional ("=None").
  constexpr Params(std::initializer_list<const char*> n, int required_count = -1) {
    for (const char* s : n) names[static_cast<std::size_t>(count++)] = s;
    required = required_count < 0 ? count : required_count;
  }
};

// Where a call is going, for messages: "PyHKVC.store()" or "resonance()".
struct Callee {
  const char* cls;   // nullptr for free functions
  const char* name;
  std::string full_name() const;
};

// Matches a vectorcall (args[0..nargs) then the values of kwnames) or a
// tuple/dict call into slots[0..params.count); omitted slots stay nullptr.
void match_fastcall(const Params& p, const Callee& c, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** slots);
void match_tuple(const Params& p, const Callee& c, PyObject* args, PyObject* kwargs, PyObject** slots);

// Replaces a pending TypeError (exactly TypeError) by one whose message is
// "argument '<name>': <message>", keeping the original's cause.
void prefix_type_error(const char* name);

// Conversion of matched arguments. Each converter is called in parameter order by
// the binding; a TypeError raised while converting becomes "argument '<name>': <message>".
class Args {
 public:
  Args(const Params& p, PyObject** slots) : params_(p), slots_(slots) {}

  PyObject* raw(int i) const { return slots_[i]; }
  bool present(int i) const { return slots_[i] != nullptr && slots_[i] != Py_None; }

  Hypervector hv(int i) { return convert(i, to_hypervector); }
  hdc::RowBuffer rows(int i) { return convert(i, to_rows); }
  std::vector<Hypervector> hv_list(int i) { return convert(i, to_hypervector_list); }
  std::string_view str(int i) { return convert(i, to_utf8); }
  float f32(int i) { return convert(i, to_f32); }
  double f64(int i) { return convert(i, to_f64); }
  std::uint64_t u64(int i) { return convert(i, to_u64); }
  std::uint32_t u32(int i) { return convert(i, to_int<std::uint32_t>); }
  std::int32_t i32(int i) { return convert(i, to_int<std::int32_t>); }
  template <class T>
  std::vector<T> int_list(int i) { return convert(i, to_int_list<T>); }
  template <std::size_t N>
  std::array<float, N> fixed(int i) { return convert(i, to_fixed<N>); }
  // A hypervector read in place where it can be (see HvArg), into `into`, which the caller keeps.
  void view(int i, HvArg& into, HvArg::Use use) {
    convert(i, [&](PyObject* o) { into.load(o, use); });
  }

  // Any other conversion, with the same prefix rule.
  template <class F>
  auto convert(int i, F&& f) -> decltype(f(static_cast<PyObject*>(nullptr))) {
    try {
      return f(slots_[i]);
    } catch (const ErrorSet&) {
      prefix_type_error(params_.names[static_cast<std::size_t>(i)]);
      throw;
    }
  }

 private:
  const Params& params_;
  PyObject** slots_;
};


// ---- free functions -------------------------------------------------------

struct Function {
  const char* name;
  const char* body;       // documentation after the signature (may be "")
  Params params;
  PyObject* (*call)(Args&);
};

// "name(a, b=None)", with "$self" first for methods: the interpreter's text signature.
std::string text_signature(const char* name, const Params& p, bool self);
// The interpreter's "<text signature>\n--\n\n<body>" layout, kept for the process.
const char* doc_string(const char* name, const Params& p, bool self, const char* body);

template <const Function& F>
PyObject* function_trampoline(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  try {
    PyObject* slots[kMaxParams] = {};
    match_fastcall(F.params, Callee{nullptr, F.name}, args, nargs, kwnames, slots);
    Args a(F.params, slots);
    return F.call(a);
  } catch (...) {
    return translate_exception();
  }
}

template <const Function& F>
PyMethodDef* function_def() {
  static PyMethodDef def = {
      F.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&function_trampoline<F>)),
      METH_FASTCALL | METH_KEYWORDS, doc_string(F.name, F.params, false, F.body)};
  return &def;
}

}  // namespace mhdc::py

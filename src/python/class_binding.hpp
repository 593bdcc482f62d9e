// A Python class is described once, as data: its name, constructor, docstring
// body, whether instances are bound to their creating thread, and a table of
// members (methods and properties) in registration order. From that description
// this header generates the type object, the text signatures (from the parameter
// names, so each is written once), __new__, dealloc (with the foreign-thread
// rule), the thread checks and the borrow guards, identically for every class.
//
//   constexpr ClassInfo kInfo{"PyHKVC", "", ThreadBound::yes};
//   constexpr Ctor<Hkvc> kNew{{"dim"}, [](Args& a) { return Hkvc(a.u64(0)); }};
//   constexpr Method<Hkvc> kCount{"count", "", Access::shared, {},
//                                 [](Hkvc& s, Args&) { return box(s.count()); }};
//   PyTypeObject* type_PyHKVC() { return class_type<Hkvc, kInfo, kNew, kCount>(); }
#pragma once
#include <Python.h>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "python/frame.hpp"
#include "python/persist.hpp"

namespace mhdc::py {

enum class ThreadBound : bool { no = false, yes = true };
enum class Access { shared, exclusive };

struct ClassInfo {
  const char* name;            // "PyHKVC"
  const char* body;            // class docstring body, may be ""
  ThreadBound thread_bound;
};

template <class S>
struct Ctor {
  Params params;
  S (*make)(Args&);            // converts in parameter order, builds the state
};

template <class S>
struct Method {
  const char* name;
  const char* body;            // docstring body, may be ""
  Access access;
  Params params;               // empty: a no-argument method
  PyObject* (*call)(S&, Args&);
};

// A property. The getter reads under a shared borrow. The setter (optional)
// converts its value first (`convert`) and only then borrows exclusively (`assign`).
template <class S, class V = int>
struct Property {
  const char* name;
  PyObject* (*get)(const S&);
  const char* value_name = nullptr;      // the setter's argument name, for messages
  V (*convert)(Args&) = nullptr;
  void (*assign)(S&, V&&) = nullptr;
};

// ---- instance layout and borrowing ----------------------------------------

struct InstanceHeader {
  PyObject_HEAD
  Py_ssize_t borrow;      // 0 free, > 0 shared by that many readers, -1 held by one writer
  std::uint64_t owner;    // creating thread's token (current_thread_token), for thread-bound classes
};

template <class S>
struct Instance : InstanceHeader {
  S* state;
};

// Type check, thread check, borrow flag, in that order; releases on scope exit.
class BorrowGuard {
 public:
  BorrowGuard(PyObject* self, PyTypeObject* type, const ClassInfo& info, Access access);
  ~BorrowGuard();
  BorrowGuard(const BorrowGuard&) = delete;
  BorrowGuard& operator=(const BorrowGuard&) = delete;
  InstanceHeader* header() const { return h_; }

 private:
  InstanceHeader* h_;
  Access access_;
};

[[noreturn]] void raise_delete_attribute();
void report_foreign_drop(const ClassInfo& info);
// Keeps the address of a state left allocated by a foreign-thread drop, so that
// it stays reachable (a deliberate, bounded leak, not a lost block).
void abandon_state(const void* state) noexcept;
// A number that no other thread of the process ever gets, even after this one
// ends (the system's thread identifiers are reused as soon as a thread exits).
std::uint64_t current_thread_token() noexcept;
bool on_owner_thread(const InstanceHeader* h);
PyTypeObject* build_type(const ClassInfo& info, const Params& ctor, std::size_t basicsize, newfunc tp_new,
                         destructor tp_dealloc, PyMethodDef* methods, PyGetSetDef* getset);

template <class S>
S& state_of(const BorrowGuard& g) {
  return *static_cast<Instance<S>*>(g.header())->state;
}

// ---- generated slots -------------------------------------------------------

template <class S, const ClassInfo& I>
struct ClassSlots {
  static inline PyTypeObject* type = nullptr;

  static void dealloc(PyObject* self) {
    auto* inst = reinterpret_cast<Instance<S>*>(self);
    if (I.thread_bound == ThreadBound::yes && !on_owner_thread(inst)) {
      report_foreign_drop(I);  // the state stays allocated: it belongs to another thread
      abandon_state(inst->state);
    } else {
      delete inst->state;
    }
    PyTypeObject* tp = Py_TYPE(self);
    auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(tp, Py_tp_free));
    free_fn(self);
    Py_DECREF(tp);
  }
};

template <class S, const ClassInfo& I, const Ctor<S>& C>
PyObject* class_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  try {
    PyObject* slots[kMaxParams] = {};
    match_tuple(C.params, Callee{I.name, "__new__"}, args, kwargs, slots);
    Args a(C.params, slots);
    auto state = std::make_unique<S>(C.make(a));
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    auto* inst = reinterpret_cast<Instance<S>*>(self);
    inst->borrow = 0;
    inst->owner = current_thread_token();
    inst->state = state.release();
    return self;
  } catch (...) {
    return translate_exception();
  }
}

template <class S, const ClassInfo& I, const Method<S>& M>
PyObject* method_fastcall(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  try {
    PyObject* slots[kMaxParams] = {};
    match_fastcall(M.params, Callee{I.name, M.name}, args, nargs, kwnames, slots);
    BorrowGuard g(self, ClassSlots<S, I>::type, I, M.access);
    Args a(M.params, slots);
    return M.call(state_of<S>(g), a);
  } catch (...) {
    return translate_exception();
  }
}

template <class S, const ClassInfo& I, const Method<S>& M>
PyObject* method_noargs(PyObject* self, PyObject*) {
  try {
    BorrowGuard g(self, ClassSlots<S, I>::type, I, M.access);
    Args a(M.params, nullptr);
    return M.call(state_of<S>(g), a);
  } catch (...) {
    return translate_exception();
  }
}

template <class S, const ClassInfo& I, const auto& P>
PyObject* property_get(PyObject* self, void*) {
  try {
    BorrowGuard g(self, ClassSlots<S, I>::type, I, Access::shared);
    return P.get(state_of<S>(g));
  } catch (...) {
    return translate_exception();
  }
}

template <class S, const ClassInfo& I, const auto& P>
int property_set(PyObject* self, PyObject* value, void*) {
  try {
    if (value == nullptr) raise_delete_attribute();
    static constexpr Params params{{P.value_name}};
    PyObject* slots[kMaxParams] = {value};
    Args a(params, slots);
    auto v = P.convert(a);
    BorrowGuard g(self, ClassSlots<S, I>::type, I, Access::exclusive);
    P.assign(state_of<S>(g), std::move(v));
    return 0;
  } catch (...) {
    return translate_exception_int();
  }
}

template <class S, const ClassInfo& I, const auto& M>
PyMethodDef method_def() {
  const char* doc = doc_string(M.name, M.params, true, M.body);
  if (M.params.count == 0)
    return {M.name, reinterpret_cast<PyCFunction>(&method_noargs<S, I, M>), METH_NOARGS, doc};
  return {M.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&method_fastcall<S, I, M>)),
          METH_FASTCALL | METH_KEYWORDS, doc};
}

template <class S, const ClassInfo& I, const auto& P>
PyGetSetDef getset_def() {
  setter set = nullptr;
  if constexpr (requires { P.assign; }) {
    if (P.assign != nullptr) set = &property_set<S, I, P>;
  }
  return {P.name, &property_get<S, I, P>, set, nullptr, nullptr};
}

template <class S, const ClassInfo& I, const Persist<S>& P>
PyObject* persist_reduce(PyObject* self, PyObject*) {
  try {
    Ref state;
    {
      BorrowGuard g(self, ClassSlots<S, I>::type, I, Access::shared);
      Ref bytes;
      hdc::StateWriter w(I.name, P.version, &grow_state_bytes, &bytes);
      P.save(state_of<S>(g), w);
      state = Ref(state_bytes_done(&bytes, w.size()));
    }
    Ref ref(class_ref(ClassSlots<S, I>::type));
    Ref args(P.blank());
    if (!args) throw_error_set();
    PyObject* out = PyTuple_Pack(3, ref.get(), args.get(), state.get());
    if (out == nullptr) throw_error_set();
    return out;
  } catch (...) {
    return translate_exception();
  }
}

template <class S, const ClassInfo& I, const Persist<S>& P>
PyObject* persist_setstate(PyObject* self, PyObject* state) {
  try {
    hdc::StateReader r(state_bytes(state), I.name, P.version);
    auto fresh = std::make_unique<S>(P.load(r));
    r.finish();
    BorrowGuard g(self, ClassSlots<S, I>::type, I, Access::exclusive);
    std::unique_ptr<S> old(std::exchange(static_cast<Instance<S>*>(g.header())->state, fresh.release()));
    Py_RETURN_NONE;
  } catch (...) {
    return translate_exception();
  }
}

// The type object, built on first use and kept for the process.
template <class S, const ClassInfo& I, const Ctor<S>& C, const auto&... Members>
PyTypeObject* class_type() {
  using Slots = ClassSlots<S, I>;
  if (Slots::type != nullptr) return Slots::type;
  static std::vector<PyMethodDef> methods, saving;
  static std::vector<PyGetSetDef> getset;
  methods.clear();
  saving.clear();
  getset.clear();
  (
      [&] {
        using M = std::remove_cvref_t<decltype(Members)>;
        if constexpr (std::is_same_v<M, Method<S>>) {
          methods.push_back(method_def<S, I, Members>());
        } else if constexpr (std::is_same_v<M, Persist<S>>) {
          saving.push_back({"__reduce__", &persist_reduce<S, I, Members>, METH_NOARGS,
                            "__reduce__($self, /)\n--\n\nThe instance's saved state, for pickle and copy."});
          saving.push_back({"__setstate__", &persist_setstate<S, I, Members>, METH_O,
                            "__setstate__($self, state, /)\n--\n\nReplaces the instance's state with a saved one."});
        } else {
          getset.push_back(getset_def<S, I, Members>());
        }
      }(),
      ...);
  methods.insert(methods.end(), saving.begin(), saving.end());
  methods.push_back({nullptr, nullptr, 0, nullptr});
  getset.push_back({nullptr, nullptr, nullptr, nullptr, nullptr});
  Slots::type = build_type(I, C.params, sizeof(Instance<S>), &class_new<S, I, C>, &Slots::dealloc,
                           methods.data(), getset.data());
  return Slots::type;
}

}  // namespace mhdc::py

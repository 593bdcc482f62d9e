#include "python/class_binding.hpp"

#include <atomic>
#include <cstring>

#include "python/messages.hpp"

namespace mhdc::py {

std::uint64_t current_thread_token() noexcept {
  static std::atomic<std::uint64_t> next{1};
  thread_local const std::uint64_t token = next.fetch_add(1, std::memory_order_relaxed);
  return token;
}

bool on_owner_thread(const InstanceHeader* h) { return h->owner == current_thread_token(); }

BorrowGuard::BorrowGuard(PyObject* self, PyTypeObject* type, const ClassInfo& info, Access access)
    : h_(nullptr), access_(access) {
  if (type == nullptr || !PyObject_TypeCheck(self, type))
    raise_cannot_convert(self, info.name);
  auto* h = reinterpret_cast<InstanceHeader*>(self);
  if (info.thread_bound == ThreadBound::yes && !on_owner_thread(h))
    raise_panic(msg::unsendable(info.name, msg::kSentToAnotherThread));
  if (access == Access::exclusive) {
    if (h->borrow != 0) raise(PyExc_RuntimeError, msg::kAlreadyBorrowed);
    h->borrow = -1;
  } else {
    if (h->borrow < 0) raise(PyExc_RuntimeError, msg::kAlreadyMutablyBorrowed);
    ++h->borrow;
  }
  h_ = h;
}

BorrowGuard::~BorrowGuard() {
  if (access_ == Access::exclusive)
    h_->borrow = 0;
  else
    --h_->borrow;
}

void raise_delete_attribute() { raise(PyExc_AttributeError, msg::kCantDelete); }

void report_foreign_drop(const ClassInfo& info) {
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_SetString(PyExc_RuntimeError, msg::unsendable(info.name, msg::kDroppedOnAnotherThread).c_str());
  PyErr_WriteUnraisable(nullptr);  // self is mid-deallocation: the hook must not take a reference to it
  PyErr_Restore(type, value, tb);
}

void abandon_state(const void* state) noexcept {
  static auto* abandoned = new std::vector<const void*>();  // never destroyed: read by leak checkers at exit
  try {
    abandoned->push_back(state);
  } catch (...) {  // out of memory: the state is then simply unreferenced
  }
}

PyTypeObject* build_type(const ClassInfo& info, const Params& ctor, std::size_t basicsize, newfunc tp_new,
                         destructor tp_dealloc, PyMethodDef* methods, PyGetSetDef* getset) {
  static std::deque<std::string> names;  // PyType_FromSpec keeps a pointer to the name
  names.push_back(std::string("builtins.") + info.name);
  const std::string doc = text_signature(info.name, ctor, false) + "\n--\n\n" + info.body;
  PyType_Slot slots[] = {
      {Py_tp_new, reinterpret_cast<void*>(tp_new)},
      {Py_tp_dealloc, reinterpret_cast<void*>(tp_dealloc)},
      {Py_tp_doc, const_cast<char*>(doc.c_str())},
      {Py_tp_methods, methods},
      {Py_tp_getset, getset},
      {0, nullptr},
  };
  PyType_Spec spec = {names.back().c_str(), static_cast<int>(basicsize), 0, Py_TPFLAGS_DEFAULT, slots};
  PyObject* type = PyType_FromSpec(&spec);
  if (type == nullptr) {
    PyObject *t, *v, *tb;
    PyErr_Fetch(&t, &v, &tb);
    PyErr_NormalizeException(&t, &v, &tb);
    PyErr_Format(PyExc_RuntimeError, msg::kClassInitFailed, info.name);
    PyObject *t2, *v2, *tb2;
    PyErr_Fetch(&t2, &v2, &tb2);
    PyErr_NormalizeException(&t2, &v2, &tb2);
    PyException_SetCause(v2, v);  // steals v
    Py_XDECREF(t);
    Py_XDECREF(tb);
    PyErr_Restore(t2, v2, tb2);
    throw ErrorSet{};
  }
#if PY_VERSION_HEX < 0x030A0000
  // Before 3.10 the type keeps its doc without the signature line, so __text_signature__
  // would be None; give it the whole text back (it frees tp_doc with PyObject_Free).
  auto* tp = reinterpret_cast<PyTypeObject*>(type);
  if (char* whole = static_cast<char*>(PyObject_Malloc(doc.size() + 1))) {
    std::memcpy(whole, doc.c_str(), doc.size() + 1);
    PyObject_Free(const_cast<char*>(tp->tp_doc));
    tp->tp_doc = whole;
  }
#endif
  return reinterpret_cast<PyTypeObject*>(type);
}

}  // namespace mhdc::py

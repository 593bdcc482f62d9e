#include "python/persist.hpp"

#include <new>
#include <string_view>

#include "hdc/rows.hpp"
#include "python/errors.hpp"
#include "python/ref.hpp"

namespace mhdc::py {

namespace {

// A class reference (type set) or the module reference (type null).
struct ClassRef {
  PyObject_HEAD
  PyObject* type;
};

void ref_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  Py_XDECREF(reinterpret_cast<ClassRef*>(self)->type);
  PyObject_Free(self);
  Py_DECREF(tp);  // instances of a heap type hold a reference to it
}

PyObject* ref_call(PyObject* self, PyObject* args, PyObject* kwargs) {
  PyObject* type = reinterpret_cast<ClassRef*>(self)->type;
  if (type == nullptr) return PyImport_ImportModule("morvelan_hdc");
  return PyObject_Call(type, args, kwargs);
}

PyObject* make_ref(PyObject* type);

PyObject* ref_reduce(PyObject* self, PyObject*) {
  PyObject* builtins = PyEval_GetBuiltins();  // borrowed
  PyObject* type = reinterpret_cast<ClassRef*>(self)->type;
  if (type == nullptr) return Py_BuildValue("(O(s))", PyDict_GetItemString(builtins, "__import__"), "morvelan_hdc");
  Ref module(make_ref(nullptr));
  Ref name(module ? PyObject_GetAttrString(type, "__name__") : nullptr);
  if (!name) return nullptr;
  return Py_BuildValue("(O(OO))", PyDict_GetItemString(builtins, "getattr"), module.get(), name.get());
}

PyMethodDef ref_methods[] = {{"__reduce__", ref_reduce, METH_NOARGS, nullptr}, {nullptr, nullptr, 0, nullptr}};

PyType_Slot ref_slots[] = {{Py_tp_dealloc, reinterpret_cast<void*>(ref_dealloc)},
                           {Py_tp_call, reinterpret_cast<void*>(ref_call)},
                           {Py_tp_methods, ref_methods},
                           {0, nullptr}};
PyType_Spec ref_spec = {"morvelan_hdc._ClassRef", sizeof(ClassRef), 0, Py_TPFLAGS_DEFAULT, ref_slots};

PyObject* make_ref(PyObject* type) {
  static PyTypeObject* ref_type = nullptr;  // made once the first call succeeds
  if (ref_type == nullptr) ref_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&ref_spec));
  if (ref_type == nullptr) return nullptr;
  auto* r = PyObject_New(ClassRef, ref_type);
  if (r == nullptr) return nullptr;
  Py_XINCREF(type);
  r->type = type;
  return reinterpret_cast<PyObject*>(r);
}

}  // namespace

PyObject* class_ref(PyTypeObject* type) {
  PyObject* r = make_ref(reinterpret_cast<PyObject*>(type));
  if (r == nullptr) throw_error_set();
  return r;
}

char* grow_state_bytes(void* ref, std::size_t bytes) {
  Ref& b = *static_cast<Ref*>(ref);
  if (bytes > static_cast<std::size_t>(PY_SSIZE_T_MAX)) throw std::bad_alloc();
  if (!b) {
    b = Ref(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(bytes)));
  } else {
    // Not yet seen by anyone else, so it may change size (a large one is moved, not copied).
    PyObject* p = b.release();
    if (_PyBytes_Resize(&p, static_cast<Py_ssize_t>(bytes)) != 0) throw_error_set();  // p is freed then
    b = Ref(p);
  }
  if (!b) throw_error_set();
  hdc::advise_huge_pages(PyBytes_AS_STRING(b.get()), bytes);  // before the pages are first touched
  return PyBytes_AS_STRING(b.get());
}

PyObject* state_bytes_done(void* ref, std::size_t size) {
  grow_state_bytes(ref, size);
  return static_cast<Ref*>(ref)->release();
}

std::string_view state_bytes(PyObject* state) {
  if (!PyBytes_Check(state)) raise(PyExc_TypeError, "a saved state is bytes");
  return {PyBytes_AS_STRING(state), static_cast<std::size_t>(PyBytes_GET_SIZE(state))};
}

}  // namespace mhdc::py

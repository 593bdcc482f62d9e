// The module entry point: binds the module to one interpreter, creates it once,
// and adds the free functions and then the classes in registration order, each
// through the one routine that also maintains __all__.
#include <Python.h>

#include <atomic>
#include <cstdint>

#include "python/errors.hpp"
#include "python/messages.hpp"
#include "python/ref.hpp"
#include "python/registry.hpp"

namespace mhdc::py {
namespace {

std::atomic<std::int64_t> bound_interpreter{-1};
PyObject* cached_module = nullptr;

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "morvelan_hdc", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr};

// Appends `name` to __all__ (creating the list if absent), then sets the attribute.
void add_object(PyObject* module, const char* name, PyObject* owned) {
  Ref value(owned);
  Ref all(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error_set();
    PyErr_Clear();
    all = Ref(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) != 0) throw_error_set();
  }
  if (!PyList_Check(all.get()))
    raise_cannot_convert(all.get(), msg::kPyList);
  Ref text(PyUnicode_FromString(name));
  if (!text || PyList_Append(all.get(), text.get()) != 0) throw_error_set();
  if (PyObject_SetAttrString(module, name, value.get()) != 0) throw_error_set();
}

void add_function(PyObject* module, PyMethodDef* (*def)()) {
  if (def == nullptr) return;
  PyMethodDef* d = def();
  Ref name(PyModule_GetNameObject(module));
  if (!name) throw_error_set();
  PyObject* fn = PyCFunction_NewEx(d, module, name.get());
  if (fn == nullptr) throw_error_set();
  add_object(module, d->ml_name, fn);
}

void add_class(PyObject* module, const char* name, PyTypeObject* (*type)()) {
  if (type == nullptr) return;
  PyTypeObject* t = type();
  Py_INCREF(t);
  add_object(module, name, reinterpret_cast<PyObject*>(t));
}

PyObject* init() {
  PyInterpreterState* interp = PyInterpreterState_Get();
  const std::int64_t id = PyInterpreterState_GetID(interp);
  if (id == -1) {
    ensure_error_set();
    return nullptr;
  }
  std::int64_t expected = -1;
  if (!bound_interpreter.compare_exchange_strong(expected, id) && expected != id) {
    PyErr_SetString(PyExc_ImportError, msg::kSubInterpreters);
    return nullptr;
  }
  if (cached_module != nullptr) {
    Py_INCREF(cached_module);
    return cached_module;
  }
  Ref module(PyModule_Create(&module_def));
  if (!module) return nullptr;
  try {
#define MHDC_ADD_FUNCTION(name) add_function(module.get(), &def_##name);
#define MHDC_ADD_CLASS(name) add_class(module.get(), #name, &type_##name);
    MHDC_FUNCTIONS(MHDC_ADD_FUNCTION)
    MHDC_CLASSES(MHDC_ADD_CLASS)
#undef MHDC_ADD_FUNCTION
#undef MHDC_ADD_CLASS
  } catch (...) {
    return translate_exception();
  }
  cached_module = module.release();
  Py_INCREF(cached_module);
  return cached_module;
}

}  // namespace
}  // namespace mhdc::py

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_morvelan_hdc() { return mhdc::py::init(); }

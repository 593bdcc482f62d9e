#include "python/errors.hpp"

#include <new>
#include <stdexcept>

#include "hdc/errors.hpp"
#include "python/messages.hpp"
#include "python/ref.hpp"

namespace mhdc::py {

void ensure_error_set() {
  if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, msg::kNoErrorSet);
}

void throw_error_set() {
  ensure_error_set();
  throw ErrorSet{};
}

namespace {
// The whole text, embedded NUL bytes included (PyErr_SetString would stop there).
void set_error(PyObject* type, const std::string& message) {
  Ref text(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (text) PyErr_SetObject(type, text.get());
}
}  // namespace

void raise(PyObject* type, const std::string& message) {
  set_error(type, message);
  throw ErrorSet{};
}

PyObject* panic_exception_type() {
  static PyObject* type = nullptr;
  if (type == nullptr) {
    type = PyErr_NewExceptionWithDoc(msg::kPanicName, msg::kPanicDoc, PyExc_BaseException, nullptr);
  }
  return type;
}

void raise_panic(const std::string& message) {
  PyObject* type = panic_exception_type();
  if (type == nullptr) throw ErrorSet{};  // creating the type failed; that error is set
  set_error(type, message);
  throw ErrorSet{};
}

PyObject* translate_exception() noexcept {
  try {
    throw;
  } catch (const ErrorSet&) {
    ensure_error_set();
  } catch (const mhdc::value_error& e) {
    set_error(PyExc_ValueError, e.text);
  } catch (const mhdc::index_error& e) {
    set_error(PyExc_IndexError, e.text);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error&) {  // a vector longer than the address space
    PyErr_NoMemory();
  } catch (const mhdc::core_error& e) {
    try { raise_panic(e.text); } catch (const ErrorSet&) {}
  } catch (const std::exception& e) {
    try { raise_panic(e.what()); } catch (const ErrorSet&) {}
  } catch (...) {
    try { raise_panic(msg::kUnknownFailure); } catch (const ErrorSet&) {}
  }
  return nullptr;
}

int translate_exception_int() noexcept {
  try {
    throw;
  } catch (...) {
    translate_exception();
  }
  return -1;
}

void raise_cannot_convert(PyObject* obj, const char* target) {
  raise(PyExc_TypeError, msg::cannot_convert(type_qualname(obj), target));
}

std::string type_qualname(PyObject* obj) {
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(obj));
  Ref name(PyObject_GetAttrString(type, "__qualname__"));
  if (name && PyUnicode_Check(name.get())) {
    Py_ssize_t n = 0;
    const char* s = PyUnicode_AsUTF8AndSize(name.get(), &n);
    if (s) return std::string(s, static_cast<std::size_t>(n));
  }
  PyErr_Clear();
  return Py_TYPE(obj)->tp_name;
}

}  // namespace mhdc::py

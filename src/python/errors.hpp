// How failures cross the boundary. Inside the frame a Python error that is
// already set travels as the C++ exception `ErrorSet`; every entry point ends in
// `translate_exception()`, which turns whatever was thrown into a raised Python
// exception, so no C++ exception ever reaches the interpreter.
#pragma once
#include <Python.h>

#include <string>

namespace mhdc::py {

// Thrown after a Python exception has been set.
struct ErrorSet {};

[[noreturn]] void throw_error_set();                       // a CPython call failed: error is set
void ensure_error_set();  // after a failed CPython call: a SystemError if it set no error
[[noreturn]] void raise(PyObject* type, const std::string& message);
[[noreturn]] void raise_panic(const std::string& message);  // PanicException
[[noreturn]] void raise_cannot_convert(PyObject* obj, const char* target);  // TypeError, msg::cannot_convert

// The module's PanicException type (created on first need; a borrowed reference).
PyObject* panic_exception_type();

// Call inside `catch (...)`: sets the Python error for the current C++ exception, returns nullptr.
PyObject* translate_exception() noexcept;
int translate_exception_int() noexcept;  // same, returns -1 (for setters)

// "__qualname__" of an object's type, for messages.
std::string type_qualname(PyObject* obj);

}  // namespace mhdc::py

// Every fixed text the module shows a caller, in one place: the conversion,
// borrow, thread and matching messages and the panic type. Callers rely on
// them word for word, so they change only together with the tests.
#pragma once
#include <Python.h>

#include <string>

namespace mhdc::py::msg {

// ---- conversion (convert.cpp, views.cpp) ------------------------------------

// A str where a sequence of numbers is expected (check_vector_like).
inline constexpr const char* kStrToVec = "Can't extract `str` to `Vec`";
// Targets of cannot_convert: a non-sequence for a vector, a list of them or a triple;
inline constexpr const char* kSequence = "Sequence";
// a non-str for a str argument;
inline constexpr const char* kPyString = "PyString";
// a module __all__ replaced by something else before the module finished registering.
inline constexpr const char* kPyList = "PyList";
// Also raised by BorrowGuard, with the class name as target, for a method called on a wrong instance.
inline std::string cannot_convert(const std::string& type_name, const char* target) {
  return "'" + type_name + "' object cannot be converted to '" + target + "'";
}
// An integer outside the parameter's C type (to_int, to_c_long).
inline constexpr const char* kIntRange = "out of range integral type conversion attempted";
// A fixed-length float sequence (to_fixed) of another length.
inline std::string wrong_length(std::size_t expected, Py_ssize_t got) {
  return "expected a sequence of length " + std::to_string(expected) + " (got " + std::to_string(got) + ")";
}
// The text of an object whose str() raised (to_text_form), with its type's name or without.
inline std::string unprintable(const std::string& type_name) { return "<unprintable " + type_name + " object>"; }
inline constexpr const char* kUnprintableObject = "<unprintable object>";

// ---- argument matching (frame.cpp), the interpreter's own wording ----------

// Too many positional arguments; `callee` is "Class.name()" or "name()".
inline std::string too_many(const std::string& callee, int required, int count, Py_ssize_t given) {
  const std::string range = required != count ? "from " + std::to_string(required) + " to " : "";
  return callee + " takes " + range + std::to_string(count) + " positional arguments but " + std::to_string(given) +
         (given == 1 ? " was given" : " were given");
}
// Required parameters left out; `names` is "'a'", "'a' and 'b'" or "'a', 'b', and 'c'".
inline std::string missing(const std::string& callee, std::size_t n, const std::string& names) {
  return callee + " missing " + std::to_string(n) + " required positional argument" + (n > 1 ? "s: " : ": ") + names;
}
// PyErr_Format with the callee and the keyword as a str object (so one with a lone surrogate shows as given).
inline constexpr const char* kUnexpectedKeyword = "%s got an unexpected keyword argument '%U'";
// PyErr_Format with the callee and the parameter name, for a parameter given twice.
inline constexpr const char* kMultipleValues = "%s got multiple values for argument '%s'";
// PyErr_Format with the parameter name and the original message: the prefix of a TypeError raised while converting.
inline constexpr const char* kArgumentPrefix = "argument '%s': %U";
// The original message of that TypeError when its str() fails.
inline constexpr const char* kUnprintable = "<unprintable>";

// ---- instances (class_binding.cpp) ------------------------------------------

// A writer while any borrow of the instance is held (a re-entrant call).
inline constexpr const char* kAlreadyBorrowed = "Already borrowed";
// A reader while a writer holds the instance.
inline constexpr const char* kAlreadyMutablyBorrowed = "Already mutably borrowed";
// `del` of a property that has a setter.
inline constexpr const char* kCantDelete = "can't delete attribute";
// A thread-bound instance used (a panic) or dropped (an unraisable RuntimeError) off its creating thread.
inline std::string unsendable(const char* cls, const char* what) {
  return std::string("morvelan_hdc::py_api::") + cls + " is unsendable, but " + what;
}
inline constexpr const char* kSentToAnotherThread = "sent to another thread";
inline constexpr const char* kDroppedOnAnotherThread = "is being dropped on another thread";
// PyErr_Format with the class name: the type object could not be created (its cause is chained).
inline constexpr const char* kClassInitFailed = "An error occurred while initializing class %s";

// ---- failures (errors.cpp, module.cpp) --------------------------------------

// The exception type of internal failures, derived from BaseException (created on first need).
inline constexpr const char* kPanicName = "pyo3_runtime.PanicException";
inline constexpr const char* kPanicDoc =
    "\nThe exception raised when the extension's native code fails unexpectedly.\n\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";
// A panic for a thrown object that is no std::exception.
inline constexpr const char* kUnknownFailure = "unknown internal failure";
// SystemError: a CPython call reported failure without setting an exception.
inline constexpr const char* kNoErrorSet = "attempted to fetch exception but none was set";
// ImportError: an import from a second interpreter of the process.
inline constexpr const char* kSubInterpreters =
    "morvelan_hdc does not support sub-interpreters: it can be imported in one interpreter per process";

// ---- bindings ----------------------------------------------------------------

// PyHoloGenEngine.generate_photon with a position vector but no direction or wavelength.
inline constexpr const char* kPhotonDirection =
    "direction is required when generate_photon() is called with a position vector";
inline constexpr const char* kPhotonWavelength =
    "wavelength is required when generate_photon() is called with a position vector";

}  // namespace mhdc::py::msg

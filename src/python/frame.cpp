#include "python/frame.hpp"

#include <cstring>
#include <deque>

#include "python/messages.hpp"

namespace mhdc::py {

std::string Callee::full_name() const { return (cls ? std::string(cls) + '.' : std::string()) + name + "()"; }

namespace {

[[noreturn]] void too_many(const Params& p, const Callee& c, Py_ssize_t given) {
  raise(PyExc_TypeError, msg::too_many(c.full_name(), p.required, p.count, given));
}

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
std::string name_list(const std::vector<const char*>& names) {
  std::string s;
  for (std::size_t i = 0; i < names.size(); ++i)
    s += std::string(i == 0 ? "" : i + 1 < names.size() ? ", " : names.size() > 2 ? ", and " : " and ") + '\'' +
         names[i] + '\'';
  return s;
}

void keyword(const Params& p, const Callee& c, PyObject* name, PyObject* value, PyObject** slots) {
  Py_ssize_t n = 0;
  const char* kw = PyUnicode_AsUTF8AndSize(name, &n);
  if (kw == nullptr) {
    // A name with a lone surrogate has no UTF-8 form, so it names no parameter.
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw_error_set();
    PyErr_Clear();
  }
  for (int i = 0; kw != nullptr && i < p.count; ++i) {
    const char* pn = p.names[static_cast<std::size_t>(i)];
    if (std::strlen(pn) == static_cast<std::size_t>(n) && std::memcmp(pn, kw, static_cast<std::size_t>(n)) == 0) {
      if (slots[i] != nullptr) {
        PyErr_Format(PyExc_TypeError, msg::kMultipleValues, c.full_name().c_str(), pn);
        throw ErrorSet{};
      }
      slots[i] = value;
      return;
    }
  }
  PyErr_Format(PyExc_TypeError, msg::kUnexpectedKeyword, c.full_name().c_str(), name);
  throw ErrorSet{};
}

void check_missing(const Params& p, const Callee& c, PyObject** slots) {
  std::vector<const char*> missing;
  for (int i = 0; i < p.required; ++i)
    if (slots[i] == nullptr) missing.push_back(p.names[static_cast<std::size_t>(i)]);
  if (missing.empty()) return;
  raise(PyExc_TypeError, msg::missing(c.full_name(), missing.size(), name_list(missing)));
}

}  // namespace

void match_fastcall(const Params& p, const Callee& c, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** slots) {
  if (nargs > p.count) too_many(p, c, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];
  if (kwnames != nullptr) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) keyword(p, c, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], slots);
  }
  if (nargs < p.required) check_missing(p, c, slots);
}

void match_tuple(const Params& p, const Callee& c, PyObject* args, PyObject* kwargs, PyObject** slots) {
  const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  if (nargs > p.count) too_many(p, c, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = PyTuple_GET_ITEM(args, i);
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(kwargs, &pos, &k, &v)) keyword(p, c, k, v, slots);
  }
  check_missing(p, c, slots);
}

void prefix_type_error(const char* name) {
  if (PyErr_Occurred() != PyExc_TypeError) return;  // subclasses and other errors pass unchanged
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  Ref t(type), v(value), trace(tb);
  if (!v || Py_TYPE(v.get()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
    PyErr_Restore(t.release(), v.release(), trace.release());
    return;
  }
  // Built as a str, so the replaced message keeps any NUL or lone surrogate it holds.
  Ref inner(PyObject_Str(v.get()));
  if (!inner) {
    PyErr_Clear();
    inner = Ref(PyUnicode_FromString(msg::kUnprintable));
    if (!inner) return;  // that failure (MemoryError) is now the pending error
  }
  Ref text(PyUnicode_FromFormat(msg::kArgumentPrefix, name, inner.get()));
  if (!text) return;
  Ref fresh(PyObject_CallOneArg(PyExc_TypeError, text.get()));
  if (!fresh) return;
  PyException_SetCause(fresh.get(), PyException_GetCause(v.get()));
  PyErr_SetObject(PyExc_TypeError, fresh.get());
}

std::string text_signature(const char* name, const Params& p, bool self) {
  std::string s = std::string(name) + (self ? "($self" : "(");
  for (int i = 0; i < p.count; ++i) {
    if (self || i != 0) s += ", ";
    s += p.names[static_cast<std::size_t>(i)];
    if (i >= p.required) s += "=None";
  }
  return s + ')';
}

const char* doc_string(const char* name, const Params& p, bool self, const char* body) {
  static std::deque<std::string> docs;  // stable addresses for the process
  docs.push_back(text_signature(name, p, self) + "\n--\n\n" + body);
  return docs.back().c_str();
}

}  // namespace mhdc::py

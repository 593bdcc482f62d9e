// Machine bounds for the targets of benchmarks/run.py, for measurement only: the
// index-order (sequential) float32 dot, the latency of one dependent float32 add, the
// ChaCha12 output rate of the library's own four-block refill, building a list of
// one shared object, and the popcount floor of a bipolar scan.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <algorithm>
#include <chrono>
#include <cstdint>

#include "hdc/rng.hpp"

static PyObject* seq_dot(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 2) { PyErr_SetString(PyExc_TypeError, "seq_dot(a, b)"); return nullptr; }
  Py_buffer a, b;
  if (PyObject_GetBuffer(args[0], &a, PyBUF_C_CONTIGUOUS) != 0) return nullptr;
  if (PyObject_GetBuffer(args[1], &b, PyBUF_C_CONTIGUOUS) != 0) { PyBuffer_Release(&a); return nullptr; }
  const float* x = static_cast<const float*>(a.buf);
  const float* y = static_cast<const float*>(b.buf);
  const Py_ssize_t n = std::min(a.len, b.len) / 4;
  float s = 0.0f;
  for (Py_ssize_t i = 0; i < n; ++i) s += x[i] * y[i];
  PyBuffer_Release(&a);
  PyBuffer_Release(&b);
  return PyFloat_FromDouble(s);
}

static volatile float g_sink;

// Seconds per dependent add, the best of a few runs of n adds.
static PyObject* add_latency(PyObject*, PyObject* arg) {
  const long n = PyLong_AsLong(arg);
  if (n <= 0) return PyErr_Occurred() ? nullptr : PyFloat_FromDouble(0.0);
  double best = 1e30;
  for (int r = 0; r < 5; ++r) {
    float s = 0.0f, step = g_sink + 1.0f;
    const auto t0 = std::chrono::steady_clock::now();
    for (long i = 0; i < n; ++i) {
      s += step;
      __asm__ volatile("" : "+x"(s));  // keep the chain: no reassociation, no vectorising
    }
    const double t = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    g_sink = s;
    if (t < best) best = t;
  }
  return PyFloat_FromDouble(best / static_cast<double>(n));
}

// n 64-bit ChaCha12 draws (two words each), as the generators read them.
static PyObject* chacha_draws(PyObject*, PyObject* arg) {
  const long n = PyLong_AsLong(arg);
  if (n < 0) return PyErr_Occurred() ? nullptr : PyLong_FromLong(0);
  std::uint32_t key[8] = {1, 2, 3, 4, 5, 6, 7, 8}, out[64];
  std::uint32_t acc = 0;
  std::uint64_t counter = 0;
  for (long done = 0; done < n; done += 32, counter += 4) {
    mhdc::hdc::chacha4(key, counter, 0, 6, out);
    acc ^= out[counter & 63];
  }
  return PyLong_FromUnsignedLong(acc);
}

// A list of n references to one float: the least a list build of bipolar results costs.
static PyObject* list_of_shared(PyObject*, PyObject* arg) {
  const Py_ssize_t n = PyLong_AsSsize_t(arg);
  if (n < 0) return PyErr_Occurred() ? nullptr : PyList_New(0);
  PyObject* list = PyList_New(n);
  PyObject* one = PyFloat_FromDouble(1.0);
  if (!list || !one) { Py_XDECREF(list); Py_XDECREF(one); return nullptr; }
  for (Py_ssize_t i = 0; i < n; ++i) { Py_INCREF(one); PyList_SET_ITEM(list, i, one); }
  Py_DECREF(one);
  return list;
}

// The popcount floor of a scan of bipolar rows: xor and popcount of every row's sign
// words (rows, a buffer of n x words 64-bit words) with the query's, one count kept per
// row, and nothing else.
static volatile std::uint64_t g_counts_seen;
__attribute__((target("popcnt"))) static PyObject* xor_popcount(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 2) { PyErr_SetString(PyExc_TypeError, "xor_popcount(rows, query)"); return nullptr; }
  Py_buffer r, q;
  if (PyObject_GetBuffer(args[0], &r, PyBUF_C_CONTIGUOUS) != 0) return nullptr;
  if (PyObject_GetBuffer(args[1], &q, PyBUF_C_CONTIGUOUS) != 0) { PyBuffer_Release(&r); return nullptr; }
  const auto* rows = static_cast<const std::uint64_t*>(r.buf);
  const auto* query = static_cast<const std::uint64_t*>(q.buf);
  const Py_ssize_t words = q.len / 8, n = words ? r.len / 8 / words : 0;
  std::uint64_t seen = 0;
  for (Py_ssize_t i = 0; i < n; ++i) {
    std::uint64_t c = 0;
    for (Py_ssize_t w = 0; w < words; ++w) c += static_cast<std::uint64_t>(__builtin_popcountll(query[w] ^ rows[i * words + w]));
    seen ^= c << (i & 31);  // every count is used
  }
  g_counts_seen = seen;
  PyBuffer_Release(&r);
  PyBuffer_Release(&q);
  Py_RETURN_NONE;
}

static PyMethodDef methods[] = {
    {"xor_popcount", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(xor_popcount)), METH_FASTCALL, nullptr},
    {"seq_dot", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(seq_dot)), METH_FASTCALL, nullptr},
    {"add_latency", add_latency, METH_O, nullptr},
    {"chacha_draws", chacha_draws, METH_O, nullptr},
    {"list_of_shared", list_of_shared, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};
static struct PyModuleDef def = {PyModuleDef_HEAD_INIT, "_bounds", nullptr, -1, methods,
                                 nullptr, nullptr, nullptr, nullptr};
PyMODINIT_FUNC PyInit__bounds(void) { return PyModule_Create(&def); }

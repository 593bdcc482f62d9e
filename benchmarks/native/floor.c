/* The conversion floor: the least any list-in/list-out extension must do.
 * It only unboxes its inputs and boxes a fresh float per output element.
 * For measurement only (benchmarks/native/CMakeLists.txt builds it). */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

static int unbox(PyObject* seq, float** out, Py_ssize_t* n) {
  if (!PyList_Check(seq)) { PyErr_SetString(PyExc_TypeError, "list expected"); return -1; }
  *n = PyList_GET_SIZE(seq);
  *out = PyMem_Malloc(sizeof(float) * (size_t)(*n ? *n : 1));
  if (!*out) { PyErr_NoMemory(); return -1; }
  for (Py_ssize_t i = 0; i < *n; ++i) (*out)[i] = (float)PyFloat_AS_DOUBLE(PyList_GET_ITEM(seq, i));
  return 0;
}

static PyObject* boxed(const float* v, Py_ssize_t n) {
  PyObject* list = PyList_New(n);
  if (!list) return NULL;
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* f = PyFloat_FromDouble(v[i]);
    if (!f) { Py_DECREF(list); return NULL; }
    PyList_SET_ITEM(list, i, f);
  }
  return list;
}

/* two lists in, one list out (the first operand's values) */
static PyObject* two_in_list_out(PyObject* self, PyObject* args) {
  PyObject *a, *b; float *x = NULL, *y = NULL; Py_ssize_t n, m;
  (void)self;
  if (!PyArg_ParseTuple(args, "OO", &a, &b)) return NULL;
  if (unbox(a, &x, &n) || unbox(b, &y, &m)) { PyMem_Free(x); PyMem_Free(y); return NULL; }
  PyObject* r = boxed(x, n < m ? n : m);
  PyMem_Free(x); PyMem_Free(y);
  return r;
}

/* two lists in, one float out */
static PyObject* two_in_float_out(PyObject* self, PyObject* args) {
  PyObject *a, *b; float *x = NULL, *y = NULL; Py_ssize_t n, m;
  (void)self;
  if (!PyArg_ParseTuple(args, "OO", &a, &b)) return NULL;
  if (unbox(a, &x, &n) || unbox(b, &y, &m)) { PyMem_Free(x); PyMem_Free(y); return NULL; }
  double r = n ? x[0] : 0.0;
  PyMem_Free(x); PyMem_Free(y);
  return PyFloat_FromDouble(r);
}

/* one list in, one list out */
static PyObject* one_in_list_out(PyObject* self, PyObject* a) {
  float* x = NULL; Py_ssize_t n;
  (void)self;
  if (unbox(a, &x, &n)) return NULL;
  PyObject* r = boxed(x, n);
  PyMem_Free(x);
  return r;
}

/* nothing in, n fresh floats out (the cost of building a result list alone) */
static PyObject* list_of(PyObject* self, PyObject* arg) {
  (void)self;
  Py_ssize_t n = PyLong_AsSsize_t(arg);
  if (n < 0 && PyErr_Occurred()) return NULL;
  PyObject* list = PyList_New(n);
  if (!list) return NULL;
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* f = PyFloat_FromDouble((i & 1) ? -1.0 : 1.0);
    if (!f) { Py_DECREF(list); return NULL; }
    PyList_SET_ITEM(list, i, f);
  }
  return list;
}

static PyMethodDef methods[] = {
    {"two_in_list_out", two_in_list_out, METH_VARARGS, NULL},
    {"two_in_float_out", two_in_float_out, METH_VARARGS, NULL},
    {"one_in_list_out", one_in_list_out, METH_O, NULL},
    {"list_of", list_of, METH_O, NULL},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef def = {PyModuleDef_HEAD_INIT, "_floor", NULL, -1, methods, NULL, NULL, NULL, NULL};

PyMODINIT_FUNC PyInit__floor(void) { return PyModule_Create(&def); }

/* Calls fn() n times, dropping each result: the only code that benchmarks/instructions.py
 * has callgrind count. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

__attribute__((noinline, visibility("default"))) PyObject* mhdc_cg_run(PyObject* fn, long n) {
  for (long i = 0; i < n; ++i) {
    PyObject* r = PyObject_CallNoArgs(fn);
    if (r == NULL) return NULL;
    Py_DECREF(r);
  }
  Py_RETURN_NONE;
}

static PyObject* run(PyObject* self, PyObject* args) {
  PyObject* fn; long n;
  (void)self;
  if (!PyArg_ParseTuple(args, "Ol", &fn, &n)) return NULL;
  return mhdc_cg_run(fn, n);
}

static PyMethodDef methods[] = {{"run", run, METH_VARARGS, NULL}, {NULL, NULL, 0, NULL}};
static struct PyModuleDef def = {PyModuleDef_HEAD_INIT, "_cgrun", NULL, -1, methods, NULL, NULL, NULL, NULL};
PyMODINIT_FUNC PyInit__cgrun(void) { return PyModule_Create(&def); }

/* Floor helper for the benchmark: builds a list of the objects at the positions held in a C array
 * of 32-bit ids, the least work any index must do to hand its result to the caller as a list. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <stdint.h>

/* take(objs, ids): objs is a list, ids a buffer of uint32 positions into it. */
static PyObject* take(PyObject* self, PyObject* args) {
  (void)self;
  PyObject* objs;
  Py_buffer ids;
  if (!PyArg_ParseTuple(args, "O!y*", &PyList_Type, &objs, &ids)) return NULL;
  if (ids.len % sizeof(uint32_t) != 0) {
    PyBuffer_Release(&ids);
    PyErr_SetString(PyExc_ValueError, "ids must hold 32-bit unsigned integers");
    return NULL;
  }
  const uint32_t* p = (const uint32_t*)ids.buf;
  Py_ssize_t k = ids.len / (Py_ssize_t)sizeof(uint32_t);
  Py_ssize_t n = PyList_GET_SIZE(objs);
  PyObject* out = PyList_New(k);
  if (out != NULL) {
    for (Py_ssize_t i = 0; i < k; ++i) {
      if ((Py_ssize_t)p[i] >= n) {
        Py_DECREF(out);
        out = NULL;
        PyErr_SetString(PyExc_IndexError, "id out of range");
        break;
      }
      PyObject* o = PyList_GET_ITEM(objs, p[i]);
      Py_INCREF(o);
      PyList_SET_ITEM(out, i, o);
    }
  }
  PyBuffer_Release(&ids);
  return out;
}

static PyMethodDef kMethods[] = {
    {"take", take, METH_VARARGS, "take(objs, ids) -> list of objs[i] for each uint32 i in ids"},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef kModule = {PyModuleDef_HEAD_INIT, "_floor", NULL, -1, kMethods};

PyMODINIT_FUNC PyInit__floor(void) { return PyModule_Create(&kModule); }

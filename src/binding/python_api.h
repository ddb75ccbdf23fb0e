// The Python C API as the binding uses it, on every supported CPython: the headers, plus
// equivalents of calls that are newer than the oldest supported version (3.13).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#if PY_VERSION_HEX < 0x030E0000
// Sets *item to a new reference to the next item and returns 1, or sets it to null and returns
// 0 at the end and -1 with an exception set. PyIter_Next returns a new reference too, so this
// holds under the free-threaded build; `iterator` must come from PyObject_GetIter.
static inline int PyIter_NextItem(PyObject* iterator, PyObject** item) {
  *item = PyIter_Next(iterator);
  if (*item != nullptr) return 1;
  return PyErr_Occurred() != nullptr ? -1 : 0;
}
#endif

#include "interop.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace pelnor::binding {

IdObjects::~IdObjects() {
  for (PyObject* object : objects_) Py_XDECREF(object);
}

PyObject* IdObjects::list(const TokenId* ids, std::size_t count) {
#ifdef Py_GIL_DISABLED
  return list_of(count, [&](std::size_t i) { return PyLong_FromUnsignedLong(ids[i]); });
#else
  // Only the thread holding the interpreter lock is here. The table grows before the list
  // exists, so that a failed allocation leaves nothing half built.
  TokenId largest = 0;
  for (std::size_t i = 0; i < count; ++i) largest = std::max(largest, ids[i]);
  const std::size_t wanted = std::min(std::size_t{largest} + 1, kept_ids_);
  if (count != 0 && wanted > objects_.size()) objects_.resize(wanted, nullptr);
  const std::size_t kept = objects_.size();
  // Each id's object is a separate trip to memory once a text holds many distinct ids: its
  // table entry is prefetched two strides ahead and the object itself one stride ahead.
  constexpr std::size_t kStride = 16;
  return list_of(count, [&](std::size_t i) -> PyObject* {
    if (i + 2 * kStride < count && ids[i + 2 * kStride] < kept) {
      __builtin_prefetch(&objects_[ids[i + 2 * kStride]]);
    }
    if (i + kStride < count && ids[i + kStride] < kept) {
      if (PyObject* ahead = objects_[ids[i + kStride]]) __builtin_prefetch(ahead, 1);
    }
    const TokenId id = ids[i];
    if (id >= kept) return PyLong_FromUnsignedLong(id);
    PyObject* object = objects_[id];
    if (object == nullptr) {
      object = PyLong_FromUnsignedLong(id);
      if (object == nullptr) return nullptr;
      objects_[id] = object;
    }
    return Py_NewRef(object);
  });
#endif
}

PyObject* pair_of(PyObject* first, PyObject* second) {
  PyObject* pair = first != nullptr && second != nullptr ? PyTuple_Pack(2, first, second) : nullptr;
  Py_XDECREF(first);
  Py_XDECREF(second);
  return pair;
}

PyObject* id_buffer(const TokenId* ids, std::size_t count) {
  static_assert(std::endian::native == std::endian::little, "id buffers are little-endian");
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(ids),
                                   static_cast<Py_ssize_t>(count * sizeof(TokenId)));
}

PyObject* bytes_of(Bytes bytes) {
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                   static_cast<Py_ssize_t>(bytes.size()));
}

PyObject* text_of_utf8(const std::string& utf8) {
  return PyUnicode_FromStringAndSize(utf8.data(), static_cast<Py_ssize_t>(utf8.size()));
}

PyObject* numpy_view(PyObject* buffer, const char* dtype) {
  if (buffer == nullptr) return nullptr;
  PyObject* numpy = PyImport_ImportModule("numpy");
  if (numpy == nullptr) {
    // The import's own error stays attached: numpy may be installed yet refuse to load (in an
    // isolated subinterpreter, say).
    PyObject* cause = PyErr_GetRaisedException();
    Py_DECREF(buffer);
    PyErr_SetString(PyExc_RuntimeError,
                    "the numpy methods need numpy installed: pip install 'pelnor[numpy]'");
    PyObject* raised = PyErr_GetRaisedException();
    PyException_SetCause(raised, cause);
    PyErr_SetRaisedException(raised);
    return nullptr;
  }
  PyObject* name = PyUnicode_FromString("frombuffer");
  PyObject* type = PyUnicode_FromString(dtype);
  PyObject* array = nullptr;
  if (name != nullptr && type != nullptr) {
    PyObject* args[] = {numpy, buffer, type};
    array = PyObject_VectorcallMethod(name, args, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
  }
  Py_XDECREF(type);
  Py_XDECREF(name);
  Py_DECREF(numpy);
  Py_DECREF(buffer);
  return array;
}

PyObject* raise_failure(const Error& failure) {
  // Construction fails as a RuntimeError from every constructor; a value a call cannot take is a
  // ValueError.
  PyObject* type = failure.kind == ErrorKind::kData ? PyExc_RuntimeError : PyExc_ValueError;
  if (failure.kind != ErrorKind::kDisallowedSpecial) {
    PyErr_SetString(type, failure.message.c_str());
    return nullptr;
  }
  // The special string rides along, for callers that word the failure themselves.
  PyObject* message = text_of_utf8(failure.message);
  PyObject* error = message == nullptr ? nullptr : PyObject_CallOneArg(type, message);
  Py_XDECREF(message);
  PyObject* special = error == nullptr ? nullptr : text_of_utf8(failure.subject);
  if (special != nullptr && PyObject_SetAttrString(error, "special_token", special) == 0) {
    PyErr_SetRaisedException(Py_NewRef(error));
  }
  Py_XDECREF(special);
  Py_XDECREF(error);
  return nullptr;
}

}  // namespace pelnor::binding

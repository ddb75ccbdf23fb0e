#include "interop.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>

namespace pelnor::binding {

namespace {

// A new list of the ids, their int objects taken from (and added to) objects, which keeps those
// of ids below kept_ids.
PyObject* list_through(std::vector<PyObject*>& objects, std::size_t kept_ids, const TokenId* ids,
                       std::size_t count) {
  // The table takes its whole size before the first list exists, so that a failed allocation
  // leaves nothing half built.
  if (count != 0 && objects.empty()) objects.resize(kept_ids, nullptr);
  const std::size_t kept = objects.size();
  // Each id's object is a separate trip to memory once a text holds many distinct ids: its
  // table entry is prefetched two strides ahead and the object itself one stride ahead.
  constexpr std::size_t kStride = 16;
  return list_of(count, [&](std::size_t i) -> PyObject* {
    if (i + 2 * kStride < count && ids[i + 2 * kStride] < kept) {
      __builtin_prefetch(&objects[ids[i + 2 * kStride]]);
    }
    if (i + kStride < count && ids[i + kStride] < kept) {
      if (PyObject* ahead = objects[ids[i + kStride]]) __builtin_prefetch(ahead, 1);
    }
    const TokenId id = ids[i];
    if (id >= kept) return PyLong_FromUnsignedLong(id);
    PyObject* object = objects[id];
    if (object == nullptr) {
      object = PyLong_FromUnsignedLong(id);
      if (object == nullptr) return nullptr;
      objects[id] = object;
    }
    return Py_NewRef(object);
  });
}

void release(std::vector<PyObject*>& objects) {
  for (PyObject* object : objects) Py_XDECREF(object);
  objects.clear();
}

#ifdef Py_GIL_DISABLED
// A thread keeps the tables of the last few tokenizers it made lists for; one of a tokenizer
// freed since goes with the older ones.
constexpr Py_ssize_t kTablesPerThread = 8;

void release_table(PyObject* capsule) {
  auto* objects = static_cast<std::vector<PyObject*>*>(PyCapsule_GetPointer(capsule, nullptr));
  release(*objects);
  delete objects;
}

// A new reference, released with its scope.
struct Owned {
  PyObject* object = nullptr;
  ~Owned() { Py_XDECREF(object); }
};

// This thread's table for the tokenizer of that identity, made on first use; null, with no
// exception set, where the thread's state has no room for it.
std::vector<PyObject*>* thread_table(std::uint64_t identity) {
  const auto table = [&]() -> std::vector<PyObject*>* {
    PyObject* state = PyThreadState_GetDict();  // borrowed
    Owned key{PyLong_FromUnsignedLongLong(identity)};
    Owned tables;
    if (state == nullptr || key.object == nullptr ||
        PyDict_GetItemStringRef(state, "_pelnor.id_objects", &tables.object) < 0) {
      return nullptr;
    }
    if (tables.object == nullptr) {
      tables.object = PyDict_New();
      if (tables.object == nullptr ||
          PyDict_SetItemString(state, "_pelnor.id_objects", tables.object) < 0) {
        return nullptr;
      }
    }
    Owned capsule;
    if (PyDict_GetItemRef(tables.object, key.object, &capsule.object) < 0) return nullptr;
    if (capsule.object == nullptr) {
      Py_ssize_t position = 0;
      PyObject* first;  // borrowed: the oldest entry
      if (PyDict_GET_SIZE(tables.object) >= kTablesPerThread &&
          PyDict_Next(tables.object, &position, &first, nullptr)) {
        const Owned oldest{Py_NewRef(first)};
        if (PyDict_DelItem(tables.object, oldest.object) < 0) return nullptr;
      }
      auto made = std::make_unique<std::vector<PyObject*>>();
      capsule.object = PyCapsule_New(made.get(), nullptr, release_table);
      if (capsule.object == nullptr) return nullptr;
      made.release();  // the capsule's now
      if (PyDict_SetItem(tables.object, key.object, capsule.object) < 0) return nullptr;
    }
    return static_cast<std::vector<PyObject*>*>(PyCapsule_GetPointer(capsule.object, nullptr));
  }();
  PyErr_Clear();  // without a table, the ints are made anew
  return table;
}
#endif

}  // namespace

IdObjects::~IdObjects() {
  release(objects_);
}

PyObject* IdObjects::list(const TokenId* ids, std::size_t count) {
#ifdef Py_GIL_DISABLED
  std::vector<PyObject*>* table = thread_table(identity_);
  if (table == nullptr) {
    return list_of(count, [&](std::size_t i) { return PyLong_FromUnsignedLong(ids[i]); });
  }
  return list_through(*table, kept_ids_, ids, count);
#else
  // Only the thread holding the interpreter lock is here.
  return list_through(objects_, kept_ids_, ids, count);
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

// Crossing between the interpreter and the core: detaching, failures, result objects.
#pragma once

#include "python_api.h"

#include <exception>
#include <new>
#include <string>
#include <vector>

#include "pelnor/ids.h"
#include "pelnor/result.h"
#include "pelnor/text/pretok_regex.h"
#include "pelnor/types.h"

namespace pelnor::binding {

// Detaches the calling thread from the interpreter for one scope; it is attached again however
// the scope ends, before any object is touched.
class Detached {
 public:
  Detached() : state_(PyEval_SaveThread()) {}
  ~Detached() { PyEval_RestoreThread(state_); }
  Detached(const Detached&) = delete;
  Detached& operator=(const Detached&) = delete;

 private:
  PyThreadState* state_;
};

// What work() returns, computed detached: for the core's work, which touches no object.
template <class Work>
auto run_detached(Work&& work) {
  const Detached detached;
  return work();
}

// Runs a method body; no C++ exception crosses into the interpreter: allocation failure becomes
// MemoryError, a text the pattern cannot split within its work budget ValueError, anything else
// a RuntimeError.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const SplitTooCostly& e) {
    PyErr_SetString(PyExc_ValueError, e.what());
  } catch (const std::exception& e) {
    PyErr_Format(PyExc_RuntimeError, "pelnor: internal error: %s", e.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "pelnor: internal error");
  }
  return nullptr;
}

// Sets the exception of a core failure: its kind's class, its message; returns nullptr.
PyObject* raise_failure(const Error& failure);

// Result builders; each returns a new reference, or nullptr with the exception set.

// A new list of `count` items, item i made by make(i) as a new reference; nothing leaks when
// make fails or throws.
template <class Make>
PyObject* list_of(std::size_t count, Make make) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(count));
  if (list == nullptr) return nullptr;
  for (std::size_t i = 0; i < count; ++i) {
    PyObject* item;
    try {
      item = make(i);
    } catch (...) {
      Py_DECREF(list);  // its empty slots are fine to release
      throw;
    }
    if (item == nullptr) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);
  }
  return list;
}

// A new 2-tuple (first, second); steals both references, either of which may be nullptr.
PyObject* pair_of(PyObject* first, PyObject* second);

// The int objects of token ids, kept once made, so that a list result costs a new reference per
// id instead of a new int. Only ids below a bound (the base vocabulary) are kept: a special
// token's id can be any 32-bit number, and a table sized by it would cost memory in proportion
// to that number instead of to the vocabulary. The regular build keeps one table per tokenizer
// object, used under the interpreter lock. The free-threaded build keeps one per thread and
// tokenizer, in the thread's state: an object is cheap to take a reference to only on the thread
// that made it, the others' references being atomic on cache lines they would contend for.
class IdObjects {
 public:
  IdObjects(std::size_t kept_ids, std::uint64_t tokenizer_identity)
      : kept_ids_(kept_ids), identity_(tokenizer_identity) {}
  IdObjects(const IdObjects&) = delete;
  IdObjects& operator=(const IdObjects&) = delete;
  // Runs attached, as the tokenizer object's deallocation does.
  ~IdObjects();

  // A new list of the ids.
  PyObject* list(const TokenId* ids, std::size_t count);
  PyObject* list(const IdVector& ids) { return list(ids.data(), ids.size()); }

 private:
  std::size_t kept_ids_;
  [[maybe_unused]] std::uint64_t identity_;  // keys the threads' tables (free-threaded build)
  std::vector<PyObject*> objects_;  // by id, below kept_ids_; nullptr where none is made yet
};

// A bytes object of the ids as little-endian uint32.
PyObject* id_buffer(const TokenId* ids, std::size_t count);
PyObject* bytes_of(Bytes bytes);
PyObject* text_of_utf8(const std::string& utf8);
// numpy.frombuffer(buffer, dtype); steals the reference to buffer.
PyObject* numpy_view(PyObject* buffer, const char* dtype);

}  // namespace pelnor::binding

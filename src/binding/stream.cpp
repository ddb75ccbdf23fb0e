#include "stream.h"

#include <memory>
#include <new>

#include "args.h"
#include "interop.h"
#include "pelnor/engine/stream.h"
#include "tokenizer_object.h"

namespace pelnor::binding {
namespace {

// The encoder is built in place by new_stream and destroyed by stream_dealloc; the lock keeps
// threads that share the object from feeding it at once.
struct StreamObject {
  PyObject_HEAD PyObject* tokenizer;
  PyMutex lock;
  StreamEncoder encoder;
};

StreamObject& stream_of(PyObject* self) {
  return *reinterpret_cast<StreamObject*>(self);
}

class Locked {
 public:
  explicit Locked(PyMutex& lock) : lock_(lock) { PyMutex_Lock(&lock_); }
  ~Locked() { PyMutex_Unlock(&lock_); }
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;

 private:
  PyMutex& lock_;
};

PyObject* feed(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr Param kParams[] = {{"text", true}};
    Text text;
    if (!parse("Stream.feed()", kParams, args, nargsf, kwnames, text)) return nullptr;
    StreamObject& stream = stream_of(self);
    IdVector ids;
    {
      const Locked locked(stream.lock);
      const Detached detached;
      stream.encoder.feed(text.bytes(), ids);
    }
    return id_buffer(ids.data(), ids.size());
  });
}

PyObject* finish(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    StreamObject& stream = stream_of(self);
    IdVector ids;
    {
      const Locked locked(stream.lock);
      const Detached detached;
      stream.encoder.finish(ids);
    }
    return id_buffer(ids.data(), ids.size());
  });
}

PyObject* consumed(PyObject* self, void*) {
  StreamObject& stream = stream_of(self);
  const Locked locked(stream.lock);
  return PyLong_FromUnsignedLongLong(stream.encoder.consumed());
}

void stream_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  StreamObject& stream = stream_of(self);
  stream.encoder.~StreamEncoder();
  Py_DECREF(stream.tokenizer);
  type->tp_free(self);
  Py_DECREF(type);
}

PyMethodDef kStreamMethods[] = {
    {"feed", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(feed)),
     METH_FASTCALL | METH_KEYWORDS,
     "feed($self, text)\n--\n\n"
     "Take the text's next part; return, as a little-endian uint32 buffer, the ids\n"
     "that no later part can change."},
    {"finish", finish, METH_NOARGS,
     "finish($self)\n--\n\nThe text has ended: return the ids of the rest as such a buffer."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kStreamProperties[] = {
    {"consumed", consumed, nullptr, "The bytes of the text that the ids returned so far spell.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kStreamSlots[] = {
    {Py_tp_doc,
     const_cast<char*>("The ids of a text that arrives in parts, from Tokenizer.stream(): feed it\n"
                       "the parts, then finish. It holds a few MB of the text at most, whatever\n"
                       "its length, and the ids it returns, joined, are those of the whole text.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(stream_dealloc)},
    {Py_tp_methods, kStreamMethods},
    {Py_tp_getset, kStreamProperties},
    {0, nullptr},
};

}  // namespace

PyType_Spec kStreamSpec = {
    "pelnor._pelnor.Stream",
    static_cast<int>(sizeof(StreamObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    kStreamSlots,
};

PyObject* new_stream(PyTypeObject* stream_type, PyObject* tokenizer, bool with_special) {
  PyObject* self = stream_type->tp_alloc(stream_type, 0);
  if (self == nullptr) return nullptr;
  StreamObject& stream = stream_of(self);
  stream.tokenizer = Py_NewRef(tokenizer);
  stream.lock = PyMutex{};
  new (&stream.encoder) StreamEncoder(core(tokenizer), with_special);
  return self;
}

}  // namespace pelnor::binding

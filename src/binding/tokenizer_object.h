// The Tokenizer object's layout and the description its type is made from, for the files of the
// binding that reach its core.
#pragma once

#include "python_api.h"

#include "interop.h"
#include "pelnor/engine/tokenizer.h"

namespace pelnor::binding {

// The core members are constructed in place by make_tokenizer and destroyed by
// tokenizer_dealloc. rebuild_args are the arguments that build the same tokenizer again, passed
// to the class itself or, for a tokenizer built from data, to the class method named rebuild
// (from_data or from_levels): what pickling needs.
struct TokenizerObject {
  PyObject_HEAD Tokenizer tokenizer;
  IdObjects id_objects;
  PyObject* rebuild_args;
  const char* rebuild;  // null: the class itself
  // Where rebuild_args hold None for the vocab, which pickling writes again from the tables
  // rather than keep a copy; -1: nowhere.
  Py_ssize_t vocab_at;
};

// What the module makes the Tokenizer type from.
extern PyType_Spec kTokenizerSpec;

inline const Tokenizer& core(PyObject* self) {
  return reinterpret_cast<TokenizerObject*>(self)->tokenizer;
}

}  // namespace pelnor::binding

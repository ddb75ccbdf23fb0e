// The Stream class: a tokenizer's StreamEncoder for Python, made by Tokenizer.stream().
#pragma once

#include "python_api.h"

namespace pelnor::binding {

extern PyType_Spec kStreamSpec;

// A new Stream of type stream_type over the Tokenizer object tokenizer, or nullptr with the
// exception set.
PyObject* new_stream(PyTypeObject* stream_type, PyObject* tokenizer, bool with_special);

}  // namespace pelnor::binding

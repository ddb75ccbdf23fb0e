// The Tokenizer type's methods, by family: each family's file defines them, and the type's
// method table lists them.
#pragma once

#include "python_api.h"

namespace pelnor::binding {

// The encode family (encode_methods.cpp).
PyObject* encode(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
PyObject* encode_ordinary(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                          PyObject* kwnames);
PyObject* encode_bytes(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
PyObject* encode_bytes_merged_tail(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                                   PyObject* kwnames);
PyObject* encode_with_special(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                              PyObject* kwnames);
PyObject* encode_to_buffer(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                           PyObject* kwnames);
PyObject* encode_to_numpy(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                          PyObject* kwnames);
PyObject* encode_batch(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
PyObject* encode_batch_lists(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                             PyObject* kwnames);
PyObject* encode_batch_to_numpy(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                                PyObject* kwnames);
PyObject* encode_with_offsets(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                              PyObject* kwnames);
PyObject* encode_with_unstable_tail(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                                    PyObject* kwnames);
PyObject* encode_single_piece(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                              PyObject* kwnames);
PyObject* encode_single_token(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                              PyObject* kwnames);
PyObject* truncate(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
PyObject* truncate_batch(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                         PyObject* kwnames);
PyObject* find_disallowed_special(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                                  PyObject* kwnames);
PyObject* count(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
PyObject* pieces(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
PyObject* count_batch(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);

// The decode family and the vocabulary queries (decode_methods.cpp).
PyObject* decode(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
PyObject* decode_bytes(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
PyObject* decode_bytes_checked(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                               PyObject* kwnames);
PyObject* decode_single_token_bytes(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                                    PyObject* kwnames);
PyObject* decode_batch(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
PyObject* token_byte_values(PyObject* self, PyObject*);
PyObject* is_special_token(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                           PyObject* kwnames);
PyObject* special_tokens(PyObject* self, PyObject*);

// The properties (decode_methods.cpp).
extern PyGetSetDef kTokenizerProperties[];

// Tokenizer.stream(), which needs the module's Stream type (module.cpp).
PyObject* stream(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);

}  // namespace pelnor::binding

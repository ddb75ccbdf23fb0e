// The Tokenizer type's methods, by family: each family's file defines them, and the type's
// method table lists them.
#pragma once

#include "python_api.h"

namespace pelnor::binding {

// A method called with vectorcall's arguments (METH_FASTCALL | METH_KEYWORDS).
using FastMethod = PyObject*(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                             PyObject* kwnames);
// A method of no arguments (METH_NOARGS).
using PlainMethod = PyObject*(PyObject* self, PyObject* unused);

// The encode family (encode_methods.cpp).
FastMethod encode, encode_ordinary, encode_bytes, encode_bytes_merged_tail, encode_with_special,
    encode_to_buffer, encode_to_numpy, encode_batch, encode_batch_lists, encode_batch_to_numpy,
    encode_with_offsets, encode_with_unstable_tail, encode_single_piece, encode_single_token,
    truncate, truncate_batch, find_disallowed_special, count, pieces, count_batch;

// The decode family and the vocabulary queries (decode_methods.cpp).
FastMethod decode, decode_bytes, decode_bytes_checked, decode_single_token_bytes, decode_batch,
    is_special_token;
PlainMethod token_byte_values, special_tokens;

// The properties (decode_methods.cpp).
extern PyGetSetDef kTokenizerProperties[];

// Tokenizer.stream(), which needs the module's Stream type (module.cpp).
FastMethod stream;

}  // namespace pelnor::binding

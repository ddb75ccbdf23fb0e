// The decode family of the Tokenizer type and its vocabulary queries: ids to bytes and text,
// the tokens and special tokens, and the properties.
#include "methods.h"

#include <vector>

#include "args.h"
#include "interop.h"
#include "pelnor/engine/decode.h"
#include "tokenizer_object.h"

namespace pelnor::binding {
namespace {

// A new str of decoded bytes under the mode; ValueError in strict mode for invalid UTF-8.
PyObject* text_of_decoded(const ByteVector& bytes, DecodeErrors mode) {
  // Valid UTF-8, the common case, is its own text under every mode (under ignore, unless it holds
  // a U+FFFD): Python's decoder checks it while it builds the str, in one pass. Other bytes take
  // the core's rules.
  if (valid_utf8_is_its_text(std::string_view(bytes.data(), bytes.size()), mode)) {
    PyObject* text =
        PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), nullptr);
    if (text != nullptr || !PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) return text;
    PyErr_Clear();
  }
  Result<std::string> text = text_of_bytes(std::string(bytes.data(), bytes.size()), mode);
  if (!text.ok()) return raise_failure(text.failure());
  return text_of_utf8(text.value());
}

constexpr Param kIdsParams[] = {{"ids", true}};
constexpr Param kIdParams[] = {{"id", true}};

PyObject* get_name(PyObject* self, void*) {
  const std::string& name = core(self).name();
  return PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
}

PyObject* get_memory_bytes(PyObject* self, void*) {
  return PyLong_FromSize_t(core(self).memory_bytes());
}

PyObject* get_n_vocab(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(core(self).n_vocab());
}

PyObject* get_max_token_value(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(core(self).n_vocab() - 1);
}

PyObject* get_eot_token(PyObject* self, void*) {
  if (const auto id = core(self).end_of_text()) return PyLong_FromUnsignedLong(*id);
  PyErr_SetString(PyExc_KeyError, "this encoding has no <|endoftext|>");
  return nullptr;
}

PyObject* get_special_tokens_set(PyObject* self, void*) {
  PyObject* set = PySet_New(nullptr);
  if (set == nullptr) return nullptr;
  for (const SpecialToken& special : core(self).special_tokens()) {
    PyObject* text = PyUnicode_FromStringAndSize(special.text.data(),
                                                 static_cast<Py_ssize_t>(special.text.size()));
    if (text == nullptr || PySet_Add(set, text) < 0) {
      Py_XDECREF(text);
      Py_DECREF(set);
      return nullptr;
    }
    Py_DECREF(text);
  }
  return set;
}

}  // namespace

PyObject* decode(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr Param kParams[] = {{"ids", true}, {"errors", false}};
    std::vector<TokenId> ids;
    Text errors{"replace", 7};
    if (!parse("Tokenizer.decode()", kParams, args, nargsf, kwnames, ids, errors)) return nullptr;
    const ByteVector bytes = run_detached([&] { return pelnor::decode_bytes(core(self), ids); });
    return text_of_decoded(bytes, decode_errors_named(errors.view()));
  });
}

PyObject* decode_bytes(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                       PyObject* kwnames) {
  return one_argument_method<std::vector<TokenId>>(
      "Tokenizer.decode_bytes()", kIdsParams, args, nargsf, kwnames,
      [&](const std::vector<TokenId>& ids) {
        const ByteVector bytes =
            run_detached([&] { return pelnor::decode_bytes(core(self), ids); });
        return PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size()));
      });
}

PyObject* decode_bytes_checked(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                               PyObject* kwnames) {
  return one_argument_method<std::vector<TokenId>>(
      "Tokenizer.decode_bytes_checked()", kIdsParams, args, nargsf, kwnames,
      [&](const std::vector<TokenId>& ids) -> PyObject* {
        std::optional<TokenId> unknown;
        ByteVector bytes;
        {
          Detached detached;
          unknown = first_unknown_id(core(self), ids);
          if (!unknown) bytes = pelnor::decode_bytes(core(self), ids);
        }
        if (unknown) {
          PyObject* message = PyUnicode_FromFormat("Invalid token for decoding: %lu",
                                                   static_cast<unsigned long>(*unknown));
          if (message != nullptr) PyErr_SetObject(PyExc_KeyError, message);
          Py_XDECREF(message);
          return nullptr;
        }
        return PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size()));
      });
}

PyObject* decode_single_token_bytes(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                                    PyObject* kwnames) {
  return one_argument_method<TokenId>("Tokenizer.decode_single_token_bytes()", kIdParams, args,
                                      nargsf, kwnames, [&](TokenId id) -> PyObject* {
                                        if (const auto bytes = token_bytes_of(core(self), id))
                                          return bytes_of(*bytes);
                                        PyErr_Format(PyExc_KeyError, "unknown token id %lu",
                                                     static_cast<unsigned long>(id));
                                        return nullptr;
                                      });
}

PyObject* decode_batch(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                       PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr Param kParams[] = {{"batch", true}, {"errors", false}};
    std::vector<std::vector<TokenId>> batch;
    Text errors{"replace", 7};
    if (!parse("Tokenizer.decode_batch()", kParams, args, nargsf, kwnames, batch, errors)) {
      return nullptr;
    }
    const DecodeErrors mode = decode_errors_named(errors.view());
    // Every text is decoded before the list exists: no half-built list is left visible to other
    // threads while this one is detached.
    std::vector<ByteVector> decoded(batch.size());
    {
      Detached detached;
      for (std::size_t i = 0; i < batch.size(); ++i)
        decoded[i] = decode_bytes(core(self), batch[i]);
    }
    return list_of(batch.size(), [&](std::size_t i) {
      const ByteVector bytes = std::move(decoded[i]);  // freed once its str exists
      return text_of_decoded(bytes, mode);
    });
  });
}

PyObject* token_byte_values(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    const Vocab& vocab = core(self).vocab();
    return list_of(vocab.token_count(), [&](std::size_t rank) {
      return bytes_of(vocab.token_bytes(static_cast<TokenId>(rank)));
    });
  });
}

PyObject* is_special_token(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                           PyObject* kwnames) {
  return one_argument_method<TokenId>(
      "Tokenizer.is_special_token()", kIdParams, args, nargsf, kwnames,
      [&](TokenId id) { return PyBool_FromLong(core(self).is_special(id)); });
}

PyObject* special_tokens(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    const SpecialTokens& specials = core(self).special_tokens();
    return list_of(specials.size(), [&](std::size_t i) {
      return Py_BuildValue("(s#k)", specials[i].text.data(),
                           static_cast<Py_ssize_t>(specials[i].text.size()),
                           static_cast<unsigned long>(specials[i].id));
    });
  });
}

PyGetSetDef kTokenizerProperties[] = {
    {"name", get_name, nullptr, nullptr, nullptr},
    {"memory_bytes", get_memory_bytes, nullptr,
     "Exact heap footprint of the loaded encoding, in bytes.", nullptr},
    {"n_vocab", get_n_vocab, nullptr, nullptr, nullptr},
    {"max_token_value", get_max_token_value, nullptr, nullptr, nullptr},
    {"eot_token", get_eot_token, nullptr, nullptr, nullptr},
    {"special_tokens_set", get_special_tokens_set, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace pelnor::binding

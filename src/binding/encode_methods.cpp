// The encode family of the Tokenizer type: texts to ids, counts, spans, cuts and pieces.
#include "methods.h"

#include <cstdint>
#include <optional>
#include <vector>

#include "args.h"
#include "interop.h"
#include "pelnor/engine/batch.h"
#include "pelnor/engine/encode.h"
#include "pelnor/engine/special_encode.h"
#include "tokenizer_object.h"

namespace pelnor::binding {
namespace {

PyObject* id_list(PyObject* self, const IdVector& ids) {
  return reinterpret_cast<TokenizerObject*>(self)->id_objects.list(ids);
}

constexpr Param kEncodeParams[] = {
    {"text", true}, {"allowed_special", false}, {"disallowed_special", false}};

// The core of encode, encode_to_buffer and encode_to_numpy; false with the exception set.
bool encode_with_policy(const char* display_name, PyObject* self, PyObject* const* args,
                        Py_ssize_t nargsf, PyObject* kwnames, IdVector& ids) {
  Text text;
  SpecialPolicy allowed, disallowed;
  if (!parse(display_name, kEncodeParams, args, nargsf, kwnames, text, allowed, disallowed)) {
    return false;
  }
  Result<IdVector> encoded = run_detached(
      [&] { return pelnor::encode_with_policy(core(self), text.bytes(), allowed, disallowed); });
  if (!encoded.ok()) {
    raise_failure(encoded.failure());
    return false;
  }
  ids = std::move(encoded.value());
  return true;
}

constexpr Param kTextParams[] = {{"text", true}};
constexpr Param kPieceParams[] = {{"piece", true}};

Bytes input_bytes(const Text& text) {
  return text.bytes();
}
Bytes input_bytes(Bytes data) {
  return data;
}

// A method whose one argument (a text or a byte string) the core encodes into an id list.
template <class Input>
PyObject* encode_one(const char* display_name, const Param (&params)[1], PyObject* self,
                     PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
                     IdVector (*encode)(const Tokenizer&, Bytes)) {
  return one_argument_method<Input>(
      display_name, params, args, nargsf, kwnames, [&](const Input& input) {
        return id_list(self, run_detached([&] { return encode(core(self), input_bytes(input)); }));
      });
}

constexpr Param kBatchParams[] = {{"texts", true}, {"threads", false}, {"with_special", false}};

// Binds and converts (texts, threads=0, with_special=False).
bool batch_arguments(const char* display_name, PyObject* const* args, Py_ssize_t nargsf,
                     PyObject* kwnames, TextList& texts, std::uint64_t& threads,
                     bool& with_special) {
  threads = 0;
  with_special = false;
  return parse(display_name, kBatchParams, args, nargsf, kwnames, texts, threads, with_special);
}

// The batch's (ids, offsets) as two bytes objects, filled in place with the interpreter
// released; wrap(buffer, dtype) turns each into its result item, taking over the reference.
template <class Wrap>
PyObject* batch_result(const BatchEncoding& batch, Wrap wrap) {
  static_assert(std::endian::native == std::endian::little, "id buffers are little-endian");
  PyObject* ids = PyBytes_FromStringAndSize(
      nullptr, static_cast<Py_ssize_t>(batch.total_ids() * sizeof(TokenId)));
  PyObject* offsets = PyBytes_FromStringAndSize(
      nullptr, static_cast<Py_ssize_t>((batch.text_count() + 1) * sizeof(std::int64_t)));
  if (ids == nullptr || offsets == nullptr) return pair_of(ids, offsets);
  {
    // Nothing else can see the two objects yet.
    Detached detached;
    batch.copy_to(reinterpret_cast<TokenId*>(PyBytes_AS_STRING(ids)),
                  reinterpret_cast<std::int64_t*>(PyBytes_AS_STRING(offsets)));
  }
  ids = wrap(ids, "uint32");
  if (ids == nullptr) {
    Py_DECREF(offsets);
    return nullptr;
  }
  return pair_of(ids, wrap(offsets, "int64"));
}

PyObject* bytes_as_is(PyObject* buffer, const char*) {
  return buffer;
}

// encode_batch, encode_batch_lists and encode_batch_to_numpy: the same arguments and core;
// build(batch) makes the result.
template <class Build>
PyObject* batch_encode_method(const char* display_name, PyObject* self, PyObject* const* args,
                              Py_ssize_t nargsf, PyObject* kwnames, Build build) {
  return guarded([&]() -> PyObject* {
    TextList texts;
    std::uint64_t threads;
    bool with_special;
    if (!batch_arguments(display_name, args, nargsf, kwnames, texts, threads, with_special)) {
      return nullptr;
    }
    const BatchEncoding batch = run_detached(
        [&] { return pelnor::encode_batch(core(self), texts.views(), threads, with_special); });
    return build(batch);
  });
}

PyObject* spans_list(const std::vector<std::size_t>& bounds) {
  return list_of(bounds.size() / 2, [&](std::size_t i) {
    return Py_BuildValue("(nn)", static_cast<Py_ssize_t>(bounds[2 * i]),
                         static_cast<Py_ssize_t>(bounds[2 * i + 1]));
  });
}

PyObject* truncation_pair(PyObject* text, std::size_t total) {
  return pair_of(text, PyLong_FromSize_t(total));
}

}  // namespace

PyObject* encode(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    IdVector ids;
    if (!encode_with_policy("Tokenizer.encode()", self, args, nargsf, kwnames, ids)) return nullptr;
    return id_list(self, ids);
  });
}

PyObject* encode_ordinary(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                          PyObject* kwnames) {
  return encode_one<Text>("Tokenizer.encode_ordinary()", kTextParams, self, args, nargsf, kwnames,
                          pelnor::encode_ordinary);
}

PyObject* encode_bytes(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                       PyObject* kwnames) {
  static constexpr Param kParams[] = {{"data", true}};
  return encode_one<Bytes>("Tokenizer.encode_bytes()", kParams, self, args, nargsf, kwnames,
                           pelnor::encode_ordinary);
}

PyObject* encode_bytes_merged_tail(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                                   PyObject* kwnames) {
  static constexpr Param kParams[] = {{"data", true}};
  return encode_one<Bytes>("Tokenizer.encode_bytes_merged_tail()", kParams, self, args, nargsf,
                           kwnames, pelnor::encode_bytes_merged_tail);
}

PyObject* encode_with_special(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                              PyObject* kwnames) {
  return encode_one<Text>("Tokenizer.encode_with_special()", kTextParams, self, args, nargsf,
                          kwnames, pelnor::encode_with_special);
}

PyObject* encode_to_buffer(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                           PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    IdVector ids;
    if (!encode_with_policy("Tokenizer.encode_to_buffer()", self, args, nargsf, kwnames, ids)) {
      return nullptr;
    }
    return id_buffer(ids.data(), ids.size());
  });
}

PyObject* encode_to_numpy(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                          PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    IdVector ids;
    if (!encode_with_policy("Tokenizer.encode_to_numpy()", self, args, nargsf, kwnames, ids)) {
      return nullptr;
    }
    return numpy_view(id_buffer(ids.data(), ids.size()), "uint32");
  });
}

PyObject* encode_batch(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                       PyObject* kwnames) {
  return batch_encode_method(
      "Tokenizer.encode_batch()", self, args, nargsf, kwnames,
      [](const BatchEncoding& batch) { return batch_result(batch, bytes_as_is); });
}

PyObject* encode_batch_lists(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                             PyObject* kwnames) {
  IdObjects& id_objects = reinterpret_cast<TokenizerObject*>(self)->id_objects;
  return batch_encode_method("Tokenizer.encode_batch_lists()", self, args, nargsf, kwnames,
                             [&](const BatchEncoding& batch) {
                               return list_of(batch.text_count(), [&](std::size_t i) {
                                 const std::span<const TokenId> ids = batch.ids_of(i);
                                 return id_objects.list(ids.data(), ids.size());
                               });
                             });
}

PyObject* encode_batch_to_numpy(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                                PyObject* kwnames) {
  return batch_encode_method(
      "Tokenizer.encode_batch_to_numpy()", self, args, nargsf, kwnames,
      [](const BatchEncoding& batch) { return batch_result(batch, numpy_view); });
}

PyObject* encode_with_offsets(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                              PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr Param kParams[] = {
        {"text", true}, {"unit", false}, {"allowed_special", false}};
    Text text;
    OffsetUnit unit = OffsetUnit::kByte;
    SpecialPolicy allowed;
    if (!parse("Tokenizer.encode_with_offsets()", kParams, args, nargsf, kwnames, text, unit,
               allowed)) {
      return nullptr;
    }
    const SpannedIds spanned = run_detached([&] {
      SpannedIds found = encode_with_offsets_allowing(core(self), text.bytes(), allowed);
      if (unit == OffsetUnit::kChar) to_char_offsets(text.bytes(), found.bounds);
      return found;
    });
    return pair_of(id_list(self, spanned.ids), spans_list(spanned.bounds));
  });
}

PyObject* encode_with_unstable_tail(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                                    PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr Param kParams[] = {{"text", true}, {"allowed_special", false}};
    Text text;
    SpecialPolicy allowed;
    if (!parse("Tokenizer.encode_with_unstable_tail()", kParams, args, nargsf, kwnames, text,
               allowed)) {
      return nullptr;
    }
    const UnstableTail split = run_detached(
        [&] { return pelnor::encode_with_unstable_tail(core(self), text.bytes(), allowed); });
    return pair_of(id_list(self, split.ids), PyLong_FromSize_t(split.first_unstable));
  });
}

PyObject* encode_single_piece(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                              PyObject* kwnames) {
  return one_argument_method<Piece>(
      "Tokenizer.encode_single_piece()", kPieceParams, args, nargsf, kwnames,
      [&](const Piece& piece) {
        const IdVector ids = run_detached(
            [&] { return pelnor::encode_single_piece(core(self).vocab(), piece.bytes); });
        return id_list(self, ids);
      });
}

PyObject* encode_single_token(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                              PyObject* kwnames) {
  return one_argument_method<Piece>(
      "Tokenizer.encode_single_token()", kPieceParams, args, nargsf, kwnames,
      [&](const Piece& piece) -> PyObject* {
        if (const auto id = core(self).single_token(piece.bytes)) {
          return PyLong_FromUnsignedLong(*id);
        }
        PyErr_SetString(PyExc_KeyError, "bytes are not a single token in this encoding");
        return nullptr;
      });
}

PyObject* truncate(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr Param kParams[] = {
        {"text", true}, {"max_tokens", true}, {"allowed_special", false}};
    Bound<3> bound;
    if (!bind("Tokenizer.truncate()", kParams, args, nargsf, kwnames, bound.slots()))
      return nullptr;
    // The text's type is checked before max_tokens is converted, its UTF-8 form after.
    if (!PyUnicode_Check(bound[0])) {
      Text unused;
      to_text(bound[0], "text", unused);
      return nullptr;
    }
    std::uint64_t max_tokens;
    Text text;
    SpecialPolicy allowed;
    if (!to_count(bound[1], "max_tokens", max_tokens) || !to_text(bound[0], "text", text) ||
        (bound[2] != nullptr && !to_policy(bound[2], allowed))) {
      return nullptr;
    }
    const Truncation cut = run_detached(
        [&] { return truncate_allowing(core(self), text.bytes(), max_tokens, allowed); });
    PyObject* kept = cut.cut == static_cast<std::size_t>(text.size)
                         ? Py_NewRef(bound[0])
                         : PyUnicode_FromStringAndSize(text.data, static_cast<Py_ssize_t>(cut.cut));
    return truncation_pair(kept, cut.total);
  });
}

PyObject* truncate_batch(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                         PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr Param kParams[] = {{"texts", true}, {"max_tokens", true}, {"threads", false}};
    TextList texts;
    std::uint64_t max_tokens, threads = 0;
    if (!parse("Tokenizer.truncate_batch()", kParams, args, nargsf, kwnames, texts, max_tokens,
               threads)) {
      return nullptr;
    }
    const std::vector<Truncation> cuts = run_detached(
        [&] { return pelnor::truncate_batch(core(self), texts.views(), max_tokens, threads); });
    const std::vector<Bytes>& views = texts.views();
    return list_of(views.size(), [&](std::size_t i) {
      return truncation_pair(
          PyUnicode_FromStringAndSize(reinterpret_cast<const char*>(views[i].data()),
                                      static_cast<Py_ssize_t>(cuts[i].cut)),
          cuts[i].total);
    });
  });
}

PyObject* find_disallowed_special(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                                  PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr Param kParams[] = {
        {"texts", true}, {"allowed_special", false}, {"disallowed_special", false}};
    TextList texts;
    SpecialPolicy allowed, disallowed;
    if (!parse("Tokenizer.find_disallowed_special()", kParams, args, nargsf, kwnames, texts,
               allowed, disallowed)) {
      return nullptr;
    }
    const std::optional<DisallowedFound> found =
        run_detached([&]() -> std::optional<DisallowedFound> {
          for (const Bytes text : texts.views()) {
            if (auto hit = find_disallowed(core(self), text, allowed, disallowed)) return hit;
          }
          return std::nullopt;
        });
    if (!found) Py_RETURN_NONE;
    return text_of_utf8(found->first);
  });
}

PyObject* count(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return one_argument_method<Text>(
      "Tokenizer.count()", kTextParams, args, nargsf, kwnames, [&](const Text& text) {
        return PyLong_FromSize_t(
            run_detached([&] { return pelnor::count(core(self), text.bytes()); }));
      });
}

PyObject* pieces(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return one_argument_method<Text>(
      "Tokenizer.pieces()", kTextParams, args, nargsf, kwnames, [&](const Text& text) {
        return spans_list(run_detached([&] {
          std::vector<std::size_t> bounds;
          for_each_piece(core(self), text.bytes(), [&](std::size_t start, std::size_t len) {
            bounds.push_back(start);
            bounds.push_back(start + len);
          });
          return bounds;
        }));
      });
}

PyObject* count_batch(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    TextList texts;
    std::uint64_t threads;
    bool with_special;
    if (!batch_arguments("Tokenizer.count_batch()", args, nargsf, kwnames, texts, threads,
                         with_special)) {
      return nullptr;
    }
    const std::vector<std::size_t> counts = run_detached(
        [&] { return pelnor::count_batch(core(self), texts.views(), threads, with_special); });
    return list_of(counts.size(), [&](std::size_t i) { return PyLong_FromSize_t(counts[i]); });
  });
}

}  // namespace pelnor::binding

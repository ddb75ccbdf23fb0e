// The _pelnor module: the Tokenizer class and its methods. Every method binds its arguments,
// converts them, detaches around the core call, re-attaches and builds the result.
#include "compat.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>
#include <optional>

#include "args.h"
#include "interop.h"
#include "pelnor/bpe/merge_list.h"
#include "pelnor/engine/batch.h"
#include "pelnor/engine/decode.h"
#include "pelnor/engine/encode.h"
#include "pelnor/engine/special_encode.h"
#include "pelnor/engine/tokenizer.h"
#include "stream.h"
#include "tokenizer_object.h"

namespace pelnor::binding {
namespace {

PyObject* id_list(PyObject* self, const IdVector& ids) {
  return reinterpret_cast<TokenizerObject*>(self)->id_objects.list(ids);
}

// ---- Construction and lifetime ----------------------------------------------------------------

// Returns a new object of type holding built, or sets the exception of its failure and returns
// nullptr; steals rebuild_args.
PyObject* make_tokenizer(PyTypeObject* type, Result<Tokenizer>& built, PyObject* rebuild_args,
                         const char* rebuild) {
  if (!built.ok()) {
    Py_XDECREF(rebuild_args);
    return raise_failure(built.failure());
  }
  PyObject* self = rebuild_args == nullptr ? nullptr : type->tp_alloc(type, 0);
  if (self == nullptr) {
    Py_XDECREF(rebuild_args);
    return nullptr;
  }
  auto* object = reinterpret_cast<TokenizerObject*>(self);
  new (&object->tokenizer) Tokenizer(std::move(built.value()));
  new (&object->id_objects)
      IdObjects(object->tokenizer.vocab().token_count(), object->tokenizer.identity());
  object->rebuild_args = rebuild_args;
  object->rebuild = rebuild;
  return self;
}

constexpr Param kNewParams[] = {{"encoding", true}, {"datadir", false}};

PyObject* tokenizer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    Bound<2> bound;
    if (!bind_tuple("Tokenizer.__new__()", kNewParams, args, kwargs, bound.slots())) return nullptr;
    Text encoding, datadir;
    if (!to_text(bound[0], "encoding", encoding)) return nullptr;
    if (bound[1] != nullptr && !to_text(bound[1], "datadir", datadir)) return nullptr;
    // Reading and parsing the data touch no object: other threads run meanwhile.
    Result<Tokenizer> built = [&] {
      const Detached detached;
      return Tokenizer::create(
          std::string_view(encoding.data, static_cast<std::size_t>(encoding.size)),
          std::string_view(datadir.data, static_cast<std::size_t>(datadir.size)));
    }();
    // Exact str copies: a subclass instance could tie the tokenizer into an uncollected cycle.
    PyObject* rebuild_args =
        datadir.size == 0
            ? Py_BuildValue("(s#)", encoding.data, encoding.size)
            : Py_BuildValue("(s#s#)", encoding.data, encoding.size, datadir.data, datadir.size);
    return make_tokenizer(type, built, rebuild_args, nullptr);
  });
}

std::optional<RuleSet> rule_set_named(std::string_view name) {
  if (name == "cl100k") return RuleSet::kCl100k;
  if (name == "cl100k_line_break_first") return RuleSet::kCl100kLineBreakFirst;
  if (name == "o200k") return RuleSet::kO200k;
  if (name == "r50k") return RuleSet::kR50k;
  if (name == "regex") return RuleSet::kRegex;
  return std::nullopt;
}

PyObject* from_data(PyObject* type, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr Param kParams[] = {{"name", true},
                                        {"rules", true},
                                        {"vocab", true},
                                        {"special_tokens", true},
                                        {"pattern", false}};
    Text name, rules;
    Text pattern{"", 0};  // rebuilt from "" where not given
    Bytes vocab, special_tokens;
    if (!parse("Tokenizer.from_data()", kParams, args, nargsf, kwnames, name, rules, vocab,
               special_tokens, pattern)) {
      return nullptr;
    }
    const std::optional<RuleSet> rule_set = rule_set_named(rules.view());
    if (!rule_set) {
      PyErr_SetString(PyExc_ValueError,
                      "rules must be 'cl100k', 'cl100k_line_break_first', 'o200k', 'r50k' or "
                      "'regex'");
      return nullptr;
    }
    // Reading the data and compiling the pattern touch no object: other threads run meanwhile.
    Result<Tokenizer> built = [&] {
      const Detached detached;
      return Tokenizer::from_data(name.view(), *rule_set, vocab, special_tokens, pattern.view());
    }();
    PyObject* rebuild_args =
        Py_BuildValue("(s#s#y#y#s#)", name.data, name.size, rules.data, rules.size, vocab.data(),
                      static_cast<Py_ssize_t>(vocab.size()), special_tokens.data(),
                      static_cast<Py_ssize_t>(special_tokens.size()), pattern.data, pattern.size);
    return make_tokenizer(reinterpret_cast<PyTypeObject*>(type), built, rebuild_args, "from_data");
  });
}

PyObject* from_levels(PyObject* type, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr Param kParams[] = {
        {"name", true}, {"vocab", true}, {"special_tokens", true}, {"levels", true}};
    Text name;
    Bytes vocab, special_tokens, levels;
    if (!parse("Tokenizer.from_levels()", kParams, args, nargsf, kwnames, name, vocab,
               special_tokens, levels)) {
      return nullptr;
    }
    Result<Tokenizer> built = [&] {
      const Detached detached;
      return Tokenizer::from_levels(name.view(), vocab, special_tokens, levels);
    }();
    PyObject* rebuild_args = Py_BuildValue(
        "(s#y#y#y#)", name.data, name.size, vocab.data(), static_cast<Py_ssize_t>(vocab.size()),
        special_tokens.data(), static_cast<Py_ssize_t>(special_tokens.size()), levels.data(),
        static_cast<Py_ssize_t>(levels.size()));
    return make_tokenizer(reinterpret_cast<PyTypeObject*>(type), built, rebuild_args,
                          "from_levels");
  });
}

// ---- Functions of the module ------------------------------------------------------------------

PyObject* tokens_unformed_by(PyObject*, PyObject* const* args, Py_ssize_t nargsf,
                             PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr Param kParams[] = {{"vocab", true}, {"merges", true}};
    Bytes vocab, merges;
    if (!parse("tokens_unformed_by()", kParams, args, nargsf, kwnames, vocab, merges)) {
      return nullptr;
    }
    if (merges.size() % sizeof(ListedMerge) != 0) {
      PyErr_SetString(PyExc_ValueError, "merges must hold triples of uint32 ranks");
      return nullptr;
    }
    std::optional<Result<TokenStrings>> tokens;
    std::vector<TokenId> unformed;
    {
      const Detached detached;
      tokens.emplace(read_vocab_file(vocab, "tokens_unformed_by()"));
      if (tokens->ok()) {
        static_assert(std::endian::native == std::endian::little, "merges are little-endian");
        std::vector<ListedMerge> listed(merges.size() / sizeof(ListedMerge));
        std::memcpy(listed.data(), merges.data(), merges.size());
        unformed = pelnor::tokens_unformed_by(tokens->value(), listed);
      }
    }
    if (!tokens->ok()) return raise_failure(tokens->failure());
    return list_of(unformed.size(),
                   [&](std::size_t i) { return PyLong_FromUnsignedLong(unformed[i]); });
  });
}

PyMethodDef kModuleMethods[] = {
    {"tokens_unformed_by",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(tokens_unformed_by)),
     METH_FASTCALL | METH_KEYWORDS,
     "tokens_unformed_by(vocab, merges)\n--\n\n"
     "The ranks of the tokens of vocab (the vocab format) longer than one byte that merging\n"
     "their own bytes by the list `merges` does not form, ascending: merges are little-endian\n"
     "uint32 triples (left, right, merged), the first listed merging first."},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* tokenizer_reduce(PyObject* self, PyObject*) {
  auto* object = reinterpret_cast<TokenizerObject*>(self);
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(self));
  PyObject* rebuild =
      object->rebuild != nullptr ? PyObject_GetAttrString(type, object->rebuild) : Py_NewRef(type);
  if (rebuild == nullptr) return nullptr;
  return Py_BuildValue("(NO)", rebuild, object->rebuild_args);
}

void tokenizer_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  auto* object = reinterpret_cast<TokenizerObject*>(self);
  Py_XDECREF(object->rebuild_args);
  object->id_objects.~IdObjects();
  object->tokenizer.~Tokenizer();
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* tokenizer_repr(PyObject* self) {
  const std::string& name = core(self).name();
  return PyUnicode_FromFormat("<pelnor.Tokenizer '%s'>", name.c_str());
}

// ---- Shared pieces of the encode family -------------------------------------------------------

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
  std::optional<Result<IdVector>> encoded;
  {
    Detached detached;
    encoded.emplace(pelnor::encode_with_policy(core(self), text.bytes(), allowed, disallowed));
  }
  if (!encoded->ok()) {
    raise_failure(encoded->failure());
    return false;
  }
  ids = std::move(encoded->value());
  return true;
}

constexpr Param kTextParams[] = {{"text", true}};

// ---- Encode-family methods ----------------------------------------------------------------------

PyObject* encode(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    IdVector ids;
    if (!encode_with_policy("Tokenizer.encode()", self, args, nargsf, kwnames, ids)) return nullptr;
    return id_list(self, ids);
  });
}

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
  return guarded([&]() -> PyObject* {
    Input input;
    if (!parse(display_name, params, args, nargsf, kwnames, input)) return nullptr;
    IdVector ids;
    {
      Detached detached;
      ids = encode(core(self), input_bytes(input));
    }
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
    BatchEncoding batch;
    {
      Detached detached;
      batch = pelnor::encode_batch(core(self), texts.views(), threads, with_special);
    }
    return build(batch);
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

PyObject* spans_list(const std::vector<std::size_t>& bounds) {
  return list_of(bounds.size() / 2, [&](std::size_t i) {
    return Py_BuildValue("(nn)", static_cast<Py_ssize_t>(bounds[2 * i]),
                         static_cast<Py_ssize_t>(bounds[2 * i + 1]));
  });
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
    SpannedIds spanned;
    {
      Detached detached;
      spanned = encode_with_offsets_allowing(core(self), text.bytes(), allowed);
      if (unit == OffsetUnit::kChar) to_char_offsets(text.bytes(), spanned.bounds);
    }
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
    std::optional<UnstableTail> split;
    {
      Detached detached;
      split.emplace(pelnor::encode_with_unstable_tail(core(self), text.bytes(), allowed));
    }
    return pair_of(id_list(self, split->ids), PyLong_FromSize_t(split->first_unstable));
  });
}

PyObject* encode_single_piece(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                              PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr Param kParams[] = {{"piece", true}};
    Piece piece;
    if (!parse("Tokenizer.encode_single_piece()", kParams, args, nargsf, kwnames, piece)) {
      return nullptr;
    }
    IdVector ids;
    {
      Detached detached;
      ids = pelnor::encode_single_piece(core(self).vocab(), piece.bytes);
    }
    return id_list(self, ids);
  });
}

PyObject* encode_single_token(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                              PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr Param kParams[] = {{"piece", true}};
    Piece piece;
    if (!parse("Tokenizer.encode_single_token()", kParams, args, nargsf, kwnames, piece)) {
      return nullptr;
    }
    if (const auto id = core(self).single_token(piece.bytes)) return PyLong_FromUnsignedLong(*id);
    PyErr_SetString(PyExc_KeyError, "bytes are not a single token in this encoding");
    return nullptr;
  });
}

PyObject* truncation_pair(PyObject* text, std::size_t total) {
  return pair_of(text, PyLong_FromSize_t(total));
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
    Truncation cut;
    {
      Detached detached;
      cut = truncate_allowing(core(self), text.bytes(), max_tokens, allowed);
    }
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
    std::vector<Truncation> cuts;
    {
      Detached detached;
      cuts = pelnor::truncate_batch(core(self), texts.views(), max_tokens, threads);
    }
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
    std::optional<DisallowedFound> found;
    {
      Detached detached;
      for (const Bytes text : texts.views()) {
        found = find_disallowed(core(self), text, allowed, disallowed);
        if (found) break;
      }
    }
    if (!found) Py_RETURN_NONE;
    return text_of_utf8(found->first);
  });
}

PyObject* count(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Text text;
    if (!parse("Tokenizer.count()", kTextParams, args, nargsf, kwnames, text)) return nullptr;
    std::size_t n;
    {
      Detached detached;
      n = pelnor::count(core(self), text.bytes());
    }
    return PyLong_FromSize_t(n);
  });
}

PyObject* pieces(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Text text;
    if (!parse("Tokenizer.pieces()", kTextParams, args, nargsf, kwnames, text)) return nullptr;
    std::vector<std::size_t> bounds;
    {
      Detached detached;
      for_each_piece(core(self), text.bytes(), [&](std::size_t start, std::size_t len) {
        bounds.push_back(start);
        bounds.push_back(start + len);
      });
    }
    return spans_list(bounds);
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
    std::vector<std::size_t> counts;
    {
      Detached detached;
      counts = pelnor::count_batch(core(self), texts.views(), threads, with_special);
    }
    return list_of(counts.size(), [&](std::size_t i) { return PyLong_FromSize_t(counts[i]); });
  });
}

// ---- Decode family and vocabulary queries -------------------------------------------------------

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

PyObject* decode(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr Param kParams[] = {{"ids", true}, {"errors", false}};
    std::vector<TokenId> ids;
    Text errors{"replace", 7};
    if (!parse("Tokenizer.decode()", kParams, args, nargsf, kwnames, ids, errors)) return nullptr;
    ByteVector bytes;
    {
      Detached detached;
      bytes = pelnor::decode_bytes(core(self), ids);
    }
    return text_of_decoded(bytes, decode_errors_named(errors.view()));
  });
}

PyObject* decode_bytes(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                       PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr Param kParams[] = {{"ids", true}};
    std::vector<TokenId> ids;
    if (!parse("Tokenizer.decode_bytes()", kParams, args, nargsf, kwnames, ids)) return nullptr;
    ByteVector bytes;
    {
      Detached detached;
      bytes = pelnor::decode_bytes(core(self), ids);
    }
    return PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size()));
  });
}

PyObject* decode_bytes_checked(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                               PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr Param kParams[] = {{"ids", true}};
    std::vector<TokenId> ids;
    if (!parse("Tokenizer.decode_bytes_checked()", kParams, args, nargsf, kwnames, ids)) {
      return nullptr;
    }
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
  return guarded([&]() -> PyObject* {
    static constexpr Param kParams[] = {{"id", true}};
    TokenId id;
    if (!parse("Tokenizer.decode_single_token_bytes()", kParams, args, nargsf, kwnames, id)) {
      return nullptr;
    }
    if (const auto bytes = token_bytes_of(core(self), id)) return bytes_of(*bytes);
    PyErr_Format(PyExc_KeyError, "unknown token id %lu", static_cast<unsigned long>(id));
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
  return guarded([&]() -> PyObject* {
    static constexpr Param kParams[] = {{"id", true}};
    TokenId id;
    if (!parse("Tokenizer.is_special_token()", kParams, args, nargsf, kwnames, id)) return nullptr;
    return PyBool_FromLong(core(self).is_special(id));
  });
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

// ---- Properties ---------------------------------------------------------------------------------

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

extern PyModuleDef kModule;

// Each module object (one per interpreter, and again after the interpreter is re-initialised)
// holds its own type objects, so no Python object outlives its interpreter or crosses to another.
struct ModuleState {
  PyObject* tokenizer_type;
  PyObject* stream_type;
};

ModuleState& state_of(PyObject* module) {
  return *static_cast<ModuleState*>(PyModule_GetState(module));
}

PyObject* stream(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr Param kParams[] = {{"with_special", false}};
    bool with_special = false;
    if (!parse("Tokenizer.stream()", kParams, args, nargsf, kwnames, with_special)) {
      return nullptr;
    }
    PyObject* module = PyType_GetModuleByDef(Py_TYPE(self), &kModule);
    if (module == nullptr) return nullptr;
    return new_stream(reinterpret_cast<PyTypeObject*>(state_of(module).stream_type), self,
                      with_special);
  });
}

// ---- The class and the module -------------------------------------------------------------------

#define PELNOR_METHOD(name, doc)                                             \
  {#name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(name)), \
   METH_FASTCALL | METH_KEYWORDS, doc}

PyMethodDef kMethods[] = {
    PELNOR_METHOD(encode,
                  "encode($self, text, allowed_special=None, disallowed_special=None)\n--\n\n"
                  "tiktoken's `Encoding.encode`: raise if a disallowed special string occurs;\n"
                  "otherwise encode, turning allowed specials into their ids."),
    PELNOR_METHOD(encode_ordinary,
                  "encode_ordinary($self, text)\n--\n\n"
                  "Encode ignoring special tokens entirely (tiktoken's `encode_ordinary`)."),
    PELNOR_METHOD(encode_bytes,
                  "encode_bytes($self, data)\n--\n\nEncode raw bytes (no UTF-8 validation)."),
    PELNOR_METHOD(encode_bytes_merged_tail,
                  "encode_bytes_merged_tail($self, data)\n--\n\n"
                  "Encode raw bytes as tiktoken's `_encode_bytes` does: UTF-8 as its text;\n"
                  "otherwise the longest UTF-8 prefix as text, but its last piece merged as\n"
                  "one with every byte after the prefix."),
    PELNOR_METHOD(encode_with_special,
                  "encode_with_special($self, text)\n--\n\n"
                  "Every special-token string is turned into its id."),
    PELNOR_METHOD(encode_to_buffer,
                  "encode_to_buffer($self, text, allowed_special=None, disallowed_special=None)\n"
                  "--\n\n"
                  "Same as `encode`, but returns the ids as a little-endian uint32 buffer \u2014\n"
                  "the Python wrapper turns it into a numpy array with no per-token Python\n"
                  "int objects (the cost that otherwise dominates big inputs)."),
    PELNOR_METHOD(encode_to_numpy,
                  "encode_to_numpy($self, text, allowed_special=None, disallowed_special=None)\n"
                  "--\n\n"
                  "Same as `encode`, but returns a numpy `uint32` array \u2014 the fastest path\n"
                  "from Python: no per-token Python int objects, just one buffer."),
    PELNOR_METHOD(encode_batch_to_numpy,
                  "encode_batch_to_numpy($self, texts, threads=0, with_special=False)\n--\n\n"
                  "Encode many texts in parallel into numpy arrays: `(ids, offsets)`, where\n"
                  "text `i` occupies `ids[offsets[i]:offsets[i + 1]]`.\n\n"
                  "`threads=0` uses every processor; a call starts at most one worker thread per\n"
                  "processor, fewer while other calls' workers run, and none for fewer than two."),
    PELNOR_METHOD(encode_with_offsets,
                  "encode_with_offsets($self, text, unit=\"byte\", allowed_special=None)\n--\n\n"
                  "Ordinary ids + per-token spans. `unit=\"byte\"` gives exact UTF-8 byte\n"
                  "offsets (they tile the input, less any text a custom pattern leaves\n"
                  "unmatched); `unit=\"char\"` gives code-point offsets (HF `offset_mapping`\n"
                  "shape). Each special string `allowed_special` names is its id, spanning it."),
    PELNOR_METHOD(encode_with_unstable_tail,
                  "encode_with_unstable_tail($self, text, allowed_special=None)\n--\n\n"
                  "`(ids, first_unstable)`: the ids (each allowed special string its id) and\n"
                  "where those begin that more text after it could change: the last piece's,\n"
                  "and where it starts with a token of spaces, tabs and line feeds, such\n"
                  "tokens before it."),
    PELNOR_METHOD(encode_single_piece,
                  "encode_single_piece($self, piece)\n--\n\n"
                  "bytes/str merged as ONE piece, with no splitting: the token it is, if any."),
    PELNOR_METHOD(encode_single_token,
                  "encode_single_token($self, piece)\n--\n\n"
                  "Exact bytes/str of a SINGLE token -> its id."),
    PELNOR_METHOD(truncate,
                  "truncate($self, text, max_tokens, allowed_special=None)\n--\n\n"
                  "Truncate to at most `max_tokens` tokens. Returns `(text, total_tokens)`,\n"
                  "where `total_tokens` counts the whole input whether or not it was cut.\n"
                  "Each special string `allowed_special` names is one token, kept or cut whole."),
    PELNOR_METHOD(stream,
                  "stream($self, with_special=False)\n--\n\n"
                  "A Stream that encodes a text arriving in parts in bounded memory; with\n"
                  "`with_special`, every special string is its id."),
    PELNOR_METHOD(truncate_batch,
                  "truncate_batch($self, texts, max_tokens, threads=0)\n--\n\n"
                  "`truncate` over many texts, in parallel.\n\n"
                  "`threads=0` uses every processor; a call starts at most one worker thread per\n"
                  "processor, fewer while other calls' workers run, and none for fewer than two."),
    PELNOR_METHOD(count, "count($self, text)\n--\n\n"),
    PELNOR_METHOD(pieces,
                  "pieces($self, text)\n--\n\n"
                  "The (start, end) byte spans of the pieces the pre-tokenizer cuts text into,\n"
                  "in order; text between them is dropped."),
    PELNOR_METHOD(find_disallowed_special,
                  "find_disallowed_special($self, texts, allowed_special=None, "
                  "disallowed_special=None)\n--\n\n"
                  "The special string that encode's policy check finds first in the first of\n"
                  "the texts holding one (the longest where several start there), or None."),
    PELNOR_METHOD(encode_batch,
                  "encode_batch($self, texts, threads=0, with_special=False)\n--\n\n"
                  "Encode many texts in parallel. Returns (flat uint32 id buffer, per-text\n"
                  "int64 offsets buffer with `len(texts)+1` entries).\n\n"
                  "`threads=0` uses every processor; a call starts at most one worker thread per\n"
                  "processor, fewer while other calls' workers run, and none for fewer than two."),
    PELNOR_METHOD(count_batch,
                  "count_batch($self, texts, threads=0, with_special=False)\n--\n\n"
                  "Token counts for many texts, in parallel \u2014 no ids are materialized, so a\n"
                  "counting workload allocates O(threads) instead of O(total tokens).\n\n"
                  "`threads=0` uses every processor; a call starts at most one worker thread per\n"
                  "processor, fewer while other calls' workers run, and none for fewer than two."),
    PELNOR_METHOD(decode, "decode($self, ids, errors=\"replace\")\n--\n\n"),
    PELNOR_METHOD(decode_bytes, "decode_bytes($self, ids)\n--\n\n"),
    PELNOR_METHOD(decode_single_token_bytes, "decode_single_token_bytes($self, id)\n--\n\n"),
    PELNOR_METHOD(decode_batch, "decode_batch($self, batch, errors=\"replace\")\n--\n\n"),
    {"token_byte_values", token_byte_values, METH_NOARGS,
     "token_byte_values($self)\n--\n\nAll base-vocab token byte strings, indexed by id."},
    PELNOR_METHOD(is_special_token, "is_special_token($self, id)\n--\n\n"),
    {"special_tokens", special_tokens, METH_NOARGS,
     "special_tokens($self)\n--\n\n`{special string: id}` \u2014 tiktoken's `_special_tokens`."},
    // Beyond the table above, which keeps its order: the tiktoken-compatible package's needs.
    PELNOR_METHOD(encode_batch_lists,
                  "encode_batch_lists($self, texts, threads=0, with_special=False)\n--\n\n"
                  "Same as `encode_batch`, but returns a list of ids per text, as tiktoken's\n"
                  "`encode_batch` does.\n\n"
                  "`threads=0` uses every processor; a call starts at most one worker thread per\n"
                  "processor, fewer while other calls' workers run, and none for fewer than two."),
    PELNOR_METHOD(decode_bytes_checked,
                  "decode_bytes_checked($self, ids)\n--\n\n"
                  "Same as `decode_bytes`, but an id that is no token of the encoding raises\n"
                  "KeyError, as tiktoken's `decode_bytes` does."),
    {"from_data", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(from_data)),
     METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "from_data($type, name, rules, vocab, special_tokens, pattern='')\n--\n\n"
     "A tokenizer of any name built from data in memory: vocab and special_tokens in the\n"
     "formats of the vocab and special-tokens files, text split by the rules of 'cl100k',\n"
     "'cl100k_line_break_first' (cl100k's with o200k's order of the whitespace rules),\n"
     "'o200k' or 'r50k', or for 'regex' by pattern (PCRE2 syntax). Malformed data\n"
     "raises RuntimeError, as from Tokenizer(); a pattern PCRE2 refuses, ValueError."},
    {"from_levels", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(from_levels)),
     METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "from_levels($type, name, vocab, special_tokens, levels)\n--\n\n"
     "A tokenizer built as by from_data that splits text by levels (the format of\n"
     "pelnor.vocab_format.levels_bytes): each level's pieces are cut again by the next."},
    {"__reduce__", tokenizer_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

#undef PELNOR_METHOD

PyGetSetDef kProperties[] = {
    {"name", get_name, nullptr, nullptr, nullptr},
    {"memory_bytes", get_memory_bytes, nullptr,
     "Exact heap footprint of the loaded encoding, in bytes.", nullptr},
    {"n_vocab", get_n_vocab, nullptr, nullptr, nullptr},
    {"max_token_value", get_max_token_value, nullptr, nullptr, nullptr},
    {"eot_token", get_eot_token, nullptr, nullptr, nullptr},
    {"special_tokens_set", get_special_tokens_set, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// help(Tokenizer) shows this; the first lines give the class its __text_signature__.
constexpr char kTokenizerDoc[] =
    "Tokenizer(encoding, datadir=\"\")\n--\n\n"
    "A byte-pair tokenizer whose ids equal tiktoken's.\n\n"
    "encoding is a built-in name, one of BUILTIN_ENCODINGS.\n"
    "datadir, when given, is a directory holding the encoding's data files under\n"
    "their built-in names (r50k.vocab, cl100k.vocab, ..., the .special files and the\n"
    "uniclass*.bin tables); they are read from there instead of the copies built\n"
    "into the module. A missing .special file there means no special tokens.\n"
    "An unknown encoding or an unreadable or malformed file raises RuntimeError.\n\n"
    "Encoding:\n"
    "  encode(text, allowed_special=None, disallowed_special=None)\n"
    "  encode_ordinary(text), encode_bytes(data), encode_with_special(text)\n"
    "  encode_to_buffer(...), encode_to_numpy(...)\n"
    "  encode_with_offsets(text, unit=\"byte\", allowed_special=None),\n"
    "  encode_single_token(piece)\n"
    "  encode_batch(texts, threads=0, with_special=False), encode_batch_to_numpy(...)\n"
    "  count(text), count_batch(texts, threads=0, with_special=False)\n"
    "  truncate(text, max_tokens, allowed_special=None),\n"
    "  truncate_batch(texts, max_tokens, threads=0)\n"
    "Decoding:\n"
    "  decode(ids, errors=\"replace\"), decode_bytes(ids)\n"
    "  decode_batch(batch, errors=\"replace\"), decode_single_token_bytes(id)\n"
    "The vocabulary:\n"
    "  token_byte_values(), special_tokens(), is_special_token(id)\n"
    "  name, n_vocab, max_token_value, eot_token, special_tokens_set, memory_bytes\n\n"
    "help(Tokenizer.METHOD) shows the signature of each.";

PyType_Slot kTypeSlots[] = {
    {Py_tp_doc, const_cast<char*>(kTokenizerDoc)},
    {Py_tp_new, reinterpret_cast<void*>(tokenizer_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(tokenizer_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(tokenizer_repr)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kProperties},
    {0, nullptr},
};

PyType_Spec kTypeSpec = {
    "pelnor._pelnor.Tokenizer",
    static_cast<int>(sizeof(TokenizerObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    kTypeSlots,
};

int module_traverse(PyObject* module, visitproc visit, void* arg) {
  Py_VISIT(state_of(module).tokenizer_type);
  Py_VISIT(state_of(module).stream_type);
  return 0;
}

int module_clear(PyObject* module) {
  Py_CLEAR(state_of(module).tokenizer_type);
  Py_CLEAR(state_of(module).stream_type);
  return 0;
}

void module_free(void* module) {
  module_clear(static_cast<PyObject*>(module));
}

// Sets module.name = value (stealing value) and appends name to __all__.
int add_member(PyObject* module, const char* name, PyObject* value) {
  if (value == nullptr) return -1;
  PyObject* key = PyUnicode_FromString(name);
  if (key == nullptr) {
    Py_DECREF(value);
    return -1;
  }
  PyObject* all = PyObject_GetAttrString(module, "__all__");
  if (all == nullptr) {
    PyErr_Clear();
    all = PyList_New(0);
    if (all == nullptr || PyObject_SetAttrString(module, "__all__", all) < 0) {
      Py_XDECREF(all);
      Py_DECREF(key);
      Py_DECREF(value);
      return -1;
    }
  }
  const int status =
      PyObject_SetAttr(module, key, value) < 0 || PyList_Append(all, key) < 0 ? -1 : 0;
  Py_DECREF(all);
  Py_DECREF(key);
  Py_DECREF(value);
  return status;
}

// Returns a new list of the built-in encodings' names, or nullptr with an exception set.
PyObject* builtin_encoding_list() {
  const std::vector<std::string_view> names = builtin_encodings();
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(names.size()));
  if (list == nullptr) return nullptr;
  for (std::size_t i = 0; i < names.size(); ++i) {
    PyObject* name =
        PyUnicode_FromStringAndSize(names[i].data(), static_cast<Py_ssize_t>(names[i].size()));
    if (name == nullptr) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), name);
  }
  return list;
}

int module_exec(PyObject* module) {
  PyObject* type = PyType_FromModuleAndSpec(module, &kTypeSpec, nullptr);
  state_of(module).tokenizer_type = Py_XNewRef(type);
  if (type == nullptr) {
    PyObject* cause = PyErr_GetRaisedException();
    PyErr_SetString(PyExc_RuntimeError, "An error occurred while initializing class Tokenizer");
    PyObject* raised = PyErr_GetRaisedException();
    PyException_SetCause(raised, cause);
    PyErr_SetRaisedException(raised);
    return -1;
  }
  if (add_member(module, "Tokenizer", type) < 0) return -1;
  PyObject* stream_type = PyType_FromModuleAndSpec(module, &kStreamSpec, nullptr);
  state_of(module).stream_type = stream_type;
  if (stream_type == nullptr || PyModule_AddObjectRef(module, "Stream", stream_type) < 0) {
    return -1;
  }
  if (add_member(module, "__version__", PyUnicode_FromString(PELNOR_VERSION)) < 0) return -1;
  // What the data formats hold, for the package's checks of custom tables; outside __all__,
  // which is the module's interface.
  PyObject* limits =
      Py_BuildValue("{sIsnsIsn}", "ranks", kMaxTokenCount, "token_bytes",
                    static_cast<Py_ssize_t>(kMaxTokenBytes), "special_tokens", kMaxSpecialTokens,
                    "special_token_bytes", static_cast<Py_ssize_t>(kMaxSpecialTokenBytes));
  if (PyModule_Add(module, "LIMITS", limits) < 0) return -1;
  return add_member(module, "BUILTIN_ENCODINGS", builtin_encoding_list());
}

PyModuleDef_Slot kModuleSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT, "_pelnor",       "",           sizeof(ModuleState), kModuleMethods,
    kModuleSlots,          module_traverse, module_clear, module_free,
};

}  // namespace
}  // namespace pelnor::binding

PyMODINIT_FUNC PyInit__pelnor() {
  return PyModuleDef_Init(&pelnor::binding::kModule);
}

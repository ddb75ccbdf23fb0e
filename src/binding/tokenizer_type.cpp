// The Tokenizer type: construction, pickling and lifetime, and the type's tables.
#include "tokenizer_object.h"

#include <new>
#include <optional>
#include <vector>

#include "args.h"
#include "interop.h"
#include "methods.h"
#include "pelnor/bpe/vocab_file.h"

namespace pelnor::binding {
namespace {

// Returns a new object of type holding built, or sets the exception of its failure and returns
// nullptr; steals rebuild_args, which hold None at vocab_at (unless -1) for the vocab.
PyObject* make_tokenizer(PyTypeObject* type, Result<Tokenizer>& built, PyObject* rebuild_args,
                         const char* rebuild, Py_ssize_t vocab_at = -1) {
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
  object->vocab_at = vocab_at;
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
    Result<Tokenizer> built = run_detached([&] {
      return Tokenizer::create(
          std::string_view(encoding.data, static_cast<std::size_t>(encoding.size)),
          std::string_view(datadir.data, static_cast<std::size_t>(datadir.size)));
    });
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
    Result<Tokenizer> built = run_detached([&] {
      return Tokenizer::from_data(name.view(), *rule_set, vocab, special_tokens, pattern.view());
    });
    PyObject* rebuild_args = Py_BuildValue(
        "(s#s#Oy#s#)", name.data, name.size, rules.data, rules.size, Py_None, special_tokens.data(),
        static_cast<Py_ssize_t>(special_tokens.size()), pattern.data, pattern.size);
    return make_tokenizer(reinterpret_cast<PyTypeObject*>(type), built, rebuild_args, "from_data",
                          2);
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
    Result<Tokenizer> built = run_detached(
        [&] { return Tokenizer::from_levels(name.view(), vocab, special_tokens, levels); });
    PyObject* rebuild_args =
        Py_BuildValue("(s#Oy#y#)", name.data, name.size, Py_None, special_tokens.data(),
                      static_cast<Py_ssize_t>(special_tokens.size()), levels.data(),
                      static_cast<Py_ssize_t>(levels.size()));
    return make_tokenizer(reinterpret_cast<PyTypeObject*>(type), built, rebuild_args, "from_levels",
                          1);
  });
}

// The rebuild arguments, with the vocab written again from the tables where they lack it.
PyObject* rebuild_arguments(const TokenizerObject& object) {
  if (object.vocab_at < 0) return Py_NewRef(object.rebuild_args);
  const std::vector<std::uint8_t> vocab =
      run_detached([&] { return write_vocab_file(object.tokenizer.vocab().tokens()); });
  const Py_ssize_t size = PyTuple_GET_SIZE(object.rebuild_args);
  PyObject* args = PyTuple_New(size);
  if (args == nullptr) return nullptr;
  for (Py_ssize_t i = 0; i < size; ++i) {
    PyObject* item = i == object.vocab_at ? bytes_of(Bytes(vocab.data(), vocab.size()))
                                          : Py_NewRef(PyTuple_GET_ITEM(object.rebuild_args, i));
    if (item == nullptr) {
      Py_DECREF(args);
      return nullptr;
    }
    PyTuple_SET_ITEM(args, i, item);
  }
  return args;
}

PyObject* tokenizer_reduce(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    auto* object = reinterpret_cast<TokenizerObject*>(self);
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(self));
    PyObject* rebuild = object->rebuild != nullptr ? PyObject_GetAttrString(type, object->rebuild)
                                                   : Py_NewRef(type);
    if (rebuild == nullptr) return nullptr;
    return Py_BuildValue("(NN)", rebuild, rebuild_arguments(*object));
  });
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
    {Py_tp_getset, kTokenizerProperties},
    {0, nullptr},
};

}  // namespace

PyType_Spec kTokenizerSpec = {
    "pelnor._pelnor.Tokenizer",
    static_cast<int>(sizeof(TokenizerObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    kTypeSlots,
};

}  // namespace pelnor::binding

// The _pelnor module: its functions, its state (the Stream type) and its initialisation. The
// Tokenizer type's methods each bind their arguments, convert them, detach around the core
// call, re-attach and build the result.
#include "python_api.h"

#include <bit>
#include <cstring>
#include <optional>
#include <vector>

#include "args.h"
#include "interop.h"
#include "methods.h"
#include "pelnor/bpe/merge_list.h"
#include "pelnor/engine/registry.h"
#include "stream.h"
#include "tokenizer_object.h"

namespace pelnor::binding {
namespace {

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

extern PyModuleDef kModule;

// Each module object (one per interpreter, and again after the interpreter is re-initialised)
// holds its own type objects, so no Python object outlives its interpreter or crosses to another.
struct ModuleState {
  PyObject* stream_type;
};

ModuleState& state_of(PyObject* module) {
  return *static_cast<ModuleState*>(PyModule_GetState(module));
}

}  // namespace

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

namespace {

int module_traverse(PyObject* module, visitproc visit, void* arg) {
  Py_VISIT(state_of(module).stream_type);
  return 0;
}

int module_clear(PyObject* module) {
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
  PyObject* type = PyType_FromModuleAndSpec(module, &kTokenizerSpec, nullptr);
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

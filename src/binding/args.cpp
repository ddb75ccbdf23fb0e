#include "args.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <type_traits>

namespace pelnor::binding {
namespace {

// A sequence argument's reported length only sizes the first reservation; a huge or lying
// __len__ must not reserve unbounded memory, so the vector grows as items actually arrive.
constexpr Py_ssize_t kMaxReservedItems = 1 << 16;

// 'a' / 'a' and 'b' / 'a', 'b', and 'c'
std::string quoted_list(const std::vector<const char*>& names) {
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) out += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
    // Appended piecewise: GCC 12 warns falsely (-Wrestrict) on "'" + std::string(...).
    out += '\'';
    out += names[i];
    out += '\'';
  }
  return out;
}

bool bind_pairs(const char* display_name, std::span<const Param> params,
                PyObject* const* positional, Py_ssize_t npositional, PyObject* const* keyword_names,
                PyObject* const* keyword_values, Py_ssize_t nkeywords, PyObject** out) {
  const auto nparams = static_cast<Py_ssize_t>(params.size());
  const auto nrequired = static_cast<Py_ssize_t>(
      std::ranges::count_if(params, [](const Param& p) { return p.required; }));
  if (npositional > nparams) {
    const char* verb = npositional == 1 ? "was" : "were";
    if (nrequired == nparams) {
      PyErr_Format(PyExc_TypeError, "%s takes %zd positional arguments but %zd %s given",
                   display_name, nparams, npositional, verb);
    } else {
      PyErr_Format(PyExc_TypeError,
                   "%s takes from %zd to %zd positional arguments but %zd %s given", display_name,
                   nrequired, nparams, npositional, verb);
    }
    return false;
  }
  for (Py_ssize_t i = 0; i < npositional; ++i) out[i] = Py_NewRef(positional[i]);
  for (Py_ssize_t k = 0; k < nkeywords; ++k) {
    Py_ssize_t index = 0;
    while (index < nparams && !PyUnicode_EqualToUTF8(keyword_names[k], params[index].name)) ++index;
    if (index == nparams) {
      PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", display_name,
                   keyword_names[k]);
      return false;
    }
    if (out[index] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", display_name,
                   params[index].name);
      return false;
    }
    out[index] = Py_NewRef(keyword_values[k]);
  }
  std::vector<const char*> missing;
  for (Py_ssize_t i = 0; i < nparams; ++i) {
    if (params[i].required && out[i] == nullptr) missing.push_back(params[i].name);
  }
  if (!missing.empty()) {
    PyErr_Format(PyExc_TypeError, "%s missing %zu required positional argument%s: %s", display_name,
                 missing.size(), missing.size() == 1 ? "" : "s", quoted_list(missing).c_str());
    return false;
  }
  return true;
}

// Adds "while processing '<param>'" to the raised exception.
bool fail_with_note(const char* param) {
  PyObject* raised = PyErr_GetRaisedException();
  PyObject* note = PyUnicode_FromFormat("while processing '%s'", param);
  if (note != nullptr) {
    PyObject* name = PyUnicode_FromString("add_note");
    PyObject* call_args[] = {raised, note};
    PyObject* result = name == nullptr
                           ? nullptr
                           : PyObject_VectorcallMethod(name, call_args,
                                                       2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    Py_XDECREF(result);
    Py_XDECREF(name);
    Py_DECREF(note);
  }
  // A failure to attach the note must not replace the conversion's own error.
  PyErr_Clear();
  PyErr_SetRaisedException(raised);
  return false;
}

bool text_of(PyObject* value, Text& out) {
  if (!PyUnicode_Check(value)) {
    set_type_mismatch(value, "str");
    return false;
  }
  out.data = PyUnicode_AsUTF8AndSize(value, &out.size);
  return out.data != nullptr;
}

bool unsigned_of(PyObject* value, std::uint64_t& out) {
  PyObject* index = PyNumber_Index(value);
  if (index == nullptr) return false;
  const unsigned long long number = PyLong_AsUnsignedLongLong(index);
  Py_DECREF(index);
  if (number == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  out = number;
  return true;
}

bool id_of(PyObject* value, TokenId& out) {
  std::uint64_t number;
  if (!unsigned_of(value, number)) return false;
  if (number > 0xFFFFFFFFu) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    return false;
  }
  out = static_cast<TokenId>(number);
  return true;
}

bool is_numpy_bool(PyObject* value) {
  PyTypeObject* type = Py_TYPE(value);
  PyObject* module = PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__");
  if (module == nullptr) {
    PyErr_Clear();
    return false;
  }
  const bool from_numpy = PyUnicode_Check(module) && PyUnicode_EqualToUTF8(module, "numpy");
  Py_DECREF(module);
  if (!from_numpy) return false;
  PyObject* name = PyType_GetName(type);
  if (name == nullptr) {
    PyErr_Clear();
    return false;
  }
  const bool is_bool = PyUnicode_EqualToUTF8(name, "bool_") || PyUnicode_EqualToUTF8(name, "bool");
  Py_DECREF(name);
  return is_bool;
}

// A sequence by the interpreter's check or by registration with collections.abc.Sequence.
int is_sequence(PyObject* value) {
  if (PySequence_Check(value)) return 1;
  PyObject* abc = PyImport_ImportModule("collections.abc");
  if (abc == nullptr) return -1;
  PyObject* sequence = PyObject_GetAttrString(abc, "Sequence");
  Py_DECREF(abc);
  if (sequence == nullptr) return -1;
  const int registered = PyObject_IsInstance(value, sequence);
  Py_DECREF(sequence);
  return registered;
}

// Calls convert(item) on each item of an iterable, holding its own reference to the item, so
// that another thread mutating the container cannot pull an item away mid-conversion.
// `convert(item)` returns false with an exception set.
template <class Convert>
bool each_item(PyObject* iterable, Convert convert) {
  // A dict or set that another thread resizes can move its entries under a running iterator,
  // which then skips or repeats keys it always held: those are read from a copy taken under
  // the container's lock, so that they are the keys of one state.
  PyObject* snapshot = nullptr;
  if (PyDict_CheckExact(iterable) || PySet_CheckExact(iterable)) {
    snapshot = PySequence_List(iterable);
    if (snapshot == nullptr) return false;
  }
  PyObject* iterator = PyObject_GetIter(snapshot != nullptr ? snapshot : iterable);
  Py_XDECREF(snapshot);
  if (iterator == nullptr) return false;
  for (;;) {
    PyObject* item;
    const int got = PyIter_NextItem(iterator, &item);
    if (got <= 0) {
      Py_DECREF(iterator);
      return got == 0;
    }
    const bool converted = convert(item);
    Py_DECREF(item);
    if (!converted) {
      Py_DECREF(iterator);
      return false;
    }
  }
}

// Reads a non-str sequence item by item into out.
template <class Vector, class Convert>
bool sequence_of(PyObject* value, Vector& out, Convert convert) {
  if (PyUnicode_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
  }
  const int sequence = is_sequence(value);
  if (sequence < 0) return false;
  if (sequence == 0) {
    set_type_mismatch(value, "Sequence");
    return false;
  }
  // As list() does: a __len__ that fails for another reason than having none is the caller's
  // error (an interrupt, say), not a missing hint.
  const Py_ssize_t reported = PyObject_LengthHint(value, 0);
  if (reported < 0) return false;
  out.reserve(static_cast<std::size_t>(std::min(reported, kMaxReservedItems)));
  return each_item(value, convert);
}

// The ids of an exact list of exact ints, read under the list's lock (free-threaded builds) with
// no object per element; false, with out empty and no exception set, for anything else or for an
// item that is out of range, which the item-by-item path then reports.
bool ids_of_int_list(PyObject* value, std::vector<TokenId>& out) {
  if (!PyList_CheckExact(value)) return false;
  const std::size_t room = static_cast<std::size_t>(PyList_GET_SIZE(value));
  out.resize(room);  // may throw: before the critical section, in which nothing may
  bool read = true;
  Py_BEGIN_CRITICAL_SECTION(value);
  const Py_ssize_t size = PyList_GET_SIZE(value);
  if (static_cast<std::size_t>(size) > room) {
    read = false;
  } else {
    out.resize(static_cast<std::size_t>(size));  // shrinking does not allocate
    for (Py_ssize_t i = 0; i < size && read; ++i) {
      PyObject* item = PyList_GET_ITEM(value, i);
      const auto* number = reinterpret_cast<PyLongObject*>(item);
      if (!PyLong_CheckExact(item) || !PyUnstable_Long_IsCompact(number)) {
        read = false;
        break;
      }
      const Py_ssize_t id = PyUnstable_Long_CompactValue(number);
      if (id < 0 || id > 0xFFFFFFFF) {
        read = false;
        break;
      }
      out[static_cast<std::size_t>(i)] = static_cast<TokenId>(id);
    }
  }
  Py_END_CRITICAL_SECTION();
  if (!read) out.clear();
  return read;
}

// The ids of a one-dimensional buffer of integers (a numpy array, array.array, bytes), read
// directly; false as for ids_of_int_list.
template <class Element>
bool copy_ids(const void* data, std::size_t count, std::vector<TokenId>& out) {
  const auto* elements = static_cast<const Element*>(data);
  if constexpr (std::is_same_v<Element, TokenId>) {
    // Every value is an id: one copy, without zero-filling the vector first.
    if (reinterpret_cast<std::uintptr_t>(data) % alignof(TokenId) == 0) {
      out.assign(elements, elements + count);
      return true;
    }
  }
  out.resize(count);
  for (std::size_t i = 0; i < count; ++i) {
    Element element;
    std::memcpy(&element, elements + i, sizeof element);  // buffers need not be aligned
    bool negative = false;
    if constexpr (std::is_signed_v<Element>) negative = element < 0;
    if (negative || static_cast<std::uint64_t>(element) > 0xFFFFFFFFu) {
      out.clear();
      return false;
    }
    out[i] = static_cast<TokenId>(element);
  }
  return true;
}

// The ids of count integers of the width of Unsigned at data, signed or not.
template <class Unsigned>
bool copy_ids_of_width(const void* data, std::size_t count, bool is_signed,
                       std::vector<TokenId>& out) {
  return is_signed ? copy_ids<std::make_signed_t<Unsigned>>(data, count, out)
                   : copy_ids<Unsigned>(data, count, out);
}

// The ids of a one-dimensional buffer of integers of its item size, signed or not.
bool copy_integer_ids(const Py_buffer& view, bool is_signed, std::vector<TokenId>& out) {
  const auto count = static_cast<std::size_t>(view.shape[0]);
  switch (view.itemsize) {
    case 1:
      return copy_ids_of_width<std::uint8_t>(view.buf, count, is_signed, out);
    case 2:
      return copy_ids_of_width<std::uint16_t>(view.buf, count, is_signed, out);
    case 4:
      return copy_ids_of_width<std::uint32_t>(view.buf, count, is_signed, out);
    case 8:
      return copy_ids_of_width<std::uint64_t>(view.buf, count, is_signed, out);
    default:
      return false;
  }
}

bool ids_of_int_buffer(PyObject* value, std::vector<TokenId>& out) {
  if (!PyObject_CheckBuffer(value) || PyUnicode_Check(value)) return false;
  Py_buffer view;
  if (PyObject_GetBuffer(value, &view, PyBUF_FORMAT | PyBUF_C_CONTIGUOUS) != 0) {
    PyErr_Clear();
    return false;
  }
  const char* format = view.format == nullptr ? "B" : view.format;
  if (*format == '@' || *format == '=' || *format == '<') ++format;
  // One integer code in native (little-endian) order; lower case is signed.
  const bool integers =
      format[0] != '\0' && format[1] == '\0' && std::strchr("bBhHiIlLqQ", format[0]) != nullptr;
  bool read = false;
  try {
    read = view.ndim == 1 && integers &&
           copy_integer_ids(view, std::islower(static_cast<unsigned char>(format[0])) != 0, out);
  } catch (...) {
    PyBuffer_Release(&view);
    throw;
  }
  PyBuffer_Release(&view);
  return read;
}

// The ids of a sequence: fast for exact lists of ints and integer buffers, item by item for the
// rest (and for any of those holding an id out of range, so that the errors are the same).
bool append_ids(PyObject* value, std::vector<TokenId>& out) {
  if (ids_of_int_list(value, out) || ids_of_int_buffer(value, out)) return true;
  return sequence_of(value, out, [&](PyObject* item) {
    TokenId id;
    if (!id_of(item, id)) return false;
    out.push_back(id);
    return true;
  });
}

}  // namespace

void set_type_mismatch(PyObject* value, const char* expected) {
  if (value == Py_None) {
    PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", expected);
    return;
  }
  PyObject* name = PyType_GetQualName(Py_TYPE(value));
  if (name == nullptr) return;
  PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", name, expected);
  Py_DECREF(name);
}

bool bind(const char* display_name, std::span<const Param> params, PyObject* const* args,
          Py_ssize_t nargsf, PyObject* kwnames, PyObject** out) {
  const Py_ssize_t npositional = PyVectorcall_NARGS(nargsf);
  const Py_ssize_t nkeywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  PyObject* const* names = kwnames == nullptr ? nullptr : &PyTuple_GET_ITEM(kwnames, 0);
  return bind_pairs(display_name, params, args, npositional, names, args + npositional, nkeywords,
                    out);
}

bool bind_tuple(const char* display_name, std::span<const Param> params, PyObject* args,
                PyObject* kwargs, PyObject** out) {
  const Py_ssize_t npositional = args == nullptr ? 0 : PyTuple_GET_SIZE(args);
  PyObject* const* positional = npositional == 0 ? nullptr : &PyTuple_GET_ITEM(args, 0);
  // Strong references taken under the dictionary's lock (free-threaded builds), so that no
  // borrowed pointer into it outlives the walk.
  std::vector<PyObject*> names, values;
  const auto release = [&] {
    for (std::size_t i = 0; i < names.size(); ++i) {
      Py_DECREF(names[i]);
      Py_DECREF(values[i]);
    }
    names.clear();
    values.clear();
  };
  // Nothing inside the critical section may throw, or its end would be skipped: the room is
  // reserved before it, and a dictionary that grew in between is walked again with more.
  for (bool walked = kwargs == nullptr; !walked;) {
    const std::size_t room = static_cast<std::size_t>(PyDict_GET_SIZE(kwargs)) + 8;
    names.reserve(room);
    values.reserve(room);
    walked = true;
    Py_BEGIN_CRITICAL_SECTION(kwargs);
    Py_ssize_t position = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(kwargs, &position, &key, &value)) {
      if (names.size() == room) {
        walked = false;
        break;
      }
      names.push_back(Py_NewRef(key));
      values.push_back(Py_NewRef(value));
    }
    Py_END_CRITICAL_SECTION();
    if (!walked) release();
  }
  const bool bound = bind_pairs(display_name, params, positional, npositional, names.data(),
                                values.data(), static_cast<Py_ssize_t>(names.size()), out);
  release();
  return bound;
}

bool to_text(PyObject* value, const char* param, Text& out) {
  return text_of(value, out) || fail_with_note(param);
}

bool to_byte_string(PyObject* value, const char* param, Bytes& out) {
  if (!PyBytes_Check(value)) {
    set_type_mismatch(value, "bytes");
    return fail_with_note(param);
  }
  out = Bytes(reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(value)),
              static_cast<std::size_t>(PyBytes_GET_SIZE(value)));
  return true;
}

bool to_count(PyObject* value, const char* param, std::uint64_t& out) {
  return unsigned_of(value, out) || fail_with_note(param);
}

bool to_token_id(PyObject* value, const char* param, TokenId& out) {
  return id_of(value, out) || fail_with_note(param);
}

bool to_flag(PyObject* value, const char* param, bool& out) {
  if (PyBool_Check(value)) {
    out = value == Py_True;
    return true;
  }
  if (is_numpy_bool(value)) {
    const int truth = PyObject_IsTrue(value);
    if (truth < 0) return fail_with_note(param);
    out = truth == 1;
    return true;
  }
  set_type_mismatch(value, "bool");
  return fail_with_note(param);
}

bool to_texts(PyObject* value, const char* param, TextList& out) {
  return sequence_of(value, out,
                     [&](PyObject* item) {
                       Text text;
                       if (!text_of(item, text)) return false;
                       out.add(Py_NewRef(item), text.bytes());
                       return true;
                     }) ||
         fail_with_note(param);
}

bool to_ids(PyObject* value, const char* param, std::vector<TokenId>& out) {
  return append_ids(value, out) || fail_with_note(param);
}

bool to_id_batch(PyObject* value, const char* param, std::vector<std::vector<TokenId>>& out) {
  return sequence_of(value, out,
                     [&](PyObject* element) {
                       std::vector<TokenId> ids;
                       const bool ok = append_ids(element, ids);
                       if (ok) out.push_back(std::move(ids));
                       return ok;
                     }) ||
         fail_with_note(param);
}

bool to_piece(PyObject* value, Bytes& out) {
  if (PyBytes_Check(value)) {
    out = Bytes(reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(value)),
                static_cast<std::size_t>(PyBytes_GET_SIZE(value)));
    return true;
  }
  Text text;
  if (!text_of(value, text)) return false;
  out = text.bytes();
  return true;
}

bool to_policy(PyObject* value, SpecialPolicy& out) {
  if (value == nullptr || value == Py_None) {
    out.kind = SpecialPolicy::Kind::kAbsent;
    return true;
  }
  if (PyUnicode_Check(value)) {
    Text text;
    if (!text_of(value, text)) return false;
    if (text.view() != "all") {
      PyErr_SetString(
          PyExc_ValueError,
          "allowed_special/disallowed_special must be 'all' or a collection of strings");
      return false;
    }
    out.kind = SpecialPolicy::Kind::kAll;
    return true;
  }
  std::vector<std::string> strings;
  const bool read = each_item(value, [&](PyObject* item) {
    Text text;
    if (!text_of(item, text)) return false;
    strings.emplace_back(text.view());
    return true;
  });
  if (!read) return false;
  out.kind = SpecialPolicy::Kind::kStrings;
  out.strings = make_special_set(std::move(strings));
  return true;
}

bool to_offset_unit(PyObject* value, const char* param, OffsetUnit& out) {
  Text text;
  if (!text_of(value, text)) return fail_with_note(param);
  const std::string_view unit(text.data, static_cast<std::size_t>(text.size));
  if (unit == "byte" || unit == "char") {
    out = unit == "byte" ? OffsetUnit::kByte : OffsetUnit::kChar;
    return true;
  }
  PyErr_SetString(PyExc_ValueError, "unit must be 'byte' or 'char'");
  return fail_with_note(param);
}

}  // namespace pelnor::binding

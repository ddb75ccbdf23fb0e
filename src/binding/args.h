// Binding Python arguments to parameters and converting them to native values.
#pragma once

#include "python_api.h"

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "interop.h"
#include "pelnor/engine/special_encode.h"
#include "pelnor/types.h"

namespace pelnor::binding {

// A parameter of a method, in signature order.
struct Param {
  const char* name;
  bool required;
};

// The arguments bound to a method's parameters: a strong reference per parameter, or nullptr
// where it was omitted.
template <std::size_t N>
class Bound {
 public:
  Bound() { values_.fill(nullptr); }
  ~Bound() {
    for (PyObject* value : values_) Py_XDECREF(value);
  }
  Bound(const Bound&) = delete;
  Bound& operator=(const Bound&) = delete;

  PyObject* operator[](std::size_t i) const { return values_[i]; }
  PyObject** slots() { return values_.data(); }

 private:
  std::array<PyObject*, N> values_;
};

// Binds vectorcall arguments (positional, then keywords named in kwnames) to params;
// display_name is the method's, such as "Tokenizer.encode()". On failure sets TypeError and
// returns false.
bool bind(const char* display_name, std::span<const Param> params, PyObject* const* args,
          Py_ssize_t nargsf, PyObject* kwnames, PyObject** out);

// The same for a positional tuple and a keyword dictionary (either may be nullptr).
bool bind_tuple(const char* display_name, std::span<const Param> params, PyObject* args,
                PyObject* kwargs, PyObject** out);

// A str's UTF-8 form, borrowed from the object, which the caller keeps alive.
struct Text {
  const char* data = nullptr;
  Py_ssize_t size = 0;
  Bytes bytes() const { return Bytes(reinterpret_cast<const std::uint8_t*>(data), size); }
  std::string_view view() const { return std::string_view(data, static_cast<std::size_t>(size)); }
};

// Each converter sets the exception and returns false on failure; named parameters gain the
// note "while processing '<name>'".
bool to_text(PyObject* value, const char* param, Text& out);
bool to_byte_string(PyObject* value, const char* param, Bytes& out);
bool to_count(PyObject* value, const char* param, std::uint64_t& out);
bool to_token_id(PyObject* value, const char* param, TokenId& out);
bool to_flag(PyObject* value, const char* param, bool& out);
// The UTF-8 forms of a sequence's str items, borrowed: the list holds its own reference to every
// item, and a str and its UTF-8 form never change, so the views stay valid while detached even
// if another thread mutates the caller's sequence meanwhile.
class TextList {
 public:
  TextList() = default;
  TextList(const TextList&) = delete;
  TextList& operator=(const TextList&) = delete;
  ~TextList() {
    for (PyObject* item : items_) Py_DECREF(item);
  }
  void reserve(std::size_t n) {
    items_.reserve(n);
    views_.reserve(n);
  }
  // Takes over the reference to item.
  void add(PyObject* item, Bytes view) {
    items_.push_back(item);
    views_.push_back(view);
  }
  const std::vector<Bytes>& views() const { return views_; }

 private:
  std::vector<PyObject*> items_;
  std::vector<Bytes> views_;
};

bool to_texts(PyObject* value, const char* param, TextList& out);
bool to_ids(PyObject* value, const char* param, std::vector<TokenId>& out);
bool to_id_batch(PyObject* value, const char* param, std::vector<std::vector<TokenId>>& out);

// The piece of encode_single_token: bytes as they are, anything else as a text; no note.
bool to_piece(PyObject* value, Bytes& out);

// allowed_special / disallowed_special: omitted (nullptr) or None, "all", or an iterable of
// str; no note.
bool to_policy(PyObject* value, SpecialPolicy& out);

enum class OffsetUnit { kByte, kChar };
bool to_offset_unit(PyObject* value, const char* param, OffsetUnit& out);

// The target of a piece parameter (see to_piece).
struct Piece {
  Bytes bytes;
};

// The converter of each target type, for parse.
inline bool convert(PyObject* value, const char* param, Text& out) {
  return to_text(value, param, out);
}
inline bool convert(PyObject* value, const char* param, Bytes& out) {
  return to_byte_string(value, param, out);
}
inline bool convert(PyObject* value, const char* param, std::uint64_t& out) {
  return to_count(value, param, out);
}
inline bool convert(PyObject* value, const char* param, TokenId& out) {
  return to_token_id(value, param, out);
}
inline bool convert(PyObject* value, const char* param, bool& out) {
  return to_flag(value, param, out);
}
inline bool convert(PyObject* value, const char* param, TextList& out) {
  return to_texts(value, param, out);
}
inline bool convert(PyObject* value, const char* param, std::vector<TokenId>& out) {
  return to_ids(value, param, out);
}
inline bool convert(PyObject* value, const char* param, std::vector<std::vector<TokenId>>& out) {
  return to_id_batch(value, param, out);
}
inline bool convert(PyObject* value, const char* param, OffsetUnit& out) {
  return to_offset_unit(value, param, out);
}
inline bool convert(PyObject* value, const char*, SpecialPolicy& out) {
  return to_policy(value, out);
}
inline bool convert(PyObject* value, const char*, Piece& out) {
  return to_piece(value, out.bytes);
}

// Binds vectorcall arguments to params and converts each given one into its target, in
// parameter order; an omitted parameter leaves its target as initialised. The targets may
// borrow from the arguments, which the caller keeps alive for the call.
template <std::size_t N, class... Targets>
bool parse(const char* display_name, const Param (&params)[N], PyObject* const* args,
           Py_ssize_t nargsf, PyObject* kwnames, Targets&... targets) {
  static_assert(sizeof...(Targets) == N, "one target per parameter");
  Bound<N> bound;
  if (!bind(display_name, params, args, nargsf, kwnames, bound.slots())) return false;
  return [&]<std::size_t... I>(std::index_sequence<I...>) {
    return ((bound[I] == nullptr || convert(bound[I], params[I].name, targets)) && ...);
  }(std::index_sequence_for<Targets...>{});
}

// A method of one required argument converted into an Arg, whose result body(arg) makes.
template <class Arg, class Body>
PyObject* one_argument_method(const char* display_name, const Param (&params)[1],
                              PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
                              Body&& body) {
  return guarded([&]() -> PyObject* {
    Arg arg;
    if (!parse(display_name, params, args, nargsf, kwnames, arg)) return nullptr;
    return body(arg);
  });
}

// Sets the type-mismatch TypeError for value, which is not an instance of `expected`.
void set_type_mismatch(PyObject* value, const char* expected);

}  // namespace pelnor::binding

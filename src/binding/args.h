// Binding Python arguments to parameters and converting them to native values.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

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

// Binds vectorcall arguments (positional, then keywords named in kwnames) to params; F is the
// method's display name, such as "Tokenizer.encode()". On failure sets TypeError, returns false.
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

enum class OffsetUnit { kByte, kChar };
bool to_offset_unit(PyObject* value, const char* param, OffsetUnit& out);

// Sets the type-mismatch TypeError for value, which is not an instance of `expected`.
void set_type_mismatch(PyObject* value, const char* expected);

}  // namespace pelnor::binding

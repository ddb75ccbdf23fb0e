// Decoding arbitrary ids in every mode: the bytes are each id's bytes one after another, replace
// mode output is valid UTF-8 with at most one U+FFFD per input byte, strict mode fails exactly
// when replace mode changed something.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "pelnor/engine/decode.h"
#include "pelnor/text/utf8.h"

namespace {

const pelnor::Tokenizer& tokenizer() {
  static const pelnor::Tokenizer t = pelnor::Tokenizer::create("o200k_harmony", "").value();
  return t;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<pelnor::TokenId> ids(size / 4);
  if (!ids.empty()) std::memcpy(ids.data(), data, ids.size() * 4);
  for (pelnor::TokenId& id : ids) id %= 201100;  // mostly known ids, some unknown
  const pelnor::ByteVector decoded = pelnor::decode_bytes(tokenizer(), ids);
  const std::string bytes(decoded.data(), decoded.size());
  std::string one_by_one;
  for (pelnor::TokenId id : ids) {
    if (const auto token = pelnor::token_bytes_of(tokenizer(), id)) {
      one_by_one.append(reinterpret_cast<const char*>(token->data()), token->size());
    }
  }
  if (bytes != one_by_one) __builtin_trap();
  const std::string replaced = pelnor::replace_invalid_utf8(bytes);
  const auto as_bytes = [](const std::string& s) {
    return pelnor::Bytes(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
  };
  if (!pelnor::is_valid_utf8(as_bytes(replaced))) __builtin_trap();
  if (replaced.size() > 3 * bytes.size()) __builtin_trap();
  const bool strict_fails = pelnor::find_utf8_error(as_bytes(bytes)).has_value();
  if (strict_fails != (replaced != bytes)) __builtin_trap();
  std::string ignored = replaced;
  pelnor::remove_replacement_characters(ignored);
  if (ignored.find("\xEF\xBF\xBD") != std::string::npos) __builtin_trap();
  return 0;
}

// Shared helpers of the C++ tests: vocab files, built-in vocabularies, a classic BPE.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "pelnor/bpe/vocab.h"
#include "pelnor/text/uniclass.h"
#include "pelnor/types.h"

namespace pelnor::testing {

// Bytes of a string, as the core takes them.
inline Bytes as_bytes(std::string_view s) {
  return Bytes(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
}

// A vocab file holding tokens[r] under rank r, records in rank order (or reversed).
std::string vocab_file(const std::vector<std::string>& tokens, bool descending = false);

// The parsed built-in vocabulary of that file name ("cl100k.vocab" or "o200k.vocab").
const Vocab& builtin_vocab(std::string_view file);

// Runs fn on a new thread and waits for it; the thread's cache tables are parked when it exits.
void on_fresh_thread(const std::function<void()>& fn);

// A pre-tokenizer's next-piece function.
using Scanner = std::size_t (*)(const UniClassTable&, Bytes, std::size_t);

// The built-in class table with 3 (cl100k) or 5 (o200k) classes.
const UniClassTable& builtin_classes(int classes);

// UTF-8 form of a code point (any value below 2^21, surrogates included).
std::string utf8(char32_t cp);

// Byte-pair encoding done the classic way: start from single bytes and repeatedly merge the
// adjacent pair whose concatenation is the token of lowest rank, the leftmost on a tie.
class ClassicBpe {
 public:
  explicit ClassicBpe(const Vocab& vocab);
  std::vector<TokenId> encode(std::string_view piece) const;

 private:
  TokenId rank(std::string_view bytes) const;
  std::unordered_map<std::string, TokenId> ranks_;
};

}  // namespace pelnor::testing

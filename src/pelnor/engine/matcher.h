// Finding many strings in a text in one pass.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "pelnor/types.h"

namespace pelnor {

// A byte trie over a list of strings, entered only at bytes that start one of them. Each string
// carries its index in the list as its value; a repeated string keeps its first index, and the
// empty string never matches.
class StringMatcher {
 public:
  StringMatcher() = default;
  explicit StringMatcher(std::span<const std::string_view> strings);

  struct Match {
    std::size_t position;
    std::size_t value;
  };

  // Returns the first position at or after `from` where a string that `excluded` does not rule
  // out starts, with the smallest such value there. excluded may be empty (nothing ruled out).
  std::optional<Match> find_first(Bytes text, std::size_t from,
                                  const std::vector<bool>& excluded) const;

  // What one pass over text finds of the strings that `excluded` does not rule out: the
  // smallest value of any of them occurring, and the longest of them at the first position
  // where one starts.
  struct Occurrences {
    std::size_t smallest;
    std::size_t first;
  };
  std::optional<Occurrences> occurrences(Bytes text, const std::vector<bool>& excluded) const;

 private:
  static constexpr std::uint32_t kNoValue = 0xFFFFFFFF;
  struct Node {
    std::uint32_t value = kNoValue;
    std::vector<std::pair<std::uint8_t, std::uint32_t>> children;
  };

  std::uint32_t child(std::uint32_t node, std::uint8_t byte) const;
  // The smallest allowed value among the strings that start at p, and that of the longest.
  struct AtPosition {
    std::uint32_t smallest = kNoValue;
    std::uint32_t longest = kNoValue;
  };
  AtPosition best_at(Bytes text, std::size_t p, const std::vector<bool>& excluded) const;

  // Returns the first position at or after p whose byte starts a string, or text.size().
  std::size_t next_candidate(Bytes text, std::size_t p) const;

  std::vector<Node> nodes_;
  std::array<std::uint32_t, 256> root_children_{};
  // When every string starts with the same byte (as special tokens do), candidates are found
  // with memchr.
  int only_first_byte_ = -1;
};

}  // namespace pelnor

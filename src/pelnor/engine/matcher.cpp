#include "pelnor/engine/matcher.h"

#include <algorithm>
#include <cstring>

namespace pelnor {

StringMatcher::StringMatcher(std::span<const std::string_view> strings) {
  nodes_.emplace_back();
  for (std::size_t index = 0; index < strings.size(); ++index) {
    std::uint32_t node = 0;
    for (const char c : strings[index]) {
      const auto byte = static_cast<std::uint8_t>(c);
      std::uint32_t next = child(node, byte);
      if (next == 0) {
        next = static_cast<std::uint32_t>(nodes_.size());
        nodes_.emplace_back();
        if (node == 0) {
          root_children_[byte] = next;
        } else {
          nodes_[node].children.emplace_back(byte, next);
        }
      }
      node = next;
    }
    if (node != 0 && nodes_[node].value == kNoValue) {
      nodes_[node].value = static_cast<std::uint32_t>(index);
    }
  }
  const auto starts = std::ranges::count_if(root_children_, [](std::uint32_t n) { return n != 0; });
  if (starts == 1) {
    only_first_byte_ = static_cast<int>(
        std::ranges::find_if(root_children_, [](std::uint32_t n) { return n != 0; }) -
        root_children_.begin());
  }
}

std::size_t StringMatcher::next_candidate(Bytes text, std::size_t p) const {
  if (only_first_byte_ >= 0) {
    if (p >= text.size()) return text.size();
    const void* hit = std::memchr(text.data() + p, only_first_byte_, text.size() - p);
    return hit == nullptr ? text.size() : static_cast<const std::uint8_t*>(hit) - text.data();
  }
  while (p < text.size() && root_children_[text[p]] == 0) ++p;
  return p;
}

std::uint32_t StringMatcher::child(std::uint32_t node, std::uint8_t byte) const {
  if (node == 0) return root_children_[byte];
  for (const auto& [edge, next] : nodes_[node].children) {
    if (edge == byte) return next;
  }
  return 0;
}

StringMatcher::AtPosition StringMatcher::best_at(Bytes text, std::size_t p,
                                                 const std::vector<bool>& excluded) const {
  AtPosition best;
  for (std::uint32_t node = root_children_[text[p]]; node != 0;) {
    const std::uint32_t value = nodes_[node].value;
    if (value != kNoValue && (excluded.empty() || !excluded[value])) {
      best.smallest = std::min(best.smallest, value);
      best.longest = value;
    }
    if (++p == text.size()) break;
    node = child(node, text[p]);
  }
  return best;
}

std::optional<StringMatcher::Match> StringMatcher::find_first(
    Bytes text, std::size_t from, const std::vector<bool>& excluded) const {
  for (std::size_t p = next_candidate(text, from); p < text.size();
       p = next_candidate(text, p + 1)) {
    const std::uint32_t best = best_at(text, p, excluded).smallest;
    if (best != kNoValue) return Match{p, best};
  }
  return std::nullopt;
}

std::optional<StringMatcher::Occurrences> StringMatcher::occurrences(
    Bytes text, const std::vector<bool>& excluded) const {
  std::uint32_t smallest = kNoValue;
  std::uint32_t first = kNoValue;
  for (std::size_t p = next_candidate(text, 0); p < text.size() && smallest != 0;
       p = next_candidate(text, p + 1)) {
    const AtPosition here = best_at(text, p, excluded);
    if (first == kNoValue) first = here.longest;
    smallest = std::min(smallest, here.smallest);
  }
  if (first == kNoValue) return std::nullopt;
  return Occurrences{smallest, first};
}

}  // namespace pelnor

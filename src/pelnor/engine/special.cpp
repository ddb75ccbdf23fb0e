#include "pelnor/engine/special.h"

#include <algorithm>

#include "pelnor/little_endian.h"
#include "pelnor/text/utf8.h"

namespace pelnor {

Result<SpecialTokens> parse_special_tokens(Bytes data, std::string_view label) {
  const Error bad{ErrorKind::kData, "pelnor: bad special-tokens file: " + std::string(label)};
  const auto u32 = [&](std::size_t at) { return read_u32(data.data() + at); };
  if (data.size() < 4) return bad;
  const std::uint32_t count = u32(0);
  if (count > kMaxSpecialTokens) return bad;
  SpecialTokens tokens;
  tokens.reserve(count);
  std::size_t cursor = 4;
  for (std::uint32_t i = 0; i < count; ++i) {
    if (data.size() - cursor < 6) return bad;
    const TokenId id = u32(cursor);
    const std::size_t len = read_u16(data.data() + cursor + 4);
    if (len == 0 || len > kMaxSpecialTokenBytes || data.size() - cursor - 6 < len) return bad;
    const Bytes text = data.subspan(cursor + 6, len);
    if (!is_valid_utf8(text)) return bad;
    tokens.push_back({std::string(text.begin(), text.end()), id});
    cursor += 6 + len;
  }
  return tokens;
}

SpecialSet make_special_set(std::vector<std::string> strings) {
  std::ranges::sort(strings);
  strings.erase(std::unique(strings.begin(), strings.end()), strings.end());
  return strings;
}

SpecialIndex SpecialIndex::build(const SpecialTokens& tokens) {
  SpecialIndex index;
  std::vector<std::string> texts;
  std::vector<std::string_view> table_order;
  for (const SpecialToken& token : tokens) {
    texts.push_back(token.text);
    table_order.push_back(token.text);
  }
  index.strings = make_special_set(std::move(texts));
  const std::vector<std::string_view> set_order(index.strings.begin(), index.strings.end());
  index.in_set_order = StringMatcher(set_order);
  index.in_table_order = StringMatcher(table_order);
  return index;
}

}  // namespace pelnor

#include "special.h"

#include "utf8.h"

namespace pelnor {

Result<SpecialTokens> parse_special_tokens(Bytes data, std::string_view label) {
  const Error bad{"pelnor: bad special-tokens file: " + std::string(label)};
  const auto u32 = [&](std::size_t at) {
    return data[at] | data[at + 1] << 8 | data[at + 2] << 16 |
           static_cast<std::uint32_t>(data[at + 3]) << 24;
  };
  if (data.size() < 4) return bad;
  const std::uint32_t count = u32(0);
  if (count > kMaxSpecialTokens) return bad;
  SpecialTokens tokens;
  tokens.reserve(count);
  std::size_t cursor = 4;
  for (std::uint32_t i = 0; i < count; ++i) {
    if (data.size() - cursor < 6) return bad;
    const TokenId id = u32(cursor);
    const std::size_t len = data[cursor + 4] | data[cursor + 5] << 8;
    if (len == 0 || len > kMaxSpecialTokenBytes || data.size() - cursor - 6 < len) return bad;
    const Bytes text = data.subspan(cursor + 6, len);
    if (!is_valid_utf8(text)) return bad;
    tokens.push_back({std::string(text.begin(), text.end()), id});
    cursor += 6 + len;
  }
  return tokens;
}

}  // namespace pelnor

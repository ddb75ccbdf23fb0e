#include "pelnor/engine/split_levels.h"

#include <string>

#include "pelnor/engine/data.h"
#include "pelnor/engine/registry.h"
#include "pelnor/little_endian.h"

namespace pelnor {
namespace {}  // namespace

Result<std::vector<SplitLevel>> parse_split_levels(Bytes data, std::string_view label) {
  const Error bad{ErrorKind::kData, "pelnor: bad splitting levels: " + std::string(label)};
  const auto u32 = [&](std::size_t at) { return read_u32(data.data() + at); };
  if (data.size() < 4) return bad;
  const std::uint32_t count = u32(0);
  if (count == 0 || count > kMaxSplitLevels) return bad;
  std::vector<SplitLevel> levels(count);
  std::size_t cursor = 4;
  for (SplitLevel& level : levels) {
    if (data.size() - cursor < 7) return bad;
    const std::uint8_t rules = data[cursor];
    const std::uint8_t behavior = data[cursor + 1];
    const std::uint8_t invert = data[cursor + 2];
    const std::size_t len = u32(cursor + 3);
    cursor += 7;
    if (rules > static_cast<std::uint8_t>(RuleSet::kRegex) ||
        behavior > static_cast<std::uint8_t>(SplitBehavior::kContiguous) || invert > 1 ||
        data.size() - cursor < len) {
      return bad;
    }
    level.behavior = static_cast<SplitBehavior>(behavior);
    level.invert = invert != 0;
    const auto rule_set = static_cast<RuleSet>(rules);
    if (rule_set == RuleSet::kRegex) {
      const std::string_view pattern(reinterpret_cast<const char*>(data.data() + cursor), len);
      Result<std::unique_ptr<const RegexSplitter>> compiled = RegexSplitter::compile(pattern);
      if (!compiled.ok()) return compiled.failure();
      level.pattern = std::move(compiled.value());
    } else {
      if (len != 0) return bad;
      const BuiltinEncoding& kind = first_with_rules(rule_set);
      Result<UniClassTable> classes =
          UniClassTable::parse(*builtin_file(kind.class_file), kind.class_file, kind.classes);
      if (!classes.ok()) return classes.failure();
      level.classes = std::move(classes.value());
      level.rules = scanner_of(rule_set);
    }
    cursor += len;
  }
  if (cursor != data.size()) return bad;
  return levels;
}

}  // namespace pelnor

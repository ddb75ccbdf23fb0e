#include "pelnor/text/uniclass.h"

#include "pelnor/file.h"
#include "pelnor/little_endian.h"

namespace pelnor {

Result<UniClassTable> UniClassTable::parse(Bytes data, std::string_view label, int classes) {
  const Error bad{ErrorKind::kData, "pelnor: bad uniclass file: " + std::string(label)};
  UniClassTable table;
  table.classes_ = classes;
  std::size_t cursor = 0;
  for (int c = 0; c < classes; ++c) {
    if (data.size() - cursor < 4) return bad;
    const std::uint32_t count = read_u32(data.data() + cursor);
    cursor += 4;
    if (count > kMaxRangesPerClass || (data.size() - cursor) / 8 < count) return bad;
    table.starts_[c].reserve(count);
    table.ends_[c].reserve(count);
    for (std::uint32_t i = 0; i < count; ++i, cursor += 8) {
      const std::uint32_t start = read_u32(data.data() + cursor);
      const std::uint32_t end = read_u32(data.data() + cursor + 4);
      // Lookups search the ranges by their ends: they must ascend without overlapping.
      const bool follows = table.ends_[c].empty() || start > table.ends_[c].back();
      if (end < start || end > 0x10FFFF || !follows) return bad;
      table.starts_[c].push_back(start);
      table.ends_[c].push_back(end);
    }
  }
  table.bmp_flags_.assign(0x10000, 0);
  for (int c = 0; c < classes; ++c) {
    for (std::size_t i = 0; i < table.starts_[c].size() && table.starts_[c][i] <= 0xFFFF; ++i) {
      const std::uint32_t last = std::min<std::uint32_t>(table.ends_[c][i], 0xFFFF);
      for (std::uint32_t cp = table.starts_[c][i]; cp <= last; ++cp) {
        table.bmp_flags_[cp] |= static_cast<std::uint8_t>(1u << c);
      }
    }
  }
  return table;
}

std::uint8_t UniClassTable::supplementary_flags(std::uint32_t cp) const {
  std::uint8_t bits = 0;
  for (int c = 0; c < classes_; ++c) {
    // The first range ending at or after cp is the only one that can hold it.
    const auto it = std::ranges::lower_bound(ends_[c], cp);
    if (it != ends_[c].end() && starts_[c][static_cast<std::size_t>(it - ends_[c].begin())] <= cp) {
      bits |= static_cast<std::uint8_t>(1u << c);
    }
  }
  return bits;
}

std::size_t UniClassTable::memory_bytes() const {
  std::size_t total = bmp_flags_.size();
  for (int c = 0; c < classes_; ++c) total += 4 * (starts_[c].size() + ends_[c].size());
  return total;
}

Result<UniClassTable> load_uniclass_file(const std::string& path, int classes) {
  const FileContent file = read_file(path, kMaxUniclassFileBytes);
  if (file.failure != FileContent::Failure::kNone) {
    return Error{ErrorKind::kData,
                 "pelnor: cannot open uniclass file " + path + ": " + file.description};
  }
  return UniClassTable::parse(file.bytes, path, classes);
}

}  // namespace pelnor

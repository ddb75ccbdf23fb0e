// Reading a whole data file from disk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace pelnor {

// A whole file's bytes, or the step that failed with the operating system's description.
struct FileContent {
  // kTooLarge: the file holds more bytes than the reader's bound.
  enum class Failure { kNone, kOpen, kRead, kTooLarge };
  Failure failure = Failure::kNone;
  std::string description;
  std::vector<std::uint8_t> bytes;
};

// Reads the whole file at path, failing once it holds more than max_bytes: every data format
// bounds its size, and a file past the bound (a device that never ends, say) is not one.
FileContent read_file(const std::string& path, std::size_t max_bytes);

}  // namespace pelnor

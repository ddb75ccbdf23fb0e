// Reading a whole data file from disk.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pelnor {

// A whole file's bytes, or the step that failed with the operating system's description.
struct FileContent {
  enum class Failure { kNone, kOpen, kRead };
  Failure failure = Failure::kNone;
  std::string description;
  std::vector<std::uint8_t> bytes;
};

// Reads the whole file at path.
FileContent read_file(const std::string& path);

}  // namespace pelnor

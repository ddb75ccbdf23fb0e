#include "pelnor/engine/data.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace pelnor {
namespace {

std::vector<std::uint8_t> read_repo_file(const std::string& relative) {
  std::ifstream in(std::string(PELNOR_SOURCE_DIR) + "/" + relative, std::ios::binary);
  EXPECT_TRUE(in) << relative;
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(BuiltinData, EmbeddedBlocksEqualDataFiles) {
  const char* names[] = {
      "r50k.vocab",        "r50k.special",          "p50k.vocab",   "p50k.special",
      "p50k_edit.special", "cl100k.vocab",          "o200k.vocab",  "cl100k.special",
      "o200k.special",     "o200k_harmony.special", "uniclass.bin", "uniclass_o200k.bin"};
  for (const char* name : names) {
    std::optional<Bytes> block = builtin_file(name);
    ASSERT_TRUE(block) << name;
    std::vector<std::uint8_t> on_disk = read_repo_file(std::string("data/") + name);
    EXPECT_EQ(block->size(), on_disk.size()) << name;
    EXPECT_TRUE(std::ranges::equal(*block, on_disk)) << name;
  }
}

TEST(BuiltinData, UnknownNameHasNoBlock) {
  EXPECT_FALSE(builtin_file("cl100k_base"));
  EXPECT_FALSE(builtin_file(""));
  EXPECT_FALSE(builtin_file("uniclass.bin "));
}

}  // namespace
}  // namespace pelnor

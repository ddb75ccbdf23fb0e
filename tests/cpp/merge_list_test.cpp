#include "pelnor/bpe/merge_list.h"

#include <gtest/gtest.h>

#include "test_support.h"

namespace pelnor {
namespace {

Result<TokenStrings> tokens_of(const std::vector<std::string>& tokens) {
  const std::string file = testing::vocab_file(tokens);
  return read_vocab_file(testing::as_bytes(file), "test");
}

std::vector<std::string> with_bytes(std::vector<std::string> tokens) {
  std::vector<std::string> all;
  for (int b = 0; b < 256; ++b) all.emplace_back(1, static_cast<char>(b));
  all.insert(all.end(), tokens.begin(), tokens.end());
  return all;
}

TEST(MergeList, FindsTokensTheListNeverForms) {
  // 256 "bc", 257 "ab", 258 "abc": merging "abc" by the list takes "bc" first, so "abc", whose
  // merge is ("ab", "c"), is never formed; "xy" has no merge at all.
  Result<TokenStrings> tokens = tokens_of(with_bytes({"bc", "ab", "abc", "xy"}));
  const std::vector<ListedMerge> merges = {{'b', 'c', 256}, {'a', 'b', 257}, {257, 'c', 258}};
  EXPECT_EQ(tokens_unformed_by(tokens.value(), merges), (std::vector<TokenId>{258, 259}));
}

TEST(MergeList, FirstListedPairMergesFirstAndItsFirstListingCounts) {
  Result<TokenStrings> tokens = tokens_of(with_bytes({"ab", "bc", "abc"}));
  const std::vector<ListedMerge> merges = {
      {'a', 'b', 256}, {'b', 'c', 257}, {256, 'c', 258}, {'a', 'b', 256}};
  EXPECT_TRUE(tokens_unformed_by(tokens.value(), merges).empty());
}

}  // namespace
}  // namespace pelnor

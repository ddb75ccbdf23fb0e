// The stream encoder against encoding the whole text at once.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "pelnor/engine/encode.h"
#include "pelnor/engine/special_encode.h"
#include "pelnor/engine/stream.h"
#include "pelnor/engine/tokenizer.h"
#include "test_support.h"

namespace pelnor {
namespace {

using testing::as_bytes;

struct Streamed {
  std::vector<TokenId> ids;
  std::uint64_t consumed;
};

// The ids of text fed to a stream in parts of random lengths up to max_part bytes.
Streamed streamed(const Tokenizer& tokenizer, const std::string& text, bool with_special,
                  std::size_t max_part, std::mt19937_64& rng) {
  StreamEncoder stream(tokenizer, with_special);
  IdVector out;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t part = std::min(text.size() - at, rng() % max_part + 1);
    stream.feed(as_bytes(text).subspan(at, part), out);
    at += part;
  }
  stream.finish(out);
  return {{out.begin(), out.end()}, stream.consumed()};
}

std::vector<TokenId> whole(const Tokenizer& tokenizer, const std::string& text, bool special) {
  const IdVector ids = special ? encode_with_special(tokenizer, as_bytes(text))
                               : encode_ordinary(tokenizer, as_bytes(text));
  return {ids.begin(), ids.end()};
}

std::string corpus() {
  std::string all;
  for (const auto& entry :
       std::filesystem::directory_iterator(std::string(PELNOR_SOURCE_DIR) + "/tests/corpus")) {
    std::ifstream in(entry.path(), std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    all += content.str();
  }
  return all;
}

class StreamEncoderTest : public ::testing::TestWithParam<const char*> {};

TEST_P(StreamEncoderTest, GivesTheIdsOfTheWholeText) {
  const Tokenizer tokenizer = Tokenizer::create(GetParam(), "").value();
  std::mt19937_64 rng(11);
  // Real text, with special strings and runs of every class at the boundaries a drain looks at.
  const std::string text = corpus();
  std::string mixed;
  const std::vector<std::string> runs = {" ", "\n", " \n ", "a", "7", "!", "\xc3\xa9", "'"};
  const auto at_char = [&](std::size_t p) {
    while (p < text.size() && (text[p] & 0xC0) == 0x80) ++p;
    return p;
  };
  while (mixed.size() < (std::size_t{6} << 20)) {
    const std::size_t from = at_char(rng() % text.size());
    mixed += text.substr(from, at_char(from + rng() % 3000) - from);
    if (rng() % 4 == 0) mixed += "<|endoftext|>";
    mixed += runs[rng() % runs.size()];
    const std::string& run = runs[rng() % runs.size()];
    for (std::size_t n = rng() % 200; n-- > 0;) mixed += run;
  }
  for (const bool special : {false, true}) {
    const Streamed got = streamed(tokenizer, mixed, special, std::size_t{3} << 20, rng);
    EXPECT_EQ(got.ids, whole(tokenizer, mixed, special)) << GetParam() << special;
    EXPECT_EQ(got.consumed, mixed.size());
  }
}

TEST_P(StreamEncoderTest, EncodesPiecesLongerThanItHoldsInParts) {
  const Tokenizer tokenizer = Tokenizer::create(GetParam(), "").value();
  std::mt19937_64 rng(5);
  const std::size_t n = std::size_t{20} << 20;
  for (const std::string& text :
       {std::string(n, '\0'), std::string(n, 'a') + " b", std::string(n, ' ') + "x",
        std::string(n, '!') + "\n\n", "x\n" + std::string(n / 2, '\n') + std::string(n / 2, ' '),
        std::string(n, '7')}) {
    const Streamed got = streamed(tokenizer, text, false, std::size_t{1} << 20, rng);
    EXPECT_TRUE(got.ids == whole(tokenizer, text, false))
        << GetParam() << " " << static_cast<int>(text[0]) << " " << got.ids.size();
    EXPECT_EQ(got.consumed, text.size());
  }
}

INSTANTIATE_TEST_SUITE_P(Builtin, StreamEncoderTest,
                         ::testing::Values("cl100k_base", "o200k_base", "r50k_base"));

}  // namespace
}  // namespace pelnor

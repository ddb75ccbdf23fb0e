#include "pelnor/bpe/vocab.h"

#include <gtest/gtest.h>

#include <array>
#include <random>

#include "pelnor/bpe/merge.h"
#include "test_support.h"

namespace pelnor {
namespace {

using testing::as_bytes;
using testing::builtin_vocab;
using testing::vocab_file;

std::vector<std::string> single_bytes() {
  std::vector<std::string> tokens;
  for (int b = 0; b < 256; ++b) tokens.emplace_back(1, static_cast<char>(b));
  return tokens;
}

std::string parse_error(std::string_view data, std::string_view label = "lbl") {
  Result<std::unique_ptr<Vocab>> vocab = Vocab::parse(as_bytes(data), label);
  return vocab.ok() ? "(parsed)" : vocab.error();
}

std::string u16(unsigned v) {
  return {static_cast<char>(v & 0xFF), static_cast<char>(v >> 8)};
}
std::string u32(std::uint32_t v) {
  std::string s;
  for (int i = 0; i < 4; ++i) s.push_back(static_cast<char>(v >> (8 * i)));
  return s;
}

TEST(VocabParse, FormatErrorsNameTheReasonAndLabel) {
  const std::string one = u32(1);
  EXPECT_EQ(parse_error("", "cl100k_base"),
            "pelnor: bad vocab file (truncated header): cl100k_base");
  EXPECT_EQ(parse_error("\x01\x00\x00"), "pelnor: bad vocab file (truncated header): lbl");
  EXPECT_EQ(parse_error(u32(0)),
            "pelnor: bad vocab file (token count out of range (max 262144 ids)): lbl");
  EXPECT_EQ(parse_error(u32(262145)),
            "pelnor: bad vocab file (token count out of range (max 262144 ids)): lbl");
  EXPECT_EQ(parse_error(one), "pelnor: bad vocab file (truncated record): lbl");
  EXPECT_EQ(parse_error(one + "\x01"), "pelnor: bad vocab file (truncated record): lbl");
  EXPECT_EQ(parse_error(one + u16(0) + u32(0)),
            "pelnor: bad vocab file (token length out of range): lbl");
  EXPECT_EQ(parse_error(one + u16(256) + std::string(256, 'a') + u32(0)),
            "pelnor: bad vocab file (token length out of range): lbl");
  const std::string record = u16(2) + "ab" + u32(0);
  for (std::size_t cut = 2; cut < record.size(); ++cut) {
    EXPECT_EQ(parse_error(one + record.substr(0, cut)),
              "pelnor: bad vocab file (truncated token bytes): lbl")
        << cut;
  }
  EXPECT_EQ(parse_error(one + u16(1) + "a" + u32(1)),
            "pelnor: bad vocab file (rank out of range): lbl");
  EXPECT_EQ(parse_error(u32(2) + u16(1) + "a" + u32(0) + u16(1) + "b" + u32(0)),
            "pelnor: bad vocab file (duplicate rank): lbl");
  EXPECT_EQ(parse_error(one + record + "x"), "pelnor: bad vocab file (trailing bytes): lbl");
}

TEST(VocabParse, ChecksRunRecordByRecord) {
  // A bad rank in the first record wins over a truncation further on.
  EXPECT_EQ(parse_error(u32(3) + u16(1) + "a" + u32(7) + u16(1)),
            "pelnor: bad vocab file (rank out of range): lbl");
}

TEST(VocabParse, RepeatedByteStringsAreRejected) {
  EXPECT_EQ(parse_error(vocab_file({"a", "b", "a"})),
            "pelnor: bad vocab file (repeated token bytes): lbl");
}

TEST(VocabParse, BoundaryCountsAndLengthsAreAccepted) {
  EXPECT_EQ(parse_error(vocab_file({"a"})), "(parsed)");
  EXPECT_EQ(parse_error(vocab_file({std::string(255, 'x')})), "(parsed)");
}

// 2^18 tokens ending with `last`: then every 18-bit rank value is a real rank.
std::unique_ptr<Vocab> largest_vocab(const std::vector<std::string>& last) {
  std::vector<std::string> tokens = single_bytes();
  for (int a = 0; a < 256; ++a) {
    for (int b = 0; b < 256; ++b) tokens.push_back({static_cast<char>(a), static_cast<char>(b)});
  }
  for (int i = 0; tokens.size() < kMaxTokenCount - last.size(); ++i) {
    tokens.push_back({static_cast<char>(0x10 + i / 65536), static_cast<char>(i / 256 % 256),
                      static_cast<char>(i % 256)});
  }
  tokens.insert(tokens.end(), last.begin(), last.end());
  Result<std::unique_ptr<Vocab>> vocab = Vocab::parse(as_bytes(vocab_file(tokens)), "big");
  EXPECT_TRUE(vocab.ok()) << vocab.error();
  return vocab.ok() ? std::move(vocab.value()) : nullptr;
}

TEST(VocabParse, LargestCountLoadsAndTheLastRankStaysExact) {
  constexpr TokenId kLast = kMaxTokenCount - 1;
  // The last rank at the end of a two-byte trie edge.
  std::unique_ptr<Vocab> edge_end = largest_vocab({"\x01\x02\x03\x04"});
  ASSERT_TRUE(edge_end);
  EXPECT_TRUE(edge_end->uses_wide_pair_cache());
  EXPECT_EQ(longest_prefix(*edge_end, as_bytes("\x01\x02\x03\x04")), kLast);
  EXPECT_EQ(longest_prefix(*edge_end, as_bytes(std::string_view("\x10\x00\x01\x08", 4))),
            256u + 65536u + 1u);
  // The last rank in the middle of a two-byte trie edge.
  std::unique_ptr<Vocab> edge_middle = largest_vocab({"\x05\x06\x07\x08\x09", "\x05\x06\x07"});
  ASSERT_TRUE(edge_middle);
  EXPECT_EQ(longest_prefix(*edge_middle, as_bytes("\x05\x06\x07\x08")), kLast);
  EXPECT_EQ(longest_prefix(*edge_middle, as_bytes("\x05\x06\x07\x08\x09")), kLast - 1);
}

TEST(VocabParse, RecordOrderDoesNotMatter) {
  std::vector<std::string> tokens = single_bytes();
  for (const char* t : {"ab", "abc", "abcd", "bc", "cd", "xyz", "xy"}) tokens.push_back(t);
  auto ascending = Vocab::parse(as_bytes(vocab_file(tokens)), "a");
  auto descending = Vocab::parse(as_bytes(vocab_file(tokens, true)), "d");
  ASSERT_TRUE(ascending.ok() && descending.ok());
  const Vocab& a = *ascending.value();
  const Vocab& d = *descending.value();
  EXPECT_EQ(a.node_count(), d.node_count());
  EXPECT_EQ(a.memory_bytes(), d.memory_bytes());
  for (TokenId r = 0; r < a.token_count(); ++r) {
    EXPECT_TRUE(std::ranges::equal(a.token_bytes(r), d.token_bytes(r)));
    EXPECT_EQ(a.split(r).left, d.split(r).left);
    EXPECT_EQ(a.split(r).right, d.split(r).right);
    EXPECT_EQ(a.next_prefix(r), d.next_prefix(r));
  }
  for (const char* s : {"abcde", "xyzab", "bcd", "q"}) {
    EXPECT_EQ(longest_prefix(a, as_bytes(s)), longest_prefix(d, as_bytes(s))) << s;
  }
}

// Tokens whose trie has exactly `nodes` nodes besides the root.
std::vector<std::string> tokens_with_trie_nodes(std::size_t nodes) {
  std::vector<std::string> tokens = single_bytes();
  std::size_t left = nodes - 256;
  for (int i = 0; left > 0; ++i) {
    // A fresh two-byte prefix, so a token of length L adds L - 1 nodes.
    const std::size_t len = std::min<std::size_t>(255, left + 1);
    std::string token = {static_cast<char>(i / 256), static_cast<char>(i % 256)};
    token.resize(len, 'z');
    tokens.push_back(token);
    left -= len - 1;
  }
  return tokens;
}

TEST(VocabParse, TrieNodeLimit) {
  const std::string too_large = vocab_file(tokens_with_trie_nodes(kMaxTrieNodes - 1));
  EXPECT_EQ(parse_error(too_large, "big"),
            "pelnor: trie too large for packed e2 (max 2^20 nodes): big");
  auto largest = Vocab::parse(as_bytes(vocab_file(tokens_with_trie_nodes(kMaxTrieNodes - 2))), "");
  ASSERT_TRUE(largest.ok()) << largest.error();
  EXPECT_EQ(largest.value()->node_count(), kMaxTrieNodes - 1);
}

TEST(VocabParse, PairCacheWidthFollowsTokenCount) {
  std::vector<std::string> tokens = single_bytes();
  for (std::uint32_t i = 0; tokens.size() < kNarrowPairCacheMaxTokens; ++i) {
    tokens.push_back({'#', static_cast<char>(i / 65536), static_cast<char>(i / 256 % 256),
                      static_cast<char>(i % 256)});
  }
  auto narrow = Vocab::parse(as_bytes(vocab_file(tokens)), "");
  tokens.push_back("last");
  auto wide = Vocab::parse(as_bytes(vocab_file(tokens)), "");
  ASSERT_TRUE(narrow.ok() && wide.ok());
  EXPECT_FALSE(narrow.value()->uses_wide_pair_cache());
  EXPECT_TRUE(wide.value()->uses_wide_pair_cache());
}

struct BuiltinShape {
  const char* file;
  std::uint32_t tokens;
  std::uint32_t nodes_besides_root;
  std::size_t e2_slots;
  std::size_t e2_longest_run;
  bool wide_pair_cache;
};

class BuiltinVocab : public ::testing::TestWithParam<BuiltinShape> {};

TEST_P(BuiltinVocab, TableShapes) {
  const BuiltinShape& shape = GetParam();
  const Vocab& v = builtin_vocab(shape.file);
  EXPECT_EQ(v.token_count(), shape.tokens);
  EXPECT_EQ(v.node_count() - 1, shape.nodes_besides_root);
  EXPECT_EQ(v.e2_slot_count(), shape.e2_slots);
  EXPECT_EQ(v.e2_longest_run(), shape.e2_longest_run);
  EXPECT_EQ(v.uses_wide_pair_cache(), shape.wide_pair_cache);
  EXPECT_TRUE(v.has_every_byte());
}

TEST_P(BuiltinVocab, EveryMultiByteTokenSplitsIntoTwoLowerRanks) {
  const Vocab& v = builtin_vocab(GetParam().file);
  std::size_t unsplit = 0;
  for (TokenId r = 0; r < v.token_count(); ++r) {
    const Split s = v.split(r);
    if (v.token_len(r) == 1) {
      EXPECT_TRUE(s.left == r && s.right == r) << r;
      ++unsplit;
      continue;
    }
    ASSERT_TRUE(s.left < r && s.right < r) << r;
    std::vector<std::uint8_t> joined(v.token_bytes(s.left).begin(), v.token_bytes(s.left).end());
    joined.insert(joined.end(), v.token_bytes(s.right).begin(), v.token_bytes(s.right).end());
    EXPECT_TRUE(std::ranges::equal(joined, v.token_bytes(r))) << r;
  }
  EXPECT_EQ(unsplit, 256u);
}

TEST_P(BuiltinVocab, RankOfFindsEveryToken) {
  const Vocab& v = builtin_vocab(GetParam().file);
  for (TokenId r = 0; r < v.token_count(); ++r) ASSERT_EQ(v.rank_of(v.token_bytes(r)), r);
  EXPECT_EQ(v.rank_of(as_bytes("")), NONE_RANK);
  EXPECT_EQ(v.rank_of(Bytes()), NONE_RANK);  // no data pointer at all
  EXPECT_EQ(v.rank_of(as_bytes("\xff\xfe\xfd\xfc not a token")), NONE_RANK);
}

// The whole-token table against rank_of: every token, and strings next to tokens (one byte
// more or fewer, zero bytes, random bytes) that mostly are none.
TEST_P(BuiltinVocab, WholeTokenTableAgreesWithRankOf) {
  const Vocab& v = builtin_vocab(GetParam().file);
  std::mt19937 random(7);
  const auto whole = [&](const std::vector<std::uint8_t>& bytes) {
    // Bytes past the piece, which the key must leave out, are noise.
    std::array<std::uint8_t, 32> text;
    for (std::uint8_t& b : text) b = static_cast<std::uint8_t>(random());
    std::ranges::copy(bytes, text.begin());
    const PieceKey key = piece_key(text.data(), bytes.size(), text.size());
    return v.whole_token(key, piece_hash(key));
  };
  std::size_t short_tokens = 0;
  for (TokenId r = 0; r < v.token_count(); ++r) {
    const Bytes t = v.token_bytes(r);
    if (t.size() > kMaxWholeTokenBytes) continue;
    ++short_tokens;
    std::vector<std::uint8_t> bytes(t.begin(), t.end());
    ASSERT_EQ(whole(bytes), r);
    bytes.push_back(static_cast<std::uint8_t>(random() % 4 == 0 ? 0 : random()));
    if (bytes.size() <= kMaxWholeTokenBytes) {
      ASSERT_EQ(whole(bytes), v.rank_of(bytes)) << r;
    }
    bytes.resize(t.size() - 1);
    if (!bytes.empty()) {
      ASSERT_EQ(whole(bytes), v.rank_of(bytes)) << r;
    }
  }
  EXPECT_GT(short_tokens, v.token_count() * 9 / 10);
  for (int i = 0; i < 100000; ++i) {
    std::vector<std::uint8_t> bytes(1 + random() % kMaxWholeTokenBytes);
    for (std::uint8_t& b : bytes) b = static_cast<std::uint8_t>(random() % 3 == 0 ? 0 : random());
    ASSERT_EQ(whole(bytes), v.rank_of(bytes));
  }
}

TEST_P(BuiltinVocab, TwoByteAndThreeByteTablesAgreeWithTheTrie) {
  const Vocab& v = builtin_vocab(GetParam().file);
  std::vector<bool> starts_a_token(65536, false);
  for (TokenId r = 0; r < v.token_count(); ++r) {
    const Bytes t = v.token_bytes(r);
    if (t.size() >= 2) starts_a_token[t[0] << 8 | t[1]] = true;
  }
  for (unsigned b0 = 0; b0 < 256; ++b0) {
    for (unsigned b1 = 0; b1 < 256; ++b1) {
      const std::uint8_t pair[2] = {static_cast<std::uint8_t>(b0), static_cast<std::uint8_t>(b1)};
      const TokenId two = v.rank_of(Bytes(pair, 2));
      EXPECT_EQ(v.prefix2_rank(pair[0], pair[1]),
                two != NONE_RANK ? two : v.rank_of(Bytes(pair, 1)));
      EXPECT_EQ(v.prefix2_node(pair[0], pair[1]) != 0, starts_a_token[b0 << 8 | b1]);
    }
  }
  const std::uint8_t euro[3] = {0xE2, 0x82, 0xAC};
  const TokenId euro_rank = v.rank_of(Bytes(euro, 3));
  EXPECT_EQ(v.bmp3_rank(Vocab::bmp3_index(euro)),
            euro_rank != NONE_RANK ? euro_rank : v.prefix2_rank(0xE2, 0x82));
  EXPECT_EQ(v.bmp3_node(Vocab::bmp3_index(euro)), v.prefix2_node(0xE2, 0x82));
  const std::uint8_t overlong[3] = {0xE0, 0x80, 0x80};
  EXPECT_EQ(Vocab::bmp3_index(overlong), 0u);
  EXPECT_EQ(v.bmp3_rank(0), v.prefix2_rank(0xE0, 0x80));
}

TEST_P(BuiltinVocab, PairsThatMergeAreIncompatible) {
  const Vocab& v = builtin_vocab(GetParam().file);
  const TokenId a = v.rank_of(as_bytes("a")), b = v.rank_of(as_bytes("b"));
  ASSERT_NE(v.rank_of(as_bytes("ab")), NONE_RANK);
  EXPECT_FALSE(v.is_compatible(a, b));
  EXPECT_FALSE(v.is_compatible(a, b));  // the cached verdict
  // No token spans "." followed by "\xff".
  EXPECT_TRUE(v.is_compatible(v.rank_of(as_bytes(".")), v.rank_of(as_bytes("\xff"))));
  for (TokenId r = 256; r < v.token_count(); r += 97) {
    EXPECT_FALSE(v.is_compatible(v.split(r).left, v.split(r).right)) << r;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Builtin, BuiltinVocab,
    ::testing::Values(BuiltinShape{"cl100k.vocab", 100256, 216749, 262144, 27, false},
                      BuiltinShape{"o200k.vocab", 199998, 421660, 524288, 23, true}),
    [](const auto& info) {
      std::string name = info.param.file;
      return name.substr(0, name.find('.'));
    });

}  // namespace
}  // namespace pelnor

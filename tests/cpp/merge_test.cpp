#include "pelnor/bpe/merge.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "test_support.h"

namespace pelnor {
namespace {

using testing::as_bytes;
using testing::builtin_vocab;
using testing::ClassicBpe;
using testing::utf8;

std::vector<TokenId> merged(const Vocab& v, std::string_view piece) {
  IdVector out;
  merge_piece(v, as_bytes(piece), out);
  return {out.begin(), out.end()};
}

std::vector<TokenId> merged_from(const Vocab& v, std::string_view piece) {
  IdVector out;
  merge_piece_from(v, as_bytes(piece), longest_prefix(v, as_bytes(piece)), out);
  return {out.begin(), out.end()};
}

// Random pieces mixing ASCII, multi-byte characters, stray bytes and runs of whole tokens.
class PieceGenerator {
 public:
  PieceGenerator(const Vocab& vocab, std::uint64_t seed) : vocab_(vocab), rng_(seed) {}

  std::string next() {
    std::string piece;
    const int parts = pick(1, 8);
    for (int i = 0; i < parts; ++i) {
      switch (pick(0, 5)) {
        case 0:
          piece += static_cast<char>(pick(0x20, 0x7E));
          break;
        case 1:
          piece += std::string(pick(1, 6), "aeiou etn"[pick(0, 8)]);
          break;
        case 2:
          piece += utf8(static_cast<char32_t>(pick(0x80, 0x7FF)));
          break;
        case 3:
          piece += utf8(static_cast<char32_t>(pick(0x3000, 0x9FFF)));
          break;
        case 4:
          piece += static_cast<char>(pick(0x80, 0xFF));
          break;
        default: {
          const Bytes token =
              vocab_.token_bytes(static_cast<TokenId>(pick(0, vocab_.token_count() - 1)));
          piece.append(token.begin(), token.end());
        }
      }
    }
    return piece;
  }

 private:
  int pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }
  const Vocab& vocab_;
  std::mt19937_64 rng_;
};

// The plain longest-prefix-first split; where it differs from BPE the merge must backtrack.
std::vector<TokenId> longest_first(const Vocab& v, std::string_view piece) {
  std::vector<TokenId> ids;
  for (std::size_t pos = 0; pos < piece.size();) {
    for (std::size_t len = std::min<std::size_t>(255, piece.size() - pos);; --len) {
      const TokenId r = v.rank_of(as_bytes(piece.substr(pos, len)));
      if (r == NONE_RANK) continue;
      ids.push_back(r);
      pos += len;
      break;
    }
  }
  return ids;
}

class MergeBuiltin : public ::testing::TestWithParam<const char*> {
 protected:
  const Vocab& vocab() const { return builtin_vocab(GetParam()); }
};

TEST_P(MergeBuiltin, EveryTokenEncodesAsClassicBpe) {
  const Vocab& v = vocab();
  EXPECT_TRUE(v.merges_pairwise());  // the trie walk serves the built-in tables, gaps and all
  const ClassicBpe classic(v);
  for (TokenId r = 0; r < v.token_count(); ++r) {
    const Bytes bytes = v.token_bytes(r);
    const std::string piece(bytes.begin(), bytes.end());
    const std::vector<TokenId> want = classic.encode(piece);
    ASSERT_EQ(merged(v, piece), want) << "token " << r;
    ASSERT_EQ(merged_from(v, piece), want) << "token " << r;
  }
}

TEST_P(MergeBuiltin, RandomPiecesEncodeAsClassicBpe) {
  const Vocab& v = vocab();
  const ClassicBpe classic(v);
  PieceGenerator pieces(v, 20261208);
  std::size_t backtracked = 0;
  for (int i = 0; i < 100000; ++i) {
    const std::string piece = pieces.next();
    const std::vector<TokenId> want = classic.encode(piece);
    ASSERT_EQ(merged(v, piece), want) << ::testing::PrintToString(piece);
    ASSERT_EQ(merged_from(v, piece), want) << ::testing::PrintToString(piece);
    backtracked += longest_first(v, piece) != want;
  }
  // The draw must exercise the backtracking search, not only the greedy pass.
  EXPECT_GT(backtracked, 100u);
}

TEST_P(MergeBuiltin, LongRunsEncodeAsClassicBpe) {
  const Vocab& v = vocab();
  const ClassicBpe classic(v);
  std::string cjk_run;
  while (cjk_run.size() < 10000) cjk_run += "\xe4\xb8\x80";  // U+4E00
  const std::vector<std::string> runs = {std::string(10000, 'a'),
                                         std::string(10001, '7'),
                                         std::string(10000, ' '),
                                         std::string(10000, '\xff'),
                                         cjk_run,
                                         [] {
                                           std::string s;
                                           while (s.size() < 10000) s += "ab";
                                           return s;
                                         }()};
  for (const std::string& run : runs) {
    const std::vector<TokenId> want = classic.encode(run);
    EXPECT_EQ(merged(v, run), want) << run.substr(0, 3);
    EXPECT_EQ(merged_from(v, run), want) << run.substr(0, 3);
  }
}

TEST_P(MergeBuiltin, BothEntriesAgreeOnAwkwardStarts) {
  const Vocab& v = vocab();
  const ClassicBpe classic(v);
  for (const std::string_view piece :
       {std::string_view("\xe0\x80\x80"), std::string_view("\xe0\x80\x80x"),
        std::string_view("\xe2\x82\xac"), std::string_view("\xe2\x82\xac\xe2\x82\xac!"),
        std::string_view("\xe2\x82"), std::string_view("\xe2\x82x"),
        std::string_view("\xf0\x9f\x98"), std::string_view("\xed\xa0\x80"),
        std::string_view("\xe4\xb8\x80\xe4\xb8"), std::string_view("\x00\x00", 2)}) {
    EXPECT_EQ(merged(v, piece), classic.encode(piece)) << ::testing::PrintToString(piece);
    EXPECT_EQ(merged_from(v, piece), classic.encode(piece)) << ::testing::PrintToString(piece);
  }
}

TEST_P(MergeBuiltin, AppendsAfterExistingIdsAndBacktrackingKeepsThem) {
  const Vocab& v = vocab();
  const ClassicBpe classic(v);
  PieceGenerator pieces(v, 7);
  std::string needs_backtracking;
  while (needs_backtracking.empty()) {
    const std::string piece = pieces.next();
    if (longest_first(v, piece) != classic.encode(piece)) needs_backtracking = piece;
  }
  for (const std::string& piece : {needs_backtracking, std::string("hello")}) {
    IdVector out;
    for (TokenId id : {11, 22, 33}) out.push_back(id);
    merge_piece(v, as_bytes(piece), out);
    std::vector<TokenId> want = {11, 22, 33};
    const std::vector<TokenId> ids = classic.encode(piece);
    want.insert(want.end(), ids.begin(), ids.end());
    EXPECT_EQ(std::vector<TokenId>(out.begin(), out.end()), want);
  }
  IdVector out;
  out.push_back(5);
  merge_piece(v, Bytes(), out);
  merge_piece_from(v, Bytes(), NONE_RANK, out);
  EXPECT_EQ(std::vector<TokenId>(out.begin(), out.end()), std::vector<TokenId>{5});
}

INSTANTIATE_TEST_SUITE_P(Builtin, MergeBuiltin,
                         ::testing::Values("cl100k.vocab", "o200k.vocab", "p50k.vocab"),
                         [](const auto& info) {
                           const std::string name = info.param;
                           return name.substr(0, name.find('.'));
                         });

TEST(MergeIncompleteVocab, BytesWithoutATokenAreDropped) {
  auto parsed = Vocab::parse(as_bytes(testing::vocab_file({"a", "b", "ab", "c"})), "small");
  ASSERT_TRUE(parsed.ok());
  const Vocab& v = *parsed.value();
  EXPECT_FALSE(v.has_every_byte());
  EXPECT_EQ(merged(v, "abxab"), (std::vector<TokenId>{2, 2}));
  EXPECT_EQ(merged(v, "xyz"), std::vector<TokenId>{});
  EXPECT_EQ(merged_from(v, "cabz\xff"), (std::vector<TokenId>{3, 2}));
}

// Tables grown as training grows them (each token two earlier ones joined) but ranked in random
// order: some tokens are then never formed by merging their own bytes, and such tables are
// merged pair by pair, as classic byte-pair encoding does (a piece that is a token stays whole).
TEST(MergeOddVocab, TablesOutOfTrainingOrderMergeAsClassicBpe) {
  std::vector<std::string> bytes;
  for (int b = 0; b < 256; ++b) bytes.emplace_back(1, static_cast<char>(b));
  std::vector<std::string> tokens = bytes;
  tokens.insert(tokens.end(), {"bc", "ab", "cd", "abcd"});  // abcd: ab+cd, but bc merges first
  auto parsed = Vocab::parse(as_bytes(testing::vocab_file(tokens)), "odd");
  ASSERT_TRUE(parsed.ok());
  EXPECT_FALSE(parsed.value()->merges_pairwise());
  EXPECT_EQ(merged(*parsed.value(), "abcdx"), (std::vector<TokenId>{97, 256, 100, 120}));
  EXPECT_EQ(merged(*parsed.value(), "abcd"), std::vector<TokenId>{259});

  std::mt19937 rng(7);
  const auto pick = [&](std::size_t n) { return static_cast<std::size_t>(rng() % n); };
  int odd = 0;
  for (int trial = 0; trial < 40; ++trial) {
    std::vector<std::string> grown = {"a", "b", "c", "d"};
    while (grown.size() < 64) {
      const std::string joined = grown[pick(grown.size())] + grown[pick(grown.size())];
      if (joined.size() <= 8 && std::ranges::find(grown, joined) == grown.end()) {
        grown.push_back(joined);
      }
    }
    std::shuffle(grown.begin() + 4, grown.end(), rng);
    tokens = bytes;
    tokens.insert(tokens.end(), grown.begin() + 4, grown.end());
    parsed = Vocab::parse(as_bytes(testing::vocab_file(tokens)), "grown");
    ASSERT_TRUE(parsed.ok());
    const Vocab& v = *parsed.value();
    odd += v.merges_pairwise() ? 0 : 1;
    const ClassicBpe classic(v);
    for (int i = 0; i < 200; ++i) {
      std::string piece;
      for (std::size_t n = 1 + pick(30); n > 0; --n) piece += "abcd"[pick(4)];
      const TokenId whole = v.rank_of(as_bytes(piece));
      const std::vector<TokenId> want =
          whole != NONE_RANK ? std::vector<TokenId>{whole} : classic.encode(piece);
      ASSERT_EQ(merged(v, piece), want) << "trial " << trial << " piece " << piece;
      ASSERT_EQ(merged_from(v, piece), want) << "trial " << trial << " piece " << piece;
    }
  }
  EXPECT_GT(odd, 10);
}

}  // namespace
}  // namespace pelnor

#include "pelnor/engine/tokenizer.h"
#include "pelnor/engine/encode.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>

#include "pelnor/engine/data.h"
#include "pelnor/engine/decode.h"
#include "test_support.h"

namespace pelnor {
namespace {

namespace fs = std::filesystem;
using testing::as_bytes;

std::string construction_error(std::string_view name, std::string_view datadir = "") {
  Result<Tokenizer> tokenizer = Tokenizer::create(name, datadir);
  return tokenizer.ok() ? "(built)" : tokenizer.error();
}

// A fresh data directory holding copies of some built-in files.
class DataDir {
 public:
  explicit DataDir(std::initializer_list<const char*> files) {
    path_ = fs::path(::testing::TempDir()) /
            ("pelnor_data_" + std::to_string(reinterpret_cast<std::uintptr_t>(this)));
    fs::create_directories(path_);
    for (const char* file : files) write(file, *builtin_file(file));
  }
  ~DataDir() { fs::remove_all(path_); }

  void write(const std::string& file, Bytes content) const {
    std::ofstream(path_ / file, std::ios::binary)
        .write(reinterpret_cast<const char*>(content.data()),
               static_cast<std::streamsize>(content.size()));
  }
  std::string path() const { return path_.string(); }
  std::string file(const std::string& name) const { return (path_ / name).string(); }

 private:
  fs::path path_;
};

TEST(TokenizerCreate, UnknownNamesAreReportedVerbatim) {
  const std::string tail =
      " (built-in: gpt2, r50k_base, p50k_base, p50k_edit, cl100k_base, o200k_base, o200k_harmony)";
  EXPECT_EQ(construction_error("p50k"), "pelnor: unknown encoding: p50k" + tail);
  EXPECT_EQ(construction_error("CL100K_BASE"), "pelnor: unknown encoding: CL100K_BASE" + tail);
  EXPECT_EQ(construction_error("cl100k_base "), "pelnor: unknown encoding: cl100k_base " + tail);
  EXPECT_EQ(construction_error(""), "pelnor: unknown encoding: " + tail);
  // The name is checked before any file is touched.
  EXPECT_EQ(construction_error("nope", "/does/not/exist"), "pelnor: unknown encoding: nope" + tail);
}

TEST(TokenizerCreate, BuiltinEncodings) {
  for (const char* name : {"gpt2", "r50k_base", "p50k_base", "p50k_edit", "cl100k_base",
                           "o200k_base", "o200k_harmony"}) {
    Result<Tokenizer> tokenizer = Tokenizer::create(name, "");
    ASSERT_TRUE(tokenizer.ok()) << tokenizer.error();
    EXPECT_EQ(tokenizer.value().name(), name);
  }
  Result<Tokenizer> cl = Tokenizer::create("cl100k_base", "");
  Result<Tokenizer> o = Tokenizer::create("o200k_base", "");
  Result<Tokenizer> harmony = Tokenizer::create("o200k_harmony", "");
  EXPECT_EQ(cl.value().rule_set(), RuleSet::kCl100k);
  EXPECT_EQ(o.value().rule_set(), RuleSet::kO200k);
  EXPECT_EQ(cl.value().vocab().token_count(), 100256u);
  EXPECT_EQ(cl.value().special_tokens().size(), 5u);
  EXPECT_EQ(o.value().special_tokens().size(), 2u);
  EXPECT_EQ(harmony.value().special_tokens().size(), 1091u);
  EXPECT_EQ(harmony.value().vocab().token_count(), 199998u);
  EXPECT_LT(cl.value().identity(), o.value().identity());
  EXPECT_LT(o.value().identity(), harmony.value().identity());
  // The same tables, different special lists: the footprint differs by the lists alone.
  std::size_t o_specials = 0, harmony_specials = 0;
  for (const auto& t : o.value().special_tokens()) o_specials += t.text.size() + 32;
  for (const auto& t : harmony.value().special_tokens()) harmony_specials += t.text.size() + 32;
  EXPECT_EQ(harmony.value().memory_bytes() - harmony_specials,
            o.value().memory_bytes() - o_specials);
}

TEST(TokenizerCreate, EmptyDataDirectoryMeansBuiltinData) {
  Result<Tokenizer> tokenizer = Tokenizer::create("cl100k_base", "");
  ASSERT_TRUE(tokenizer.ok());
  EXPECT_EQ(tokenizer.value().special_tokens()[0].text, "<|endoftext|>");
}

TEST(TokenizerCreate, FromDataDirectory) {
  const DataDir dir({"o200k.vocab", "uniclass_o200k.bin", "o200k_harmony.special"});
  Result<Tokenizer> base = Tokenizer::create("o200k_base", dir.path());
  ASSERT_TRUE(base.ok()) << base.error();
  EXPECT_TRUE(base.value().special_tokens().empty());  // no o200k.special in the directory
  Result<Tokenizer> harmony = Tokenizer::create("o200k_harmony", dir.path() + "/");
  ASSERT_TRUE(harmony.ok()) << harmony.error();
  EXPECT_EQ(harmony.value().special_tokens().size(), 1091u);
  EXPECT_EQ(harmony.value().name(), "o200k_harmony");
  const Bytes hello = as_bytes("Hello, world! Привет");
  const IdVector a = encode_ordinary(base.value(), hello);
  const IdVector b = encode_ordinary(harmony.value(), hello);
  EXPECT_TRUE(std::ranges::equal(a, b));
}

TEST(TokenizerCreate, DataDirectoryFailures) {
  const DataDir empty({});
  EXPECT_EQ(construction_error("cl100k_base", empty.path()), "pelnor: cannot open vocab file " +
                                                                 empty.file("cl100k.vocab") +
                                                                 ": No such file or directory");
  const DataDir vocab_is_dir({});
  std::filesystem::create_directory(vocab_is_dir.file("cl100k.vocab"));
  EXPECT_EQ(construction_error("cl100k_base", vocab_is_dir.path()),
            "pelnor: cannot read " + vocab_is_dir.file("cl100k.vocab") + ": Is a directory");
  const DataDir no_classes({"cl100k.vocab"});
  EXPECT_EQ(construction_error("cl100k_base", no_classes.path()),
            "pelnor: cannot open uniclass file " + no_classes.file("uniclass.bin") +
                ": No such file or directory");
  const DataDir bad_vocab({"uniclass.bin"});
  bad_vocab.write("cl100k.vocab", as_bytes("xy"));
  EXPECT_EQ(construction_error("cl100k_base", bad_vocab.path()),
            "pelnor: bad vocab file (truncated header): " + bad_vocab.file("cl100k.vocab"));
  const DataDir bad_classes({"cl100k.vocab"});
  bad_classes.write("uniclass.bin", as_bytes("xy"));
  EXPECT_EQ(construction_error("cl100k_base", bad_classes.path()),
            "pelnor: bad uniclass file: " + bad_classes.file("uniclass.bin"));
  const DataDir bad_specials({"cl100k.vocab", "uniclass.bin"});
  bad_specials.write("cl100k.special", as_bytes("\x01\x00\x00\x00\x05"));
  EXPECT_EQ(construction_error("cl100k_base", bad_specials.path()),
            "pelnor: bad special-tokens file: " + bad_specials.file("cl100k.special"));
}

TEST(TokenizerCreate, EveryAttemptTakesAFreshIdentity) {
  const std::uint64_t first = Tokenizer::create("cl100k_base", "").value().identity();
  const std::uint64_t second = Tokenizer::create("cl100k_base", "").value().identity();
  EXPECT_GT(second, first);
  // A failure after the vocabulary and class table were built has used one up.
  const DataDir bad_specials({"cl100k.vocab", "uniclass.bin"});
  bad_specials.write("cl100k.special", as_bytes("\xff\xff\xff\xff"));
  EXPECT_NE(construction_error("cl100k_base", bad_specials.path()), "(built)");
  EXPECT_EQ(Tokenizer::create("cl100k_base", "").value().identity(), second + 2);
}

std::string special_error(const std::string& data) {
  Result<SpecialTokens> tokens = parse_special_tokens(as_bytes(data), "lbl");
  return tokens.ok() ? "(parsed " + std::to_string(tokens.value().size()) + ")" : tokens.error();
}

std::string entry(std::uint32_t id, const std::string& text) {
  std::string s;
  for (int i = 0; i < 4; ++i) s.push_back(static_cast<char>(id >> (8 * i)));
  s.push_back(static_cast<char>(text.size() & 0xFF));
  s.push_back(static_cast<char>(text.size() >> 8));
  return s + text;
}

std::string count(std::uint32_t n) {
  return entry(n, "").substr(0, 4);
}

TEST(SpecialTokensParse, FormatRules) {
  const std::string bad = "pelnor: bad special-tokens file: lbl";
  EXPECT_EQ(special_error(""), bad);
  EXPECT_EQ(special_error("\x00\x00\x00"), bad);
  EXPECT_EQ(special_error(count(0)), "(parsed 0)");
  EXPECT_EQ(special_error(count(0) + "anything"), "(parsed 0)");
  EXPECT_EQ(special_error(count(4097)), bad);
  std::string full = count(4096);
  for (int i = 0; i < 4096; ++i) full += entry(i, "<|x|>");
  EXPECT_EQ(special_error(full), "(parsed 4096)");
  EXPECT_EQ(special_error(count(1) + entry(7, std::string(64, 'a'))), "(parsed 1)");
  EXPECT_EQ(special_error(count(1) + entry(7, std::string(65, 'a'))), bad);
  EXPECT_EQ(special_error(count(1) + entry(7, "")), bad);
  EXPECT_EQ(special_error(count(1) + entry(7, "\xff")), bad);
  EXPECT_EQ(special_error(count(1) + entry(7, "\xed\xa0\x80")), bad);  // a surrogate
  EXPECT_EQ(special_error(count(1) + entry(7, "abc").substr(0, 8)), bad);
  EXPECT_EQ(special_error(count(2) + entry(7, "abc")), bad);
  EXPECT_EQ(special_error(count(1) + entry(7, "abc") + "extra"), "(parsed 1)");
}

TEST(SpecialTokensParse, HarmonyListKeepsFileOrderAndRepeatedIds) {
  Result<SpecialTokens> tokens =
      parse_special_tokens(*builtin_file("o200k_harmony.special"), "o200k_harmony");
  ASSERT_TRUE(tokens.ok());
  const SpecialTokens& list = tokens.value();
  std::vector<std::string> at_200018;
  for (const SpecialToken& t : list) {
    if (t.id == 200018) at_200018.push_back(t.text);
  }
  EXPECT_EQ(at_200018, (std::vector<std::string>{"<|endofprompt|>", "<|reserved_200018|>"}));
  EXPECT_EQ(list.front().text, "<|startoftext|>");
  EXPECT_EQ(list.back().text, "<|reserved_201087|>");
}

// Decode's bytes are each id's bytes in turn, for tokens of every length up to the vocabulary's
// last one, which is short (its fixed-width copy reads into the padding), mixed with a special
// token and with unknown ids. The vocabulary is small enough to come from the heap, so the
// sanitizer builds see any read past its bytes.
TEST(Decode, BytesAreEachIdsBytesInTurn) {
  std::vector<std::string> tokens;
  for (int b = 0; b < 256; ++b) tokens.emplace_back(1, static_cast<char>(b));
  for (const std::size_t len : {2, 15, 16, 17, 200}) tokens.emplace_back(len, 'a');
  tokens.emplace_back("zq");
  const auto count_of = static_cast<TokenId>(tokens.size());
  Result<Tokenizer> built =
      Tokenizer::from_data("small", RuleSet::kCl100k, as_bytes(testing::vocab_file(tokens)),
                           as_bytes(count(1) + entry(count_of + 3, "<|end|>")));
  ASSERT_TRUE(built.ok()) << built.error();
  const Tokenizer& tokenizer = built.value();
  std::mt19937 random(7);
  for (int round = 0; round < 500; ++round) {
    std::vector<TokenId> ids(random() % 300);
    for (TokenId& id : ids)
      id = random() % 2 == 0 ? count_of - 1 - random() % 6 : random() % (count_of + 6);
    std::string expected;
    for (const TokenId id : ids) {
      if (const std::optional<Bytes> bytes = token_bytes_of(tokenizer, id)) {
        expected.append(reinterpret_cast<const char*>(bytes->data()), bytes->size());
      }
    }
    const ByteVector decoded = decode_bytes(tokenizer, ids);
    ASSERT_EQ(std::string(decoded.data(), decoded.size()), expected) << "round " << round;
  }
}

}  // namespace
}  // namespace pelnor

#include "pelnor/text/uniclass.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "test_support.h"

namespace pelnor {
namespace {

using testing::as_bytes;
using testing::builtin_classes;

std::string u32(std::uint32_t v) {
  std::string s;
  for (int i = 0; i < 4; ++i) s.push_back(static_cast<char>(v >> (8 * i)));
  return s;
}

// A section holding the given inclusive ranges.
std::string section(std::initializer_list<std::pair<std::uint32_t, std::uint32_t>> ranges) {
  std::string s = u32(static_cast<std::uint32_t>(ranges.size()));
  for (const auto& [lo, hi] : ranges) s += u32(lo) + u32(hi);
  return s;
}

std::string parse_error(const std::string& data, int classes) {
  Result<UniClassTable> table = UniClassTable::parse(as_bytes(data), "lbl", classes);
  return table.ok() ? "(parsed)" : table.error();
}

TEST(UniClassParse, FormatViolations) {
  const std::string bad = "pelnor: bad uniclass file: lbl";
  const std::string empty = section({});
  EXPECT_EQ(parse_error("", 3), bad);
  EXPECT_EQ(parse_error(empty + empty + "\x01\x00\x00", 3), bad);
  EXPECT_EQ(parse_error(empty + empty + u32(1) + u32(5), 3), bad);  // a range cut short
  EXPECT_EQ(parse_error(section({{5, 4}}) + empty + empty, 3), bad);
  EXPECT_EQ(parse_error(section({{0, 0x110000}}) + empty + empty, 3), bad);
  // Lookups need ascending ranges that do not overlap.
  EXPECT_EQ(parse_error(section({{0x20000, 0x20005}, {0x10000, 0x10005}}) + empty + empty, 3), bad);
  EXPECT_EQ(parse_error(section({{0x10000, 0x10005}, {0x10005, 0x10009}}) + empty + empty, 3), bad);
  EXPECT_EQ(parse_error(u32(100001) + std::string(8 * 100001, '\0') + empty + empty, 3), bad);
  // A three-class file read as five classes fails at the fourth section.
  EXPECT_EQ(parse_error(empty + empty + empty, 5), bad);
}

TEST(UniClassParse, AcceptedShapes) {
  const std::string empty = section({});
  EXPECT_EQ(parse_error(empty + empty + empty + "trailing bytes", 3), "(parsed)");
  EXPECT_EQ(parse_error(section({{0x10FFFF, 0x10FFFF}}) + empty + empty, 3), "(parsed)");
  std::string full = u32(100000);
  for (std::uint32_t i = 0; i < 100000; ++i) full += u32(2 * i) + u32(2 * i);
  EXPECT_EQ(parse_error(full + empty + empty, 3), "(parsed)");
}

TEST(UniClassParse, RangesAcrossTheBmpBoundary) {
  const std::string empty = section({});
  auto table = UniClassTable::parse(
      as_bytes(section({{0x41, 0x41}, {0xFFF0, 0x10010}}) + section({{0x1F600, 0x1F600}}) + empty),
      "x", 3);
  ASSERT_TRUE(table.ok());
  const UniClassTable& t = table.value();
  EXPECT_EQ(t.flags(0x41), kLetter);
  EXPECT_EQ(t.flags(0x42), 0);
  EXPECT_EQ(t.flags(0xFFF0), kLetter);
  EXPECT_EQ(t.flags(0xFFFF), kLetter);
  EXPECT_EQ(t.flags(0x10000), kLetter);
  EXPECT_EQ(t.flags(0x10010), kLetter);
  EXPECT_EQ(t.flags(0x10011), 0);
  EXPECT_EQ(t.flags(0x1F600), kNumber);
  EXPECT_EQ(t.flags(0x1FFFFF), 0);
  EXPECT_EQ(t.memory_bytes(), 65536u + 4 * 6);
}

TEST(UniClassBuiltin, ClassesOfKnownCharacters) {
  const UniClassTable& three = builtin_classes(3);
  const UniClassTable& five = builtin_classes(5);
  EXPECT_EQ(three.flags('A'), kLetter);
  EXPECT_EQ(five.flags('A'), kLetter | kUpperSet);
  EXPECT_EQ(five.flags('a'), kLetter | kLowerSet);
  EXPECT_EQ(five.flags('7'), kNumber);
  EXPECT_EQ(five.flags(' '), kWhitespace);
  EXPECT_EQ(five.flags(0x85), kWhitespace);
  EXPECT_EQ(five.flags(0x3000), kWhitespace);
  EXPECT_EQ(five.flags(0x0301), kUpperSet | kLowerSet);            // a combining mark
  EXPECT_EQ(five.flags(0x01C5), kLetter | kUpperSet);              // titlecase
  EXPECT_EQ(five.flags(0x02B0), kLetter | kUpperSet | kLowerSet);  // modifier letter
  EXPECT_EQ(five.flags(0x4E2D), kLetter | kUpperSet | kLowerSet);  // CJK, Lo
  EXPECT_EQ(five.flags(0x088F), kLetter | kUpperSet | kLowerSet);
  EXPECT_EQ(five.flags(0x00BD), kNumber);
  EXPECT_EQ(five.flags(0x1D400), kLetter | kUpperSet);  // mathematical bold A
  EXPECT_EQ(five.flags(0x1D7CE), kNumber);
  EXPECT_EQ(five.flags(0x1F600), 0);
  EXPECT_EQ(five.flags(0xE0100), kUpperSet | kLowerSet);  // variation selector, a mark
  EXPECT_EQ(three.memory_bytes(), 6732u - 12 + 65536);
  EXPECT_EQ(five.memory_bytes(), 27396u - 20 + 65536);
}

TEST(UniClassFile, UnreadableFileNamesPathAndReason) {
  Result<UniClassTable> missing = load_uniclass_file("/nonexistent/uniclass.bin", 3);
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(
      missing.error(),
      "pelnor: cannot open uniclass file /nonexistent/uniclass.bin: No such file or directory");
  Result<UniClassTable> directory = load_uniclass_file("/", 3);
  ASSERT_FALSE(directory.ok());
  EXPECT_EQ(directory.error(), "pelnor: cannot open uniclass file /: Is a directory");
}

TEST(UniClassFile, MalformedFileIsLabelledWithItsPath) {
  const std::string path = ::testing::TempDir() + "uniclass_short.bin";
  std::ofstream(path, std::ios::binary) << "xy";
  Result<UniClassTable> table = load_uniclass_file(path, 3);
  ASSERT_FALSE(table.ok());
  EXPECT_EQ(table.error(), "pelnor: bad uniclass file: " + path);
  std::remove(path.c_str());
}

}  // namespace
}  // namespace pelnor

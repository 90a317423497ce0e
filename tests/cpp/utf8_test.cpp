// UTF-8 validation with the decoder's error texts, lossy replacement, and the
// cut at a character boundary. The decoder tables come from CPython's own
// decoder: bytes.decode("utf-8") gives the error position and the length of the
// maximal ill-formed subpart (or "unexpected end of data" for an incomplete
// sequence), bytes.decode("utf-8", "replace") the lossy text.
#include "fs/utf8/utf8.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>

#include "test_util.h"

namespace tolvane {
namespace {

using namespace std::string_view_literals;

using testing::Escaped;

constexpr const char* kValid = nullptr;

struct DecodeCase {
  std::string_view bytes;
  const char* error;  // kValid for valid UTF-8
  std::string_view lossy;
};

void PrintTo(const DecodeCase& c, std::ostream* os) {
  *os << '"' << Escaped(c.bytes) << '"';
}

// Generated with CPython 3.12 (see the file comment).
constexpr DecodeCase kDecodeCases[] = {
    {""sv, kValid, ""sv},
    {"abc"sv, kValid, "abc"sv},
    {"\xc3\xa9"sv, kValid, "\xc3\xa9"sv},
    {"\xe2\x82\xac"sv, kValid, "\xe2\x82\xac"sv},
    {"\xf0\x9f\x98\x80"sv, kValid, "\xf0\x9f\x98\x80"sv},
    {"\xf4\x8f\xbf\xbf"sv, kValid, "\xf4\x8f\xbf\xbf"sv},
    {"\xed\x9f\xbf"sv, kValid, "\xed\x9f\xbf"sv},
    {"\xee\x80\x80"sv, kValid, "\xee\x80\x80"sv},
    {"\x80"sv, "invalid utf-8 sequence of 1 bytes from index 0",
     "\xef\xbf\xbd"sv},
    {"a\xff"sv, "invalid utf-8 sequence of 1 bytes from index 1",
     "a\xef\xbf\xbd"sv},
    {"\xc0\x80"sv, "invalid utf-8 sequence of 1 bytes from index 0",
     "\xef\xbf\xbd\xef\xbf\xbd"sv},
    {"\xc1\xbf"sv, "invalid utf-8 sequence of 1 bytes from index 0",
     "\xef\xbf\xbd\xef\xbf\xbd"sv},
    {"\xe0\x80\x80"sv, "invalid utf-8 sequence of 1 bytes from index 0",
     "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"sv},
    {"\xe0\x9f\xbf"sv, "invalid utf-8 sequence of 1 bytes from index 0",
     "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"sv},
    {"\xf0\x80\x80\x80"sv, "invalid utf-8 sequence of 1 bytes from index 0",
     "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"sv},
    {"\xf0\x8f\xbf\xbf"sv, "invalid utf-8 sequence of 1 bytes from index 0",
     "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"sv},
    {"\xed\xa0\x80"sv, "invalid utf-8 sequence of 1 bytes from index 0",
     "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"sv},
    {"\xed\xbf\xbf"sv, "invalid utf-8 sequence of 1 bytes from index 0",
     "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"sv},
    {"\xf4\x90\x80\x80"sv, "invalid utf-8 sequence of 1 bytes from index 0",
     "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"sv},
    {"\xf5\x80\x80\x80"sv, "invalid utf-8 sequence of 1 bytes from index 0",
     "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"sv},
    {"\xfe"sv, "invalid utf-8 sequence of 1 bytes from index 0",
     "\xef\xbf\xbd"sv},
    {"\xc3("sv, "invalid utf-8 sequence of 1 bytes from index 0",
     "\xef\xbf\xbd("sv},
    {"\xe2\x82("sv, "invalid utf-8 sequence of 2 bytes from index 0",
     "\xef\xbf\xbd("sv},
    {"\xf0\x9f\x98("sv, "invalid utf-8 sequence of 3 bytes from index 0",
     "\xef\xbf\xbd("sv},
    {"\xe2(\xa1"sv, "invalid utf-8 sequence of 1 bytes from index 0",
     "\xef\xbf\xbd(\xef\xbf\xbd"sv},
    {"\xc3"sv, "incomplete utf-8 byte sequence from index 0", "\xef\xbf\xbd"sv},
    {"ab\xe2\x82"sv, "incomplete utf-8 byte sequence from index 2",
     "ab\xef\xbf\xbd"sv},
    {"\xf0\x9f\x98"sv, "incomplete utf-8 byte sequence from index 0",
     "\xef\xbf\xbd"sv},
    {"\xf0\x9f"sv, "incomplete utf-8 byte sequence from index 0",
     "\xef\xbf\xbd"sv},
    {"\xf0"sv, "incomplete utf-8 byte sequence from index 0", "\xef\xbf\xbd"sv},
    {"\xe0\xa0"sv, "incomplete utf-8 byte sequence from index 0",
     "\xef\xbf\xbd"sv},
    {"\xed\x9f"sv, "incomplete utf-8 byte sequence from index 0",
     "\xef\xbf\xbd"sv},
    {"\xe2\x82"
     "abc"sv,
     "invalid utf-8 sequence of 2 bytes from index 0",
     "\xef\xbf\xbd"
     "abc"sv},
    {"abcdefgh\x80"sv, "invalid utf-8 sequence of 1 bytes from index 8",
     "abcdefgh\xef\xbf\xbd"sv},
    {"abcdefghijklmnop\xc3"sv, "incomplete utf-8 byte sequence from index 16",
     "abcdefghijklmnop\xef\xbf\xbd"sv},
    {"0123456\xe2\x82\xac"
     "0123456789\xff"sv,
     "invalid utf-8 sequence of 1 bytes from index 20",
     "0123456\xe2\x82\xac"
     "0123456789\xef\xbf\xbd"sv},
    {"\xed\xa0\x80\xed\xb0\x80"sv,
     "invalid utf-8 sequence of 1 bytes from index 0",
     "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"sv},
    {"caf\xc3\xa9\xc3"sv, "incomplete utf-8 byte sequence from index 5",
     "caf\xc3\xa9\xef\xbf\xbd"sv},
    {"\xc3\xa9\x80\x80\xc3\xa9"sv,
     "invalid utf-8 sequence of 1 bytes from index 2",
     "\xc3\xa9\xef\xbf\xbd\xef\xbf\xbd\xc3\xa9"sv},
};

class DecodeTest : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(DecodeTest, ErrorTextMatchesCpython) {
  const DecodeCase& c = GetParam();
  auto error = ValidateUtf8(c.bytes);
  EXPECT_EQ(IsUtf8(c.bytes), c.error == kValid);
  if (c.error == kValid) {
    EXPECT_FALSE(error.has_value());
  } else {
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(Utf8ErrorText(*error), c.error);
  }
}

TEST_P(DecodeTest, LossyMatchesCpythonReplace) {
  const DecodeCase& c = GetParam();
  std::string lossy = ToUtf8Lossy(c.bytes);
  EXPECT_EQ(Escaped(lossy), Escaped(c.lossy));
  EXPECT_TRUE(IsUtf8(lossy));
}

INSTANTIATE_TEST_SUITE_P(Cpython, DecodeTest,
                         ::testing::ValuesIn(kDecodeCases));

// An encoder written from the definition of UTF-8, with a chosen width so that
// overlong forms can be made too.
std::string Encode(uint32_t cp, int width) {
  std::string out;
  switch (width) {
    case 1:
      out += static_cast<char>(cp);
      break;
    case 2:
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
      break;
    case 3:
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
      break;
    default:
      out += static_cast<char>(0xF0 | (cp >> 18));
      out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
  }
  return out;
}

int ShortestWidth(uint32_t cp) {
  return cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
}

TEST(Utf8Exhaustive, EveryScalarValueInItsShortestFormIsValid) {
  for (uint32_t cp = 0; cp <= 0x10FFFF; ++cp) {
    if (cp >= 0xD800 && cp <= 0xDFFF) continue;
    std::string bytes = "x" + Encode(cp, ShortestWidth(cp));
    ASSERT_FALSE(ValidateUtf8(bytes).has_value()) << "U+" << std::hex << cp;
    ASSERT_EQ(CountChars(bytes), 2u) << "U+" << std::hex << cp;
    ASSERT_EQ(ToUtf8Lossy(bytes), bytes) << "U+" << std::hex << cp;
  }
}

TEST(Utf8Exhaustive, DecodeGivesEveryScalarValueAndItsLength) {
  for (uint32_t cp = 0; cp <= 0x10FFFF; ++cp) {
    if (cp >= 0xD800 && cp <= 0xDFFF) continue;
    const Utf8Char c = DecodeUtf8At("x" + Encode(cp, ShortestWidth(cp)), 1);
    ASSERT_TRUE(c.ok()) << "U+" << std::hex << cp;
    ASSERT_EQ(c.code_point, cp) << "U+" << std::hex << cp;
    ASSERT_EQ(c.len, ShortestWidth(cp)) << "U+" << std::hex << cp;
  }
}

// Surrogates, overlong forms and values above U+10FFFF are rejected at their
// first byte: the maximal ill-formed subpart is one byte long.
TEST(Utf8Exhaustive, SurrogatesOverlongsAndOutOfRangeFailAtTheFirstByte) {
  auto expect_invalid = [](const std::string& form, uint32_t cp) {
    std::string bytes = "ab" + form;
    auto error = ValidateUtf8(bytes);
    ASSERT_TRUE(error.has_value()) << "U+" << std::hex << cp;
    ASSERT_EQ(Utf8ErrorText(*error),
              "invalid utf-8 sequence of 1 bytes from index 2")
        << "U+" << std::hex << cp;
  };
  for (uint32_t cp = 0xD800; cp <= 0xDFFF; ++cp)
    expect_invalid(Encode(cp, 3), cp);
  for (uint32_t cp = 0; cp < 0x10000; ++cp) {
    for (int width = ShortestWidth(cp) + 1; width <= 4; ++width) {
      expect_invalid(Encode(cp, width), cp);
    }
  }
  for (uint32_t cp = 0x110000; cp <= 0x1FFFFF; cp += 0x101) {
    expect_invalid(Encode(cp, 4), cp);
  }
}

TEST(CountChars, CountsScalarValues) {
  EXPECT_EQ(CountChars(""), 0u);
  EXPECT_EQ(CountChars("abc"), 3u);
  EXPECT_EQ(CountChars("a\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80"), 4u);
}

struct CutCase {
  std::string text;
  size_t max_bytes;
  size_t expected;  // length of the prefix
};

void PrintTo(const CutCase& c, std::ostream* os) {
  *os << '"' << Escaped(c.text) << "\" max " << c.max_bytes;
}

class PrefixAtCharBoundaryTest : public ::testing::TestWithParam<CutCase> {};

TEST_P(PrefixAtCharBoundaryTest, CutsAtTheLargestBoundary) {
  const CutCase& c = GetParam();
  std::string_view prefix = PrefixAtCharBoundary(c.text, c.max_bytes);
  EXPECT_EQ(prefix.data(), c.text.data());
  EXPECT_EQ(prefix.size(), c.expected);
}

const std::string k48(48, 'a');

INSTANTIATE_TEST_SUITE_P(
    Table, PrefixAtCharBoundaryTest,
    ::testing::Values(
        // the repr preview: 50 bytes whole, 51 cut to 50, a two-byte
        // character at bytes 49-50 cut before it
        CutCase{std::string(50, 'a'), 50, 50},
        CutCase{std::string(51, 'a'), 50, 50},
        CutCase{k48 + "b\xc3\xa9"
                      "c",
                50, 49},
        CutCase{k48 + "\xc3\xa9"
                      "cc",
                50, 50},
        CutCase{k48 + "\xe2\x82\xac", 50, 48},
        CutCase{k48 + "\xe2\x82\xac", 51, 51},
        CutCase{k48.substr(1) + "\xf0\x9f\x98\x80", 50, 47},
        CutCase{k48.substr(1) + "\xf0\x9f\x98\x80"
                                "d",
                51, 51},
        CutCase{"", 0, 0}, CutCase{"abc", 0, 0}, CutCase{"\xc3\xa9", 1, 0},
        CutCase{"\xc3\xa9", 2, 2}, CutCase{"\xc3\xa9", 100, 2}));

// Every cut of a mixed text against the definition: the longest prefix within
// the bound that is valid UTF-8.
TEST(PrefixAtCharBoundary, AgreesWithTheLongestValidPrefix) {
  const std::string text =
      "a\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80"
      "b\xf0\x9f\x98\x80\xc3\xa9";
  for (size_t max = 0; max <= text.size() + 1; ++max) {
    size_t expected = std::min(max, text.size());
    while (!IsUtf8(std::string_view(text).substr(0, expected))) --expected;
    EXPECT_EQ(PrefixAtCharBoundary(text, max).size(), expected) << max;
  }
}

}  // namespace
}  // namespace tolvane

#include <string>

#include "fs/io/quote_path.h"
#include "gtest/gtest.h"

namespace tolvane::io {
namespace {

struct QuoteCase {
  std::string path;
  std::string quoted;  // without the surrounding double quotes
};

class Quote : public ::testing::TestWithParam<QuoteCase> {};

TEST_P(Quote, MatchesDebugQuoting) {
  EXPECT_EQ(QuotePath(GetParam().path), "\"" + GetParam().quoted + "\"");
}

INSTANTIATE_TEST_SUITE_P(
    Escapes, Quote,
    ::testing::Values(
        // Plain text stands unchanged.
        QuoteCase{"", ""},
        QuoteCase{"/tmp/a b/.tmpAbC123", "/tmp/a b/.tmpAbC123"},
        QuoteCase{"caf\xC3\xA9", "caf\xC3\xA9"},
        QuoteCase{"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},
        QuoteCase{"\xE4\xB8\xAD", "\xE4\xB8\xAD"},
        // Backslash escapes.
        QuoteCase{"a\tb\rc\nd", R"(a\tb\rc\nd)"},
        QuoteCase{std::string("a\0b", 3), R"(a\0b)"},
        QuoteCase{R"(a\b"c'd)", R"(a\\b\"c\'d)"},
        // Not printable: controls, separators other than the blank, format,
        // private use.
        QuoteCase{"\x01\x1F\x7F", R"(\u{1}\u{1f}\u{7f})"},
        QuoteCase{"\xC2\x85", R"(\u{85})"}, QuoteCase{"\xC2\xA0", R"(\u{a0})"},
        QuoteCase{"\xC2\xAD", R"(\u{ad})"},
        QuoteCase{"\xE2\x80\x8B", R"(\u{200b})"},
        QuoteCase{"\xE2\x80\xA8", R"(\u{2028})"},
        QuoteCase{"\xE3\x80\x80", R"(\u{3000})"},
        QuoteCase{"\xEF\xBB\xBF", R"(\u{feff})"},
        QuoteCase{"\xEE\x80\x80", R"(\u{e000})"},
        QuoteCase{"\xEF\xBF\xBE", R"(\u{fffe})"},
        QuoteCase{"\xF3\xA0\x80\x81", R"(\u{e0001})"},
        QuoteCase{"\xF4\x8F\xBF\xBF", R"(\u{10ffff})"},
        // Grapheme_Extend.
        QuoteCase{"e\xCC\x81", R"(e\u{301})"},
        QuoteCase{"\xE2\x80\x8C", R"(\u{200c})"},
        QuoteCase{"\xEF\xB8\x8F", R"(\u{fe0f})"},
        QuoteCase{"\xD7\x91\xD6\xBC", R"(ב\u{5bc})"},
        QuoteCase{"\xF3\xA0\x84\x80", R"(\u{e0100})"},
        // Bytes that aren't UTF-8.
        QuoteCase{"a\xFF"
                  "b",
                  R"(a\xFFb)"},
        QuoteCase{"\xE2\x82", R"(\xE2\x82)"},
        QuoteCase{"\xE2\x82"
                  "A",
                  R"(\xE2\x82A)"},
        QuoteCase{"\xC0\xAF", R"(\xC0\xAF)"},
        QuoteCase{"\xED\xA0\x80", R"(\xED\xA0\x80)"},
        QuoteCase{"\xF0\x9F\x98", R"(\xF0\x9F\x98)"},
        QuoteCase{"\xF0\x9F\x98\t", R"(\xF0\x9F\x98\t)"}));

}  // namespace
}  // namespace tolvane::io

// The glob compiler: syntax and parse-error tables (globset's own test cases
// where it has them), the regex each shape of `**` and braces translates to,
// the literal shapes, a differential test against a small backtracking matcher
// written from the syntax table, the fast shapes against the RE2 road, paths
// that are not UTF-8, and adversarial patterns that must end in a clean error
// or a correct answer.
#include "fs/glob/glob.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <iterator>
#include <ostream>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "fs/glob/glob_syntax.h"
#include "test_util.h"

namespace tolvane {
namespace {

using namespace std::string_view_literals;

using testing::Escaped;

GlobMatcher MustCompile(std::string_view pattern) {
  Result<GlobMatcher> matcher = GlobMatcher::Compile(pattern);
  EXPECT_TRUE(matcher.has_value()) << matcher.error().payload();
  return *std::move(matcher);
}

GlobMatcher MustCompileGeneral(std::string_view pattern) {
  Result<GlobMatcher> matcher = GlobMatcher::CompileGeneral(pattern);
  EXPECT_TRUE(matcher.has_value()) << matcher.error().payload();
  return *std::move(matcher);
}

// ---------------------------------------------------------------------------------------------
// Matching: each case through both roads.

struct MatchCase {
  std::string_view pattern;
  std::string_view path;
  bool matches;
};

void PrintTo(const MatchCase& c, std::ostream* os) {
  *os << "'" << Escaped(c.pattern) << "' "
      << (c.matches ? "matches" : "rejects") << " '" << Escaped(c.path) << "'";
}

class GlobMatchTest : public ::testing::TestWithParam<MatchCase> {};

TEST_P(GlobMatchTest, BothRoadsAgreeWithTheTable) {
  const MatchCase& c = GetParam();
  EXPECT_EQ(MustCompile(c.pattern).Matches(c.path), c.matches);
  EXPECT_EQ(MustCompileGeneral(c.pattern).Matches(c.path), c.matches);
}

// globset's own match tests with its default options.
constexpr MatchCase kGlobsetCases[] = {
    {"a", "a", true},
    {"a*b", "a_b", true},
    {"a*b*c", "abc", true},
    {"a*b*c", "a_b_c", true},
    {"a*b*c", "a___b___c", true},
    {"abc*abc*abc", "abcabcabcabcabcabcabc", true},
    {"a*a*a*a*a*a*a*a*a", "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", true},
    {"a*b[xyz]c*d", "abxcdbxcddd", true},
    {"*.rs", ".rs", true},
    {"\xe2\x98\x83", "\xe2\x98\x83", true},
    {"some/**/needle.txt", "some/needle.txt", true},
    {"some/**/needle.txt", "some/one/needle.txt", true},
    {"some/**/needle.txt", "some/one/two/needle.txt", true},
    {"some/**/needle.txt", "some/other/needle.txt", true},
    {"**", "abcde", true},
    {"**", "", true},
    {"**", ".asdf", true},
    {"**", "/x/.asdf", true},
    {"some/**/**/needle.txt", "some/needle.txt", true},
    {"some/**/**/needle.txt", "some/one/needle.txt", true},
    {"some/**/**/needle.txt", "some/one/two/needle.txt", true},
    {"some/**/**/needle.txt", "some/other/needle.txt", true},
    {"**/test", "one/two/test", true},
    {"**/test", "one/test", true},
    {"**/test", "test", true},
    {"/**/test", "/one/two/test", true},
    {"/**/test", "/one/test", true},
    {"/**/test", "/test", true},
    {"**/.*", ".abc", true},
    {"**/.*", "abc/.abc", true},
    {"**/foo/bar", "foo/bar", true},
    {".*/**", ".abc/abc", true},
    {"test/**", "test/", true},
    {"test/**", "test/one", true},
    {"test/**", "test/one/two", true},
    {"some/*/needle.txt", "some/one/needle.txt", true},
    {"a[0-9]b", "a0b", true},
    {"a[0-9]b", "a9b", true},
    {"a[!0-9]b", "a_b", true},
    {"[a-z123]", "1", true},
    {"[1a-z23]", "1", true},
    {"[123a-z]", "1", true},
    {"[abc-]", "-", true},
    {"[-abc]", "-", true},
    {"[-a-c]", "b", true},
    {"[a-c-]", "b", true},
    {"[-]", "-", true},
    {"a[^0-9]b", "a_b", true},
    {"*hello.txt", "hello.txt", true},
    {"*hello.txt", "gareth_says_hello.txt", true},
    {"*hello.txt", "some/path/to/hello.txt", true},
    {"*hello.txt", "some\\path\\to\\hello.txt", true},
    {"*hello.txt", "/an/absolute/path/to/hello.txt", true},
    {"*some/path/to/hello.txt", "some/path/to/hello.txt", true},
    {"*some/path/to/hello.txt", "a/bigger/some/path/to/hello.txt", true},
    {"_[[]_[]]_[?]_[*]_!_", "_[_]_?_*_!_", true},
    {"a,b", "a,b", true},
    {",", ",", true},
    {"{a,b}", "a", true},
    {"{a,b}", "b", true},
    {"{**/src/**,foo}", "abc/src/bar", true},
    {"{**/src/**,foo}", "foo", true},
    {"{[}],foo}", "}", true},
    {"{foo}", "foo", true},
    {"{}", "", true},
    {"{,}", "", true},
    {"{*.foo,*.bar,*.wat}", "test.foo", true},
    {"{*.foo,*.bar,*.wat}", "test.bar", true},
    {"{*.foo,*.bar,*.wat}", "test.wat", true},
    {"foo{,.txt}", "foo.txt", true},
    {"foo{,.txt}", "foo", false},
    {"{a,b{c,d}}", "bc", true},
    {"{a,b{c,d}}", "bd", true},
    {"{a,b{c,d}}", "a", true},
    {"\\[", "[", true},
    {"\\?", "?", true},
    {"\\*", "*", true},
    {"\\a", "a", true},
    {"a*b*c", "abcd", false},
    {"abc*abc*abc", "abcabcabcabcabcabcabca", false},
    {"some/**/needle.txt", "some/other/notthis.txt", false},
    {"some/**/**/needle.txt", "some/other/notthis.txt", false},
    {"/**/test", "test", false},
    {"/**/test", "/one/notthis", false},
    {"/**/test", "/notthis", false},
    {"**/.*", "ab.c", false},
    {"**/.*", "abc/ab.c", false},
    {".*/**", "a.bc", false},
    {".*/**", "abc/a.bc", false},
    {"a[0-9]b", "a_b", false},
    {"a[!0-9]b", "a0b", false},
    {"a[!0-9]b", "a9b", false},
    {"[!-]", "-", false},
    {"*hello.txt", "hello.txt-and-then-some", false},
    {"*hello.txt", "goodbye.txt", false},
    {"*some/path/to/hello.txt", "some/path/to/hello.txt-and-then-some", false},
    {"*some/path/to/hello.txt", "some/other/path/to/hello.txt", false},
    {"a", "foo/a", false},
    {"./foo", "foo", false},
    {"**/foo", "foofoo", false},
    {"**/foo/bar", "foofoo/bar", false},
    {"/*.c", "mozilla-sha1/sha1.c", false},
    {"a[^0-9]b", "a0b", false},
    {"a[^0-9]b", "a9b", false},
    {"[^-]", "-", false},
    {"some/*/needle.txt", "some/needle.txt", false},
    {".*/**", ".abc", false},
    {"foo/**", "foo", false},
};
INSTANTIATE_TEST_SUITE_P(Globset, GlobMatchTest,
                         ::testing::ValuesIn(kGlobsetCases));

// The system's own examples and the options table.
constexpr MatchCase kOptionCases[] = {
    {"*.py", "src/a.py", true},
    {"*.py", "a.py", true},
    {"src/*.py", "src/a.py", true},
    {"src/*.py", "src/sub/b.py", true},
    {"*.PY", "a.py", false},
    {"*.py", "a.PY", false},
    {"src/*", "./src/a", false},
    {"./src/*", "src/a", false},
    {"?", "/", true},
    {"a?b", "a/b", true},
    {"*", "", true},
    {"*", "a/b/c", true},
    {"?", "", false},
    {"a\\*b", "a*b", true},
    {"a\\*b", "axb", false},
    {"\\\\", "\\", true},
    {"\\{a,b\\}", "{a,b}", true},
    {"\\{a,b\\}", "a", false},
    {"[!a]", "/", true},
    {"[^a]", "\n", true},
    {"[/]", "/", true},
    {"[\\]", "\\", true},
};
INSTANTIATE_TEST_SUITE_P(Options, GlobMatchTest,
                         ::testing::ValuesIn(kOptionCases));

// Where the syntax table is silent, globset's parser decides.
constexpr MatchCase kLooseSyntaxCases[] = {
    // `**` that is not a whole component is two `*`.
    {"a**", "a/b/c", true},
    {"**a", "x/ya", true},
    {"a**b", "a/x/b", true},
    {"a/**b", "a/b", true},
    {"a/**b", "a/x/yb", true},
    {"a**/b", "ax/y/b", true},
    {"***", "", true},
    {"[a]**", "a/b", true},
    // A trailing `/**` needs the "/": the directory itself doesn't match.
    {"a/**", "a", false},
    {"a/**", "a/", true},
    {"**/", "", true},
    {"**/", "a/b", true},
    {"**/**", "x", true},
    {"**/**/*", "", true},
    {"**/b", "/b", true},
    {"*/**", "/", true},
    {"*/**", "a", false},
    {"a/**/**", "a/x", true},
    {"a/**/**/b", "a/b", true},
    // `**` inside alternatives is recursive at the alternative's edges.
    {"{a/**,b}", "a/x/y", true},
    {"{a/**,b}", "a", false},
    {"{**/x,y}", "p/q/x", true},
    {"{**}", "a/b", true},
    {"x{a,**}", "x/y", true},
    // globset folds an escaped "{" or "," just before `**` in an alternative
    // into the recursive
    // token, as if it were the "/".
    {"{a,\\{**}", "/x", true},
    {"{a,\\{**}", "{x", false},
    // Classes: "]" first is literal, "-" first or last is literal, a range
    // extends a range.
    {"[]]", "]", true},
    {"[!]]", "]", false},
    {"[!]]", "x", true},
    {"[]a]", "a", true},
    {"[]-a]", "^", true},
    {"[a-]", "-", true},
    {"[!a-]", "-", false},
    {"[a-b-c]", "c", true},
    {"[a-b-c]", "-", false},
    {"[--0]", "/", true},
    {"[!!]", "!", false},
    {"[!!]", "a", true},
    {"[^!]", "!", false},
    {"[*?{}]", "{", true},
    {"[\\-z]", "\\", true},
    {"[\\-z]", "-", false},
    // Empty alternatives vanish; a group of only empty alternatives matches
    // nothing extra.
    {"a{,}b", "ab", true},
    {"a{,{}}b", "ab", true},
    {"{,a}", "a", true},
    {"{,a}", "", false},
    {"{a,,b}", "b", true},
    {"{{a,b},{c,d}}", "d", true},
    {"{a,{b,{c,{d}}}}", "d", true},
    {"{a,{b,{c,{d}}}}", "e", false},
    {"{a{b,c}d,e}", "acd", true},
    {"{a{b,c}d,e}", "ad", false},
    // A comma outside braces, and braces inside a class, are plain characters.
    {"a,{b,c}", "a,c", true},
    {"[{]x[}]", "{x}", true},
};
INSTANTIATE_TEST_SUITE_P(LooseSyntax, GlobMatchTest,
                         ::testing::ValuesIn(kLooseSyntaxCases));

// Patterns are UTF-8 text and `?` is one character of it, "/" and "\n"
// included.
constexpr MatchCase kCharacterCases[] = {
    {"?", "\xc3\xa9", true},
    {"??", "\xc3\xa9", false},
    {"?", "\xf0\x9f\x98\x80", true},
    {"[\xc3\xa9]", "\xc3\xa9", true},
    {"[!\xc3\xa9]", "e", true},
    {"[a-\xc3\xbf]", "\xc3\xa9", true},
    {"[a-\xc3\xbf]", "\xc4\x80", false},
    {"*\xc3\xa9", "caf\xc3\xa9", true},
    {"*e", "caf\xc3\xa9", false},
    {"a?b", "a\nb", true},
    {"*", "a\nb", true},
    {"a*", "a\n", true},
    {"a", std::string_view("a\0", 2), false},
    {std::string_view("a\0", 2), std::string_view("a\0", 2), true},
    {std::string_view("[\0]", 3), std::string_view("\0", 1), true},
};
INSTANTIATE_TEST_SUITE_P(Characters, GlobMatchTest,
                         ::testing::ValuesIn(kCharacterCases));

// A path that is not UTF-8 is matched in its lossy form, one U+FFFD per
// ill-formed sequence.
constexpr MatchCase kInvalidPathCases[] = {
    {"*", "\xff", true},
    {"?", "\xff", true},
    {"??", "\xff", false},
    {"?", "\xc3", true},
    {"???", "\xed\xa0\x80", true},
    {"a*", "a\xff", true},
    {"*.py", "\xff.py", true},
    {"*.py", "\xff.p\xff", false},
    {"a", "a\xff", false},
    {"[!a]", "\x80", true},
    {"[a]", "\x80", false},
    {"\xef\xbf\xbd", "\xff", true},
    {"\xef\xbf\xbd", "\xef\xbf\xbd", true},
    {"*\xef\xbf\xbd", "a\xfe", true},
    {"**/x\xef\xbf\xbd", "d/x\xc3", true},
    {"a?c",
     "a\xe2\x82"
     "c",
     true},
    {"{a,b}?", "b\xf5", true},
    {"**/\xc3\xa9", "x/\xc3\xa9", true},
};
INSTANTIATE_TEST_SUITE_P(InvalidPaths, GlobMatchTest,
                         ::testing::ValuesIn(kInvalidPathCases));

// ---------------------------------------------------------------------------------------------
// Parse errors.

struct ErrorCase {
  std::string_view pattern;
  std::string_view display;
};

void PrintTo(const ErrorCase& c, std::ostream* os) {
  *os << "'" << Escaped(c.pattern) << "'";
}

class GlobErrorTest : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(GlobErrorTest, ReportsTheReasonWithThePattern) {
  const ErrorCase& c = GetParam();
  for (auto compile : {&GlobMatcher::Compile, &GlobMatcher::CompileGeneral}) {
    Result<GlobMatcher> matcher = compile(c.pattern);
    ASSERT_FALSE(matcher.has_value());
    EXPECT_EQ(matcher.error().kind(), FsError::Kind::kGlob);
    EXPECT_EQ(matcher.error().payload(), c.display);
  }
}

constexpr ErrorCase kErrorCases[] = {
    {"[", "error parsing glob '[': unclosed character class; missing ']'"},
    {"[]", "error parsing glob '[]': unclosed character class; missing ']'"},
    {"[!", "error parsing glob '[!': unclosed character class; missing ']'"},
    {"[!]", "error parsing glob '[!]': unclosed character class; missing ']'"},
    {"[^]", "error parsing glob '[^]': unclosed character class; missing ']'"},
    {"a[bc",
     "error parsing glob 'a[bc': unclosed character class; missing ']'"},
    {"[a-", "error parsing glob '[a-': unclosed character class; missing ']'"},
    {"[z-a]", "error parsing glob '[z-a]': invalid range; 'z' > 'a'"},
    {"[z--]", "error parsing glob '[z--]': invalid range; 'z' > '-'"},
    {"[a-z-0]", "error parsing glob '[a-z-0]': invalid range; 'a' > '0'"},
    {"[\xc3\xa9-a]",
     "error parsing glob '[\xc3\xa9-a]': invalid range; '\xc3\xa9' > 'a'"},
    {"[z-a", "error parsing glob '[z-a': invalid range; 'z' > 'a'"},
    {"{a,b",
     "error parsing glob '{a,b': unclosed alternate group; missing '}' (maybe "
     "escape '{' "
     "with '[{]'?)"},
    {"a{b",
     "error parsing glob 'a{b': unclosed alternate group; missing '}' (maybe "
     "escape '{' "
     "with '[{]'?)"},
    {"{a,{b,c}",
     "error parsing glob '{a,{b,c}': unclosed alternate group; missing '}' "
     "(maybe "
     "escape '{' with '[{]'?)"},
    {"{",
     "error parsing glob '{': unclosed alternate group; missing '}' (maybe "
     "escape '{' with "
     "'[{]'?)"},
    {"a,b}",
     "error parsing glob 'a,b}': unopened alternate group; missing '{' (maybe "
     "escape '}' "
     "with '[}]'?)"},
    {"{a,b}}",
     "error parsing glob '{a,b}}': unopened alternate group; missing '{' "
     "(maybe escape "
     "'}' with '[}]'?)"},
    {"}",
     "error parsing glob '}': unopened alternate group; missing '{' (maybe "
     "escape '}' with "
     "'[}]'?)"},
    {"\\", "error parsing glob '\\': dangling '\\'"},
    {"a\\", "error parsing glob 'a\\': dangling '\\'"},
    {"{a,\\", "error parsing glob '{a,\\': dangling '\\'"},
    // The first fault met while reading wins; an open group is noticed only at
    // the end.
    {"}{",
     "error parsing glob '}{': unopened alternate group; missing '{' (maybe "
     "escape '}' with "
     "'[}]'?)"},
    {"{[", "error parsing glob '{[': unclosed character class; missing ']'"},
    {"[z-a]\\", "error parsing glob '[z-a]\\': invalid range; 'z' > 'a'"},
    {"{\\", "error parsing glob '{\\': dangling '\\'"},
    // Not UTF-8: RE2's text, the pattern shown lossily.
    {"a\xff", "error parsing glob 'a\xef\xbf\xbd': invalid UTF-8"},
};
INSTANTIATE_TEST_SUITE_P(Table, GlobErrorTest,
                         ::testing::ValuesIn(kErrorCases));

// ---------------------------------------------------------------------------------------------
// The translation: globset's regex for each `**` position and brace form, in
// RE2's spelling.

struct RegexCase {
  std::string_view pattern;
  std::string_view regex;
};

void PrintTo(const RegexCase& c, std::ostream* os) {
  *os << "'" << Escaped(c.pattern) << "'";
}

class GlobRegexTest : public ::testing::TestWithParam<RegexCase> {};

TEST_P(GlobRegexTest, TranslatesLikeGlobset) {
  Result<TranslatedGlob> glob = TranslateGlob(GetParam().pattern);
  ASSERT_TRUE(glob.has_value()) << glob.error().payload();
  EXPECT_EQ(glob->regex, GetParam().regex);
}

constexpr RegexCase kRegexCases[] = {
    {"", ""},
    {"a", "a"},
    {"?", "."},
    {"*", ".*"},
    {"a?", "a."},
    {"*a", ".*a"},
    {"[*]", "[\\x{2a}]"},
    {"+", "\\+"},
    {"\xe2\x98\x83", "\xe2\x98\x83"},
    {"**", ".*"},
    {"**/", ".*"},
    {"**/*", "(?:/?|.*/).*"},
    {"**/**", ".*"},
    {"**/**/*", "(?:/?|.*/).*"},
    {"**/**/**", ".*"},
    {"a/**", "a/.*"},
    {"a/**/**", "a/.*"},
    {"a/**/**/**", "a/.*"},
    {"a/**/b", "a(?:/|/.*/)b"},
    {"a/**/**/b", "a(?:/|/.*/)b"},
    {"**/b", "(?:/?|.*/)b"},
    {"**/**/b", "(?:/?|.*/)b"},
    {"a**", "a.*.*"},
    {"**a", ".*.*a"},
    {"a**b", "a.*.*b"},
    {"***", ".*.*.*"},
    {"/a**", "/a.*.*"},
    {"/**a", "/.*.*a"},
    {"/**", "/.*"},
    {"/**/", "(?:/|/.*/)"},
    {"{a,b}", "(?:a|b)"},
    {"{a,{b,c}}", "(?:a|(?:b|c))"},
    {"{{a,b},{c,d}}", "(?:(?:a|b)|(?:c|d))"},
    {"foo{,.txt}", "foo(?:\\.txt)"},
    {"{}", ""},
    {"{,}", ""},
    {"{,{},{,}}", ""},
    {"{a,,b,}", "(?:a|b)"},
    {"{,{},a}", "(?:a)"},
    {"{**/x,y/**}", "(?:(?:/?|.*/)x|y/.*)"},
    {"{**}", "(?:.*.*)"},
    {"[!a-z0]", "[^\\x{61}-\\x{7a}\\x{30}]"},
    {"[]-]", "[\\x{5d}\\x{2d}]"},
    {"\\{a\\}", "\\{a\\}"},
    {std::string_view("\0\t", 2), "\\x{0}\\x{9}"},
};
INSTANTIATE_TEST_SUITE_P(Table, GlobRegexTest,
                         ::testing::ValuesIn(kRegexCases));

// ---------------------------------------------------------------------------------------------
// The literal shapes.

struct ShapeCase {
  std::string_view pattern;
  GlobShape shape;
  std::string_view literal;
};

void PrintTo(const ShapeCase& c, std::ostream* os) {
  *os << "'" << Escaped(c.pattern) << "'";
}

class GlobShapeTest : public ::testing::TestWithParam<ShapeCase> {};

TEST_P(GlobShapeTest, RecognisesTheShape) {
  Result<TranslatedGlob> glob = TranslateGlob(GetParam().pattern);
  ASSERT_TRUE(glob.has_value()) << glob.error().payload();
  EXPECT_EQ(glob->shape, GetParam().shape);
  EXPECT_EQ(glob->literal, GetParam().literal);
}

constexpr ShapeCase kShapeCases[] = {
    {"src/a.py", GlobShape::kExact, "src/a.py"},
    {"", GlobShape::kExact, ""},
    {"a\\*b", GlobShape::kExact, "a*b"},
    {"*.py", GlobShape::kSuffix, ".py"},
    {"**/*.py", GlobShape::kSuffix, ".py"},
    {"*", GlobShape::kSuffix, ""},
    {"**/*", GlobShape::kSuffix, ""},
    {"**a", GlobShape::kSuffix, "a"},
    {"**/name", GlobShape::kComponentSuffix, "name"},
    {"**/foo/bar", GlobShape::kComponentSuffix, "foo/bar"},
    {"src*", GlobShape::kPrefix, "src"},
    {"src/**", GlobShape::kPrefix, "src/"},
    {"/**", GlobShape::kPrefix, "/"},
    {"a**", GlobShape::kPrefix, "a"},
    {"**", GlobShape::kPrefix, ""},
    {"*test*", GlobShape::kContains, "test"},
    {"*/**", GlobShape::kContains, "/"},
    {"**/*foo/**", GlobShape::kContains, "foo/"},
    {"a?b", GlobShape::kRegex, ""},
    {"[a]", GlobShape::kRegex, ""},
    {"{a}", GlobShape::kRegex, ""},
    {"a*b", GlobShape::kRegex, ""},
    {"a/**/b", GlobShape::kRegex, ""},
    {"**/a*", GlobShape::kRegex, ""},
    {"**/a/**", GlobShape::kRegex, ""},
    {"a*/**", GlobShape::kRegex, ""},
    {"\xef\xbf\xbd", GlobShape::kRegex, ""},
    {"*\xef\xbf\xbd.txt", GlobShape::kRegex, ""},
};
INSTANTIATE_TEST_SUITE_P(Table, GlobShapeTest,
                         ::testing::ValuesIn(kShapeCases));

// ---------------------------------------------------------------------------------------------
// Differential test: generated patterns against a backtracking matcher written
// from the syntax table, on generated paths. Generated `**` appears only as
// whole components, and braces hold only the simple pieces, so the table alone
// defines every answer.

struct Atom;
using Seq = std::vector<Atom>;

struct Atom {
  enum Kind {
    kLit,
    kAny,
    kStar,
    kClass,
    kAnyDirsPrefix,
    kAnyDirsSuffix,
    kAnyDirsMiddle,
    kAlt
  };
  Kind kind = kLit;
  char32_t ch = 0;
  bool negated = false;
  std::vector<std::pair<char32_t, char32_t>> ranges;
  std::vector<Seq> alts;
};

Atom Of(Atom::Kind kind) {
  Atom atom;
  atom.kind = kind;
  return atom;
}

Atom Lit(char32_t ch) {
  Atom atom;
  atom.ch = ch;
  return atom;
}

Atom Class(bool negated, std::vector<std::pair<char32_t, char32_t>> ranges) {
  Atom atom = Of(Atom::kClass);
  atom.negated = negated;
  atom.ranges = std::move(ranges);
  return atom;
}

std::u32string Chars(std::string_view utf8) {
  std::u32string out;
  for (size_t i = 0; i < utf8.size();) {
    unsigned char b = utf8[i];
    int width = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
    char32_t c = width == 1 ? b : b & (0x7F >> width);
    for (int k = 1; k < width; ++k) c = (c << 6) | (utf8[i + k] & 0x3F);
    out += c;
    i += width;
  }
  return out;
}

bool RefMatch(const Seq& seq, size_t a, const std::u32string& s, size_t i);

// Every way `rest` can follow a run of s[i..j) that satisfies `ok(j)`.
template <typename Ok>
bool AnyEnd(const Seq& seq, size_t a, const std::u32string& s, size_t i,
            Ok ok) {
  for (size_t j = i; j <= s.size(); ++j) {
    if (ok(j) && RefMatch(seq, a, s, j)) return true;
  }
  return false;
}

bool RefMatch(const Seq& seq, size_t a, const std::u32string& s, size_t i) {
  if (a == seq.size()) return i == s.size();
  const Atom& atom = seq[a];
  switch (atom.kind) {
    case Atom::kLit:
      return i < s.size() && s[i] == atom.ch && RefMatch(seq, a + 1, s, i + 1);
    case Atom::kAny:
      return i < s.size() && RefMatch(seq, a + 1, s, i + 1);
    case Atom::kStar:
      return AnyEnd(seq, a + 1, s, i, [](size_t) { return true; });
    case Atom::kClass: {
      if (i == s.size()) return false;
      bool in = false;
      for (auto [lo, hi] : atom.ranges) in = in || (s[i] >= lo && s[i] <= hi);
      return in != atom.negated && RefMatch(seq, a + 1, s, i + 1);
    }
    case Atom::kAnyDirsPrefix:  // nothing, or anything that ends in "/"
      return AnyEnd(seq, a + 1, s, i,
                    [&](size_t j) { return j == i || s[j - 1] == '/'; });
    case Atom::kAnyDirsSuffix:  // "/" then anything
      return i < s.size() && s[i] == '/' &&
             AnyEnd(seq, a + 1, s, i + 1, [](size_t) { return true; });
    case Atom::kAnyDirsMiddle:  // "/", or "/" anything "/"
      return i < s.size() && s[i] == '/' &&
             AnyEnd(seq, a + 1, s, i + 1,
                    [&](size_t j) { return j == i + 1 || s[j - 1] == '/'; });
    case Atom::kAlt:
      for (const Seq& alt : atom.alts) {
        Seq joined = alt;
        joined.insert(joined.end(), seq.begin() + a + 1, seq.end());
        if (RefMatch(joined, 0, s, i)) return true;
      }
      return false;
  }
  return false;
}

struct Generated {
  std::string text;
  Seq seq;
};

class PatternGenerator {
 public:
  explicit PatternGenerator(uint32_t seed) : rng_(seed) {}

  Generated Next() {
    Generated g;
    if (Roll(4) == 0) Add(g, "**/", Of(Atom::kAnyDirsPrefix));
    int pieces = Roll(5);
    for (int i = 0; i < pieces; ++i) {
      if (Roll(8) == 0 && !g.text.empty() && g.text.back() != '/') {
        Add(g, "/**/", Of(Atom::kAnyDirsMiddle));
      } else if (Roll(6) == 0) {
        Generated alt = Alternation();
        g.text += alt.text;
        g.seq.insert(g.seq.end(), alt.seq.begin(), alt.seq.end());
      } else {
        Simple(g);
      }
    }
    if (Roll(5) == 0 && (g.text.empty() || g.text.back() != '/')) {
      Add(g, "/**", Of(Atom::kAnyDirsSuffix));
    }
    // A lone "**/" is the lone "**" (the table's "match every path"); the
    // tables test it.
    if (g.text == "**/") Add(g, "a", Lit('a'));
    return g;
  }

  std::string Path() {
    static constexpr std::string_view kPieces[] = {
        "a", "b", "c", ".",        "/",  "/", "*",
        "?", "{", "-", "\xc3\xa9", "\n", ","};
    std::string path;
    int n = Roll(8);
    for (int i = 0; i < n; ++i) path += kPieces[Roll(std::size(kPieces))];
    return path;
  }

 private:
  int Roll(size_t n) { return static_cast<int>(rng_() % n); }

  static void Add(Generated& g, std::string_view text, Atom atom) {
    g.text += text;
    g.seq.push_back(std::move(atom));
  }

  static bool EndsInStar(const Generated& g) {
    return !g.text.empty() && g.text.back() == '*' &&
           (g.text.size() < 2 || g.text[g.text.size() - 2] != '\\');
  }

  void Simple(Generated& g) {
    switch (Roll(12)) {
      case 0:
        Add(g, "a", Lit('a'));
        break;
      case 1:
        Add(g, "b", Lit('b'));
        break;
      case 2:
        Add(g, ".", Lit('.'));
        break;
      case 3:
        Add(g, "/", Lit('/'));
        break;
      case 4:
        Add(g, "?", Of(Atom::kAny));
        break;
      case 5:
        // Two stars in a row would be `**`, whose meaning depends on its
        // neighbours.
        if (EndsInStar(g)) {
          Add(g, "a", Lit('a'));
        } else {
          Add(g, "*", Of(Atom::kStar));
        }
        break;
      case 6:
        Add(g, "[ab]", Class(false, {{'a', 'a'}, {'b', 'b'}}));
        break;
      case 7:
        Add(g, "[!a/]", Class(true, {{'a', 'a'}, {'/', '/'}}));
        break;
      case 8:
        Add(g, "[a-c\xc3\xa9-]",
            Class(false, {{'a', 'c'}, {0xE9, 0xE9}, {'-', '-'}}));
        break;
      case 9:
        Add(g, "\\*", Lit('*'));
        break;
      case 10:
        Add(g, "\xc3\xa9", Lit(0xE9));
        break;
      case 11:
        Add(g, "[{]", Lit('{'));
        break;
    }
  }

  Generated Alternation() {
    Generated g;
    g.text = "{";
    Atom alt = Of(Atom::kAlt);
    int count = 1 + Roll(3);
    for (int i = 0; i < count; ++i) {
      if (i > 0) g.text += ",";
      Generated part;
      int pieces = Roll(3);
      for (int k = 0; k < pieces; ++k) Simple(part);
      g.text += part.text;
      if (!part.seq.empty()) alt.alts.push_back(part.seq);
    }
    g.text += "}";
    if (alt.alts.empty()) return {g.text, {}};
    g.seq.push_back(std::move(alt));
    return g;
  }

  std::mt19937 rng_;
};

TEST(GlobDifferentialTest, GeneratedPatternsMatchTheReference) {
  PatternGenerator gen(20240611);
  std::vector<std::string> paths;
  for (int i = 0; i < 200; ++i) paths.push_back(gen.Path());
  paths.push_back("");
  paths.push_back("a/b");
  for (int p = 0; p < 1500; ++p) {
    Generated g = gen.Next();
    GlobMatcher fast = MustCompile(g.text);
    GlobMatcher general = MustCompileGeneral(g.text);
    for (const std::string& path : paths) {
      const bool expected = RefMatch(g.seq, 0, Chars(path), 0);
      ASSERT_EQ(fast.Matches(path), expected)
          << "pattern '" << Escaped(g.text) << "' path '" << Escaped(path)
          << "'";
      ASSERT_EQ(general.Matches(path), expected)
          << "pattern '" << Escaped(g.text) << "' path '" << Escaped(path)
          << "'";
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Fast shapes against the RE2 road, on patterns built from the shapes' own
// parts and on paths that contain those parts, bad UTF-8 and U+FFFD.

TEST(GlobFastShapeTest, AnswersExactlyAsTheRegexRoad) {
  static constexpr std::string_view kHeads[] = {"",     "*",   "**",    "**/",
                                                "**/*", "***", "**/**/"};
  static constexpr std::string_view kLiterals[] = {
      "",   "a",        ".py", "a/b",          "/",
      "x.", "\xc3\xa9", "\\*", "\xef\xbf\xbd", "a\\{b"};
  static constexpr std::string_view kTails[] = {"",    "*",      "**",
                                                "/**", "/**/**", "*/**"};
  static constexpr std::string_view kPathParts[] = {
      "a", "/",    ".py",          "b",    "x.", "\xc3\xa9", "*",
      "{", "\xff", "\xef\xbf\xbd", "\xc3", "a/b"};
  std::mt19937 rng(7);
  std::vector<std::string> paths = {""};
  for (int i = 0; i < 400; ++i) {
    std::string path;
    for (int n = rng() % 6; n > 0; --n)
      path += kPathParts[rng() % std::size(kPathParts)];
    paths.push_back(path);
  }
  size_t shaped = 0;
  for (std::string_view head : kHeads) {
    for (std::string_view literal : kLiterals) {
      for (std::string_view tail : kTails) {
        std::string pattern =
            std::string(head) + std::string(literal) + std::string(tail);
        GlobMatcher fast = MustCompile(pattern);
        GlobMatcher general = MustCompileGeneral(pattern);
        Result<TranslatedGlob> glob = TranslateGlob(pattern);
        ASSERT_TRUE(glob.has_value());
        if (glob->shape != GlobShape::kRegex) ++shaped;
        for (const std::string& path : paths) {
          ASSERT_EQ(fast.Matches(path), general.Matches(path))
              << "pattern '" << Escaped(pattern) << "' path '" << Escaped(path)
              << "'";
        }
      }
    }
  }
  // Most combinations must actually take a literal shape, or the comparison
  // proves little.
  EXPECT_GT(shaped,
            std::size(kHeads) * std::size(kLiterals) * std::size(kTails) / 2);
}

// ---------------------------------------------------------------------------------------------
// Adversarial patterns: a clean error or a correct answer.

std::string Repeat(std::string_view piece, size_t n) {
  std::string out;
  out.reserve(piece.size() * n);
  for (size_t i = 0; i < n; ++i) out += piece;
  return out;
}

TEST(GlobAdversarialTest, ThousandsOfAlternatives) {
  std::string pattern = "{";
  for (int i = 0; i < 20000; ++i)
    pattern += (i ? ",file" : "file") + std::to_string(i) + ".txt";
  pattern += "}";
  GlobMatcher matcher = MustCompile(pattern);
  EXPECT_TRUE(matcher.Matches("file0.txt"));
  EXPECT_TRUE(matcher.Matches("file19999.txt"));
  EXPECT_FALSE(matcher.Matches("file20000.txt"));
  EXPECT_FALSE(matcher.Matches("file1.txt.bak"));
}

TEST(GlobAdversarialTest, ThousandsOfWildAlternatives) {
  std::string pattern = "**/{";
  for (int i = 0; i < 5000; ++i)
    pattern += (i ? ",*." : "*.") + std::to_string(i) + "?";
  pattern += "}";
  GlobMatcher matcher = MustCompile(pattern);
  EXPECT_TRUE(matcher.Matches("dir/x.4999z"));
  EXPECT_TRUE(matcher.Matches("x.0/"));
  EXPECT_FALSE(matcher.Matches("dir/x.5000z"));
}

TEST(GlobAdversarialTest, RegexTooLargeIsRe2sError) {
  // Some 200000 unrelated 40-letter names: more program than RE2 is given room
  // for.
  std::mt19937 rng(1);
  std::string pattern = "{";
  for (int i = 0; i < 200000; ++i) {
    if (i > 0) pattern += ',';
    for (int k = 0; k < 40; ++k) pattern += static_cast<char>('a' + rng() % 26);
  }
  pattern += "}";
  for (auto compile : {&GlobMatcher::Compile, &GlobMatcher::CompileGeneral}) {
    Result<GlobMatcher> matcher = compile(pattern);
    ASSERT_FALSE(matcher.has_value());
    // Compared whole, but not printed whole.
    EXPECT_TRUE(matcher.error().payload() ==
                "error parsing glob '" + pattern +
                    "': pattern too large - compile failed")
        << matcher.error().payload().substr(pattern.size());
  }
}

TEST(GlobAdversarialTest, DeepBraceNesting) {
  const size_t depth = 20000;
  GlobMatcher nested =
      MustCompile(Repeat("{a,", depth) + "b" + Repeat("}", depth));
  EXPECT_TRUE(nested.Matches("a"));
  EXPECT_TRUE(nested.Matches("b"));
  EXPECT_FALSE(nested.Matches("ab"));

  GlobMatcher empty =
      MustCompile("x" + Repeat("{", depth) + Repeat("}", depth) + "y");
  EXPECT_TRUE(empty.Matches("xy"));

  Result<GlobMatcher> unclosed = GlobMatcher::Compile(Repeat("{", 1000000));
  ASSERT_FALSE(unclosed.has_value());
  EXPECT_TRUE(unclosed.error().payload().ends_with(
      "unclosed alternate group; missing '}' (maybe "
      "escape '{' with '[{]'?)"));
}

struct AdversarialCase {
  std::string name;
  std::string pattern;
  std::string path;
  bool matches;
  std::string_view error;  // empty: the pattern compiles
};

void PrintTo(const AdversarialCase& c, std::ostream* os) { *os << c.name; }

class GlobAdversarialTableTest
    : public ::testing::TestWithParam<AdversarialCase> {};

TEST_P(GlobAdversarialTableTest, CleanErrorOrCorrectAnswer) {
  const AdversarialCase& c = GetParam();
  for (auto compile : {&GlobMatcher::Compile, &GlobMatcher::CompileGeneral}) {
    Result<GlobMatcher> matcher = compile(c.pattern);
    if (c.error.empty()) {
      ASSERT_TRUE(matcher.has_value())
          << matcher.error().payload().substr(0, 200);
      EXPECT_EQ(matcher->Matches(c.path), c.matches);
    } else {
      ASSERT_FALSE(matcher.has_value());
      EXPECT_EQ(matcher.error().payload(), "error parsing glob '" + c.pattern +
                                               "': " + std::string(c.error));
    }
  }
}

const std::string kLong(200000, 'x');

INSTANTIATE_TEST_SUITE_P(
    Table, GlobAdversarialTableTest,
    ::testing::Values(
        AdversarialCase{"OpenBrackets", Repeat("[", 100000), "", false,
                        "unclosed character class; missing ']'"},
        AdversarialCase{"CloseBrackets", Repeat("]", 100000),
                        Repeat("]", 100000), true, ""},
        AdversarialCase{"CloseBraces", Repeat("}", 100000), "", false,
                        "unopened alternate group; missing '{' (maybe escape "
                        "'}' with '[}]'?)"},
        AdversarialCase{"Backslashes", Repeat("\\", 100001), "", false,
                        "dangling '\\'"},
        AdversarialCase{"EscapedBackslashes", Repeat("\\\\", 50000),
                        Repeat("\\", 50000), true, ""},
        AdversarialCase{"LongLiteral", kLong, kLong, true, ""},
        AdversarialCase{"LongLiteralMismatch", kLong, kLong + "y", false, ""},
        AdversarialCase{"ManyStars", Repeat("*", 100000), kLong, true, ""},
        AdversarialCase{"StarsBetweenLetters", Repeat("a*", 1000) + "b",
                        Repeat("a", 4000), false, ""},
        AdversarialCase{"StarsBetweenLettersHit", Repeat("a*", 1000) + "b",
                        Repeat("a", 4000) + "b", true, ""},
        AdversarialCase{"ManyRecursive", Repeat("**/", 50000) + "x", "a/b/x",
                        true, ""},
        AdversarialCase{"ManyMiddleRecursive",
                        "a" + Repeat("/**", 50000) + "/b", "a/q/r/b", true, ""},
        AdversarialCase{"LongClass", "[" + Repeat("a-b", 50000) + "]", "b",
                        true, ""},
        AdversarialCase{"ManyQuestionMarks", Repeat("?", 10000),
                        Repeat("\xc3\xa9", 10000), true, ""},
        AdversarialCase{"ManyEmptyGroups", Repeat("{}", 100000), "", true, ""},
        AdversarialCase{"ManyCommas", "{" + Repeat(",", 100000) + "a}", "a",
                        true, ""}));

// ---------------------------------------------------------------------------------------------
// Copies and threads.

TEST(GlobMatcherTest, CopiesMatchLikeTheOriginalAcrossThreads) {
  const std::vector<std::string> patterns = {"*.py", "src/**/{a,b}?.txt",
                                             "**/name", "a/**"};
  const std::vector<std::string> paths = {
      "x.py", "src/q/a1.txt", "src/b.txt",    "p/name",
      "a/b",  "name",         "src/a1.txt.py"};
  for (const std::string& pattern : patterns) {
    GlobMatcher original = MustCompile(pattern);
    std::vector<bool> expected;
    for (const std::string& path : paths)
      expected.push_back(original.Matches(path));
    std::vector<std::thread> threads;
    std::vector<int> mismatches(8, 0);
    for (int t = 0; t < 8; ++t) {
      threads.emplace_back([&, t, copy = original] {
        for (int round = 0; round < 500; ++round) {
          for (size_t i = 0; i < paths.size(); ++i) {
            if ((t % 2 ? copy : original).Matches(paths[i]) != expected[i])
              ++mismatches[t];
          }
        }
      });
    }
    for (std::thread& thread : threads) thread.join();
    for (int count : mismatches) EXPECT_EQ(count, 0) << pattern;
  }
}

}  // namespace
}  // namespace tolvane

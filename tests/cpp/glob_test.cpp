// The glob compiler: syntax and parse-error tables (globset's own test cases
// where it has them), every position of `**` and form of braces, the literal
// shapes, a differential test against a small backtracking matcher
// written from the syntax table, the fast shapes against the RE2 road, paths
// that are not UTF-8, and adversarial patterns that must end in a clean error
// or a correct answer.
#include "fs/glob/glob.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <iterator>
#include <ostream>
#include <random>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "fs/glob/glob_syntax.h"
#include "test_util.h"

namespace tolvane {
namespace {

using testing::Escaped;

// `pattern` compiled to its literal shape where it has one, or with `general`
// always to its regex.
GlobMatcher MustCompile(std::string_view pattern, bool general = false) {
  Result<GlobMatcher> matcher = general ? GlobMatcher::CompileGeneral(pattern)
                                        : GlobMatcher::Compile(pattern);
  // gtest reports an exception thrown out of a test body as that test's
  // failure.
  if (!matcher) throw std::runtime_error(matcher.error().message());
  return *std::move(matcher);
}

std::string Repeat(std::string_view piece, size_t n) {
  std::string out;
  out.reserve(piece.size() * n);
  for (size_t i = 0; i < n; ++i) out += piece;
  return out;
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
  EXPECT_EQ(MustCompile(c.pattern, true).Matches(c.path), c.matches);
}

// globset's own match tests with its default options.
constexpr MatchCase kGlobsetCases[] = {
    {"a*b*c", "abc", true},
    {"a*a*a*a*a*a*a*a*a", "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", true},
    {"*.rs", ".rs", true},
    {"\xe2\x98\x83", "\xe2\x98\x83", true},
    {"some/**/needle.txt", "some/needle.txt", true},
    {"some/**/needle.txt", "some/one/two/needle.txt", true},
    {"some/**/**/needle.txt", "some/needle.txt", true},
    {"some/**/**/needle.txt", "some/one/needle.txt", true},
    {"**", "", true},
    {"**", "/x/.asdf", true},
    {"**/test", "test", true},
    {"**/test", "one/two/test", true},
    {"/**/test", "/test", true},
    {"/**/test", "/one/two/test", true},
    {"**/.*", "abc/.abc", true},
    {"**/foo/bar", "foo/bar", true},
    {".*/**", ".abc/abc", true},
    {"test/**", "test/", true},
    {"test/**", "test/one/two", true},
    {"some/*/needle.txt", "some/one/needle.txt", true},
    {"[123a-z]", "1", true},
    {"[abc-]", "-", true},
    {"[-a-c]", "b", true},
    {"[-]", "-", true},
    {"*hello.txt", "some/path/to/hello.txt", true},
    {"*some/path/to/hello.txt", "a/bigger/some/path/to/hello.txt", true},
    {"_[[]_[]]_[?]_[*]_!_", "_[_]_?_*_!_", true},
    {"a,b", "a,b", true},
    {"{a,b}", "b", true},
    {"{**/src/**,foo}", "abc/src/bar", true},
    {"{[}],foo}", "}", true},
    {"{}", "", true},
    {"{*.foo,*.bar,*.wat}", "test.wat", true},
    {"foo{,.txt}", "foo.txt", true},
    {"foo{,.txt}", "foo", false},
    {"{a,b{c,d}}", "bd", true},
    {"{a,b{c,d}}", "a", true},
    {"\\[", "[", true},
    {"\\a", "a", true},
    {"a*b*c", "abcd", false},
    {"some/**/needle.txt", "some/other/notthis.txt", false},
    {"/**/test", "test", false},
    {"/**/test", "/notthis", false},
    {"**/.*", "abc/ab.c", false},
    {".*/**", "abc/a.bc", false},
    {".*/**", ".abc", false},
    {"a[0-9]b", "a_b", false},
    {"a[!0-9]b", "a9b", false},
    {"a[^0-9]b", "a0b", false},
    {"[!-]", "-", false},
    {"*hello.txt", "hello.txt-and-then-some", false},
    {"*some/path/to/hello.txt", "some/other/path/to/hello.txt", false},
    {"a", "foo/a", false},
    {"**/foo", "foofoo", false},
    {"**/foo/bar", "foofoo/bar", false},
    {"/*.c", "mozilla-sha1/sha1.c", false},
    {"some/*/needle.txt", "some/needle.txt", false},
    {"foo/**", "foo", false},
};
INSTANTIATE_TEST_SUITE_P(Globset, GlobMatchTest,
                         ::testing::ValuesIn(kGlobsetCases));

// The system's own examples and the options table.
constexpr MatchCase kOptionCases[] = {
    {"*.py", "src/a.py", true},
    {"src/*.py", "src/sub/b.py", true},
    {"*.PY", "a.py", false},
    {"src/*", "./src/a", false},
    {"./src/*", "src/a", false},
    {"a?b", "a/b", true},
    {"*", "", true},
    {"*", "a/b/c", true},
    {"?", "", false},
    {"a\\*b", "a*b", true},
    {"a\\*b", "axb", false},
    {"\\\\", "\\", true},
    {"\\{a,b\\}", "{a,b}", true},
    {"[!a]", "/", true},
    {"[^a]", "\n", true},
    {"[\\]", "\\", true},
};
INSTANTIATE_TEST_SUITE_P(Options, GlobMatchTest,
                         ::testing::ValuesIn(kOptionCases));

// Where the syntax table is silent, globset's parser decides.
constexpr MatchCase kLooseSyntaxCases[] = {
    // `**` that is not a whole component is two `*`.
    {"**a", "x/ya", true},
    {"a**b", "a/x/b", true},
    {"a/**b", "a/x/yb", true},
    {"a**/b", "ax/y/b", true},
    {"***", "", true},
    {"/**a", "/x/ya", true},
    // Repeated `**` components fold into one.
    {"**/", "", true},
    {"**/**", "x", true},
    {"**/**/*", "", true},
    {"**/**/b", "b", true},
    {"a/**/**", "a/x", true},
    {"a/**/**/b", "a/b", true},
    {"/**", "", false},
    {"/**/", "/", true},
    {"**/b", "/b", true},
    {"*/**", "/", true},
    {"*/**", "a", false},
    // `**` inside alternatives is recursive at the alternative's edges.
    {"{a/**,b}", "a/x/y", true},
    {"{a/**,b}", "a", false},
    {"{**/x,y}", "p/q/x", true},
    {"{**}", "a/b", true},
    {"x{a,**}", "x/y", true},
    // globset folds an escaped "{" or "," just before `**` in an alternative
    // into the recursive token, as if it were the "/".
    {"{a,\\{**}", "/x", true},
    {"{a,\\{**}", "{x", false},
    // Classes: "]" first is literal, "-" first or last is literal, a range
    // extends a range.
    {"[]]", "]", true},
    {"[!]]", "]", false},
    {"[]-a]", "^", true},
    {"[]-]", "-", true},
    {"[a-b-c]", "c", true},
    {"[a-b-c]", "-", false},
    {"[--0]", "/", true},
    {"[!!]", "!", false},
    {"[*?{}]", "{", true},
    {"[\\-z]", "-", false},
    // Empty alternatives vanish; a group of only empty alternatives matches
    // nothing extra.
    {"a{,{}}b", "ab", true},
    {"{,a}", "", false},
    {"{,{},a}", "", false},
    {"{a,,b}", "b", true},
    {"{a,,b,}", "", false},
    {"{a,{b,{c,{d}}}}", "d", true},
    {"{a{b,c}d,e}", "acd", true},
    {"{a{b,c}d,e}", "ad", false},
    // A comma outside braces, braces inside a class and regex syntax are plain
    // characters.
    {"a,{b,c}", "a,c", true},
    {"+(.)|^$", "+(.)|^$", true},
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
    {"[!\xc3\xa9]", "e", true},
    {"[a-\xc3\xbf]", "\xc3\xa9", true},
    {"[a-\xc3\xbf]", "\xc4\x80", false},
    {"*\xc3\xa9", "caf\xc3\xa9", true},
    {"a?b", "a\nb", true},
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
    {"?", "\xff", true},
    {"??", "\xff", false},
    {"?", "\xc3", true},
    {"???", "\xed\xa0\x80", true},
    {"a*", "a\xff", true},
    {"*.py", "\xff.py", true},
    {"*.py", "\xff.p\xff", false},
    {"a", "a\xff", false},
    {"[!a]", "\x80", true},
    {"\xef\xbf\xbd", "\xff", true},
    {"*\xef\xbf\xbd", "a\xfe", true},
    {"**/x\xef\xbf\xbd", "d/x\xc3", true},
    {"a?c",
     "a\xe2\x82"
     "c",
     true},
};
INSTANTIATE_TEST_SUITE_P(InvalidPaths, GlobMatchTest,
                         ::testing::ValuesIn(kInvalidPathCases));

// ---------------------------------------------------------------------------------------------
// Parse errors: "error parsing glob '<pattern>': <reason>" from both roads.

constexpr std::string_view kUnclosedClass =
    "unclosed character class; missing ']'";
constexpr std::string_view kUnclosedGroup =
    "unclosed alternate group; missing '}' (maybe escape '{' with '[{]'?)";
constexpr std::string_view kUnopenedGroup =
    "unopened alternate group; missing '{' (maybe escape '}' with '[}]'?)";
constexpr std::string_view kDangling = "dangling '\\'";

struct ErrorCase {
  std::string pattern;
  std::string_view reason;
  // The pattern as the message shows it, when not as written.
  std::string_view shown = {};
};

void PrintTo(const ErrorCase& c, std::ostream* os) {
  *os << "'" << Escaped(c.pattern.substr(0, 40)) << "'";
}

class GlobErrorTest : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(GlobErrorTest, ReportsTheReasonWithThePattern) {
  const ErrorCase& c = GetParam();
  const std::string expected =
      "error parsing glob '" +
      (c.shown.empty() ? c.pattern : std::string(c.shown)) +
      "': " + std::string(c.reason);
  for (auto compile : {&GlobMatcher::Compile, &GlobMatcher::CompileGeneral}) {
    Result<GlobMatcher> matcher = compile(c.pattern);
    ASSERT_FALSE(matcher.has_value());
    EXPECT_EQ(matcher.error().kind(), FsError::Kind::kGlob);
    // Compared whole, but not printed whole.
    EXPECT_TRUE(matcher.error().payload() == expected)
        << Escaped(matcher.error().payload().substr(0, 200));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, GlobErrorTest,
    ::testing::Values(
        ErrorCase{"[", kUnclosedClass}, ErrorCase{"[]", kUnclosedClass},
        ErrorCase{"[!", kUnclosedClass}, ErrorCase{"[!]", kUnclosedClass},
        ErrorCase{"[^]", kUnclosedClass}, ErrorCase{"a[bc", kUnclosedClass},
        ErrorCase{"[a-", kUnclosedClass},
        ErrorCase{"[z-a]", "invalid range; 'z' > 'a'"},
        ErrorCase{"[z--]", "invalid range; 'z' > '-'"},
        ErrorCase{"[a-z-0]", "invalid range; 'a' > '0'"},
        ErrorCase{"[\xc3\xa9-a]", "invalid range; '\xc3\xa9' > 'a'"},
        ErrorCase{"{a,b", kUnclosedGroup}, ErrorCase{"a{b", kUnclosedGroup},
        ErrorCase{"{a,{b,c}", kUnclosedGroup}, ErrorCase{"{", kUnclosedGroup},
        ErrorCase{"a,b}", kUnopenedGroup}, ErrorCase{"{a,b}}", kUnopenedGroup},
        ErrorCase{"}", kUnopenedGroup}, ErrorCase{"\\", kDangling},
        ErrorCase{"a\\", kDangling}, ErrorCase{"{a,\\", kDangling},
        // The first fault met while reading wins; an open group is noticed
        // only at the end.
        ErrorCase{"}{", kUnopenedGroup}, ErrorCase{"{[", kUnclosedClass},
        ErrorCase{"[z-a", "invalid range; 'z' > 'a'"},
        ErrorCase{"[z-a]\\", "invalid range; 'z' > 'a'"},
        ErrorCase{"{\\", kDangling},
        // Not UTF-8: RE2's text, the pattern shown lossily.
        ErrorCase{"a\xff", "invalid UTF-8", "a\xef\xbf\xbd"},
        // Adversarial lengths end in the same clean errors.
        ErrorCase{Repeat("[", 100000), kUnclosedClass},
        ErrorCase{Repeat("}", 100000), kUnopenedGroup},
        ErrorCase{Repeat("\\", 100001), kDangling},
        ErrorCase{Repeat("{", 1000000), kUnclosedGroup}));

TEST(GlobLimitTest, RegexTooLargeIsRe2sError) {
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
    EXPECT_TRUE(matcher.error().payload() ==
                "error parsing glob '" + pattern +
                    "': pattern too large - compile failed")
        << matcher.error().payload().substr(pattern.size());
  }
}

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

using enum GlobShape;

constexpr ShapeCase kShapeCases[] = {
    {"src/a.py", kExact, "src/a.py"},
    {"a\\*b", kExact, "a*b"},
    {"**/*.py", kSuffix, ".py"},
    {"**a", kSuffix, "a"},
    {"**/foo/bar", kComponentSuffix, "foo/bar"},
    {"src/**", kPrefix, "src/"},
    {"**", kPrefix, ""},
    {"*test*", kContains, "test"},
    {"**/*foo/**", kContains, "foo/"},
    {"a?b", kRegex, ""},
    {"a/**/b", kRegex, ""},
    {"**/a*", kRegex, ""},
    {"a*/**", kRegex, ""},
    {"*\xef\xbf\xbd.txt", kRegex, ""},
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
  std::vector<std::pair<char32_t, char32_t>> ranges = {};
  std::vector<Seq> alts = {};
};

Atom Of(Atom::Kind kind) { return Atom{.kind = kind}; }
Atom Lit(char32_t ch) { return Atom{.ch = ch}; }
Atom Class(bool negated, std::vector<std::pair<char32_t, char32_t>> ranges) {
  return Atom{
      .kind = Atom::kClass, .negated = negated, .ranges = std::move(ranges)};
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
    static const std::pair<std::string_view, Atom> kPieces[] = {
        {"a", Lit('a')},
        {"b", Lit('b')},
        {".", Lit('.')},
        {"/", Lit('/')},
        {"?", Of(Atom::kAny)},
        {"*", Of(Atom::kStar)},
        {"[ab]", Class(false, {{'a', 'a'}, {'b', 'b'}})},
        {"[!a/]", Class(true, {{'a', 'a'}, {'/', '/'}})},
        {"[a-c\xc3\xa9-]",
         Class(false, {{'a', 'c'}, {0xE9, 0xE9}, {'-', '-'}})},
        {"\\*", Lit('*')},
        {"\xc3\xa9", Lit(0xE9)},
        {"[{]", Lit('{')},
    };
    const auto& [text, atom] = kPieces[Roll(std::size(kPieces))];
    // Two stars in a row would be `**`, whose meaning depends on its
    // neighbours.
    if (text == "*" && EndsInStar(g)) return Add(g, "a", Lit('a'));
    Add(g, text, atom);
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
    GlobMatcher general = MustCompile(g.text, true);
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
        GlobMatcher general = MustCompile(pattern, true);
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
// Adversarial patterns that compile: a correct answer from both roads.

// "{<head>0<tail>,<head>1<tail>,...}" with `n` alternatives.
std::string Numbered(std::string_view head, std::string_view tail, int n) {
  std::string pattern = "{";
  for (int i = 0; i < n; ++i) {
    if (i > 0) pattern += ',';
    pattern += std::string(head) + std::to_string(i) + std::string(tail);
  }
  return pattern + "}";
}

struct AdversarialCase {
  std::string name;
  std::string pattern;
  std::vector<std::pair<std::string, bool>> paths;  // path, matches
};

void PrintTo(const AdversarialCase& c, std::ostream* os) { *os << c.name; }

class GlobAdversarialTest : public ::testing::TestWithParam<AdversarialCase> {};

TEST_P(GlobAdversarialTest, CorrectAnswer) {
  const AdversarialCase& c = GetParam();
  for (auto compile : {&GlobMatcher::Compile, &GlobMatcher::CompileGeneral}) {
    Result<GlobMatcher> matcher = compile(c.pattern);
    ASSERT_TRUE(matcher.has_value())
        << matcher.error().payload().substr(0, 200);
    for (const auto& [path, matches] : c.paths)
      EXPECT_EQ(matcher->Matches(path), matches) << Escaped(path.substr(0, 40));
  }
}

const std::string kLong(200000, 'x');

INSTANTIATE_TEST_SUITE_P(
    Table, GlobAdversarialTest,
    ::testing::Values(
        AdversarialCase{"CloseBrackets",
                        Repeat("]", 100000),
                        {{Repeat("]", 100000), true}}},
        AdversarialCase{"EscapedBackslashes",
                        Repeat("\\\\", 50000),
                        {{Repeat("\\", 50000), true}}},
        AdversarialCase{
            "LongLiteral", kLong, {{kLong, true}, {kLong + "y", false}}},
        AdversarialCase{"ManyStars", Repeat("*", 100000), {{kLong, true}}},
        AdversarialCase{
            "StarsBetweenLetters",
            Repeat("a*", 1000) + "b",
            {{Repeat("a", 4000), false}, {Repeat("a", 4000) + "b", true}}},
        AdversarialCase{
            "ManyRecursive", Repeat("**/", 50000) + "x", {{"a/b/x", true}}},
        AdversarialCase{"ManyMiddleRecursive",
                        "a" + Repeat("/**", 50000) + "/b",
                        {{"a/q/r/b", true}}},
        AdversarialCase{
            "LongClass", "[" + Repeat("a-b", 50000) + "]", {{"b", true}}},
        AdversarialCase{"ManyQuestionMarks",
                        Repeat("?", 10000),
                        {{Repeat("\xc3\xa9", 10000), true}}},
        AdversarialCase{"ManyEmptyGroups", Repeat("{}", 100000), {{"", true}}},
        AdversarialCase{
            "ManyCommas", "{" + Repeat(",", 100000) + "a}", {{"a", true}}},
        AdversarialCase{"ThousandsOfAlternatives",
                        Numbered("file", ".txt", 20000),
                        {{"file0.txt", true},
                         {"file19999.txt", true},
                         {"file20000.txt", false},
                         {"file1.txt.bak", false}}},
        AdversarialCase{
            "ThousandsOfWildAlternatives",
            "**/" + Numbered("*.", "?", 5000),
            {{"dir/x.4999z", true}, {"x.0/", true}, {"dir/x.5000z", false}}},
        AdversarialCase{"DeepBraceNesting",
                        Repeat("{a,", 20000) + "b" + Repeat("}", 20000),
                        {{"a", true}, {"b", true}, {"ab", false}}},
        AdversarialCase{"DeepEmptyBraces",
                        "x" + Repeat("{", 20000) + Repeat("}", 20000) + "y",
                        {{"xy", true}}}));

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

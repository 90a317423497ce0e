// Ignore rules as git reads and matches them: the parse of one line, the
// verdict of a file's rules (hand-made tables, then generated cases against
// `git ls-files`), the precedence chain across files, git's config syntax for
// core.excludesFile (against `git config`) and where the global excludes file
// is found.
#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "fs/ignore/git_config.h"
#include "fs/ignore/ignore_chain.h"
#include "fs/ignore/ignore_files.h"
#include "fs/ignore/ignore_rule.h"
#include "fs/ignore/ignore_rules.h"
#include "ignore_test_util.h"

namespace tolvane {
namespace {

using namespace tolvane::testing;
using Shape = IgnoreRule::Shape;

// -----------------------------------------------------------------------------
// One line.

struct LineCase {
  std::string line;
  bool valid;
  bool negated = false;
  bool dir_only = false;
  bool basename = true;
  Shape shape = Shape::kLiteral;
  std::string text{};
};

void PrintTo(const LineCase& c, std::ostream* os) {
  *os << ::testing::PrintToString(c.line);
}

class IgnoreLineTest : public ::testing::TestWithParam<LineCase> {};

TEST_P(IgnoreLineTest, ParsesAsGitDoes) {
  const LineCase& c = GetParam();
  auto rule = IgnoreRule::Parse(c.line);
  ASSERT_EQ(rule.has_value(), c.valid);
  if (!c.valid) return;
  EXPECT_EQ(rule->negated(), c.negated);
  EXPECT_EQ(rule->dir_only(), c.dir_only);
  EXPECT_EQ(rule->basename(), c.basename);
  EXPECT_EQ(rule->shape(), c.shape);
  EXPECT_EQ(rule->text(), c.text);
}

INSTANTIATE_TEST_SUITE_P(
    NoRule, IgnoreLineTest,
    ::testing::Values(LineCase{"", false}, LineCase{"# comment", false},
                      LineCase{"   ", false}, LineCase{"!", false},
                      LineCase{"/", false}, LineCase{"x\\", false},
                      LineCase{"x/\\", false}, LineCase{"[abc", false},
                      LineCase{"[]", false}, LineCase{"[/]", false},
                      LineCase{"a[[:bogus:]]", false},
                      LineCase{"[[:alpha:]", false}, LineCase{"a[b-\\", false},
                      LineCase{std::string("\0x", 2), false}));

INSTANTIATE_TEST_SUITE_P(
    EscapesAndSpaces, IgnoreLineTest,
    ::testing::Values(
        LineCase{"\\#hash", true, false, false, true, Shape::kLiteral, "#hash"},
        LineCase{"\\!bang", true, false, false, true, Shape::kLiteral, "!bang"},
        LineCase{" #x", true, false, false, true, Shape::kLiteral, " #x"},
        LineCase{"a  ", true, false, false, true, Shape::kLiteral, "a"},
        LineCase{"a\\   ", true, false, false, true, Shape::kLiteral, "a "},
        LineCase{"a \\ ", true, false, false, true, Shape::kLiteral, "a  "},
        LineCase{"a\t", true, false, false, true, Shape::kLiteral, "a\t"},
        LineCase{"x\\*", true, false, false, true, Shape::kLiteral, "x*"},
        LineCase{std::string("ab\0cd", 5), true, false, false, true,
                 Shape::kLiteral, "ab"}));

INSTANTIATE_TEST_SUITE_P(
    FlagsAndShapes, IgnoreLineTest,
    ::testing::Values(
        LineCase{"!x", true, true, false, true, Shape::kLiteral, "x"},
        LineCase{"x/", true, false, true, true, Shape::kLiteral, "x"},
        LineCase{"/x", true, false, false, false, Shape::kLiteral, "x"},
        LineCase{"a/b", true, false, false, false, Shape::kLiteral, "a/b"},
        LineCase{"*.o", true, false, false, true, Shape::kSuffix, ".o"},
        LineCase{"*", true, false, false, true, Shape::kPrefix, ""},
        LineCase{"**", true, false, false, true, Shape::kPrefix, ""},
        LineCase{".*", true, false, false, true, Shape::kPrefix, "."},
        LineCase{"src/*", true, false, false, false, Shape::kPrefix, "src/"},
        LineCase{"sphinx_*/", true, false, true, true, Shape::kPrefix,
                 "sphinx_"},
        LineCase{"*.c.[012]*.*", true, false, false, true, Shape::kRegex,
                 ".c."},
        LineCase{"\\#*#", true, false, false, true, Shape::kRegex, "#"},
        LineCase{"**/foo", true, false, false, false, Shape::kRegex, "foo"},
        LineCase{"a/**", true, false, false, false, Shape::kRegex, "a/"},
        LineCase{"[]]x", true, false, false, true, Shape::kRegex, "x"}));

// -----------------------------------------------------------------------------
// The rules of one file.

struct MatchCase {
  std::string rules;
  std::string path;  // relative to the file's directory
  bool is_dir;
  IgnoreMatch expected;
};

void PrintTo(const MatchCase& c, std::ostream* os) {
  *os << ::testing::PrintToString(c.rules) << " on "
      << ::testing::PrintToString(c.path) << (c.is_dir ? " (dir)" : "");
}

class IgnoreRulesTest : public ::testing::TestWithParam<MatchCase> {};

TEST_P(IgnoreRulesTest, LastMatchingRuleWins) {
  const MatchCase& c = GetParam();
  auto rules = IgnoreRules::Parse(c.rules);
  IgnoreMatch got =
      rules ? rules->Matched(c.path, c.is_dir) : IgnoreMatch::kNone;
  EXPECT_EQ(got, c.expected);
}

constexpr auto kNone = IgnoreMatch::kNone;
constexpr auto kIgnore = IgnoreMatch::kIgnore;
constexpr auto kWhite = IgnoreMatch::kWhitelist;

// The generated cases below compare the plain verdicts with git; these hold
// what a listing can't show: a negation's verdict, a directory's own verdict,
// how the file's text is split, and wildcard corners outside the generated
// trees.
INSTANTIATE_TEST_SUITE_P(
    Precedence, IgnoreRulesTest,
    ::testing::Values(MatchCase{"foo\n!foo", "foo", false, kWhite},
                      MatchCase{"*.o\n!keep.o", "keep.o", false, kWhite},
                      MatchCase{"!keep.o\n*.o", "keep.o", false, kIgnore},
                      MatchCase{"foo\n!foo/", "foo", false, kIgnore},
                      MatchCase{"foo\n!foo/", "foo", true, kWhite},
                      MatchCase{"/a/b\n!b", "a/b", false, kWhite},
                      MatchCase{"!b\n/a/b", "a/b", false, kIgnore},
                      MatchCase{"a*\n!ab\nabc", "ab", false, kWhite},
                      MatchCase{"a*\n!ab\nabc", "abc", false, kIgnore},
                      MatchCase{"\xEF\xBB\xBF"
                                "bom\r\nnext\r\n",
                                "bom", false, kIgnore},
                      MatchCase{"last-line-without-newline",
                                "last-line-without-newline", false, kIgnore}));

INSTANTIATE_TEST_SUITE_P(
    Wildcards, IgnoreRulesTest,
    ::testing::Values(MatchCase{"a/foo", "x/a/foo", false, kNone},
                      MatchCase{"x/a?b", "x/a/b", false, kNone},
                      MatchCase{"f?o", "fo", false, kNone},
                      MatchCase{"/*", "a/b", false, kNone},
                      MatchCase{"a/*", "a/b/c", false, kNone},
                      MatchCase{"*.o", ".o", false, kIgnore},
                      MatchCase{"\\#*#", "#x#", false, kIgnore},
                      MatchCase{"new*line", "new\nline", false, kIgnore},
                      MatchCase{"Foo", "foo", false, kNone},
                      MatchCase{"**/a/foo", "a/foo", false, kIgnore},
                      MatchCase{"a/**", "a", true, kNone},
                      MatchCase{"a/**/b", "a/xb", false, kNone},
                      MatchCase{"a/?x**/b", "a/yxy/z/b", false, kNone}));

INSTANTIATE_TEST_SUITE_P(
    Classes, IgnoreRulesTest,
    ::testing::Values(MatchCase{"[a-]x", "-x", false, kIgnore},
                      MatchCase{"[\\]]x", "]x", false, kIgnore},
                      MatchCase{"x[[:space:]]", "x\t", false, kIgnore},
                      MatchCase{"x[[:space:]]", "x\v", false, kNone},
                      MatchCase{"x[[:upper:][:digit:]]", "xQ", false, kIgnore},
                      MatchCase{"x[[:punct:]]", "x_", false, kIgnore},
                      MatchCase{"a[/]b\n/c[!x]d", "c/d", false, kNone},
                      MatchCase{"x[\xE0-\xEF]", "x\xE9", false, kIgnore}));

// -----------------------------------------------------------------------------
// Generated cases against git: each case directory holds a .gitignore of its
// own and the same tree; git lists what its rules leave, and so must the rules
// here, applied as git applies them (a path inside an excluded directory stays
// excluded).

const std::vector<std::string> kGeneratedRules = {
    "foo", "/foo", "foo/", "/foo/", "bar/foo", "/bar/foo", "bar/foo/", "*.o",
    "/*.o", "*.o/", "f?o", "f*", "*o*", "b*/foo", "**/foo", "**/baz/foo",
    "bar/**", "bar/**/foo", "a/**/b", "a/**\\/b", "**", "/**", "*", "[fb]oo",
    "[!f]oo", "[^f]oo", "[a-c]ar", "[c-a]ar", "[]]x", "[!]]x", "x[[:digit:]]",
    "x[[:alpha:]]", "x[[x]", "\\#hash", "#hash", "\\!bang", "!bang", "sp\\ ",
    "sp  ", "sp", "tab\t", "x\\*", "x*", "ba[r]/f*", "b**r", "bar/f**",
    "bar**/foo", "bar/b**/foo", "b?r/*", "**/", "foo/**/", "[a-", "x\\",
    "[[:bogus:]]", "bar/*/deep", ".*", ".hidden/", "?t", "??t", "n\xFFx",
    "\xC3\xA9*", "a/x/", "/a/x/y",
    // Several lines: order, negation, and directories that stay excluded.
    "bar/\n!bar/foo", "bar/*\n!bar/foo",
    "bar/*\n!bar/baz\nbar/baz/*\n!bar/baz/qux", "*.o\n!keep.o", "*.o\n!/keep.o",
    "foo\n!foo\nfoo", "*\n!*/\n!*.o", "*\n!.gitignore", "/*\n!/bar",
    "bar\n!bar/", "deep/\n!deep/", "**/baz\n!bar/baz", "a/\n!a/x/b",
    "# c\n\n  \n\\#hash\n!\\#hash"};

const std::vector<std::string> kGeneratedFiles = {
    "foo", "foo.o", "x.o", "keep.o", "ab", "boo", "far", "car", "]x", "!x",
    "x1", "xa", "x[", "#hash", "!bang", "sp ", "sp", "tab\t", "x*", "xy",
    ".dotfile", "\xC3\xA9t", "n\xFFx",
    // In directories of their own.
    "bar/foo", "bar/foo.o", "bar/baz/foo/in", "bar/baz/qux", "bar/fxx/deep",
    "bar/keep.o", "a/b", "a/x/b", "a/x/y/b", "sub/foo/in", "sub/deep/foo.o",
    "brr/foo", "bXr/y/foo", ".hidden/file", "deep/x"};

// The verdict of one file's rules on a path of its directory, the way a walk
// reaches it.
bool ExcludedByRules(const IgnoreRules* rules, const std::string& path) {
  if (rules == nullptr) return false;
  for (size_t slash = path.find('/'); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    if (rules->Matched(path.substr(0, slash), true) == IgnoreMatch::kIgnore)
      return true;
  }
  return rules->Matched(path, false) == IgnoreMatch::kIgnore;
}

TEST(IgnoreRulesAgainstGit, GeneratedRulesAndPathsAgree) {
  ScratchDir home, repo;
  EnvOverride env;
  IsolateGitConfig(env, home.path());
  GitInit(repo.path());
  for (size_t i = 0; i < kGeneratedRules.size(); ++i) {
    const std::string dir = repo / ("case" + std::to_string(i));
    WriteFile(dir + "/.gitignore", kGeneratedRules[i]);
    for (const std::string& file : kGeneratedFiles) WriteFile(dir + "/" + file);
  }
  const std::set<std::string> listed = GitListed(repo.path());

  for (size_t i = 0; i < kGeneratedRules.size(); ++i) {
    const std::string prefix = "case" + std::to_string(i) + "/";
    auto rules = IgnoreRules::Parse(kGeneratedRules[i]);
    std::vector<std::string> files = kGeneratedFiles;
    files.push_back(".gitignore");
    for (const std::string& file : files) {
      bool git_lists = listed.count(prefix + file) > 0;
      EXPECT_EQ(!ExcludedByRules(rules.get(), file), git_lists)
          << "rules " << ::testing::PrintToString(kGeneratedRules[i]) << " on "
          << ::testing::PrintToString(file);
    }
  }
}

// -----------------------------------------------------------------------------
// Precedence across files.

std::shared_ptr<const IgnoreRules> Rules(const std::string& text) {
  return IgnoreRules::Parse(text);
}

struct ChainCase {
  const char* name;
  // The chain of dir "r" (the root, entries "r/...") over its parent's chain.
  IgnoreChain::DirFiles root;
  // The chain of "r/d" over the root's.
  IgnoreChain::DirFiles child;
  std::shared_ptr<const IgnoreRules> global;
  std::string path;  // below "r/d"
  IgnoreMatch expected;
};

void PrintTo(const ChainCase& c, std::ostream* os) { *os << c.name; }

class IgnoreChainTest : public ::testing::TestWithParam<ChainCase> {};

TEST_P(IgnoreChainTest, FirstFileWithAVerdictWins) {
  const ChainCase& c = GetParam();
  auto root =
      IgnoreChain::Child(IgnoreChain::Empty(), c.root, c.global, {2, ""});
  auto child = IgnoreChain::Child(root, c.child, c.global, {4, ""});
  std::string path = "r/d/" + c.path;
  EXPECT_EQ(child->Matched(path, path.rfind('/') + 1, false), c.expected);
}

IgnoreChain::DirFiles Files(std::string ignore, std::string gitignore,
                            bool has_git = false, std::string exclude = "") {
  return {Rules(ignore), Rules(gitignore), has_git, Rules(exclude)};
}

// The walk tests show the other orders on real trees: .ignore over .gitignore,
// deeper .gitignore over shallower, .gitignore over info/exclude, the global
// file inside repositories, and nested repositories.
INSTANTIATE_TEST_SUITE_P(
    Files, IgnoreChainTest,
    ::testing::Values(
        ChainCase{"DeeperIgnoreFirst", Files("x", ""), Files("!x", ""), nullptr,
                  "x", kWhite},
        ChainCase{"ExcludeOverridesGlobal", Files("", "", true, "!x"),
                  Files("", ""), Rules("x"), "x", kWhite},
        ChainCase{"GitFilesOutsideRepository", Files("", "x"), Files("", "x"),
                  Rules("x"), "x", kNone},
        ChainCase{"NestedRepositoryHasItsOwnExclude", Files("", "", true, "x"),
                  Files("", "", true, "!x"), nullptr, "x", kWhite},
        ChainCase{"AnchoredToItsDirectory", Files("/d/x", "", false),
                  Files("/x", ""), nullptr, "sub/x", kNone},
        ChainCase{"AnchoredFromTheRoot", Files("/d/sub/x", "", false),
                  Files("", ""), nullptr, "sub/x", kIgnore}));

TEST(IgnoreChain, ParentAnchorsUseThePrefix) {
  // A parent above the root sees the root's entries through the root's path
  // below it. The root "src" is <parent>/proj/src; its entry "src/a.c" is
  // proj/src/a.c from the parent.
  auto parent =
      IgnoreChain::Child(IgnoreChain::Empty(), Files("/proj/src/a.c\n", ""),
                         nullptr, {4, "proj/src/"});
  EXPECT_EQ(parent->Matched("src/a.c", 4, false), kIgnore);
  EXPECT_EQ(parent->Matched("src/b.c", 4, false), kNone);
}

TEST(IgnoreChain, NothingNewKeepsTheParent) {
  auto root = IgnoreChain::Child(IgnoreChain::Empty(), Files("x", ""), nullptr,
                                 {2, ""});
  EXPECT_EQ(IgnoreChain::Child(root, Files("", "y"), nullptr, {4, ""}), root);
  EXPECT_NE(IgnoreChain::Child(root, Files("z", ""), nullptr, {4, ""}), root);
}

// -----------------------------------------------------------------------------
// core.excludesFile in git's config syntax, against `git config -f`.

struct ConfigCase {
  std::string text;
  std::optional<std::string> expected;
};

void PrintTo(const ConfigCase& c, std::ostream* os) {
  *os << ::testing::PrintToString(c.text);
}

class GitConfigTest : public ::testing::TestWithParam<ConfigCase> {};

TEST_P(GitConfigTest, ReadsCoreExcludesFileAsGitDoes) {
  const ConfigCase& c = GetParam();
  EXPECT_EQ(FindConfigValue(c.text, "core", "excludesfile"), c.expected);

  ScratchDir dir;
  WriteFile(dir / "config", c.text);
  ProcessOutput git = RunCommand("git config -f " + Quote(dir / "config") +
                                 " --get core.excludesfile 2>/dev/null");
  std::optional<std::string> from_git;
  if (git.status == 0 && git.output.ends_with('\n')) {
    from_git = git.output.substr(0, git.output.size() - 1);
  }
  EXPECT_EQ(FindConfigValue(c.text, "core", "excludesfile"), from_git);
}

INSTANTIATE_TEST_SUITE_P(
    Syntax, GitConfigTest,
    ::testing::Values(
        ConfigCase{"[core]\n\texcludesFile = /x\n", "/x"},
        ConfigCase{"[Core]\nEXCLUDESFILE=/x", "/x"},
        ConfigCase{"[core] excludesfile = /x\n", "/x"},
        ConfigCase{"[core]\nexcludesfile = \"/a b\" # comment\n", "/a b"},
        ConfigCase{"[core]\nexcludesfile = /a  b ; comment\n", "/a  b"},
        ConfigCase{"[core]\nexcludesfile = /a\\\n/b\n", "/a/b"},
        ConfigCase{"[core]\nexcludesfile = \"/q\\\"t\\\\\"\n", "/q\"t\\"},
        ConfigCase{"[core]\nexcludesfile = /a\n[user]\nname = "
                   "x\n[core]\nexcludesfile = /b\n",
                   "/b"},
        ConfigCase{"[core \"sub\"]\nexcludesfile = /a\n", std::nullopt},
        ConfigCase{"[core.sub]\nexcludesfile = /a\n", std::nullopt},
        ConfigCase{"[other]\nexcludesfile = /a\n", std::nullopt},
        ConfigCase{"[core]\n# excludesfile = /a\n; excludesfile = /b\n",
                   std::nullopt},
        ConfigCase{"\xEF\xBB\xBF[core]\nexcludesfile=/a\n", "/a"},
        ConfigCase{"[core]\r\nexcludesfile = /a\r\n", "/a"},
        ConfigCase{"[core]\n  excludesfile = ~/ignore\n  autocrlf = false\n",
                   "~/ignore"},
        ConfigCase{"[core]\nexcludesfile = \"/a\n", std::nullopt},
        ConfigCase{"[core]\nexcludesfile = /a\\q\n", std::nullopt},
        ConfigCase{"[core]\nexcludesfile = /a\n3bad = x\n", std::nullopt},
        ConfigCase{"[core\nexcludesfile = /a\n", std::nullopt},
        ConfigCase{"", std::nullopt}));

// -----------------------------------------------------------------------------
// Where the global excludes file is.

struct GlobalCase {
  const char* name;
  // GIT_CONFIG_GLOBAL = <scratch>/global; XDG_CONFIG_HOME and the files
  // relative to the scratch directory; "@" in `expected` stands for it.
  bool set_global;
  std::optional<std::string> xdg;
  std::map<std::string, std::string> files;
  std::string expected;
};

void PrintTo(const GlobalCase& c, std::ostream* os) { *os << c.name; }

class GlobalExcludesTest : public ::testing::TestWithParam<GlobalCase> {};

TEST_P(GlobalExcludesTest, FindsThePathGitUses) {
  const GlobalCase& c = GetParam();
  ScratchDir scratch;
  EnvOverride env;
  const std::string home = scratch / "home";
  IsolateGitConfig(env, home);
  if (c.xdg) env.Set("XDG_CONFIG_HOME", c.xdg->empty() ? "" : scratch / *c.xdg);
  if (c.set_global) env.Set("GIT_CONFIG_GLOBAL", scratch / "global");
  for (const auto& [path, content] : c.files)
    WriteFile(scratch / path, content);
  EXPECT_EQ(GlobalExcludesPath(ProcessGitEnvironment()),
            ReplaceFirst(c.expected, "@", scratch.path()));
}

std::string CoreExcludes(const std::string& path) {
  return "[core]\nexcludesFile = " + path + "\n";
}

INSTANTIATE_TEST_SUITE_P(
    Sources, GlobalExcludesTest,
    ::testing::Values(
        GlobalCase{"HomeDefault", false, {}, {}, "@/home/.config/git/ignore"},
        GlobalCase{
            "EmptyXdgIsUnset", false, "", {}, "@/home/.config/git/ignore"},
        GlobalCase{"XdgConfig",
                   false,
                   "xdg",
                   {{"xdg/git/config", CoreExcludes("/from-xdg")}},
                   "/from-xdg"},
        GlobalCase{"HomeConfigOverXdgConfig",
                   false,
                   "xdg",
                   {{"xdg/git/config", CoreExcludes("/from-xdg")},
                    {"home/.gitconfig", CoreExcludes("/from-home")}},
                   "/from-home"},
        GlobalCase{"DefaultXdgConfigDirectory",
                   false,
                   {},
                   {{"home/.config/git/config", CoreExcludes("/from-xdg")}},
                   "/from-xdg"},
        GlobalCase{"GitConfigGlobalReplacesBoth",
                   true,
                   "xdg",
                   {{"global", CoreExcludes("/from-global")},
                    {"home/.gitconfig", CoreExcludes("/from-home")}},
                   "/from-global"},
        GlobalCase{"GitConfigGlobalWithoutTheKey",
                   true,
                   "xdg",
                   {{"global", "[user]\nname = x\n"},
                    {"home/.gitconfig", CoreExcludes("/from-home")}},
                   "@/xdg/git/ignore"},
        GlobalCase{"BrokenConfigIsPassedOver",
                   false,
                   {},
                   {{"home/.gitconfig", "[core\nexcludesFile = /broken\n"}},
                   "@/home/.config/git/ignore"}));

}  // namespace
}  // namespace tolvane

// Path text as the index compares it (component-wise equality and a hash that
// agrees with it), resolve_path, the root-relative text and ParentOf.
#include "fs/path/path.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace tolvane {
namespace {

struct PathPair {
  const char* a;
  const char* b;
};

void PrintTo(const PathPair& p, std::ostream* os) {
  *os << '"' << p.a << "\" vs \"" << p.b << '"';
}

class SamePathTest : public testing::TestWithParam<PathPair> {};

TEST_P(SamePathTest, EqualBothWaysWithEqualHashes) {
  const PathPair& p = GetParam();
  EXPECT_TRUE(PathEqual(p.a, p.b));
  EXPECT_TRUE(PathEqual(p.b, p.a));
  EXPECT_EQ(PathHash(p.a), PathHash(p.b));
}

INSTANTIATE_TEST_SUITE_P(
    RepeatedTrailingAndDotSeparators, SamePathTest,
    testing::Values(PathPair{"a/b", "a/b"}, PathPair{"a/b", "a//b"},
                    PathPair{"a/b", "a/./b"}, PathPair{"a/b", "a/b/"},
                    PathPair{"a/b", "a/b//"}, PathPair{"a/b", "a/b/."},
                    PathPair{"a/b", "a/././/b/./"}, PathPair{"/a/b", "//a//b"},
                    PathPair{"/a/b", "/./a/b"}, PathPair{"/", "//"},
                    PathPair{"/", "/."}, PathPair{"./a", ".//a/"},
                    PathPair{"./a", "././a"}, PathPair{".", "./"},
                    PathPair{"proj/src/a.py", "proj//src/./a.py"},
                    PathPair{"a/../b", "a//..//b/"}));

class DifferentPathTest : public testing::TestWithParam<PathPair> {};

TEST_P(DifferentPathTest, NotEqualEitherWay) {
  const PathPair& p = GetParam();
  EXPECT_FALSE(PathEqual(p.a, p.b));
  EXPECT_FALSE(PathEqual(p.b, p.a));
}

INSTANTIATE_TEST_SUITE_P(
    LeadingDotRootAndDotDot, DifferentPathTest,
    testing::Values(PathPair{"./a/b", "a/b"}, PathPair{"a/x/../b", "a/b"},
                    PathPair{"/a/b", "a/b"}, PathPair{"/", ""},
                    PathPair{".", ""}, PathPair{"../a", "a"},
                    PathPair{"a/b", "a/bc"}, PathPair{"a/b", "ab"},
                    PathPair{"a/b", "a/b/c"}, PathPair{"a/.b", "a/b"},
                    PathPair{"a/b", "b/a"}, PathPair{"a/B", "a/b"}));

// A map keyed this way must find every spelling of a key in the same bucket;
// distinct keys should spread (a constant hash would pass the equality test).
TEST(PathHash, DistinctPathsSpread) {
  std::unordered_set<size_t> hashes;
  std::vector<std::string> paths;
  for (int i = 0; i < 200; ++i) {
    paths.push_back("src/dir" + std::to_string(i % 20) + "/file" +
                    std::to_string(i) + ".txt");
  }
  for (const std::string& path : paths) hashes.insert(PathHash(path));
  EXPECT_EQ(hashes.size(), paths.size());
  EXPECT_NE(PathHash("a/b"), PathHash("ab"));
  EXPECT_NE(PathHash("./a"), PathHash("a"));
  EXPECT_NE(PathHash("/a"), PathHash("a"));
}

struct ResolveCase {
  const char* root;
  const char* path;
  const char* expected;
};

void PrintTo(const ResolveCase& c, std::ostream* os) {
  *os << "root \"" << c.root << "\" path \"" << c.path << '"';
}

class ResolvePathTest : public testing::TestWithParam<ResolveCase> {};

TEST_P(ResolvePathTest, JoinsWithoutNormalising) {
  const ResolveCase& c = GetParam();
  EXPECT_EQ(resolve_path(c.root, c.path), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ResolvePathTest,
    testing::Values(ResolveCase{"/data", "/etc/hosts", "/etc/hosts"},
                    ResolveCase{"/data", "a/b.txt", "/data/a/b.txt"},
                    ResolveCase{"/data", "", "/data/"},
                    ResolveCase{"/data", "../x", "/data/../x"},
                    ResolveCase{"/data", "./a//b/", "/data/./a//b/"},
                    ResolveCase{"/data/", "a", "/data/a"},
                    ResolveCase{"/data/", "", "/data/"},
                    ResolveCase{".", "a", "./a"},
                    ResolveCase{"proj", "src/x.py", "proj/src/x.py"},
                    ResolveCase{"", "a", "a"}, ResolveCase{"", "", ""},
                    ResolveCase{"/", "a", "/a"},
                    ResolveCase{"/data", "//x", "//x"}));

struct RelativeCase {
  const char* root;
  std::string path;
  std::optional<std::string> stripped;  // nullopt: not under root
};

void PrintTo(const RelativeCase& c, std::ostream* os) {
  *os << "root \"" << c.root << "\" path \"" << c.path << '"';
}

class RelativeTest : public testing::TestWithParam<RelativeCase> {};

TEST_P(RelativeTest, StripsTheRootsComponents) {
  const RelativeCase& c = GetParam();
  std::optional<std::string> stripped;
  if (auto rest = StripRoot(c.path, c.root)) stripped = std::string(*rest);
  EXPECT_EQ(stripped, c.stripped);
}

INSTANTIATE_TEST_SUITE_P(
    Table, RelativeTest,
    testing::Values(RelativeCase{".", "./a", "a"},
                    RelativeCase{".", "./src/b", "src/b"},
                    RelativeCase{".", "src/b", std::nullopt},
                    RelativeCase{"proj", "proj/src/a.py", "src/a.py"},
                    RelativeCase{"proj/", "proj//src/a.py", "src/a.py"},
                    RelativeCase{"/data", "/data", ""},
                    RelativeCase{"/data", "/data/", ""},
                    RelativeCase{"/data/", "/data", ""},
                    RelativeCase{"/data", "/data/x/", "x"},
                    RelativeCase{"/data", "/etc/hosts", std::nullopt},
                    RelativeCase{"/data", "/database/x", std::nullopt},
                    RelativeCase{"/data", "data/x", std::nullopt},
                    RelativeCase{"/data/sub", "/data", std::nullopt},
                    RelativeCase{"/r", "/r/\xff.txt", "\xff.txt"},
                    RelativeCase{"/r", "/s/a\xc3", std::nullopt},
                    RelativeCase{"/r", "/r/caf\xc3\xa9", "caf\xc3\xa9"}));

struct ParentCase {
  const char* path;
  bool has_parent;
  const char* parent;
};

void PrintTo(const ParentCase& c, std::ostream* os) {
  *os << '"' << c.path << '"';
}

class ParentOfTest : public testing::TestWithParam<ParentCase> {};

TEST_P(ParentOfTest, DropsTheLastComponent) {
  const ParentCase& c = GetParam();
  Parent parent = ParentOf(c.path);
  EXPECT_EQ(parent.has_parent, c.has_parent);
  EXPECT_EQ(parent.path, c.parent);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ParentOfTest,
    testing::Values(ParentCase{"", false, ""}, ParentCase{"/", false, ""},
                    ParentCase{"//", false, ""}, ParentCase{"/./", false, ""},
                    ParentCase{"a", true, ""}, ParentCase{".", true, ""},
                    ParentCase{"/a", true, "/"}, ParentCase{"//a", true, "/"},
                    ParentCase{"a/b", true, "a"}, ParentCase{"a/b/", true, "a"},
                    ParentCase{"a//b", true, "a"},
                    ParentCase{"a/./b", true, "a"},
                    ParentCase{"a/b/.", true, "a"},
                    ParentCase{"./a", true, "."}, ParentCase{"a/..", true, "a"},
                    ParentCase{"/a/b/c", true, "/a/b"},
                    ParentCase{"/tmp/x/.tmpAbC123", true, "/tmp/x"}));

}  // namespace
}  // namespace tolvane

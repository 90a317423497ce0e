#include "fs/index/file_index.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <future>
#include <thread>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace tolvane {
namespace {

namespace fs = std::filesystem;

struct RelativeCase {
  std::string root;
  std::string path;
  std::string expected;
};

class RelativePathTest : public testing::TestWithParam<RelativeCase> {};

TEST_P(RelativePathTest, StripsTheRootComponentWise) {
  const RelativeCase& c = GetParam();
  EXPECT_EQ(FileIndex(c.root).relative_path(c.path), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RelativePathTest,
    testing::Values(RelativeCase{".", "./a", "a"},
                    RelativeCase{".", "./src/b", "src/b"},
                    RelativeCase{"proj", "proj/src/a.py", "src/a.py"},
                    RelativeCase{"proj/", "proj/src/a.py", "src/a.py"},
                    RelativeCase{"proj", "proj//src/./a.py", "src/./a.py"},
                    RelativeCase{"proj", "proj", ""},
                    RelativeCase{"proj", "proj/", ""},
                    RelativeCase{"proj", "project/a", "project/a"},
                    RelativeCase{"/data", "/elsewhere/x", "/elsewhere/x"},
                    RelativeCase{"./proj", "proj/a", "proj/a"},
                    RelativeCase{"r", "r/bad\xff", "bad\xEF\xBF\xBD"}));

class FileIndexTest : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/file_index_test.XXXXXX";
    root_ = mkdtemp(pattern);
  }
  void TearDown() override { fs::remove_all(root_); }
  void Write(const std::string& rel, const std::string& content) {
    fs::path path = fs::path(root_) / rel;
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << content;
  }
  static std::vector<std::string> Texts(const std::vector<ListedPath>& listed) {
    std::vector<std::string> texts;
    for (const ListedPath& p : listed) texts.emplace_back(p.relative());
    std::sort(texts.begin(), texts.end());
    return texts;
  }
  std::string root_;
};

TEST_F(FileIndexTest, QueriesWaitForTheFirstBuild) {
  Write("a.txt", "a");
  FileIndex index(root_);
  EXPECT_FALSE(index.is_ready());
  auto early = index.list_matching("[", true);
  ASSERT_FALSE(early);
  EXPECT_EQ(early.error().kind(), FsError::Kind::kIndexBuilding);
  ASSERT_TRUE(index.rebuild());
  EXPECT_TRUE(index.is_ready());
  EXPECT_EQ(Texts(*index.list_matching("**", true)),
            std::vector<std::string>{"a.txt"});
}

TEST_F(FileIndexTest, ListsFilesAndDirectoriesByPattern) {
  Write("src/a.py", "x");
  Write("src/sub/b.py", "y");
  Write("notes.txt", "z");
  FileIndex index(root_);
  ASSERT_TRUE(index.rebuild());
  EXPECT_EQ(Texts(*index.list_matching("*.py", true)),
            (std::vector<std::string>{"src/a.py", "src/sub/b.py"}));
  EXPECT_EQ(Texts(*index.list_matching("src/**", false)),
            (std::vector<std::string>{"src/a.py", "src/sub", "src/sub/b.py"}));
  EXPECT_EQ(Texts(*index.list_matching("**/*", false)),
            (std::vector<std::string>{"notes.txt", "src", "src/a.py", "src/sub",
                                      "src/sub/b.py"}));
  auto bad = index.list_matching("[", true);
  ASSERT_FALSE(bad);
  EXPECT_EQ(bad.error().message(),
            "Glob error: error parsing glob '[': unclosed character class; "
            "missing ']'");
  EXPECT_EQ(index.glob_cache_size(), 2u);  // "*.py" and "src/**"; never "**"
}

TEST_F(FileIndexTest, MetadataIsFoundUnderAnySpelling) {
  Write("src/a.py", "hello");
  FileIndex index(root_);
  ASSERT_TRUE(index.rebuild());
  for (const std::string& spelling :
       {root_ + "/src/a.py", root_ + "//src/a.py", root_ + "/src/./a.py",
        root_ + "/src/a.py/"}) {
    auto metadata = index.metadata(spelling);
    ASSERT_TRUE(metadata) << spelling;
    EXPECT_EQ(metadata->size, 5u);
  }
  EXPECT_FALSE(index.metadata(root_));  // the root itself is never an entry
  EXPECT_TRUE(index.metadata(root_ + "/src")->is_dir);
}

TEST_F(FileIndexTest, SecondBuildReplacesTheList) {
  Write("old.txt", "o");
  FileIndex index(root_);
  ASSERT_TRUE(index.rebuild());
  fs::remove(fs::path(root_) / "old.txt");
  Write("new.txt", "n");
  ASSERT_TRUE(index.rebuild());
  EXPECT_EQ(Texts(*index.list_matching("**", true)),
            std::vector<std::string>{"new.txt"});
  EXPECT_FALSE(index.metadata(root_ + "/old.txt"));
}

TEST_F(FileIndexTest, ABuildThatFindsTheClaimTakenChangesNothing) {
  Write("a.txt", "a");
  std::atomic<int> walks{0};
  std::promise<void> entered, release;
  std::shared_future<void> released = release.get_future().share();
  FileIndex index(root_, [&](const std::string& root, const WalkVisitor& visit) {
    if (walks++ == 0) {
      entered.set_value();
      released.wait();
    }
    ParallelWalk(root, visit);
  });
  std::thread first([&] { (void)index.rebuild(); });
  entered.get_future().wait();
  EXPECT_TRUE(index.rebuild());  // returns at once: the running build holds the claim
  EXPECT_EQ(walks.load(), 1);
  EXPECT_FALSE(index.is_ready());
  EXPECT_EQ(index.list_matching("**", true).error().kind(),
            FsError::Kind::kIndexBuilding);
  release.set_value();
  first.join();
  EXPECT_TRUE(index.is_ready());
  EXPECT_EQ(Texts(*index.list_matching("**", true)),
            std::vector<std::string>{"a.txt"});
}

TEST_F(FileIndexTest, ReadyIsFalseOnlyWhileARefreshWalks) {
  Write("a.txt", "a");
  std::vector<bool> ready_during_walk;
  FileIndex* self = nullptr;
  FileIndex index(root_, [&](const std::string& root, const WalkVisitor& visit) {
    ready_during_walk.push_back(self->is_ready());
    ParallelWalk(root, visit);
  });
  self = &index;
  ASSERT_TRUE(index.rebuild());
  ASSERT_TRUE(index.rebuild());
  EXPECT_EQ(ready_during_walk, (std::vector<bool>{false, false}));
  EXPECT_TRUE(index.is_ready());
}

}  // namespace
}  // namespace tolvane

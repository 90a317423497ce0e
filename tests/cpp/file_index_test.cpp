#include "fs/index/file_index.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "test_util.h"

namespace tolvane {
namespace {

using testing::ScratchDir;
using testing::WriteFile;

struct RelativeCase {
  std::string root;
  std::string path;
  std::string expected;
};

class RelativePathTest : public ::testing::TestWithParam<RelativeCase> {};

TEST_P(RelativePathTest, StripsTheRootComponentWise) {
  const RelativeCase& c = GetParam();
  EXPECT_EQ(FileIndex(c.root).relative_path(c.path), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RelativePathTest,
    ::testing::Values(RelativeCase{".", "./a", "a"},
                      RelativeCase{".", "./src/b", "src/b"},
                      RelativeCase{"proj", "proj/src/a.py", "src/a.py"},
                      RelativeCase{"proj/", "proj/src/a.py", "src/a.py"},
                      RelativeCase{"proj", "proj//src/./a.py", "src/./a.py"},
                      RelativeCase{"proj", "proj", ""},
                      RelativeCase{"proj", "proj/", ""},
                      RelativeCase{"proj", "project/a", "project/a"},
                      RelativeCase{"/data", "/elsewhere/x", "/elsewhere/x"},
                      RelativeCase{"./proj", "proj/a", "proj/a"},
                      RelativeCase{"r", "r/bad\xff", "bad\xEF\xBF\xBD"},
                      RelativeCase{"/r", "/s/a\xc3", "/s/a\xEF\xBF\xBD"},
                      RelativeCase{"/r", "/r/caf\xc3\xa9", "caf\xc3\xa9"}));

class FileIndexTest : public ::testing::Test {
 protected:
  static std::vector<std::string> Texts(const Listing& listed) {
    std::vector<std::string> texts;
    for (std::string_view text : listed.texts()) texts.emplace_back(text);
    std::sort(texts.begin(), texts.end());
    return texts;
  }
  ScratchDir dir_;
  const std::string root_ = dir_.path();
};

TEST_F(FileIndexTest, QueriesWaitForTheFirstBuild) {
  WriteFile(dir_ / "a.txt", "a");
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
  WriteFile(dir_ / "src/a.py", "x");
  WriteFile(dir_ / "src/sub/b.py", "y");
  WriteFile(dir_ / "notes.txt", "z");
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
  WriteFile(dir_ / "src/a.py", "hello");
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
  WriteFile(dir_ / "old.txt", "o");
  FileIndex index(root_);
  ASSERT_TRUE(index.rebuild());
  std::filesystem::remove(dir_ / "old.txt");
  WriteFile(dir_ / "new.txt", "n");
  ASSERT_TRUE(index.rebuild());
  EXPECT_EQ(Texts(*index.list_matching("**", true)),
            std::vector<std::string>{"new.txt"});
  EXPECT_FALSE(index.metadata(root_ + "/old.txt"));
}

TEST_F(FileIndexTest, ABuildThatFindsTheClaimTakenChangesNothing) {
  WriteFile(dir_ / "a.txt", "a");
  std::atomic<int> walks{0};
  std::promise<void> entered, release;
  std::shared_future<void> released = release.get_future().share();
  FileIndex index(root_, {},
                  [&](const std::string& root, const WalkVisitor& visit,
                      const WalkOptions&) {
                    if (walks++ == 0) {
                      entered.set_value();
                      released.wait();
                    }
                    ParallelWalk(root, visit);
                  });
  std::thread first([&] { (void)index.rebuild(); });
  entered.get_future().wait();
  EXPECT_TRUE(
      index.rebuild());  // returns at once: the running build holds the claim
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
  WriteFile(dir_ / "a.txt", "a");
  std::vector<bool> ready_during_walk;
  FileIndex* self = nullptr;
  FileIndex index(root_, {},
                  [&](const std::string& root, const WalkVisitor& visit,
                      const WalkOptions&) {
                    ready_during_walk.push_back(self->is_ready());
                    ParallelWalk(root, visit);
                  });
  self = &index;
  ASSERT_TRUE(index.rebuild());
  ASSERT_TRUE(index.rebuild());
  EXPECT_EQ(ready_during_walk, (std::vector<bool>{false, false}));
  EXPECT_TRUE(index.is_ready());
}

// A build that throws gives its claim back, so a later one runs; an abandoned
// index's build stops at the next directory (at most one a walk thread).
TEST_F(FileIndexTest, AFailedBuildReleasesItsClaimAndAnAbandonedOneStops) {
  for (int d = 0; d < 200; ++d)
    WriteFile(dir_ / ("d" + std::to_string(d)) + "/f", "x");
  FileIndex* self = nullptr;
  std::atomic<int> walks{0}, entries{0};
  FileIndex index(root_, {},
                  [&](const std::string& root, const WalkVisitor& visit,
                      const WalkOptions& options) {
                    if (walks++ == 0) throw std::bad_alloc();
                    ParallelWalk(
                        root,
                        [&](const WalkEntry& entry) {
                          if (walks == 3) self->abandon();
                          ++entries;
                          visit(entry);
                        },
                        options);
                  });
  self = &index;
  EXPECT_THROW((void)index.rebuild(), std::bad_alloc);
  EXPECT_FALSE(index.is_ready());
  ASSERT_TRUE(index.rebuild());
  EXPECT_EQ(index.list_matching("**", true)->texts().size(), 200u);
  entries = 0;
  ASSERT_TRUE(index.rebuild());
  EXPECT_LE(entries.load(), 1 + 200 + 12 * 2);
  EXPECT_LT(index.list_matching("**", true)->texts().size(), 200u);
}

// Readers never see a torn list: while one thread rebuilds again and again,
// every listing that succeeds holds exactly the tree's files, in every road.
TEST_F(FileIndexTest, ListingsDuringRebuildsAreWhole) {
  std::vector<std::string> expected;
  for (int i = 0; i < 700; ++i) {
    std::string rel = "d" + std::to_string(i % 9) + "/f" + std::to_string(i);
    WriteFile(dir_ / rel, "x");
    expected.push_back(rel);
  }
  std::sort(expected.begin(), expected.end());
  FileIndex index(root_);
  ASSERT_TRUE(index.rebuild());
  std::atomic<bool> stop{false};
  std::thread rebuilder([&] {
    for (int i = 0; i < 40; ++i) (void)index.rebuild();
    stop = true;
  });
  std::vector<std::thread> readers;
  std::atomic<int> whole{0}, failed{0};
  for (const char* pattern : {"**", "d*/f*", "d1/**"}) {
    readers.emplace_back([&, pattern] {
      // One more round after the rebuilds end, when the index stays ready.
      for (bool last = false; !last;) {
        last = stop;
        auto listed = index.list_matching(pattern, true);
        if (!listed) {
          failed += listed.error().kind() != FsError::Kind::kIndexBuilding;
          continue;
        }
        std::vector<std::string> texts = Texts(*listed);
        std::vector<std::string> wanted;
        std::copy_if(expected.begin(), expected.end(),
                     std::back_inserter(wanted), [&](const std::string& p) {
                       return std::string_view(pattern) != "d1/**" ||
                              p.starts_with("d1/");
                     });
        if (texts == wanted) {
          ++whole;
        } else {
          ++failed;
        }
      }
    });
  }
  rebuilder.join();
  for (std::thread& reader : readers) reader.join();
  EXPECT_EQ(failed.load(), 0);
  EXPECT_GT(whole.load(), 0);
}

}  // namespace
}  // namespace tolvane

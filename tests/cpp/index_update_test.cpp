// Single-path updates and batched removals against a literal model (linear
// scans with component-wise equality; a removed directory takes every path
// below it; an entry of the other type is replaced with what lay below it)
// over random operations, spellings and tree changes, links among them.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <random>

#include "fs/index/file_index.h"
#include "test_util.h"

namespace tolvane {
namespace {

bool Below(const std::string& path, const std::string& dir) {
  auto rest = StripRoot(path, dir);
  return rest && !rest->empty();
}

struct Model {
  std::vector<std::string> list;
  std::vector<std::pair<std::string, bool>> files;  // path, is_dir

  std::pair<std::string, bool>* Find(const std::string& path) {
    auto it = std::find_if(files.begin(), files.end(),
                           [&](auto& f) { return PathEqual(f.first, path); });
    return it == files.end() ? nullptr : &*it;
  }
  void Update(const std::string& path) {
    struct stat st;  // the entry's own, as a build stores it
    if (::lstat(path.c_str(), &st) != 0) return;
    const bool dir = S_ISDIR(st.st_mode);
    if (auto* entry = Find(path); entry && entry->second != dir) Remove(path);
    if (auto* entry = Find(path)) entry->second = dir;
    if (!Find(path)) files.emplace_back(path, dir);
    if (!dir && std::none_of(list.begin(), list.end(),
                             [&](auto& p) { return PathEqual(p, path); }))
      list.push_back(path);
  }
  void Remove(const std::string& path) {
    auto* entry = Find(path);
    if (!entry) return;
    const bool dir = entry->second;
    files.erase(files.begin() + (entry - files.data()));
    std::erase_if(list, [&](auto& p) {
      return PathEqual(p, path) || (dir && Below(p, path));
    });
    if (dir)
      std::erase_if(files, [&](auto& f) { return Below(f.first, path); });
  }
};

TEST(IndexUpdateTest, MatchesTheLiteralRulesOnRandomSequences) {
  testing::ScratchDir dir;
  const std::string root = dir.path();
  testing::WriteFile(dir / "f0", "a\0b");
  testing::WriteFile(dir / "d0/g", "x");
  testing::WriteFile(dir / "d0/e/h", "x");
  testing::WriteFile(dir / "d00/g", "x");
  ::symlink("d0", (dir / "l").c_str());
  ::symlink("f0", (dir / "lf").c_str());
  FileIndex index(root);
  ASSERT_TRUE(index.rebuild());
  auto texts = [&](bool only_files) {
    auto listed = index.list_matching("**", only_files);
    return std::vector<std::string>(listed->texts().begin(),
                                    listed->texts().end());
  };
  Model model;
  for (auto& text : texts(true)) model.list.push_back(root + "/" + text);
  for (auto& text : texts(false))
    model.files.emplace_back(root + "/" + text,
                             index.metadata(root + "/" + text)->is_dir);

  // "" is the root itself; d00 is not below d0.
  const std::string names[] = {"f0",     "f1",  "d0",    "d0/g", "d0/e",
                               "d0/e/h", "d00", "d00/g", "d1",   "d1/g",
                               "l",      "lf",  "no",    ""};
  const std::string files[] = {"f0", "f1", "d0/g", "d0/e/h", "d00/g", "d1/g"};
  const std::string joins[] = {"/", "//", "/./"};
  std::mt19937 random(7);
  auto spelled = [&](const std::string& name) {
    std::string path = root + joins[random() % 3] + name;
    if (random() % 4 == 0) path += "/";
    return path;
  };
  std::vector<std::string> before = texts(true);
  for (int step = 0; step < 4000; ++step) {
    const uint64_t generation = index.file_list_generation();
    if (const auto action = random() % 5; action == 0) {  // the tree changes
      const std::string& file = files[random() % std::size(files)];
      std::error_code ignored;
      if (random() % 2) {
        testing::WriteFile(dir / file, std::string(random() % 3, 'x'));
      } else if (random() % 2) {  // anything but the root
        std::filesystem::remove_all(dir / names[random() % 13], ignored);
      } else if (random() % 2) {
        std::filesystem::rename(dir / "d0", dir / "d1", ignored);
      } else {
        std::filesystem::rename(dir / "d1", dir / "d0", ignored);
      }
      continue;
    } else if (action >= 3) {
      std::vector<std::string> batch;
      for (auto n = random() % 3 + 1; n > 0; --n)
        batch.push_back(spelled(names[random() % std::size(names)]));
      index.remove_paths(
          std::vector<std::string_view>(batch.begin(), batch.end()));
      for (const std::string& path : batch) model.Remove(path);
      ASSERT_LE(index.file_list_generation() - generation, 1u) << step;
    } else {
      const std::string path = spelled(names[random() % std::size(names)]);
      ASSERT_TRUE(index.update_path(path));
      model.Update(path);
    }
    std::vector<std::string> listed = texts(true), expected;
    for (auto& p : model.list) expected.push_back(index.relative_path(p));
    ASSERT_EQ(listed, expected) << "step " << step;
    std::vector<std::string> entries = texts(false), modelled;
    for (auto& [p, is_dir] : model.files) {
      modelled.push_back(index.relative_path(p));
      ASSERT_EQ(index.metadata(p)->is_dir, is_dir) << step << " " << p;
    }
    std::ranges::sort(entries);
    std::ranges::sort(modelled);
    ASSERT_EQ(entries, modelled) << "step " << step;
    // The memo of list() is keyed by the generation.
    ASSERT_TRUE(listed == before || index.file_list_generation() != generation);
    before = listed;
  }
}

// A change released late may store a file where the index holds a directory
// whose removal it never saw: what lay below the directory goes.
TEST(IndexUpdateTest, AFileStoredOverADirectoryTakesItsEntries) {
  for (const bool link : {false, true}) {
    testing::ScratchDir dir;
    testing::WriteFile(dir / "a/f", "x");
    testing::WriteFile(dir / "a/sub/g", "x");
    testing::WriteFile(dir / "keep", "x");
    FileIndex index(dir.path());
    ASSERT_TRUE(index.rebuild());
    std::filesystem::remove_all(dir / "a");
    if (link) {
      ASSERT_EQ(::symlink("keep", (dir / "a").c_str()), 0);
    } else {
      testing::WriteFile(dir / "a", "x");
    }
    ASSERT_TRUE(index.update_path(dir / "a"));
    auto files = index.list_matching("**", true);
    EXPECT_EQ(std::vector<std::string_view>(files->texts()),
              (std::vector<std::string_view>{"keep", "a"}));
    auto entries = index.list_matching("**", false);
    std::vector<std::string_view> all = entries->texts();
    std::ranges::sort(all);
    EXPECT_EQ(all, (std::vector<std::string_view>{"a", "keep"}));
  }
}

}  // namespace
}  // namespace tolvane

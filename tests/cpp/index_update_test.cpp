// Single-path updates and removals against a literal model (linear scans with
// component-wise equality) over random operations, spellings and tree changes.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <random>

#include "fs/index/file_index.h"
#include "test_util.h"

namespace tolvane {
namespace {

struct Model {
  std::vector<std::string> list;
  std::vector<std::pair<std::string, bool>> files;  // path, is_dir

  std::pair<std::string, bool>* Find(const std::string& path) {
    auto it = std::find_if(files.begin(), files.end(),
                           [&](auto& f) { return PathEqual(f.first, path); });
    return it == files.end() ? nullptr : &*it;
  }
  void Update(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return;
    const bool dir = S_ISDIR(st.st_mode);
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
    if (!dir) std::erase_if(list, [&](auto& p) { return PathEqual(p, path); });
  }
};

TEST(IndexUpdateTest, MatchesTheLiteralRulesOnRandomSequences) {
  testing::ScratchDir dir;
  const std::string root = dir.path();
  testing::WriteFile(dir / "f0", "a\0b");
  testing::WriteFile(dir / "d0/g", "x");
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

  const std::string names[] = {"f0", "f1", "d0", "d0/g", "d1", "l", "lf", "no"};
  const std::string joins[] = {"/", "//", "/./"};
  std::mt19937 random(7);
  std::vector<std::string> before = texts(true);
  for (int step = 0; step < 3000; ++step) {
    const std::string& name = names[random() % std::size(names)];
    std::string path = root + joins[random() % 3] + name;
    if (random() % 4 == 0) path += "/";
    const uint64_t generation = index.file_list_generation();
    if (const auto action = random() % 4; action == 0) {  // the tree changes
      if (name[0] == 'f' && random() % 2) {
        testing::WriteFile(dir / name, std::string(random() % 3, 'x'));
      } else if (name[0] == 'f') {
        std::filesystem::remove(dir / name);
      } else if (name == "d1") {
        std::filesystem::create_directory(dir / name);
      }
      continue;
    } else if (action == 3) {
      index.remove_path(path);
      model.Remove(path);
    } else {
      ASSERT_TRUE(index.update_path(path));
      model.Update(path);
    }
    std::vector<std::string> listed = texts(true), expected;
    for (auto& p : model.list) expected.push_back(index.relative_path(p));
    ASSERT_EQ(listed, expected) << "step " << step << " " << path;
    for (const std::string& n : names) {
      auto found = index.metadata(root + "/" + n);
      auto* modelled = model.Find(root + "/" + n);
      ASSERT_EQ(found.has_value(), modelled != nullptr) << step << " " << n;
      ASSERT_TRUE(!found || found->is_dir == modelled->second) << n;
    }
    // The memo of list() is keyed by the generation.
    ASSERT_TRUE(listed == before || index.file_list_generation() != generation);
    before = listed;
  }
}

}  // namespace
}  // namespace tolvane

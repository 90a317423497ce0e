// The search engine against a plain per-line matcher written here, on generated
// files: every road of the engine, and a file read in windows of any size, must
// give the records that testing each line of each valid UTF-8 file with the
// compiled query gives.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <random>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "fs/regex/query.h"
#include "fs/searcher/search.h"
#include "fs/searcher/search_file.h"
#include "fs/utf8/utf8.h"
#include "gtest/gtest.h"
#include "test_util.h"

namespace tolvane {
namespace {

using testing::Escaped;
using testing::ModelLines;
using testing::ScratchDir;
using testing::WriteFile;
using Lines = std::vector<std::string>;
using Record = std::tuple<std::string, uint64_t, std::string, Lines, Lines>;

// Line ends of every kind, word and non-word bytes, letters whose case folding
// leaves ASCII (KELVIN SIGN, LONG S), other multi-byte text and runs of them.
// clang-format off
const char* const kPieces[] = {
    "a", "b", "ab", "k", "S", "_", "7", " ", "\t", "\v", "\n", "\n", "\n", "\r",
    "\r\n", "é", "Ω", "\xe2\x84\xaa", "\xc5\xbf", "a b", "a\nb", "Sb",
    "PM_RESUME", "ERR_SYS ", "ΔPM_SUSPEND", "quick brown foxes jumps",
    "a{0001}b"};

// Anchors, word boundaries, classes that match "\n", case folding, multi-byte
// text, literals, alternations, counted repetitions (a "{" that RE2 reads as a
// literal, bounds above what the prefilter keeps), and queries that match the
// empty line.
const char* const kQueries[] = {
    "a", "ab", "^a", "b$", "^$", "^ab$", "\\bk", "S\\b", "\\Bb", "a\\sb",
    "[^a]b", "\\s$", "k", "s", "é", "\\p{Greek}", "PM_RESUME", "\\w+_SUSPEND",
    "[A-Z]+_RES", "\\Aa", "b\\z", "\\r", "a\\r", "a*", ".", "a.b", "(?i)K",
    "7|é|Ω", "\\x{212A}", "[[:upper:]]", "[^\\x00-\\x7f]", "_\\d",
    "ERR_SYS|PM_RESUME|CFG", "\\w{5}\\s+\\w{5}\\s+\\w{5}", "(?-i:s)b", "^\\s*$",
    "\\v", "a{0001}b", "[ab]{2,40}k", "[^7]{40}"};
// clang-format on

std::vector<SearchResult> Model(const std::string& root, const Lines& paths,
                                const Lines& contents, const std::string& query,
                                const SearchOptions& options) {
  auto compiled = CompiledQuery::Compile(query, !options.case_sensitive);
  EXPECT_TRUE(compiled.has_value()) << query;
  std::vector<SearchResult> out;
  if (!compiled) return out;
  for (size_t f = 0; f < paths.size(); ++f) {
    if (!IsUtf8(contents[f])) continue;
    Lines lines = ModelLines(contents[f]);
    const size_t c = options.context_lines;
    for (size_t i = 0; i < lines.size(); ++i) {
      if (!compiled->Matches(lines[i])) continue;
      SearchResult& r = out.emplace_back();
      r.file = paths[f].starts_with(root + "/")
                   ? paths[f].substr(root.size() + 1)
                   : paths[f];
      r.content = lines[i];
      r.line_number = i + 1;
      r.context_before.assign(lines.begin() + (i < c ? 0 : i - c),
                              lines.begin() + i);
      r.context_after.assign(lines.begin() + i + 1,
                             lines.begin() + std::min(lines.size(), i + 1 + c));
    }
  }
  return out;
}

// A search's records joined, each file's records kept apart no more.
std::vector<SearchResult> Joined(const Result<SearchRecords>& found) {
  std::vector<SearchResult> out;
  for (const auto& file : found.value()) {
    EXPECT_FALSE(file.empty());
    out.insert(out.end(), file.begin(), file.end());
  }
  return out;
}

// With each line number `before` more.
std::vector<Record> Records(const std::vector<SearchResult>& results,
                            uint64_t before = 0) {
  std::vector<Record> out;
  for (const SearchResult& r : results) {
    out.emplace_back(r.file, before + r.line_number, Escaped(r.content),
                     r.context_before, r.context_after);
  }
  return out;
}

TEST(SearchTest, EqualsPlainPerLineMatcher) {
  ScratchDir scratch;
  const std::string root = scratch / "tree";
  std::mt19937 random(9);
  Lines paths, contents;
  for (int f = 0; f < 150; ++f) {
    std::string content;
    size_t pieces = random() % 40;
    for (size_t p = 0; p < pieces; ++p)
      content += kPieces[random() % std::size(kPieces)];
    // Invalid bytes before and after the matches of some files.
    if (f % 7 == 3) content.insert(random() % (content.size() + 1), "\xff");
    paths.push_back(f == 0 ? scratch / "outside"
                           : root + "/f" + std::to_string(f));
    contents.push_back(content);
    WriteFile(paths.back(), content);
  }
  for (size_t q = 0; q < std::size(kQueries); ++q) {
    for (bool case_sensitive : {true, false}) {
      SearchOptions options{~uint64_t{0}, 0, q % 3, case_sensitive};
      auto found = search(root, kQueries[q], "**/*", options, paths);
      ASSERT_TRUE(found.has_value()) << kQueries[q];
      EXPECT_EQ(Records(Joined(found)),
                Records(Model(root, paths, contents, kQueries[q], options)))
          << kQueries[q] << " case_sensitive=" << case_sensitive;
    }
  }
}

// Files read in windows of many sizes, from one byte up, one cap shared by the
// files searched in turn: lines, numbers and contexts (up to more lines than a
// file holds) across window ends, long lines, a UTF-8 error anywhere (also
// after the last match, or cut off at the end), which costs other files no
// slot; a size from before the file grew or shrank. Half the time each file's
// lines are numbered on from a count just below 2^32 (more line ends than that
// make no small file), so that the count passes it inside windows and records.
TEST(SearchTest, WindowsGiveTheWholeFileRecords) {
  ScratchDir scratch;
  const std::string root = scratch / "tree";
  std::mt19937 random(11);
  Lines paths, contents;
  std::vector<size_t> sizes;
  for (int f = 0; f < 40; ++f) {
    std::string content;
    size_t pieces = random() % 80;
    for (size_t p = 0; p < pieces; ++p) {
      content += f % 5 == 1 && p % 9 == 0
                     ? std::string(random() % 200, "ab "[random() % 3])
                     : kPieces[random() % std::size(kPieces)];
    }
    if (f % 7 == 3) content.insert(random() % (content.size() + 1), "\xff");
    if (f % 7 == 5) content += "\xe2\x84";
    paths.push_back(root + "/f" + std::to_string(f));
    WriteFile(paths.back(), content);
    // The search reads up to the size it is given: a file that grew after it
    // was measured is searched as it was, one that shrank as it is.
    sizes.push_back(f % 6 == 4   ? content.size() + 10
                    : f % 6 == 5 ? content.size() * 2 / 3
                                 : content.size());
    contents.push_back(content.substr(0, sizes.back()));
  }
  const size_t windows[] = {1, 2, 3, 7, 16, 61, 256};
  for (size_t q = 0; q < std::size(kQueries); ++q) {
    for (size_t w = 0; w < std::size(windows); ++w) {
      SearchOptions options{w % 3 == 0 ? 3 + q % 4 : ~uint64_t{0}, 0,
                            (q + w) % 5 == 4 ? 1000 : (q + w) % 5, q % 2 == 0};
      auto query = SearchQuery::Compile(kQueries[q], options.case_sensitive);
      ASSERT_TRUE(query.has_value()) << kQueries[q];
      SearchRun run(root, *query, options.max_results, options.context_lines);
      SearchWorker worker(windows[w]);
      const uint64_t before = (q + w) % 2 == 0 ? 0 : (uint64_t{1} << 32) - 5;
      std::vector<SearchResult> found;
      for (size_t f = 0; f < paths.size(); ++f) {
        auto file = worker.Open(AT_FDCWD, paths[f].c_str());
        ASSERT_TRUE(file.has_value());
        for (SearchResult& r : worker.Search(paths[f], file->fd.get(), sizes[f],
                                             run, false, before)) {
          found.push_back(std::move(r));
        }
      }
      auto expected = Model(root, paths, contents, kQueries[q], options);
      expected.resize(std::min<size_t>(expected.size(), options.max_results));
      EXPECT_EQ(Records(found), Records(expected, before))
          << kQueries[q] << " window=" << windows[w];
    }
  }
}

// Lines of up to hundreds of windows, the buffer raised one window at a time
// while each is read: records, numbers and contexts on both sides of them.
TEST(SearchTest, LongLinesSpanningManyWindows) {
  ScratchDir scratch;
  const std::string root = scratch / "tree";
  std::string content;
  for (size_t length : {0, 1, 15, 16, 17, 60, 61, 62, 500, 977, 3000, 7}) {
    content += (length % 3 == 0 ? "needle " : "") +
               std::string(length, "a\0"[length % 2]) +
               (length % 3 == 1 ? " needle" : "") +
               (length % 4 == 1 ? "\r\n" : "\n");
  }
  const Lines paths = {root + "/f"};
  WriteFile(paths[0], content);
  for (size_t window : {1, 16, 61}) {
    for (uint64_t context : {0, 1, 3}) {
      SearchOptions options{~uint64_t{0}, 0, context, true};
      auto query = SearchQuery::Compile("needle", true);
      ASSERT_TRUE(query.has_value());
      SearchRun run(root, *query, options.max_results, context);
      SearchWorker worker(window);
      auto file = worker.Open(AT_FDCWD, paths[0].c_str());
      ASSERT_TRUE(file.has_value());
      auto expected = Model(root, paths, {content}, "needle", options);
      EXPECT_EQ(
          Records(worker.Search(paths[0], file->fd.get(), file->size, run)),
          Records(expected))
          << "window=" << window << " context=" << context;
      EXPECT_EQ(expected.size(), 8u);
    }
  }
}

// The walk road's own tests of each file (size limit, binary sniff, file type,
// glob), its exact cap, and its errors.
TEST(SearchTest, WalkRoadTestsEachFile) {
  ScratchDir root;
  auto sized = [](size_t size, std::string tail) {
    std::string text = "needle\n";
    text.resize(size - tail.size(), 'x');
    return text + tail;
  };
  WriteFile(root / "exact.txt", sized(10485760, "\n"));
  WriteFile(root / "over.txt", sized(10485761, "\n"));
  WriteFile(root / "nul511.txt", sized(512, std::string(1, '\0')));
  WriteFile(root / "nul512.txt", sized(513, std::string(1, '\0')));
  for (const char* name : {".hidden/h.txt", "sub/deep.txt", "a.md"}) {
    WriteFile(root / name, "needle\n");
  }
  ASSERT_EQ(::mkfifo((root / "pipe.txt").c_str(), 0600), 0);
  ASSERT_EQ(::symlink("pipe.txt", (root / "to_pipe.txt").c_str()), 0);
  ASSERT_EQ(::symlink("sub/deep.txt", (root / "to_file.txt").c_str()), 0);
  ASSERT_EQ(::symlink("sub", (root / "to_dir.txt").c_str()), 0);
  SearchOptions options;
  auto found = search(root.path(), "needle", "*.txt", options, std::nullopt);
  ASSERT_TRUE(found.has_value());
  std::set<std::string> files;
  for (const SearchResult& r : Joined(found)) files.insert(r.file);
  EXPECT_EQ(files,
            (std::set<std::string>{".hidden/h.txt", "exact.txt", "nul512.txt",
                                   "sub/deep.txt", "to_file.txt"}));
  for (uint64_t max : {0, 1, 3}) {
    options.max_results = max;
    EXPECT_EQ(Joined(search(root.path(), "needle", "**", options, {})).size(),
              max);
  }
  EXPECT_EQ(search(root.path(), "a", "[", options, {}).error().kind(),
            FsError::Kind::kGlob);
  EXPECT_EQ(search(root.path(), "(", "[", options, {}).error().kind(),
            FsError::Kind::kRegex);
}

// With two descriptors to spare, the walk road still searches every file of a
// tree deeper than that: directories and files that can't be opened then are
// opened once the walk's own descriptors are closed.
TEST(SearchTest, WalkRoadSearchesEveryFileWithFewDescriptors) {
  ScratchDir root;
  std::multiset<std::string> expected;
  for (int a = 0; a < 4; ++a)
    for (int b = 0; b < 4; ++b)
      for (int f = 0; f < 20; ++f) {
        std::string name = "a" + std::to_string(a) + "/b" + std::to_string(b) +
                           "/c/f" + std::to_string(f);
        WriteFile(root / name, "x\nneedle\n");
        expected.insert(name);
      }
  testing::ProcessOutput child = testing::RunInChild([&] {
    // Once with descriptors to spare: a sanitizer that checks dynamic types
    // needs a descriptor the first time it meets a type.
    (void)search(root.path(), "needle", "**", {}, std::nullopt);
    testing::DescriptorHog hog(2);
    auto found = search(root.path(), "needle", "**", {}, std::nullopt);
    std::string report;
    for (const SearchResult& r : Joined(found)) report += r.file + '\0';
    return report;
  });
  ASSERT_EQ(child.status, 0);
  std::multiset<std::string> files;
  std::istringstream records(child.output);
  for (std::string file; std::getline(records, file, '\0');) files.insert(file);
  EXPECT_EQ(files, expected);
}

}  // namespace
}  // namespace tolvane

// The parallel walk: what it delivers (every admitted entry once, paths shaped
// from the root, depths, types from the listing, hidden entries, links not
// followed, errors for unreadable directories, any bytes in names, visits that
// run out of memory delivered again), and which files its ignore rules leave,
// against `git ls-files --others --cached --exclude-standard` inside
// repositories and against the ripgrep rules where git has no say (.ignore
// files, nested repositories, parents of the root).
#include "fs/ignore/walk.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <new>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "ignore_test_util.h"

namespace tolvane {
namespace {

using namespace tolvane::testing;

// Everything one walk delivered.
struct Walked {
  std::map<std::string, int> count;  // entry path -> number of deliveries
  std::map<std::string, EntryType> types;
  std::map<std::string, size_t> depths;
  std::vector<std::pair<std::string, std::string>> errors;  // path, text

  // The paths of the entries that aren't directories, relative to `root`,
  // leaving out the content of git directories (git never lists it).
  std::set<std::string> Files(const std::string& root) const {
    const size_t skip = root.size() + (root.ends_with('/') ? 0 : 1);
    std::set<std::string> files;
    for (const auto& [path, type] : types) {
      if (type == EntryType::kDirectory || path.size() <= skip) continue;
      std::string relative = path.substr(skip);
      if (relative.starts_with(".git/") ||
          relative.find("/.git/") != std::string::npos)
        continue;
      files.insert(relative);
    }
    return files;
  }
};

Walked WalkTree(const std::string& root) {
  Walked walked;
  std::mutex mu;
  const WalkOptions options{ProcessGitEnvironment()};
  ParallelWalk(
      root,
      [&](const WalkEntry& entry) {
        std::lock_guard<std::mutex> lock(mu);
        std::string path(entry.path);
        if (entry.is_error()) {
          EXPECT_EQ(entry.type, EntryType::kUnknown);
          walked.errors.emplace_back(path, std::string(entry.error));
          return;
        }
        ++walked.count[path];
        walked.types[path] = entry.type;
        walked.depths[path] = entry.depth;
      },
      options);
  return walked;
}

// Each test runs in an environment of its own: a scratch HOME, no git
// configuration of the machine.
class WalkTest : public ::testing::Test {
 protected:
  void SetUp() override { IsolateGitConfig(env_, home_.path()); }

  ScratchDir home_;
  ScratchDir dir_;
  EnvOverride env_;
};

// -----------------------------------------------------------------------------
// Paths and depths.

// The same tree walked from roots spelled in different ways: every path is the
// root as given joined with the names below it.
struct RootShape {
  const char* name;
  std::string cwd;   // below the scratch directory
  std::string root;  // "@" stands for the scratch directory
};

void PrintTo(const RootShape& c, std::ostream* os) { *os << c.name; }

class WalkRootShapeTest : public WalkTest,
                          public ::testing::WithParamInterface<RootShape> {};

TEST_P(WalkRootShapeTest, PathsAreTheRootJoinedWithNames) {
  const RootShape& c = GetParam();
  WriteFile(dir_ / "proj/src/a.py");
  WriteFile(dir_ / "proj/b");
  WorkingDir cwd(dir_ / c.cwd);
  const std::string root = ReplaceFirst(c.root, "@", dir_.path());
  Walked walked = WalkTree(root);
  EXPECT_TRUE(walked.errors.empty());
  const std::string join = root.ends_with('/') ? root : root + "/";
  std::map<std::string, size_t> expected = {
      {root, 0}, {join + "src", 1}, {join + "src/a.py", 2}, {join + "b", 1}};
  EXPECT_EQ(walked.depths, expected);
  for (const auto& [path, times] : walked.count) EXPECT_EQ(times, 1) << path;
}

INSTANTIATE_TEST_SUITE_P(
    Roots, WalkRootShapeTest,
    ::testing::Values(RootShape{"Relative", ".", "proj"},
                      RootShape{"TrailingSlash", ".", "proj/"},
                      RootShape{"Dot", "proj", "."},
                      RootShape{"DotSlash", "proj", "./"},
                      RootShape{"Absolute", ".", "@/proj"},
                      RootShape{"Parent", "proj/src", ".."}));

// -----------------------------------------------------------------------------
// Every entry exactly once, against a single-threaded walk of the same tree.

TEST_F(WalkTest, EveryEntryExactlyOnceOnAWideAndDeepTree) {
  const std::string root = dir_ / "tree";
  for (int a = 0; a < 30; ++a) {
    for (int b = 0; b < 20; ++b) {
      std::string sub =
          root + "/d" + std::to_string(a) + "/e" + std::to_string(b);
      for (int f = 0; f < 6; ++f) WriteFile(sub + "/f" + std::to_string(f));
    }
    MakeDirs(root + "/d" + std::to_string(a) + "/empty");
  }
  std::string deep = root + "/deep";
  for (int level = 0; level < 80; ++level) deep += "/l" + std::to_string(level);
  WriteFile(deep + "/bottom");

  std::map<std::string, EntryType> reference{{root, EntryType::kDirectory}};
  for (const auto& entry :
       std::filesystem::recursive_directory_iterator(root)) {
    reference[entry.path().string()] =
        entry.is_directory() ? EntryType::kDirectory : EntryType::kFile;
  }
  Walked walked = WalkTree(root);
  EXPECT_TRUE(walked.errors.empty());
  EXPECT_EQ(walked.types, reference);
  for (const auto& [path, times] : walked.count) ASSERT_EQ(times, 1) << path;
  EXPECT_EQ(walked.depths[deep + "/bottom"], 82u);
}

// -----------------------------------------------------------------------------
// Entry kinds.

TEST_F(WalkTest, HiddenEntriesAndTheGitDirectoryAreWalked) {
  const std::string root = dir_ / "repo";
  GitInit(root);
  WriteFile(root + "/.env");
  WriteFile(root + "/.config/settings");
  Walked walked = WalkTree(root);
  EXPECT_EQ(walked.count[root + "/.env"], 1);
  EXPECT_EQ(walked.count[root + "/.config/settings"], 1);
  EXPECT_EQ(walked.types[root + "/.git"], EntryType::kDirectory);
  EXPECT_EQ(walked.count[root + "/.git/HEAD"], 1);
}

TEST_F(WalkTest, SymbolicLinksAreEntriesAndNeverFollowed) {
  const std::string root = dir_ / "links";
  WriteFile(root + "/real/x");
  std::filesystem::create_directory_symlink("real", root + "/to_dir");
  std::filesystem::create_directory_symlink("..", root + "/real/loop");
  std::filesystem::create_symlink("nowhere", root + "/dangling");
  std::filesystem::create_symlink("self", root + "/self");
  std::filesystem::create_symlink("real/x", root + "/to_file");
  Walked walked = WalkTree(root);
  EXPECT_TRUE(walked.errors.empty());
  std::map<std::string, EntryType> expected{
      {root, EntryType::kDirectory},
      {root + "/real", EntryType::kDirectory},
      {root + "/real/x", EntryType::kFile},
      {root + "/real/loop", EntryType::kSymlink},
      {root + "/to_dir", EntryType::kSymlink},
      {root + "/dangling", EntryType::kSymlink},
      {root + "/self", EntryType::kSymlink},
      {root + "/to_file", EntryType::kSymlink},
  };
  EXPECT_EQ(walked.types, expected);
}

TEST_F(WalkTest, ARootLinkToADirectoryIsFollowed) {
  WriteFile(dir_ / "real/x");
  std::filesystem::create_directory_symlink(dir_ / "real", dir_ / "link");
  Walked walked = WalkTree(dir_ / "link");
  std::map<std::string, EntryType> expected{
      {dir_ / "link", EntryType::kDirectory},
      {dir_ / "link/x", EntryType::kFile}};
  EXPECT_EQ(walked.types, expected);
}

TEST_F(WalkTest, ARootThatIsAFileIsItsOnlyEntry) {
  WriteFile(dir_ / "file", "x");
  Walked walked = WalkTree(dir_ / "file");
  std::map<std::string, EntryType> expected{{dir_ / "file", EntryType::kFile}};
  EXPECT_EQ(walked.types, expected);
  EXPECT_EQ(walked.depths[dir_ / "file"], 0u);
  EXPECT_TRUE(walked.errors.empty());
}

TEST_F(WalkTest, AMissingRootIsOneError) {
  Walked walked = WalkTree(dir_ / "missing");
  EXPECT_TRUE(walked.types.empty());
  ASSERT_EQ(walked.errors.size(), 1u);
  EXPECT_EQ(walked.errors[0].first, dir_ / "missing");
  EXPECT_EQ(walked.errors[0].second, "No such file or directory (os error 2)");
}

TEST_F(WalkTest, SpecialFilesAreDeliveredWithoutBeingOpened) {
  const std::string root = dir_ / "special";
  MakeDirs(root);
  ASSERT_EQ(::mkfifo((root + "/pipe").c_str(), 0644), 0);
  // A FIFO in the place of an ignore file must not stall the walk either.
  ASSERT_EQ(::mkfifo((root + "/.ignore").c_str(), 0644), 0);
  Walked walked = WalkTree(root);
  EXPECT_EQ(walked.types[root + "/pipe"], EntryType::kOther);
  EXPECT_EQ(walked.types[root + "/.ignore"], EntryType::kOther);
}

TEST_F(WalkTest, NamesWithNewlinesAndInvalidUtf8AreWalkedAsBytes) {
  const std::string root = dir_ / "names";
  const std::vector<std::string> names = {"new\nline",
                                          "bad\xFF\xFE",
                                          "dir\nx/in\xC3",
                                          "caf\xC3\xA9",
                                          "tab\tname",
                                          "hide\xFF"
                                          "1"};
  for (const std::string& name : names) WriteFile(root + "/" + name);
  WriteFile(root + "/.ignore", "hide\xFF*\n");
  Walked walked = WalkTree(root);
  std::set<std::string> expected = {".ignore",     "new\nline",
                                    "bad\xFF\xFE", "dir\nx/in\xC3",
                                    "caf\xC3\xA9", "tab\tname"};
  EXPECT_EQ(walked.Files(root), expected);
  EXPECT_EQ(walked.types[root + "/dir\nx"], EntryType::kDirectory);
}

// An unreadable directory is delivered by its parent's listing, and its failed
// read arrives as an error; nothing below it. Run as an unprivileged child,
// since root reads everything.
TEST_F(WalkTest, AnUnreadableDirectoryIsAnEntryAndAnError) {
  const std::string root = dir_ / "perm";
  WriteFile(root + "/open/a");
  WriteFile(root + "/locked/b");
  WriteFile(root + "/ignored-locked/c");
  WriteFile(root + "/.ignore", "ignored-locked/\n");
  ASSERT_EQ(::chmod(dir_.path().c_str(), 0755), 0);
  ASSERT_EQ(::chmod(home_.path().c_str(), 0755), 0);
  ASSERT_EQ(::chmod((root + "/locked").c_str(), 0), 0);
  ASSERT_EQ(::chmod((root + "/ignored-locked").c_str(), 0), 0);

  ProcessOutput child = RunInChild([&] {
    // Drop to nobody when run as root; anyone else can't read the directory
    // already.
    if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) {
      ::_exit(2);
    }
    std::string report;
    std::mutex mu;
    ParallelWalk(root, [&](const WalkEntry& entry) {
      std::lock_guard<std::mutex> lock(mu);
      report += entry.is_error() ? "E " : "- ";
      report.append(entry.path);
      report += ' ';
      report += entry.is_error() ? std::string(entry.error)
                                 : std::to_string(entry.depth);
      report += '\0';
    });
    return report;
  });
  ASSERT_EQ(child.status, 0);
  std::set<std::string> expected = {
      "- " + root + " 0",
      "- " + root + "/.ignore 1",
      "- " + root + "/open 1",
      "- " + root + "/open/a 2",
      "- " + root + "/locked 1",
      "E " + root + "/locked Permission denied (os error 13)",
  };
  EXPECT_EQ(SplitNul(child.output), expected);
}

// -----------------------------------------------------------------------------
// Descriptors running short.

// Each delivery of a walk as one NUL-terminated record: "E path" for an error,
// the path for an entry.
WalkVisitor Recorder(std::string* report, std::mutex* mu) {
  return [report, mu](const WalkEntry& entry) {
    std::lock_guard<std::mutex> lock(*mu);
    if (entry.is_error()) report->append("E ");
    report->append(entry.path);
    report->push_back('\0');
  };
}

// With two descriptors to spare, a tree deeper than that is walked whole: the
// directories that can't be opened are opened again once the walk's other
// work, and its descriptors, are done. With none, the root stays unread, and a
// later walk from it delivers the rest.
TEST_F(WalkTest, DirectoriesOpenedOnceDescriptorsAreFree) {
  const std::string root = dir_ / "tree";
  for (int a = 0; a < 4; ++a)
    for (int b = 0; b < 4; ++b)
      for (int c = 0; c < 4; ++c)
        for (int f = 0; f < 5; ++f)
          WriteFile(root + "/a" + std::to_string(a) + "/b" + std::to_string(b) +
                    "/c" + std::to_string(c) + "/f" + std::to_string(f));
  std::map<std::string, int> reference{{root, 1}};
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root))
    reference[entry.path().string()] = 1;

  for (const int spare : {2, 0}) {
    ProcessOutput child = RunInChild([&] {
      std::string report;
      std::mutex mu;
      UnreadDirs unread;
      // Once with descriptors to spare: a sanitizer that checks dynamic types
      // needs a descriptor the first time it meets a type.
      ParallelWalk(root, [](const WalkEntry&) {});
      DescriptorHog hog(spare);
      ParallelWalk(root, Recorder(&report, &mu),
                   WalkOptions{ProcessGitEnvironment(), nullptr, &unread});
      const size_t left = unread.dirs.size();
      hog.Release();
      ResumeWalk(std::move(unread), Recorder(&report, &mu));
      return report + "unread " + std::to_string(left);
    });
    ASSERT_EQ(child.status, 0);
    const size_t tail = child.output.rfind('\0') + 1;
    std::map<std::string, int> delivered;
    std::istringstream records(child.output.substr(0, tail));
    for (std::string path; std::getline(records, path, '\0');)
      ++delivered[path];
    EXPECT_EQ(delivered, reference) << spare;
    EXPECT_EQ(child.output.substr(tail), spare == 0 ? "unread 1" : "unread 0");
  }
}

// A visit that runs out of memory (throws std::bad_alloc) keeps its directory,
// which later walks go on with from that entry: every entry is delivered once
// in the end. Every n-th visit fails, for periods that cut wide directories
// many times over and a few times.
TEST_F(WalkTest, AVisitOutOfMemoryIsDeliveredAgainAndNeverLost) {
  const std::string root = dir_ / "tree";
  for (int a = 0; a < 3; ++a) {
    const std::string dir = root + "/a" + std::to_string(a);
    for (int f = 0; f < 150; ++f) WriteFile(dir + "/f" + std::to_string(f));
    for (int b = 0; b < 5; ++b)
      WriteFile(dir + "/b" + std::to_string(b) + "/g");
  }
  std::map<std::string, int> reference{{root, 1}};
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root))
    reference[entry.path().string()] = 1;
  for (const int period : {2, 3, 7, 40}) {
    std::mutex mu;
    std::map<std::string, int> delivered;
    std::atomic<int> visits{0};
    const WalkVisitor visit = [&](const WalkEntry& entry) {
      ASSERT_FALSE(entry.is_error()) << entry.path;
      if (entry.depth > 0 && ++visits % period == 0) throw std::bad_alloc();
      std::lock_guard<std::mutex> lock(mu);
      ++delivered[std::string(entry.path)];
    };
    UnreadDirs unread;
    ParallelWalk(root, visit, WalkOptions{{}, nullptr, &unread});
    for (int round = 0; !unread.dirs.empty() && round < 1000; ++round) {
      UnreadDirs still;
      ResumeWalk(std::move(unread), visit, WalkOptions{{}, nullptr, &still});
      unread = std::move(still);
    }
    EXPECT_EQ(delivered, reference) << period;
  }
}

// A listing that memory cuts short (20,000 long names, several MiB of
// records, with 1 MiB of private writable memory left) delivers none of its
// entries: the walk fails, or, with the caller's UnreadDirs, keeps the
// directory, which a later walk reads whole.
TEST_F(WalkTest, AListingThatMemoryCutsShortFailsOrIsReadAgainWhole) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "a sanitizer's shadow memory needs more address space";
#endif
  const std::string root = dir_ / "wide";
  constexpr int kFiles = 20000;
  for (int i = 0; i < kFiles; ++i)
    WriteFile(root + "/" + std::to_string(kFiles + i) + std::string(185, 'n'));
  ProcessOutput child = RunInChild([&] {
    // Counted by the number that begins each name, without allocating.
    std::vector<std::atomic<int>> seen(kFiles);
    std::atomic<int> errors{0};
    const WalkVisitor visit = [&](const WalkEntry& entry) {
      if (entry.is_error()) ++errors;
      if (entry.depth == 1) ++seen[std::atoi(entry.name) - kFiles];
    };
    auto once = [&] {
      bool whole = errors.exchange(0) == 0;
      for (auto& times : seen) whole &= times.exchange(0) == 1;
      return whole ? "whole" : "short";
    };
    UnreadDirs unread;
    unread.dirs.reserve(1);
    // Unlike an address-space limit, it also holds for heaps that grow within
    // space reserved before it.
    struct rlimit limit;
    ::getrlimit(RLIMIT_DATA, &limit);
    const rlim_t unlimited = limit.rlim_cur;
    std::ifstream status("/proc/self/status");
    std::string field;
    size_t data_kib = 0;
    while (status >> field && field != "VmData:") {
    }
    status >> data_kib;
    limit.rlim_cur = (data_kib << 10) + (1 << 20);
    ::setrlimit(RLIMIT_DATA, &limit);
    const char* alone = "failed";
    try {
      ParallelWalk(root, visit);
      alone = once();
    } catch (const std::bad_alloc&) {
      once();
    }
    ParallelWalk(root, visit, WalkOptions{{}, nullptr, &unread});
    limit.rlim_cur = unlimited;
    ::setrlimit(RLIMIT_DATA, &limit);
    const size_t kept = unread.dirs.size();
    ResumeWalk(std::move(unread), visit);
    return std::string(alone) + " " + std::to_string(kept) + " " + once();
  });
  ASSERT_EQ(child.status, 0);
  EXPECT_EQ(child.output, "failed 1 whole");
}

// -----------------------------------------------------------------------------
// Ignore rules inside repositories, against git.

class WalkAgainstGitTest : public WalkTest {
 protected:
  void SetUp() override {
    WalkTest::SetUp();
    repo_ = dir_ / "repo";
    GitInit(repo_);
  }

  // Writes the ignore files (path relative to the repository -> content) and
  // the empty files.
  void Files(const std::map<std::string, std::string>& rules,
             const std::vector<std::string>& files) {
    for (const auto& [path, content] : rules)
      WriteFile(repo_ + "/" + path, content);
    for (const std::string& path : files) WriteFile(repo_ + "/" + path);
  }

  // The walk of `root` (relative to the repository) lists what git lists there.
  void ExpectSameAsGit(const std::string& root = "") {
    const std::string dir = root.empty() ? repo_ : repo_ + "/" + root;
    std::set<std::string> from_git = GitListed(dir);
    Walked walked = WalkTree(dir);
    EXPECT_TRUE(walked.errors.empty());
    EXPECT_EQ(walked.Files(dir), from_git);
    EXPECT_FALSE(from_git.empty());
  }

  std::string repo_;
};

// A repository's ignore files and empty files, whose walk lists what git lists.
struct GitTreeCase {
  const char* name;
  std::map<std::string, std::string> rules;
  std::vector<std::string> files;
};

void PrintTo(const GitTreeCase& c, std::ostream* os) { *os << c.name; }

class WalkGitTreeTest : public WalkAgainstGitTest,
                        public ::testing::WithParamInterface<GitTreeCase> {};

TEST_P(WalkGitTreeTest, ListsWhatGitLists) {
  Files(GetParam().rules, GetParam().files);
  ExpectSameAsGit();
}

INSTANTIATE_TEST_SUITE_P(
    Rules, WalkGitTreeTest,
    ::testing::Values(
        GitTreeCase{
            "NestedGitignoreFiles",
            {{".gitignore", "*.log\n/build/\n"},
             {"src/.gitignore", "!keep.log\ngen/\n*.tmp\n"},
             {"src/deep/.gitignore", "!*.tmp\n"}},
            {"a.log", "keep.log", "src/keep.log", "src/x.log", "build/out",
             "src/build/out", "src/gen/g.c", "src/deep/gen/h.c", "src/t.tmp",
             "src/deep/t.tmp", "docs/readme"}},
        GitTreeCase{"NegationUnderAnExcludedDirectory",
                    {{".gitignore",
                      "cache/\n!cache/keep\nlogs/*\n!logs/important/\n"
                      "logs/important/*\n!logs/important/a.log\n"}},
                    {"cache/keep", "cache/drop", "other/cache/x", "logs/x.log",
                     "logs/important/a.log", "logs/important/b.log",
                     "logs/important/sub/c.log"}},
        GitTreeCase{"DirectoryOnlyRules",
                    {{".gitignore", "out/\nbin\n/tmp/\n"}},
                    {"out/x", "sub/out/y", "a/out", "out2", "bin", "c/bin/z",
                     "tmp/t", "c/tmp/t"}},
        GitTreeCase{
            "AnchoredRules",
            {{".gitignore", "/top.txt\nsub/only.txt\n/sub2/*.c\nx/*/z\n"}},
            {"top.txt", "x/top.txt", "sub/only.txt", "x/sub/only.txt",
             "sub2/a.c", "x/sub2/a.c", "sub2/deep/b.c", "x/y/z", "x/y/w/z"}},
        GitTreeCase{
            "DoubleStars",
            {{".gitignore",
              "**/gen\nlib/**/test\nvendor/**\n**/*.min.js\nsrc/a**/b\n"}},
            {"gen/x", "a/b/gen/y", "lib/test/t", "lib/a/b/test/t",
             "lib/testing/t", "vendor/v", "vendor/d/v", "app.min.js",
             "web/app.min.js", "app.js", "src/abc/x/b", "src/b"}},
        GitTreeCase{
            "EscapesAndTrailingSpaces",
            {{".gitignore",
              "\\#notes\n\\!important\ntrail   \nkeep\\ \n# comment\n\n"}},
            {"#notes", "!important", "trail", "keep ", "keep", "# comment"}},
        GitTreeCase{"InfoExclude",
                    {{".git/info/exclude", "secret*\n/local/\n"},
                     {".gitignore", "!secret-ok\n"}},
                    {"secret-a", "secret-ok", "sub/secret-b", "local/x",
                     "sub/local/y", "public"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(WalkAgainstGitTest, HiddenRuleExcludesTheGitDirectory) {
  Files({{".gitignore", ".*\n!.gitignore\n"}},
        {".env", ".config/x", "visible"});
  Walked walked = WalkTree(repo_);
  EXPECT_EQ(walked.count.count(repo_ + "/.git"), 0u);
  ExpectSameAsGit();
}

TEST_F(WalkAgainstGitTest, RootBelowTheRepositoryTop) {
  Files({{".gitignore", "/sub/generated/\n*.o\n/sub/x.txt\n/y.txt\n"},
         {".git/info/exclude", "/sub/local\n"}},
        {"sub/generated/g", "sub/a.o", "sub/x.txt", "sub/y.txt", "sub/local",
         "sub/keep.c", "sub/deeper/x.txt"});
  ExpectSameAsGit("sub");
  WorkingDir cwd(repo_ + "/sub");
  Walked walked = WalkTree(".");
  EXPECT_EQ(walked.Files("."), GitListed(repo_ + "/sub"));
}

// Where the global excludes file is: one environment variable (or none) and
// one configuration file (or none), below the scratch HOME ("@").
struct GlobalSource {
  const char* name;
  const char* variable;
  const char* value;
  const char* config;
  const char* config_text;
  const char* excludes;
};

void PrintTo(const GlobalSource& c, std::ostream* os) { *os << c.name; }

class WalkGlobalExcludesTest
    : public WalkAgainstGitTest,
      public ::testing::WithParamInterface<GlobalSource> {};

TEST_P(WalkGlobalExcludesTest, GlobalFileAppliesBelowLocalRules) {
  const GlobalSource& c = GetParam();
  if (*c.variable)
    env_.Set(c.variable, ReplaceFirst(c.value, "@", home_.path()));
  if (*c.config)
    WriteFile(home_ / c.config, ReplaceFirst(c.config_text, "@", home_.path()));
  WriteFile(home_ / c.excludes, "*.bak\n/rootonly\n");
  Files({{".gitignore", "!keep.bak\n"}}, {"a.bak", "keep.bak", "sub/b.bak",
                                          "rootonly", "sub/rootonly", "plain"});
  ExpectSameAsGit();
  Walked walked = WalkTree(repo_);
  EXPECT_EQ(walked.count.count(repo_ + "/a.bak"), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Sources, WalkGlobalExcludesTest,
    ::testing::Values(
        GlobalSource{"GitConfigGlobal", "GIT_CONFIG_GLOBAL", "@/custom.config",
                     "custom.config",
                     "[core]\n\texcludesFile = @/my-excludes\n", "my-excludes"},
        GlobalSource{"XdgDefault", "XDG_CONFIG_HOME", "@/xdg", "", "",
                     "xdg/git/ignore"},
        GlobalSource{"HomeGitconfigWithTilde", "", "", ".gitconfig",
                     "[core]\n\texcludesFile = ~/.excludes\n", ".excludes"}));

// -----------------------------------------------------------------------------
// Where git has no say: .ignore files, repositories nested in repositories,
// parents of the root.

// A tree with ignore files of its own, and what its walk delivers.
struct OwnRulesCase {
  const char* name;
  std::vector<std::string> repositories;     // relative to the root
  std::map<std::string, std::string> rules;  // ignore file -> its lines
  std::vector<std::string> files;            // empty files
  std::set<std::string> expected;            // relative to the root
};

void PrintTo(const OwnRulesCase& c, std::ostream* os) { *os << c.name; }

class WalkOwnRulesTest : public WalkTest,
                         public ::testing::WithParamInterface<OwnRulesCase> {};

TEST_P(WalkOwnRulesTest, DeliversWhatTheRulesLeave) {
  const OwnRulesCase& c = GetParam();
  const std::string root = dir_ / "tree";
  for (const std::string& repository : c.repositories)
    GitInit(root + "/" + repository);
  for (const auto& [path, lines] : c.rules) WriteFile(root + "/" + path, lines);
  for (const std::string& file : c.files) WriteFile(root + "/" + file);
  EXPECT_EQ(WalkTree(root).Files(root), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Trees, WalkOwnRulesTest,
    ::testing::Values(
        OwnRulesCase{"IgnoreFilesCountOutsideRepositoriesAndGitignoreFilesDont",
                     {},
                     {{".ignore", "*.log\n"},
                      {".gitignore", "*.txt\n"},
                      {"sub/.gitignore", "*.md\n"}},
                     {"a.log", "a.txt", "sub/b.log", "sub/b.txt", "sub/c.md"},
                     {".ignore", ".gitignore", "sub/.gitignore", "a.txt",
                      "sub/b.txt", "sub/c.md"}},
        OwnRulesCase{
            "IgnoreFilesOverrideGitignoreFiles",
            {"."},
            {{".gitignore", "*.txt\n!x.dat\n"},
             {".ignore", "!keep.txt\n!keep2.txt\n*.dat\n"},
             {"sub/.gitignore", "keep2.txt\n"}},
            {"keep.txt", "drop.txt", "x.dat", "sub/keep2.txt", "sub/keep.txt"},
            {".gitignore", ".ignore", "sub/.gitignore", "keep.txt",
             "sub/keep2.txt", "sub/keep.txt"}},
        OwnRulesCase{"ANestedRepositoryStartsItsOwnGitScope",
                     {".", "inner"},
                     {{".gitignore", "*.txt\n"},
                      {".ignore", "*.bin\n"},
                      {".git/info/exclude", "*.cfg\n"},
                      {"inner/.gitignore", "*.md\n"}},
                     {"a.txt", "d.md", "e.bin", "f.cfg", "inner/b.txt",
                      "inner/c.md", "inner/g.bin", "inner/h.cfg"},
                     {".gitignore", ".ignore", "d.md", "inner/.gitignore",
                      "inner/b.txt", "inner/h.cfg"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(WalkTest, IgnoreFilesOfTheRootsParentsApply) {
  // A parent outside any repository: its .ignore counts, anchored at the
  // parent.
  WriteFile(dir_ / ".ignore", "*.skip\n/proj/top.only\n");
  WriteFile(dir_ / ".gitignore", "*.c\n");
  const std::string root = dir_ / "proj";
  for (const char* name : {"a.skip", "top.only", "sub/top.only", "x.c"}) {
    WriteFile(root + "/" + name);
  }
  std::set<std::string> expected = {"sub/top.only", "x.c"};
  EXPECT_EQ(WalkTree(root).Files(root), expected);
  WorkingDir cwd(root);
  EXPECT_EQ(WalkTree(".").Files("."), expected);
}

}  // namespace
}  // namespace tolvane

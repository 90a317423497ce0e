#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "fs/io/write_atomic.h"
#include "fs/io/write_fast.h"
#include "gtest/gtest.h"
#include "re2/re2.h"
#include "test_util.h"

namespace tolvane::io {
namespace {

using testing::CurrentUmask;
using testing::ModeOf;
using testing::ProcessOutput;
using testing::ReadBytes;
using testing::ReplaceFirst;
using testing::RunInChild;
using testing::ScratchDir;
using testing::WorkingDir;
using testing::WriteFile;

constexpr char kPersistPrefix[] =
    "Failed to persist file: failed to persist temporary file: ";
constexpr char kTempName[] = R"(\.tmp[A-Za-z0-9]{6})";

// Targets both writers fail on (absolute paths in the scratch directory).
std::string NulInLastComponent(const ScratchDir& d) {
  return d / std::string("a\0b", 3);
}
std::string NulInDirectory(const ScratchDir& d) {
  return d / std::string("a\0b/c", 5);
}
std::string ParentIsFile(const ScratchDir& d) {
  WriteFile(d / "f", "kept");
  return d / "f/x";
}

// ---- write_atomic: what the target becomes ----

struct AtomicCase {
  std::string name;
  // Prepares the scratch directory; returns the target (relative to it).
  std::string (*setup)(const ScratchDir&);
  mode_t mode;  // expected permission bits; 0: 0600 less the umask
};

// An existing target "t" with the permission bits `kMode`.
template <mode_t kMode>
std::string ExistingTarget(const ScratchDir& d) {
  WriteFile(d / "t", "old");
  ::chmod((d / "t").c_str(), kMode);
  return "t";
}

const AtomicCase kAtomicCases[] = {
    {"NewFile", [](const ScratchDir&) { return std::string("new"); }, 0},
    {"MissingParents",
     [](const ScratchDir&) { return std::string("a/b/c/new"); }, 0},
    {"KeepsMode0644", ExistingTarget<0644>, 0644},
    {"KeepsReadOnly", ExistingTarget<0400>, 0400},
    {"DropsSetIdBits", ExistingTarget<06755>, 0755},
    {"LinkToFileTakesItsMode",
     [](const ScratchDir& d) {
       WriteFile(d / "dest", "old");
       ::chmod((d / "dest").c_str(), 0640);
       ::symlink("dest", (d / "t").c_str());
       return std::string("t");
     },
     0640},
    {"DanglingLink",
     [](const ScratchDir& d) {
       ::symlink("nowhere", (d / "t").c_str());
       return std::string("t");
     },
     0},
};

class AtomicWrite : public ::testing::TestWithParam<AtomicCase> {};

TEST_P(AtomicWrite, TargetIsANewRegularFile) {
  ScratchDir dir;
  std::string target = dir / GetParam().setup(dir);
  std::string content("new content\n\0with nul", 21);
  ASSERT_TRUE(write_atomic(target, content));
  mode_t mode = ModeOf(target);
  EXPECT_TRUE(S_ISREG(mode));
  mode_t expected =
      GetParam().mode != 0 ? GetParam().mode : 0600 & ~CurrentUmask();
  EXPECT_EQ(mode & 07777, expected);
  EXPECT_EQ(ReadBytes(target), content);
  for (const std::string& name : dir.Entries())
    EXPECT_FALSE(name.starts_with(".tmp")) << "temporary file left";
}

INSTANTIATE_TEST_SUITE_P(Targets, AtomicWrite,
                         ::testing::ValuesIn(kAtomicCases),
                         [](const auto& info) { return info.param.name; });

TEST(AtomicWriteTargets, LinkDestinationAndHardLinksKeepOldContent) {
  ScratchDir dir;
  WriteFile(dir / "dest", "old");
  ::symlink("dest", (dir / "link").c_str());
  ::link((dir / "dest").c_str(), (dir / "hard").c_str());
  ASSERT_TRUE(write_atomic(dir / "link", "new"));
  EXPECT_TRUE(S_ISREG(ModeOf(dir / "link")));
  EXPECT_EQ(ReadBytes(dir / "link"), "new");
  EXPECT_EQ(ReadBytes(dir / "dest"), "old");
  ASSERT_TRUE(write_atomic(dir / "dest", "newer"));
  EXPECT_EQ(ReadBytes(dir / "hard"), "old");
}

TEST(AtomicWriteTargets, EmptyAndLargeContent) {
  ScratchDir dir;
  WriteFile(dir / "t", "something");
  ASSERT_TRUE(write_atomic(dir / "t", ""));
  EXPECT_EQ(ReadBytes(dir / "t"), "");
  std::string large(5 << 20, 'L');
  ASSERT_TRUE(write_atomic(dir / "t", large));
  EXPECT_EQ(ReadBytes(dir / "t"), large);
}

TEST(AtomicWriteTargets, RelativeTargetsUseTheWorkingDirectory) {
  ScratchDir dir;
  WorkingDir cwd(dir.path());
  ASSERT_TRUE(write_atomic("plain", "1"));
  ASSERT_TRUE(write_atomic("./dotted", "2"));
  ASSERT_TRUE(write_atomic("sub/deeper/file", "3"));
  EXPECT_EQ(ReadBytes(dir / "plain"), "1");
  EXPECT_EQ(ReadBytes(dir / "dotted"), "2");
  EXPECT_EQ(ReadBytes(dir / "sub/deeper/file"), "3");
  EXPECT_EQ(ModeOf(dir / "sub/deeper") & 0777, 0777 & ~CurrentUmask());
}

TEST(AtomicWriteTargets, ConcurrentWritersLeaveOneWholeContent) {
  ScratchDir dir;
  std::vector<std::string> contents;
  for (int i = 0; i < 8; ++i)
    contents.push_back(std::string(100000, static_cast<char>('a' + i)));
  std::vector<std::thread> threads;
  std::atomic<int> failures = 0;
  for (const auto& content : contents) {
    threads.emplace_back([&] {
      for (int round = 0; round < 20; ++round) {
        if (!write_atomic(dir / "t", content)) ++failures;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures, 0);
  EXPECT_NE(std::find(contents.begin(), contents.end(), ReadBytes(dir / "t")),
            contents.end());
  EXPECT_EQ(dir.Entries(), std::vector<std::string>{"t"});
}

// ---- write_atomic: failures ----

struct AtomicFailure {
  std::string name;
  std::string (*setup)(const ScratchDir&);
  // A regex over the message; "{dir}" stands for the scratch directory.
  std::string pattern;
  bool in_dir = false;  // run in the scratch directory
};

const AtomicFailure kAtomicFailures[] = {
    {"TargetIsDirectory",
     [](const ScratchDir& d) {
       ::mkdir((d / "t").c_str(), 0755);
       WriteFile(d / "t/inside", "kept");
       return d / "t";
     },
     RE2::QuoteMeta(std::string(kPersistPrefix) +
                    "Is a directory (os error 21)")},
    {"ParentIsFile", ParentIsFile,
     R"(Not a directory \(os error 20\) at path "\{dir\}/f/)" +
         std::string(kTempName) + "\""},
    {"NulInLastComponent", NulInLastComponent,
     RE2::QuoteMeta(std::string(kPersistPrefix) +
                    "Invalid argument (os error 22)")},
    {"NulInDirectory", NulInDirectory,
     "file name contained an unexpected NUL byte"},
    {"QuotedTemporaryPathEscapesTheDirectory",
     [](const ScratchDir& d) {
       WriteFile(d / "f\t\"\xFF", "kept");
       return d / "f\t\"\xFF/x";
     },
     R"(Not a directory \(os error 20\) at path "\{dir\}/f\\t\\"\\xFF/)" +
         std::string(kTempName) + "\""},
    {"AncestorIsFile",
     [](const ScratchDir& d) {
       WriteFile(d / "f", "kept");
       return d / "f/g/x";
     },
     R"(Not a directory \(os error 20\))"},
    // With a relative target the temporary path shown is still absolute.
    {"RelativeTarget",
     [](const ScratchDir& d) {
       WriteFile(d / "f", "kept");
       return std::string("f/x");
     },
     R"(Not a directory \(os error 20\) at path "\{dir\}/f/)" +
         std::string(kTempName) + "\"",
     true},
    // "/" has "." for its directory: the temporary file is made in the working
    // directory, and removed when the rename fails.
    {"RootTarget", [](const ScratchDir&) { return std::string("/"); },
     RE2::QuoteMeta(kPersistPrefix) + ".*", true},
};

class AtomicWriteFailure : public ::testing::TestWithParam<AtomicFailure> {};

TEST_P(AtomicWriteFailure, LeavesNoTemporaryFile) {
  ScratchDir dir;
  std::optional<WorkingDir> cwd;
  if (GetParam().in_dir) cwd.emplace(dir.path());
  std::string target = GetParam().setup(dir);
  std::vector<std::string> before = dir.Entries();
  auto written = write_atomic(target, "content");
  ASSERT_FALSE(written);
  EXPECT_EQ(written.error().kind(), FsError::Kind::kIo);
  std::string pattern = ReplaceFirst(GetParam().pattern, R"(\{dir\})",
                                     RE2::QuoteMeta(dir.path()));
  EXPECT_TRUE(RE2::FullMatch(written.error().message(), pattern))
      << written.error().message();
  EXPECT_EQ(dir.Entries(), before);
  if (std::filesystem::is_directory(dir / "t")) {
    EXPECT_EQ(dir.Entries("t"), std::vector<std::string>{"inside"});
  }
}

INSTANTIATE_TEST_SUITE_P(Errors, AtomicWriteFailure,
                         ::testing::ValuesIn(kAtomicFailures),
                         [](const auto& info) { return info.param.name; });

// A failing write(2) (file size limit) removes the temporary file; checked in a
// child process, whose limit doesn't reach the test runner.
TEST(AtomicWriteFailures, WriteFailureRemovesTheTemporaryFile) {
  ScratchDir dir;
  WriteFile(dir / "t", "old");
  ProcessOutput child = RunInChild([&] {
    ::signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = {4096, 4096};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    auto written = write_atomic(dir / "t", std::string(100000, 'x'));
    return written ? std::string("succeeded") : written.error().message();
  });
  EXPECT_EQ(child.status, 0);
  std::string pattern(R"(File too large \(os error 27\) at path ")" +
                      RE2::QuoteMeta(dir.path()) + "/" + kTempName + "\"");
  EXPECT_TRUE(RE2::FullMatch(child.output, pattern)) << child.output;
  EXPECT_EQ(dir.Entries(), std::vector<std::string>{"t"});
  EXPECT_EQ(ReadBytes(dir / "t"), "old");
}

TEST(AtomicWriteNames, TenCharactersFromTheAlphabetAndDistinct) {
  ScratchDir dir;
  WriteFile(dir / "f", "");
  std::set<std::string> names;
  std::set<char> seen;
  const RE2 pattern(".*/f/(" + std::string(kTempName) + ")\"");
  for (int i = 0; i < 400; ++i) {
    auto written = write_atomic(dir / "f/x", "");
    ASSERT_FALSE(written);
    std::string message = written.error().message();
    std::string name;
    ASSERT_TRUE(RE2::FullMatch(message, pattern, &name)) << message;
    EXPECT_EQ(name.size(), 10u);
    names.insert(name);
    seen.insert(name.begin() + 4, name.end());
  }
  EXPECT_EQ(names.size(), 400u);
  EXPECT_EQ(seen.size(),
            62u);  // 2400 draws leave no character of the 62 out in practice
}

// ---- write_file_fast: failures ----

struct FastFailure {
  std::string name;
  std::string (*setup)(const ScratchDir&);
  FsError::Kind kind;
  std::string message;  // "{target}" stands for the target path
};

const FastFailure kFastFailures[] = {
    {"Directory",
     [](const ScratchDir& d) {
       ::mkdir((d / "t").c_str(), 0755);
       return d / "t";
     },
     FsError::Kind::kIo, "Is a directory (os error 21)"},
    {"Root", [](const ScratchDir&) { return std::string("/"); },
     FsError::Kind::kIo, "Is a directory (os error 21)"},
    {"DanglingLinkIntoMissingDirectory",
     [](const ScratchDir& d) {
       ::symlink("missing/dest", (d / "t").c_str());
       return d / "t";
     },
     FsError::Kind::kPathNotFound, "Path not found: {target}"},
    {"ParentIsFile", ParentIsFile, FsError::Kind::kIo,
     "Not a directory (os error 20)"},
    {"NulInLastComponent", NulInLastComponent, FsError::Kind::kIo,
     "file name contained an unexpected NUL byte"},
    {"NulInDirectory", NulInDirectory, FsError::Kind::kIo,
     "file name contained an unexpected NUL byte"},
};

class FastWriteFailure : public ::testing::TestWithParam<FastFailure> {};

TEST_P(FastWriteFailure, ReportsTheError) {
  ScratchDir dir;
  std::string target = GetParam().setup(dir);
  auto written = write_file_fast(target, "x");
  ASSERT_FALSE(written);
  EXPECT_EQ(written.error().kind(), GetParam().kind);
  EXPECT_EQ(written.error().message(),
            ReplaceFirst(GetParam().message, "{target}", target));
}

INSTANTIATE_TEST_SUITE_P(Errors, FastWriteFailure,
                         ::testing::ValuesIn(kFastFailures),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace tolvane::io

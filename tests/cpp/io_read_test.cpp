#include <sys/resource.h>
#include <sys/stat.h>

#include <climits>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "fs/io/read.h"
#include "fs/io/read_batch.h"
#include "fs/io/read_lines.h"
#include "fs/utf8/utf8.h"
#include "gtest/gtest.h"
#include "test_util.h"

namespace tolvane::io {
namespace {

using testing::ModelLines;
using testing::ProcessOutput;
using testing::ReplaceFirst;
using testing::RunInChild;
using testing::ScratchDir;
using testing::WriteFile;
using Lines = std::vector<std::string>;

constexpr uint64_t kLarge = 1048576;

// The selection of the buffered road over the model's lines.
Lines ModelSelect(const Lines& all, uint64_t start,
                  std::optional<uint64_t> count, bool drop_invalid) {
  Lines out;
  for (uint64_t i = start; i < all.size(); ++i) {
    if (count && out.size() >= *count) break;
    if (drop_invalid && !IsUtf8(all[i])) continue;
    out.push_back(all[i]);
  }
  return out;
}

// Whole lines of padding that push a file over the large-file threshold.
constexpr uint64_t kPaddingLines = 1025;
std::string Padding() {
  std::string line(1023, 'p');
  line += '\n';
  std::string padding;
  for (uint64_t i = 0; i < kPaddingLines; ++i) padding += line;
  return padding;
}

// ---- read_file ----

struct WholeCase {
  std::string name;
  std::string content;
};

class ReadFileRoundTrip : public ::testing::TestWithParam<WholeCase> {};

TEST_P(ReadFileRoundTrip, ReturnsContentUnchanged) {
  ScratchDir dir;
  WriteFile(dir / "f", GetParam().content);
  auto text = read_file(dir / "f");
  ASSERT_TRUE(text) << text.error().message();
  EXPECT_EQ(*text, GetParam().content);
}

INSTANTIATE_TEST_SUITE_P(
    Contents, ReadFileRoundTrip,
    ::testing::Values(WholeCase{"Empty", ""},
                      WholeCase{
                          "BomCrLfMultiByte",
                          "\xEF\xBB\xBFh\xC3\xA9llo\r\n\xF0\x9F\x98\x80\r\n"},
                      WholeCase{"Large", std::string(3 * kLarge + 17, 'z')}),
    [](const auto& info) { return info.param.name; });

// The message of a failed read, or "succeeded".
std::string ErrorOf(const auto& result) {
  return result ? "succeeded" : result.error().message();
}

void Prepare(const ScratchDir& dir) {
  WriteFile(dir / "invalid", "ok\n\xFF\n");
  ::mkdir((dir / "sub").c_str(), 0755);
}

struct ReadFailure {
  std::string name;
  std::string path;  // relative to the scratch directory; created by Prepare
  FsError::Kind kind;
  std::string message;  // "{dir}" stands for the scratch directory
};

class ReadFileFailure : public ::testing::TestWithParam<ReadFailure> {};

TEST_P(ReadFileFailure, ReportsTheError) {
  ScratchDir dir;
  Prepare(dir);
  auto text = read_file(dir / GetParam().path);
  ASSERT_FALSE(text);
  EXPECT_EQ(text.error().kind(), GetParam().kind);
  EXPECT_EQ(text.error().message(),
            ReplaceFirst(GetParam().message, "{dir}", dir.path()));
}

INSTANTIATE_TEST_SUITE_P(
    Errors, ReadFileFailure,
    ::testing::Values(
        ReadFailure{"Missing", "nope", FsError::Kind::kPathNotFound,
                    "Path not found: {dir}/nope"},
        ReadFailure{"MissingWithInvalidName", "n\xFFo",
                    FsError::Kind::kPathNotFound,
                    "Path not found: {dir}/n\xEF\xBF\xBDo"},
        ReadFailure{"Invalid", "invalid", FsError::Kind::kIo,
                    "stream did not contain valid UTF-8"},
        ReadFailure{"Directory", "sub", FsError::Kind::kIo,
                    "Is a directory (os error 21)"},
        ReadFailure{"Nul", std::string("a\0b", 3), FsError::Kind::kIo,
                    "file name contained an unexpected NUL byte"},
        ReadFailure{"NotADirectory", "invalid/x", FsError::Kind::kIo,
                    "Not a directory (os error 20)"}),
    [](const auto& info) { return info.param.name; });

// read_lines and read_file_range share read_file's open; a directory fails at
// each one's own read.
TEST(ReadFailures, LinesAndRanges) {
  ScratchDir dir;
  Prepare(dir);
  const std::string nul("a\0b", 3);
  const std::string missing = "Path not found: " + (dir / "nope");
  EXPECT_EQ(ErrorOf(read_lines(dir / "nope", 0, std::nullopt)), missing);
  EXPECT_EQ(ErrorOf(read_lines(dir / "nope", 0, 0)), missing);
  EXPECT_EQ(ErrorOf(read_file_range(dir / "nope", 0, 1)), missing);
  EXPECT_EQ(ErrorOf(read_lines(nul, 0, std::nullopt)),
            "file name contained an unexpected NUL byte");
  EXPECT_EQ(ErrorOf(read_lines(dir / "sub", 0, std::nullopt)),
            "Is a directory (os error 21)");
  EXPECT_EQ(ErrorOf(read_file_range(dir / "sub", 0, 1)),
            "Is a directory (os error 21)");
}

// ---- read_lines: selection and undecodable lines ----

struct SelectCase {
  uint64_t start;
  std::optional<uint64_t> count;
  Lines lines;
};

class BufferedUndecodable : public ::testing::TestWithParam<SelectCase> {};

TEST_P(BufferedUndecodable, DropsTheLineButCountsIt) {
  ScratchDir dir;
  WriteFile(dir / "f", "a\n\xFF\xFE\nc\n");
  auto lines = read_lines(dir / "f", GetParam().start, GetParam().count);
  ASSERT_TRUE(lines) << lines.error().message();
  EXPECT_EQ(*lines, GetParam().lines);
}

INSTANTIATE_TEST_SUITE_P(
    Selections, BufferedUndecodable,
    ::testing::Values(SelectCase{0, std::nullopt, {"a", "c"}},
                      SelectCase{1, std::nullopt, {"c"}},
                      SelectCase{2, std::nullopt, {"c"}},
                      SelectCase{3, std::nullopt, {}}, SelectCase{0, 1, {"a"}},
                      SelectCase{0, 2, {"a", "c"}}, SelectCase{0, 0, {}},
                      SelectCase{UINT64_MAX, 5, {}},
                      SelectCase{0, UINT64_MAX, {"a", "c"}}));

TEST(ReadLinesLarge, UndecodableContentFailsWhateverIsAsked) {
  ScratchDir dir;
  std::string content = "a\n\xFF\nc\n" + Padding();
  WriteFile(dir / "f", content);
  const SelectCase asks[] = {
      {0, std::nullopt, {}}, {0, 0, {}}, {1000, 1, {}}, {UINT64_MAX, 0, {}}};
  for (const auto& ask : asks) {
    auto lines = read_lines(dir / "f", ask.start, ask.count);
    ASSERT_FALSE(lines);
    EXPECT_EQ(lines.error().kind(), FsError::Kind::kInternal);
    EXPECT_EQ(lines.error().message(),
              "Internal error: Invalid UTF-8: invalid utf-8 sequence of 1 "
              "bytes from index 2");
  }
}

TEST(ReadLinesLarge, ThresholdIsInclusiveForTheBufferedRoad) {
  ScratchDir dir;
  std::string at_threshold = "\xFF\n" + std::string(kLarge - 2, 'x');
  WriteFile(dir / "f", at_threshold);
  auto buffered = read_lines(dir / "f", 0, std::nullopt);
  ASSERT_TRUE(buffered);
  EXPECT_EQ(*buffered, Lines{std::string(kLarge - 2, 'x')});
  WriteFile(dir / "f", at_threshold + "x");
  EXPECT_FALSE(read_lines(dir / "f", 0, std::nullopt));
}

// Positions in the file across the 1 MiB chunks of the large road.
struct ChunkCase {
  std::string name;
  std::string content;
  std::string error;  // empty: valid
};

std::string At(uint64_t position, const std::string& bytes,
               const std::string& tail = "") {
  return std::string(position, 'x') + bytes + tail;
}

class LargeChunks : public ::testing::TestWithParam<ChunkCase> {};

TEST_P(LargeChunks, ValidatesAcrossBoundaries) {
  ScratchDir dir;
  WriteFile(dir / "f", GetParam().content);
  auto lines = read_lines(dir / "f", 0, std::nullopt);
  if (GetParam().error.empty()) {
    ASSERT_TRUE(lines) << lines.error().message();
    EXPECT_EQ(*lines, ModelLines(GetParam().content));
  } else {
    ASSERT_FALSE(lines);
    EXPECT_EQ(lines.error().message(),
              "Internal error: Invalid UTF-8: " + GetParam().error);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Positions, LargeChunks,
    ::testing::Values(
        ChunkCase{"TwoByteAcrossBoundary",
                  At(kLarge - 1, "\xC3\xA9", "\nend\n"), ""},
        ChunkCase{"CutCharacterThenAscii", At(kLarge - 2, "\xE2\x82", "A\n"),
                  "invalid utf-8 sequence of 2 bytes from index 1048574"},
        ChunkCase{"BadByteInThirdChunk", At(3 * kLarge + 5, "\xFF", "\n"),
                  "invalid utf-8 sequence of 1 bytes from index 3145733"},
        ChunkCase{"IncompleteAtEnd", At(kLarge + 10, "\xE2\x82"),
                  "incomplete utf-8 byte sequence from index 1048586"},
        ChunkCase{"IncompleteAtChunkEnd", At(2 * kLarge - 1, "\xF0"),
                  "incomplete utf-8 byte sequence from index 2097151"},
        ChunkCase{"CrLfAcrossBoundary", At(kLarge - 1, "\r\nb"), ""}),
    [](const auto& info) { return info.param.name; });

// Random content against the model: both roads, many selections, lines
// longer than the buffered road's buffer.
TEST(ReadLinesModel, RandomContentMatchesModel) {
  const std::string pieces[] = {"a",
                                "bc",
                                "\n",
                                "\n",
                                "\r",
                                "\r",
                                "\r\n",
                                "\xC3\xA9",
                                "\xFF",
                                "\xE2\x82",
                                std::string(9000, 'q')};
  std::mt19937 rng(12345);
  ScratchDir dir;
  for (int round = 0; round < 200; ++round) {
    bool large = round % 4 == 3;
    std::string content = large ? Padding() : "";
    int n = std::uniform_int_distribution<int>(0, 40)(rng);
    for (int i = 0; i < n; ++i) content += pieces[rng() % std::size(pieces)];
    WriteFile(dir / "f", content);
    Lines all = ModelLines(content);
    uint64_t start = large ? kPaddingLines + rng() % 8 : rng() % 8;
    std::optional<uint64_t> count;
    if (rng() % 3 != 0) count = rng() % 6;
    auto lines = read_lines(dir / "f", start, count);
    if (large && !IsUtf8(content)) {
      ASSERT_FALSE(lines);
      auto error = ValidateUtf8(content);
      EXPECT_EQ(lines.error().message(),
                "Internal error: Invalid UTF-8: " + Utf8ErrorText(*error));
      continue;
    }
    ASSERT_TRUE(lines) << lines.error().message();
    EXPECT_EQ(*lines, ModelSelect(all, start, count, !large))
        << "round " << round;
  }
}

// ---- read_file_range ----

struct RangeCase {
  std::string name;
  uint64_t offset;
  uint64_t limit;
  std::string result;  // the text, or the error's message
};

class ReadRange : public ::testing::TestWithParam<RangeCase> {};

TEST_P(ReadRange, OverHello) {
  ScratchDir dir;
  WriteFile(dir / "f", "h\xC3\xA9llo");
  auto text = read_file_range(dir / "f", GetParam().offset, GetParam().limit);
  EXPECT_EQ(text ? *text : text.error().message(), GetParam().result);
}

INSTANTIATE_TEST_SUITE_P(
    Ranges, ReadRange,
    ::testing::Values(RangeCase{"CutAtEnd", 0, 2,
                                "Internal error: Invalid UTF-8: incomplete "
                                "utf-8 byte sequence from index 1"},
                      RangeCase{"CutAtStart", 2, 3,
                                "Internal error: Invalid UTF-8: invalid utf-8 "
                                "sequence of 1 bytes from index 0"},
                      RangeCase{"Middle", 1, 3, "\xC3\xA9l"},
                      RangeCase{"LimitZero", 0, 0, ""},
                      RangeCase{"AtEnd", 6, 10, ""},
                      RangeCase{"PastEnd", 1000, 10, ""},
                      RangeCase{"PastExt4sLargestFile", uint64_t{1} << 44, 1,
                                ""},
                      RangeCase{"LastOffset", INT64_MAX, 1, ""},
                      RangeCase{"HugeLimit", 3, UINT64_MAX, "llo"},
                      RangeCase{"LimitAboveSingleReadCap", 0,
                                uint64_t{INT_MAX} + 1, "h\xC3\xA9llo"},
                      RangeCase{"OffsetTwoToThe63", uint64_t{1} << 63, 1,
                                "Invalid argument (os error 22)"},
                      RangeCase{"OffsetMax", UINT64_MAX, 1,
                                "Invalid argument (os error 22)"}),
    [](const auto& info) { return info.param.name; });

// A huge limit must not allocate a huge buffer: under a 256 MiB address-space
// limit the read of a small file still works.
TEST(ReadRangeBuffer, BoundedByWhatTheFileHolds) {
  ScratchDir dir;
  WriteFile(dir / "f", "abc");
  ProcessOutput child = RunInChild([&] {
    struct rlimit limit = {256u << 20, 256u << 20};
    ::setrlimit(RLIMIT_AS, &limit);
    auto text = read_file_range(dir / "f", 1, uint64_t{1} << 62);
    return text ? *text : text.error().message();
  });
  ASSERT_EQ(child.status, 0);
  EXPECT_EQ(child.output, "bc");
}

// ---- read_batch ----

class ReadBatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Prepare(dir_);
    for (int i = 0; i < 26; ++i) {
      std::string name = "f" + std::to_string(i);
      WriteFile(dir_ / name, "content " + std::to_string(i));
      good_.push_back(dir_ / name);
    }
  }
  ScratchDir dir_;
  std::vector<std::string> good_;
};

using Entries = std::vector<std::pair<std::string, std::string>>;

TEST_F(ReadBatchTest, SequentialAndParallelRoadsAgree) {
  // 26 readable + 3 failing = 29 paths (sequential); one duplicate more = 30
  // (parallel).
  std::vector<std::string> paths = good_;
  paths.push_back(dir_ / "nope");
  paths.push_back(dir_ / "sub");
  paths.push_back(dir_ / "invalid");
  ASSERT_EQ(paths.size(), 29u);
  Entries sequential = read_batch(paths);
  paths.push_back(good_[0]);
  Entries parallel = read_batch(paths);
  EXPECT_EQ(sequential.size(), 26u);
  EXPECT_EQ(parallel, sequential);
  for (size_t i = 0; i < good_.size(); ++i) {
    EXPECT_EQ(sequential[i],
              (std::pair{good_[i], "content " + std::to_string(i)}));
  }
}

TEST_F(ReadBatchTest, LargeBatchKeepsInputOrder) {
  std::vector<std::string> paths;
  for (int round = 0; round < 40; ++round) {
    paths.insert(paths.end(), good_.rbegin(), good_.rend());
  }
  Entries entries = read_batch(paths);
  ASSERT_EQ(entries.size(), good_.size());
  for (size_t i = 0; i < good_.size(); ++i)
    EXPECT_EQ(entries[i].first, good_[good_.size() - 1 - i]);
}

TEST_F(ReadBatchTest, KeysAreResolvedPathText) {
  WriteFile(dir_ / "x\xFF", "bytes");
  Entries entries =
      read_batch({dir_ / "f1", dir_ / "./f1", dir_ / "x\xFF", dir_ / "f1"});
  EXPECT_EQ(entries, (Entries{{dir_ / "f1", "content 1"},
                              {dir_ / "./f1", "content 1"},
                              {dir_ / "x\xEF\xBF\xBD", "bytes"}}));
}

TEST_F(ReadBatchTest, FailuresAreAbsent) {
  EXPECT_TRUE(read_batch({}).empty());
  EXPECT_TRUE(read_batch({dir_ / "nope", dir_ / "sub", dir_ / "invalid",
                          std::string("a\0b", 3)})
                  .empty());
}

}  // namespace
}  // namespace tolvane::io

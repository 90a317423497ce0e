// The prefilter and the search of one buffer against the per-line matcher, at
// every buffer length up to 300 bytes and around 4 KiB and 64 KiB, at every
// start offset within a page, with a match at the start, in the middle and
// ending on each of the last 16 bytes. A candidate finder that misses matches
// near the end of a scan, or at some alignments, makes grep lose lines
// silently; this is where it shows, on the machine that runs the tests.
#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "fs/lines/lines.h"
#include "fs/searcher/search_file.h"
#include "gtest/gtest.h"
#include "test_util.h"

namespace tolvane {
namespace {

using testing::Escaped;

// A piece of a generated query and a text that it matches.
struct Piece {
  std::string pattern;
  std::string sample;
};

// Character tests, and texts each matches.
// clang-format off
const Piece kAtoms[] = {
    {"x", "x"}, {"\\{", "{"}, {"[a-z]", "q"}, {"\\w", "k"}, {"\\d", "7"},
    {".", "#"}, {"[^a]", "Z"}, {"[xyz]", "y"}, {"_", "_"}, {"\\(", "("},
    {"\\p{Greek}", "\xce\xbb"}, {"\xc3\xa9", "\xc3\xa9"}, {"\\s", "\t"}};
// Repetitions, and how many times the sample repeats under each.
const std::pair<const char*, int> kRepeats[] = {
    {"", 1}, {"*", 1}, {"*", 0}, {"+", 2}, {"?", 1}, {"{2}", 2}, {"{1,3}", 3}};
// Queries that lost lines to a candidate finder once, with their samples.
const Piece kKnown[] = {
    {"xy*", "x"}, {"v.", "v}"}, {"\\{[a-z]", "{b"}, {"\\{\\w", "{_"},
    {"\\{.", "{{"}, {"\\{[^a]", "{x"}, {"[a-z]+", "m"},
    {"\\w+_\\w+\\(", "pm_x("}, {"\\d+\\.\\d+", "1.5"}};
// Texts the rest of a buffer is made of, repeated; the first one on which the
// query finds nothing is used, so that the placed match is the only one.
const char* const kFillers[] = {
    "a", "=", "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa\n", "A", " ", "\n", "-\n"};
// clang-format on

// A query of one to three pieces, each a repeated atom or an alternation of
// two, with a sample text that it matches.
Piece GenerateQuery(std::mt19937& random) {
  Piece query;
  const int pieces = 1 + static_cast<int>(random() % 3);
  for (int p = 0; p < pieces; ++p) {
    const Piece& atom = kAtoms[random() % std::size(kAtoms)];
    if (random() % 4 == 0) {
      const Piece& other = kAtoms[random() % std::size(kAtoms)];
      query.pattern += "(?:" + atom.pattern + "|" + other.pattern + ")";
      query.sample += random() % 2 ? atom.sample : other.sample;
      continue;
    }
    const auto& [repeat, times] = kRepeats[random() % std::size(kRepeats)];
    query.pattern += atom.pattern + repeat;
    for (int t = 0; t < times; ++t) query.sample += atom.sample;
  }
  return query;
}

// The known queries and generated ones, every kShards-th from `shard` on.
constexpr int kShards = 4;
std::vector<Piece> Queries(int shard) {
  std::vector<Piece> queries(std::begin(kKnown), std::end(kKnown));
  std::mt19937 random(17);
  while (queries.size() < 32) {
    Piece query = GenerateQuery(random);
    if (!query.sample.empty()) queries.push_back(query);
  }
  std::vector<Piece> mine;
  for (size_t q = shard; q < queries.size(); q += kShards)
    mine.push_back(queries[q]);
  return mine;
}

// `length` bytes of `filler` with `sample` placed at `at`.
std::string Buffer(std::string_view filler, size_t length,
                   const std::string& sample, size_t at) {
  std::string text(length, ' ');
  for (size_t i = 0; i < length; ++i) text[i] = filler[i % filler.size()];
  return text.replace(at, sample.size(), sample);
}

// Where a match of `size` bytes goes in a buffer of `length` bytes: the start,
// the middle, and ending on each of the last 16 bytes.
std::vector<size_t> Placements(size_t length, size_t size) {
  std::vector<size_t> at;
  if (size > length) return at;
  at.push_back(0);
  at.push_back((length - size) / 2);
  for (size_t back = 0; back < 16 && back + size <= length; ++back)
    at.push_back(length - size - back);
  return at;
}

std::vector<size_t> Lengths() {
  std::vector<size_t> lengths;
  for (size_t n = 0; n <= 300; ++n) lengths.push_back(n);
  for (size_t around : {size_t{4096}, size_t{65536}}) {
    for (size_t n = around - 1; n <= around + 1; ++n) lengths.push_back(n);
  }
  return lengths;
}

// A page-aligned buffer with room for the longest text at any offset below 64.
class AlignedBuffer {
 public:
  explicit AlignedBuffer(size_t size)
      : data_(static_cast<char*>(std::aligned_alloc(4096, Round(size + 64)))) {}
  char* at(size_t offset) { return data_.get() + offset; }

 private:
  static size_t Round(size_t n) { return (n + 4095) / 4096 * 4096; }
  struct Free {
    void operator()(char* p) const { std::free(p); }
  };
  std::unique_ptr<char, Free> data_;
};

// Case sensitivity, and a share of the queries: the shards run in parallel.
class PrefilterTest : public ::testing::TestWithParam<std::tuple<bool, int>> {};

TEST_P(PrefilterTest, FindsEveryMatchAtEveryLengthAndAlignment) {
  const auto [case_sensitive, shard] = GetParam();
  const std::vector<size_t> lengths = Lengths();
  AlignedBuffer buffer(lengths.back());
  int with_prefilter = 0;
  for (Piece query : Queries(shard)) {
    auto compiled = SearchQuery::Compile(query.pattern, case_sensitive);
    ASSERT_TRUE(compiled.has_value()) << query.pattern;
    const Prefilter* prefilter = compiled->prefilter();
    if (prefilter == nullptr) continue;
    ++with_prefilter;
    if (!case_sensitive) {
      for (char& c : query.sample) c = static_cast<char>(std::toupper(c));
    }
    std::string filler;
    for (const char* f : kFillers) {
      if (!compiled->MatchesLine(std::string(f).substr(0, 1)) &&
          !compiled->MatchesLine(std::string(64, f[0]))) {
        filler = f;
        break;
      }
    }
    if (filler.empty()) continue;
    SearchWorker worker;
    auto scratch = prefilter->NewScratch();
    ASSERT_NE(scratch, nullptr);
    std::vector<size_t> candidates;
    for (size_t length : lengths) {
      for (size_t at : Placements(length, query.sample.size())) {
        const std::string text = Buffer(filler, length, query.sample, at);
        // The model: every line tested on its own.
        std::vector<size_t> expected;
        for (size_t start = 0; start < text.size();) {
          const LineSpan span = LineFrom(text, start);
          if (compiled->MatchesLine(
                  std::string_view(text).substr(start, span.end - start)))
            expected.push_back(start);
          start = span.next;
        }
        ASSERT_FALSE(expected.empty()) << query.pattern << " " << text;
        for (size_t offset = 0; offset < 64; ++offset) {
          const std::string_view placed(buffer.at(offset), text.size());
          text.copy(buffer.at(offset), text.size());
          const auto where = [&] {
            return "query " + query.pattern + " length " +
                   std::to_string(length) + " match at " + std::to_string(at) +
                   " offset " + std::to_string(offset) + " text " +
                   Escaped(text);
          };
          ASSERT_TRUE(
              prefilter->CandidateLines(placed, scratch.get(), &candidates))
              << where();
          for (size_t line : expected) {
            ASSERT_TRUE(
                std::binary_search(candidates.begin(), candidates.end(), line))
                << "line at " << line << " missed, " << where();
          }
          // The whole search of the buffer, where grep reads it: at the start
          // of a page.
          if (offset != 0) continue;
          SearchRun run("", *compiled, ~uint64_t{0}, 0);
          const std::vector<SearchResult> records =
              SearchText("f", placed, run, worker);
          ASSERT_EQ(records.size(), expected.size()) << where();
          for (size_t r = 0; r < records.size(); ++r) {
            const uint64_t number =
                CountNewlines(std::string_view(text).substr(0, expected[r]));
            ASSERT_EQ(records[r].line_number, number + 1) << where();
          }
        }
      }
    }
  }
  // Most queries have a prefilter: the test must exercise it.
  EXPECT_GE(with_prefilter, 6);
}

INSTANTIATE_TEST_SUITE_P(CaseModesAndShards, PrefilterTest,
                         ::testing::Combine(::testing::Bool(),
                                            ::testing::Range(0, kShards)));

}  // namespace
}  // namespace tolvane

// The search's reading of one file's text against a naive split on "\n": the
// records are the matching lines in order, capped, with their numbers and
// contexts, and none when the text is not UTF-8. Input: one byte of options
// (bit 0: case-sensitive; bits 1-3: context lines; bits 4-7: the cap), the
// query up to the first "\n", then the text. The text is searched at an offset
// within a page and after a run of empty lines, both derived from the input,
// so that its matches land at every distance from the end of buffers of every
// length and alignment.
#include <algorithm>
#include <cstdlib>
#include <functional>
#include <string>
#include <unordered_map>

#include "fs/lines/lines.h"
#include "fs/searcher/search_file.h"
#include "fs/utf8/utf8.h"
#include "fuzz_check.h"

using namespace tolvane;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string_view input = FuzzText(data + 1, size - 1);
  const size_t newline = std::min(input.find('\n'), input.size());
  const size_t mix = std::hash<std::string_view>{}(input);
  const size_t offset = mix % 64, blank_lines = (mix >> 6) % 4 * 32;
  static char* const page =
      static_cast<char*>(std::aligned_alloc(4096, 4 * 4096));
  const std::string_view given =
      input.substr(std::min(newline + 1, input.size()));
  if (offset + blank_lines + given.size() > 4 * 4096) return 0;
  std::fill_n(page + offset, blank_lines, '\n');
  given.copy(page + offset + blank_lines, given.size());
  const std::string_view text(page + offset, blank_lines + given.size());
  // Compiling a query costs far more than searching a small text, and the
  // corpus holds few queries: each is compiled once, with a worker of its own.
  struct Compiled {
    Result<SearchQuery> query;
    SearchWorker worker;
  };
  static std::unordered_map<std::string, Compiled> compiled;
  if (compiled.size() > 1024) compiled.clear();
  const std::string key =
      char(data[0] & 1) + std::string(input.substr(0, newline));
  auto it = compiled.find(key);
  if (it == compiled.end()) {
    auto query = SearchQuery::Compile(input.substr(0, newline), data[0] & 1);
    it = compiled.emplace(key, Compiled{std::move(query), {}}).first;
  }
  if (!it->second.query) return 0;
  const SearchQuery& query = *it->second.query;
  const uint64_t context = (data[0] >> 1) & 7;
  const uint64_t cap = data[0] >> 4 == 0 ? 1000 : data[0] >> 4;

  std::vector<std::string_view> lines = SplitNewlines(text);
  // A "\r" goes with the "\n" after it, so the last piece keeps its own.
  for (size_t i = 0; i + 1 < lines.size(); ++i) {
    if (lines[i].ends_with('\r')) lines[i].remove_suffix(1);
  }
  if (lines.back().empty()) lines.pop_back();
  FUZZ_CHECK(CountNewlines(text) ==
             static_cast<uint64_t>(std::count(text.begin(), text.end(), '\n')));

  SearchRun run("", query, cap, context);
  const std::vector<SearchResult> records =
      SearchText("f", text, run, it->second.worker);
  size_t next = 0;
  for (size_t i = 0; i < lines.size() && IsUtf8(text) && next < cap; ++i) {
    if (!query.MatchesLine(lines[i])) continue;
    FUZZ_CHECK(next < records.size());
    const SearchResult& r = records[next++];
    FUZZ_CHECK(r.line_number == i + 1 && r.content == lines[i]);
    const size_t before = std::min<size_t>(i, context);
    const size_t after = std::min<size_t>(lines.size() - i - 1, context);
    FUZZ_CHECK(r.context_before.size() == before);
    FUZZ_CHECK(r.context_after.size() == after);
    for (size_t k = 0; k < before; ++k)
      FUZZ_CHECK(r.context_before[k] == lines[i - before + k]);
    for (size_t k = 0; k < after; ++k)
      FUZZ_CHECK(r.context_after[k] == lines[i + 1 + k]);
  }
  FUZZ_CHECK(records.size() == next);
  return 0;
}

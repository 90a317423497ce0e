// SearchQuery: one grep query compiled once per search. RE2 (UTF-8,
// case-insensitive unless asked, a memory budget of kQueryMaxMem) decides
// whether a line matches; the line alone is the subject, so "^" and "$" match
// at its ends. A prefilter, when the query has one, finds the lines worth
// asking RE2 about. Immutable after Compile and usable from any number of
// threads.
#pragma once

#include <re2/re2.h>

#include <cstdint>
#include <memory>
#include <string_view>

#include "fs/error/fs_error.h"
#include "fs/searcher/prefilter.h"

namespace tolvane {

// RE2's budget for the compiled program and its DFA caches: two thirds go to
// the forward program and its caches, so programs of about 20 MiB compile and
// a busy DFA rarely falls back to the slower NFA.
inline constexpr int64_t kQueryMaxMem = int64_t{32} << 20;

class SearchQuery {
 public:
  // Compiles `query`; a query that RE2 refuses is FsError::Regex with RE2's
  // account of it.
  [[nodiscard]] static Result<SearchQuery> Compile(std::string_view query,
                                                   bool case_sensitive);

  // Whether the query matches anywhere in `line`.
  bool MatchesLine(std::string_view line) const {
    return RE2::PartialMatch(line, *re_);
  }

  // nullptr when every line must be tested.
  const Prefilter* prefilter() const { return prefilter_.get(); }

 private:
  SearchQuery(std::shared_ptr<const RE2> re,
              std::shared_ptr<const Prefilter> prefilter)
      : re_(std::move(re)), prefilter_(std::move(prefilter)) {}

  std::shared_ptr<const RE2> re_;
  std::shared_ptr<const Prefilter> prefilter_;
};

}  // namespace tolvane

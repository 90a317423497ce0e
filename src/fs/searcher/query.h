// SearchQuery: one grep query compiled once per search. The query language's
// translation onto RE2 decides whether a line matches (case-insensitive unless
// asked); the line alone is the subject, so "^" and "$" match at its ends. A
// prefilter, when the translated pattern has one, finds the lines worth asking
// about. Immutable after Compile and usable from any number of threads.
#pragma once

#include <memory>
#include <string_view>

#include "fs/error/fs_error.h"
#include "fs/regex/query.h"
#include "fs/searcher/prefilter.h"

namespace tolvane {

class SearchQuery {
 public:
  // Compiles `query`; a query that the language refuses is FsError::Regex with
  // its report.
  [[nodiscard]] static Result<SearchQuery> Compile(std::string_view query,
                                                   bool case_sensitive);

  // Whether the query matches anywhere in `line` (without its terminator).
  bool MatchesLine(std::string_view line) const {
    return compiled_.Matches(line);
  }

  // nullptr when every line must be tested.
  const Prefilter* prefilter() const { return prefilter_.get(); }

 private:
  SearchQuery(CompiledQuery compiled,
              std::shared_ptr<const Prefilter> prefilter)
      : compiled_(std::move(compiled)), prefilter_(std::move(prefilter)) {}

  CompiledQuery compiled_;
  std::shared_ptr<const Prefilter> prefilter_;
};

}  // namespace tolvane

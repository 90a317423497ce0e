// The query language of `grep` on RE2: TranslateQuery parses a query in the
// syntax of the `regex` family, refuses what that syntax refuses (with its
// report) or what would exceed its compiled-size limit, and hands back an RE2
// pattern with the same meaning on a line. Where RE2 has no exact equivalent
// (Unicode word boundaries, CRLF line anchors) the pattern is relaxed to select
// a superset of the lines, and `confirm` decides each line it selects.
// CompiledQuery wraps both roads for the search engine. Immutable after
// construction; thread-safe.
#pragma once

#include <re2/re2.h>

#include <memory>
#include <string>
#include <string_view>

#include "fs/error/fs_error.h"
#include "fs/regex/line_matcher.h"

namespace tolvane {

struct TranslatedQuery {
  // RE2 syntax, to be compiled with QueryRe2Options(). Searched unanchored in
  // one line (no "\n", valid UTF-8) it matches exactly the lines the query
  // matches when `confirm` is null, and a superset of them otherwise. No part
  // of it matches "\n", and its anchors are the multi-line ones, so a search
  // over a whole buffer never matches across lines; only an end-of-line
  // assertion in a line that ends in "\r\n" is decided differently there
  // (`asserts_line_end`).
  std::string pattern;
  std::shared_ptr<const regex::LineMatcher> confirm;
  bool asserts_line_end = false;
};

// "Regex error: ..." texts come back as FsError::Regex: the parse report or
// "Compiled regex exceeds size limit of 10485760 bytes.".
[[nodiscard]] Result<TranslatedQuery> TranslateQuery(std::string_view query,
                                                     bool case_insensitive);

// UTF-8, case-sensitive (folding is spelled out in the pattern), no captures,
// and room for every program the size limit admits.
RE2::Options QueryRe2Options();

class CompiledQuery {
 public:
  [[nodiscard]] static Result<CompiledQuery> Compile(std::string_view query,
                                                     bool case_insensitive);

  // Whether the query matches `line` (no terminator, valid UTF-8).
  bool Matches(std::string_view line) const;
  // The RE2 road: final when exact(), else candidates for Matches().
  const RE2& re2() const { return *re2_; }
  bool exact() const { return confirm_ == nullptr; }
  bool asserts_line_end() const { return asserts_line_end_; }
  // The RE2 pattern that re2() was compiled from.
  const std::string& pattern() const { return pattern_; }

 private:
  std::string pattern_;
  std::shared_ptr<const RE2> re2_;
  std::shared_ptr<const regex::LineMatcher> confirm_;
  bool asserts_line_end_ = false;
};

}  // namespace tolvane

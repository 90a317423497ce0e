// GlobMatcher: one compiled glob pattern (glob_syntax.h), answering whole-path
// matches either by a byte comparison for the literal shapes or by one RE2.
// Immutable after Compile: copies share the compiled program, and any number of
// threads may match at once without locks.
#pragma once

#include <memory>
#include <string_view>
#include <utility>

#include "fs/error/fs_error.h"

namespace tolvane {

class GlobMatcher {
 public:
  // Parses and compiles `pattern`. A pattern that doesn't parse, or whose regex
  // RE2 refuses, gives FsError::Glob("error parsing glob '" + pattern + "': " +
  // reason).
  [[nodiscard]] static Result<GlobMatcher> Compile(std::string_view pattern);
  // Compiles every pattern to its regex, never to a literal shape; the two must
  // answer alike.
  [[nodiscard]] static Result<GlobMatcher> CompileGeneral(
      std::string_view pattern);

  // Whether the pattern matches the whole of `path`. A path that is not UTF-8
  // is matched as its lossy form: each ill-formed sequence reads as one U+FFFD,
  // which `?`, `*` and negated classes match like any character and which no
  // other literal text matches.
  bool Matches(std::string_view path) const;

 private:
  struct Program;
  explicit GlobMatcher(std::shared_ptr<const Program> program)
      : program_(std::move(program)) {}
  static Result<GlobMatcher> Build(std::string_view pattern, bool use_shapes);

  std::shared_ptr<const Program> program_;
};

}  // namespace tolvane

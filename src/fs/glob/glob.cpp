#include "fs/glob/glob.h"

#include <re2/re2.h>

#include <cstdint>
#include <new>
#include <string>

#include "fs/glob/glob_syntax.h"
#include "fs/utf8/utf8.h"

namespace tolvane {
namespace {

// Room for tens of thousands of alternatives. A bigger program fails to compile
// ("pattern too large - compile failed") rather than growing without bound; a
// lazy DFA that outgrows its share makes RE2 fall back to its slower
// linear-time engines, never to a wrong answer.
constexpr int64_t kRegexMaxMem = int64_t{64} << 20;

}  // namespace

struct GlobMatcher::Program {
  GlobShape shape = GlobShape::kRegex;
  std::string literal;
  std::unique_ptr<const re2::RE2> regex;  // set for GlobShape::kRegex only
};

Result<GlobMatcher> GlobMatcher::Compile(std::string_view pattern) {
  return Build(pattern, true);
}

Result<GlobMatcher> GlobMatcher::CompileGeneral(std::string_view pattern) {
  return Build(pattern, false);
}

Result<GlobMatcher> GlobMatcher::Build(std::string_view pattern,
                                       bool use_shapes) {
  try {
    Result<TranslatedGlob> glob = TranslateGlob(pattern);
    if (!glob) return Fail(glob.error());
    auto program = std::make_shared<Program>();
    if (use_shapes && glob->shape != GlobShape::kRegex) {
      program->shape = glob->shape;
      program->literal = std::move(glob->literal);
    } else {
      re2::RE2::Options options;
      options.set_dot_nl(true);
      options.set_never_capture(true);
      options.set_log_errors(false);
      options.set_max_mem(kRegexMaxMem);
      auto regex = std::make_unique<const re2::RE2>(glob->regex, options);
      if (!regex->ok()) return Fail(GlobError(pattern, regex->error()));
      program->regex = std::move(regex);
    }
    return GlobMatcher(std::move(program));
  } catch (const std::bad_alloc&) {
    return Fail(GlobError(pattern, kOutOfMemoryText));
  }
}

bool GlobMatcher::Matches(std::string_view path) const {
  const Program& program = *program_;
  const std::string_view literal = program.literal;
  switch (program.shape) {
    case GlobShape::kExact:
      return path == literal;
    case GlobShape::kPrefix:
      return path.starts_with(literal);
    case GlobShape::kSuffix:
      return path.ends_with(literal);
    case GlobShape::kContains:
      return path.find(literal) != std::string_view::npos;
    case GlobShape::kComponentSuffix:
      return path.ends_with(literal) &&
             (path.size() == literal.size() ||
              path[path.size() - literal.size() - 1] == '/');
    case GlobShape::kRegex:
      break;
  }
  if (IsUtf8(path)) return re2::RE2::FullMatch(path, *program.regex);
  try {
    return re2::RE2::FullMatch(ToUtf8Lossy(path), *program.regex);
  } catch (const std::bad_alloc&) {
    return false;  // no room for the lossy copy: the path is reported as not
                   // matching
  }
}

}  // namespace tolvane

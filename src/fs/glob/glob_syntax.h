// Glob syntax (globset's dialect with its default options) translated into one
// RE2 pattern, plus the literal shapes that a plain byte comparison answers
// exactly as that pattern does. Owns parsing and the parse-error texts;
// compiling and matching belong to GlobMatcher (glob.h). Pure functions;
// thread-safe.
#pragma once

#include <string>
#include <string_view>

#include "fs/error/fs_error.h"

namespace tolvane {

// How a glob can be answered. Every shape but kRegex compares `literal` with
// the path's bytes.
enum class GlobShape {
  kRegex,            // only the regex answers
  kExact,            // path == literal
  kPrefix,           // path starts with literal
  kSuffix,           // path ends with literal
  kContains,         // literal occurs in path
  kComponentSuffix,  // path == literal, or path ends with "/" + literal
};

struct TranslatedGlob {
  // RE2 syntax for UTF-8 text, to be matched against the whole path with `.`
  // matching "\n".
  std::string regex;
  GlobShape shape = GlobShape::kRegex;
  std::string literal;  // UTF-8; empty for kRegex
};

// Parses `pattern` (UTF-8 text). Fails with FsError::Glob("error parsing glob
// '<pattern>': <reason>") for the parse errors of the dialect, and with the
// reason "invalid UTF-8" for bytes that are not UTF-8 (the pattern then shown
// with U+FFFD in their place).
Result<TranslatedGlob> TranslateGlob(std::string_view pattern);

// The Glob error for `pattern` with `reason`.
FsError GlobError(std::string_view pattern, std::string_view reason);

}  // namespace tolvane

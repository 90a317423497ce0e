// The meaning of a parsed query: flags applied, classes resolved to sets of
// code points (case folding included), groups and counted forms reduced to
// concatenation, alternation, repetition, classes and zero-width assertions.
// Nesting is bounded by the parser's limit, so walking it recursively is safe.
// Pure functions; thread-safe.
#pragma once

#include <cstdint>
#include <expected>
#include <vector>

#include "fs/regex/char_set.h"
#include "fs/regex/regex_ast.h"

namespace tolvane::regex {

enum class Look : uint8_t {
  kStart,            // \A, or ^ without (?m)
  kEnd,              // \z, or $ without (?m)
  kStartLF,          // (?m)^
  kEndLF,            // (?m)$
  kStartCRLF,        // (?mR)^: after \n, or after \r not followed by \n
  kEndCRLF,          // (?mR)$: before \r, or before \n not preceded by \r
  kWordAscii,        // (?-u)\b
  kWordAsciiNegate,  // (?-u)\B
  kWordUnicode,      // \b
  kWordUnicodeNegate,
  kWordStartAscii,  // \b{start}, \<
  kWordEndAscii,    // \b{end}, \>
  kWordStartUnicode,
  kWordEndUnicode,
  kWordStartHalfAscii,
  kWordEndHalfAscii,
  kWordStartHalfUnicode,
  kWordEndHalfUnicode,
};

struct Hir {
  enum class Kind : uint8_t { kEmpty, kClass, kLook, kRepeat, kConcat, kAlt };
  Kind kind = Kind::kEmpty;
  Look look = Look::kStart;
  uint32_t min = 0;
  uint32_t max = 0;       // kUnbounded for none
  uint32_t captures = 0;  // capturing groups around exactly this node
  CharSet set;            // kClass: a literal is a one-character class
  std::vector<Hir> subs;
};

// Translates a parsed query: Unicode on, case-insensitive when asked. Refusals
// (a property that doesn't exist, a byte class that could match invalid UTF-8)
// carry their span like parse errors.
std::expected<Hir, SyntaxError> TranslateAst(const Ast& ast,
                                             bool case_insensitive);

// Whether `h` can match only the empty string.
bool IsZeroWidth(const Hir& h);

// Whether `look` holds between `before` and `after` (-1 for the edge of the
// line).
bool LookHolds(Look look, int32_t before, int32_t after);

}  // namespace tolvane::regex

// The abstract syntax of a query and its parser: the syntax of the `regex`
// family (Unicode-aware by default, no look-around, no backreferences). The
// parser uses explicit stacks and the tree lives in one arena, so no input can
// overflow the stack; deep nesting is refused after parsing, as the reference
// does. Pure functions; thread-safe.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tolvane::regex {

// Offsets count characters; lines and columns start at 1.
struct Position {
  uint32_t offset = 0;
  uint32_t line = 1;
  uint32_t column = 1;
};
struct Span {
  Position start;
  Position end;
};

enum class AstKind : uint8_t {
  kEmpty,
  kFlags,
  kLiteral,
  kDot,
  kAssertion,
  kUnicodeClass,
  kPerlClass,
  kAsciiClass,  // only inside brackets; `sub` indexes alnum alpha ascii blank
                // cntrl digit graph lower print punct space upper word xdigit
  kBracketed,
  kRange,     // only inside brackets: children are two literals
  kUnion,     // only inside brackets
  kBinaryOp,  // only inside brackets: children are lhs and rhs
  kRepetition,
  kGroup,
  kAlternation,
  kConcat,
};

enum class Assertion : uint8_t {
  kStartLine,
  kEndLine,
  kStartText,
  kEndText,
  kWordBoundary,
  kNotWordBoundary,
  kWordStart,
  kWordEnd,
  kWordStartHalf,
  kWordEndHalf,
};

enum class SetOp : uint8_t { kIntersection, kDifference, kSymmetricDifference };
enum class PerlKind : uint8_t { kDigit, kSpace, kWord };

// Flag bits of `(?imsUuxR)`.
enum Flag : uint8_t {
  kFlagCaseInsensitive = 1,
  kFlagMultiLine = 2,
  kFlagDotNewLine = 4,
  kFlagSwapGreed = 8,
  kFlagUnicode = 16,
  kFlagCrlf = 32,
  kFlagIgnoreSpace = 64,
};

// `\pN`, `\p{Name}` or `\p{name=value}` (also `:` and `!=`).
struct UnicodeQuery {
  bool one_letter = false;
  bool by_value = false;
  std::string name;
  std::string value;
};

inline constexpr uint32_t kUnbounded = UINT32_MAX;

struct AstNode {
  AstKind kind = AstKind::kEmpty;
  uint8_t sub = 0;       // Assertion, PerlKind, ASCII class index or SetOp
  bool negated = false;  // classes; a capturing group for kGroup
  bool flag = false;     // literal written `\xNN`; greedy repetition
  uint8_t flags_on = 0;  // kFlags and kGroup
  uint8_t flags_off = 0;
  char32_t c = 0;      // literal
  uint32_t min = 0;    // repetition
  uint32_t max = 0;    // repetition, kUnbounded for none
  uint32_t query = 0;  // kUnicodeClass: index into Ast::queries
  Span span;
  std::vector<uint32_t> children;
};

struct Ast {
  std::vector<AstNode> nodes;
  std::vector<UnicodeQuery> queries;
  uint32_t root = 0;
};

// A refusal: the reason and the span(s) the report marks.
struct SyntaxError {
  std::string reason;
  Span span;
  std::optional<Span> aux;
};

inline constexpr uint32_t kNestLimit = 250;

// Parses `pattern` (UTF-8). The parse and the nesting check follow the
// reference's order, so the first refusal reported is the reference's.
std::expected<Ast, SyntaxError> ParseQuery(std::string_view pattern);

// The multi-line report: "regex parse error:", the pattern (numbered lines
// when it has several), carets under the span(s), "error: " + reason.
std::string FormatSyntaxError(std::string_view pattern,
                              const SyntaxError& error);

}  // namespace tolvane::regex

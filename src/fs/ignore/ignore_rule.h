// One line of an ignore file (.gitignore, .ignore, info/exclude, the global
// excludes file), read and matched as git does: `*` and `?` never cross "/",
// `**` only between slashes, byte-wise and case-sensitive. Owns the parse and
// the matcher of one pattern, not the precedence between patterns
// (ignore_rules.h). Immutable once parsed; safe to match from many threads.
#pragma once

#include <re2/re2.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace tolvane {

class IgnoreRule {
 public:
  // How the target text is compared; the cheap shapes spare the regular
  // expression.
  enum class Shape : uint8_t {
    kLiteral,  // the target equals text()
    kPrefix,   // the target begins with text() and holds no "/" after it
    kSuffix,   // the target ends with text() and holds no "/" before it
    kRegex,    // the target holds text() and the translated pattern matches it
  };

  // The rule of one line, without its line terminator. nullopt for a blank
  // line, a comment and a pattern that can match no path (an unterminated or
  // empty class, a trailing backslash, an unknown [:class:]), which git's
  // matcher would reject on every path alike.
  static std::optional<IgnoreRule> Parse(std::string_view line);

  // True when the rule matches `target`: the entry's name for a basename rule,
  // else its path relative to the directory of the rule's file. The
  // directory-only flag is the caller's.
  bool Matches(std::string_view target) const;

  bool negated() const { return negated_; }
  bool dir_only() const { return dir_only_; }
  // A pattern without "/" (but a trailing one) matches the entry's name at any
  // depth.
  bool basename() const { return basename_; }
  Shape shape() const { return shape_; }
  // The literal of the cheap shapes; for kRegex the longest literal run of the
  // pattern.
  const std::string& text() const { return text_; }

 private:
  IgnoreRule() = default;

  bool negated_ = false;
  bool dir_only_ = false;
  bool basename_ = false;
  Shape shape_ = Shape::kLiteral;
  std::string text_;
  std::shared_ptr<const RE2> regex_;
};

}  // namespace tolvane

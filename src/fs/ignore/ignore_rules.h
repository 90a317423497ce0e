// The rules of one ignore file and git's verdict on a path: the last matching
// rule wins, a directory-only rule passes over other entries. Owns the parse of
// a whole file and the indexes that keep a match cheap; not which files apply
// to a path (ignore_chain.h). Immutable once parsed; safe to match from many
// threads.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "fs/ignore/ignore_rule.h"

namespace tolvane {

// The verdict of ignore rules on one path.
enum class IgnoreMatch : uint8_t {
  kNone,       // no rule matched
  kIgnore,     // the last matching rule excludes the path
  kWhitelist,  // the last matching rule is a negation ("!pattern")
};

class IgnoreRules {
 public:
  // The rules of a file's text, lines split as git splits them (a leading BOM
  // and a CR before the LF dropped). Lines that aren't rules are skipped.
  // nullptr when the text holds no rule, or when it can't be held in memory
  // (then it is passed over like a file that can't be read).
  static std::shared_ptr<const IgnoreRules> Parse(std::string_view text);

  // The verdict on the entry at `path`, relative to the directory of the file,
  // whose last component is `name`.
  IgnoreMatch Matched(std::string_view path, std::string_view name,
                      bool is_dir) const;
  // The same with `name` taken from `path`.
  IgnoreMatch Matched(std::string_view path, bool is_dir) const;

  // False when every rule looks at names only, so callers may pass an empty
  // `path`.
  bool needs_path() const { return needs_path_; }

 private:
  struct TextHash {
    using is_transparent = void;
    size_t operator()(std::string_view text) const {
      return std::hash<std::string_view>()(text);
    }
  };
  // The highest index of a literal rule with one text: among all rules, and
  // among the rules that also apply to entries that aren't directories.
  struct Highest {
    int32_t any = -1;
    int32_t non_dir = -1;
  };
  using LiteralIndex =
      std::unordered_map<std::string, Highest, TextHash, std::equal_to<>>;

  IgnoreRules() = default;
  void Add(IgnoreRule rule);

  std::vector<IgnoreRule> rules_;  // in file order
  LiteralIndex names_;             // literal basename rules by name
  LiteralIndex paths_;             // literal path rules by relative path
  std::vector<uint32_t> scan_;     // every other rule, the highest index first
  bool needs_path_ = false;
};

}  // namespace tolvane

// CharSet: a set of Unicode scalar values as sorted, disjoint ranges, with the
// set algebra and simple case folding that character classes of the query
// syntax need. A value whose copies share their ranges until one changes, so a
// query of many `\w` holds one table. Const use from many threads is safe once
// ranges() has been called after the last change.
#pragma once

#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "fs/regex/unicode_tables.h"

namespace tolvane {

inline constexpr char32_t kMaxCodePoint = 0x10FFFF;

class CharSet {
 public:
  CharSet() : ranges_(std::make_shared<std::vector<unicode::Range>>()) {}
  explicit CharSet(std::span<const unicode::Range> ranges)
      : ranges_(std::make_shared<std::vector<unicode::Range>>(ranges.begin(),
                                                              ranges.end())) {}
  static CharSet Of(char32_t lo, char32_t hi) {
    CharSet set;
    set.ranges_->push_back({lo, hi});
    return set;
  }

  // Adds [lo, hi]; the set is put back in order on its next use.
  void Add(char32_t lo, char32_t hi);
  void Union(const CharSet& other);
  void Intersect(const CharSet& other);
  void Difference(const CharSet& other);
  void SymmetricDifference(const CharSet& other);
  void Negate();
  // Adds every member of the simple case-folding orbit of each member.
  void CaseFold();

  bool Contains(char32_t c) const;
  bool empty() const { return ranges().empty(); }
  // Sorted, disjoint and non-adjacent.
  const std::vector<unicode::Range>& ranges() const {
    Canonicalize();
    return *ranges_;
  }
  // Equal for copies that share their ranges.
  const void* identity() const { return ranges_.get(); }
  // The one member of a set of one.
  std::optional<char32_t> Single() const {
    const auto& r = ranges();
    if (r.size() != 1 || r[0].lo != r[0].hi) return std::nullopt;
    return r[0].lo;
  }
  bool operator==(const CharSet& other) const {
    return ranges() == other.ranges();
  }

 private:
  void Canonicalize() const;
  // The ranges, unshared, for a change.
  std::vector<unicode::Range>& Own();

  std::shared_ptr<std::vector<unicode::Range>> ranges_;
  mutable bool dirty_ = false;
};

}  // namespace tolvane

#include "fs/regex/char_set.h"

#include <algorithm>

namespace tolvane {
namespace {

using unicode::Range;

const unicode::FoldPair* FindFold(char32_t c) {
  auto table = unicode::FoldTable();
  auto it = std::lower_bound(
      table.begin(), table.end(), c,
      [](const unicode::FoldPair& p, char32_t v) { return p.c < v; });
  return it != table.end() && it->c == c ? &*it : nullptr;
}

}  // namespace

void CharSet::Add(char32_t lo, char32_t hi) {
  if (!ranges_.empty() && !dirty_ && ranges_.back().hi < lo &&
      ranges_.back().hi + 1 != lo) {
    ranges_.push_back({lo, hi});
    return;
  }
  ranges_.push_back({lo, hi});
  dirty_ = true;
}

void CharSet::Canonicalize() const {
  if (!dirty_) return;
  dirty_ = false;
  std::sort(ranges_.begin(), ranges_.end(),
            [](const Range& a, const Range& b) { return a.lo < b.lo; });
  size_t out = 0;
  for (const Range& r : ranges_) {
    if (out > 0 && r.lo <= ranges_[out - 1].hi + 1) {
      ranges_[out - 1].hi = std::max(ranges_[out - 1].hi, r.hi);
    } else {
      ranges_[out++] = r;
    }
  }
  ranges_.resize(out);
}

void CharSet::Union(const CharSet& other) {
  for (const Range& r : other.ranges()) ranges_.push_back(r);
  dirty_ = true;
}

void CharSet::Negate() {
  Canonicalize();
  std::vector<Range> out;
  char32_t next = 0;
  for (const Range& r : ranges_) {
    if (r.lo > next) out.push_back({next, r.lo - 1});
    next = r.hi + 1;
  }
  if (ranges_.empty() || ranges_.back().hi < kMaxCodePoint) {
    out.push_back({next, kMaxCodePoint});
  }
  ranges_ = std::move(out);
}

void CharSet::Intersect(const CharSet& other) {
  Canonicalize();
  const auto& b = other.ranges();
  std::vector<Range> out;
  size_t i = 0, j = 0;
  while (i < ranges_.size() && j < b.size()) {
    char32_t lo = std::max(ranges_[i].lo, b[j].lo);
    char32_t hi = std::min(ranges_[i].hi, b[j].hi);
    if (lo <= hi) out.push_back({lo, hi});
    if (ranges_[i].hi < b[j].hi) {
      ++i;
    } else {
      ++j;
    }
  }
  ranges_ = std::move(out);
}

void CharSet::Difference(const CharSet& other) {
  CharSet negated = other;
  negated.Negate();
  Intersect(negated);
}

void CharSet::SymmetricDifference(const CharSet& other) {
  CharSet both = *this;
  both.Intersect(other);
  Union(other);
  Difference(both);
}

void CharSet::CaseFold() {
  Canonicalize();
  auto table = unicode::FoldTable();
  std::vector<Range> added;
  for (const Range& r : ranges_) {
    auto it = std::lower_bound(
        table.begin(), table.end(), r.lo,
        [](const unicode::FoldPair& p, char32_t v) { return p.c < v; });
    for (; it != table.end() && it->c <= r.hi; ++it) {
      for (char32_t c = it->next; c != it->c; c = FindFold(c)->next) {
        added.push_back({c, c});
      }
    }
  }
  if (added.empty()) return;
  ranges_.insert(ranges_.end(), added.begin(), added.end());
  dirty_ = true;
}

bool CharSet::Contains(char32_t c) const {
  const auto& r = ranges();
  auto it =
      std::upper_bound(r.begin(), r.end(), c,
                       [](char32_t v, const Range& x) { return v < x.lo; });
  return it != r.begin() && std::prev(it)->hi >= c;
}

size_t CharSet::Count() const {
  size_t n = 0;
  for (const Range& r : ranges()) n += r.hi - r.lo + 1;
  return n;
}

std::vector<char32_t> FoldOrbit(char32_t c) {
  std::vector<char32_t> out;
  const unicode::FoldPair* p = FindFold(c);
  if (p == nullptr) return out;
  for (char32_t x = p->next; x != c; x = FindFold(x)->next) out.push_back(x);
  return out;
}

}  // namespace tolvane

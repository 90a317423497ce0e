#include "fs/regex/char_set.h"

#include <algorithm>

namespace tolvane {
namespace {

using unicode::Range;

// The first entry of the fold table at or after `c`.
const unicode::FoldPair* FoldFrom(char32_t c) {
  auto table = unicode::FoldTable();
  return std::lower_bound(
      table.data(), table.data() + table.size(), c,
      [](const unicode::FoldPair& p, char32_t v) { return p.c < v; });
}

}  // namespace

std::vector<Range>& CharSet::Own() {
  if (ranges_.use_count() > 1) {
    ranges_ = std::make_shared<std::vector<Range>>(*ranges_);
  }
  return *ranges_;
}

void CharSet::Add(char32_t lo, char32_t hi) {
  std::vector<Range>& r = Own();
  if (!dirty_ && (r.empty() || (r.back().hi < lo && r.back().hi + 1 != lo))) {
    r.push_back({lo, hi});
    return;
  }
  r.push_back({lo, hi});
  dirty_ = true;
}

// A dirty set is private (changed through Own()) or a copy of one taken
// while translating, on one thread.
void CharSet::Canonicalize() const {
  if (!dirty_) return;
  dirty_ = false;
  std::vector<Range>& r = *ranges_;
  std::sort(r.begin(), r.end(),
            [](const Range& a, const Range& b) { return a.lo < b.lo; });
  size_t out = 0;
  for (const Range& x : r) {
    if (out > 0 && x.lo <= r[out - 1].hi + 1) {
      r[out - 1].hi = std::max(r[out - 1].hi, x.hi);
    } else {
      r[out++] = x;
    }
  }
  r.resize(out);
}

void CharSet::Union(const CharSet& other) {
  if (other.empty()) return;
  if (ranges_->empty()) {
    ranges_ = other.ranges_;
    dirty_ = false;
    return;
  }
  std::vector<Range>& r = Own();
  for (const Range& x : other.ranges()) r.push_back(x);
  dirty_ = true;
}

void CharSet::Negate() {
  const std::vector<Range>& r = ranges();
  std::vector<Range> out;
  char32_t next = 0;
  for (const Range& x : r) {
    if (x.lo > next) out.push_back({next, x.lo - 1});
    next = x.hi + 1;
  }
  if (r.empty() || r.back().hi < kMaxCodePoint) {
    out.push_back({next, kMaxCodePoint});
  }
  ranges_ = std::make_shared<std::vector<Range>>(std::move(out));
}

void CharSet::Intersect(const CharSet& other) {
  const std::vector<Range>& a = ranges();
  const auto& b = other.ranges();
  std::vector<Range> out;
  size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    char32_t lo = std::max(a[i].lo, b[j].lo);
    char32_t hi = std::min(a[i].hi, b[j].hi);
    if (lo <= hi) out.push_back({lo, hi});
    if (a[i].hi < b[j].hi) {
      ++i;
    } else {
      ++j;
    }
  }
  ranges_ = std::make_shared<std::vector<Range>>(std::move(out));
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
  auto table = unicode::FoldTable();
  const unicode::FoldPair* end = table.data() + table.size();
  std::vector<Range> added;
  for (const Range& r : ranges()) {
    for (const auto* it = FoldFrom(r.lo); it != end && it->c <= r.hi; ++it) {
      // Every member of an orbit has an entry, so FoldFrom finds it.
      for (char32_t c = it->next; c != it->c; c = FoldFrom(c)->next) {
        added.push_back({c, c});
      }
    }
  }
  if (added.empty()) return;
  std::vector<Range>& r = Own();
  r.insert(r.end(), added.begin(), added.end());
  dirty_ = true;
}

bool CharSet::Contains(char32_t c) const {
  const auto& r = ranges();
  auto it =
      std::upper_bound(r.begin(), r.end(), c,
                       [](char32_t v, const Range& x) { return v < x.lo; });
  return it != r.begin() && std::prev(it)->hi >= c;
}

}  // namespace tolvane

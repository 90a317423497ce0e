#include "fs/regex/size_estimate.h"

#include <algorithm>
#include <array>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "fs/utf8/utf8.h"

namespace tolvane::regex {
namespace {

// The reference compiles a query to a Thompson NFA of 32-byte states (a
// sparse state adds 8 bytes a transition, a union 4 bytes an alternative),
// once forward and once in reverse, and refuses it when either passes the
// limit. The model below follows its construction piece by piece; classes
// are costed by its reverse UTF-8 compilation (a trie of byte-range
// sequences), the larger of the two for any non-ASCII class. The reference
// shares trie states through a bounded hash cache whose collisions add a few
// states to large classes; the model leaves those out.
constexpr uint64_t kState = 32;
constexpr uint64_t kUnion = kState + 8;  // a union with two alternatives
constexpr uint64_t kCap = uint64_t{1} << 60;
// What every program has besides the query's own states (the unanchored
// prefix, the implicit group, the start states).
constexpr uint64_t kOverhead = 196;
// An alternation of at least this many plain literals is searched without an
// NFA (Aho-Corasick), so no size limit applies to it.
constexpr size_t kLiteralSetMin = 3000;

uint64_t Mul(uint64_t a, uint64_t b) {
  if (a != 0 && b > kCap / a) return kCap;
  return std::min(a * b, kCap);
}
uint64_t Add(uint64_t a, uint64_t b) { return std::min(a + b, kCap); }

size_t Utf8Len(char32_t c) {
  return c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
}

// Splits [lo, hi] into sequences of byte ranges, as every UTF-8 automaton
// compiler does (surrogates left out), and calls `emit` with each.
template <typename F>
void Utf8Sequences(char32_t lo, char32_t hi, F&& emit) {
  std::vector<std::pair<char32_t, char32_t>> stack{{lo, hi}};
  constexpr char32_t kMaxOfLen[] = {0x7F, 0x7FF, 0xFFFF};
  while (!stack.empty()) {
    auto [s, e] = stack.back();
    stack.pop_back();
    while (true) {
      if (s < 0xE000 && e > 0xD7FF && s <= e) {
        if (e >= 0xE000) stack.push_back({0xE000, e});
        e = 0xD7FF;
        if (s > e) break;
        continue;
      }
      if (s > e) break;
      bool split = false;
      for (char32_t max : kMaxOfLen) {
        if (s <= max && max < e) {
          stack.push_back({max + 1, e});
          e = max;
          split = true;
          break;
        }
      }
      if (split) continue;
      // Beyond ASCII, a range whose continuation bytes don't each span their
      // whole range splits where they would.
      for (int i = 1; i < 4 && e > 0x7F; ++i) {
        char32_t m = (char32_t{1} << (6 * i)) - 1;
        if ((s & ~m) != (e & ~m)) {
          if ((s & m) != 0) {
            stack.push_back({(s | m) + 1, e});
            e = s | m;
            split = true;
            break;
          }
          if ((e & m) != m) {
            stack.push_back({e & ~m, e});
            e = (e & ~m) - 1;
            split = true;
            break;
          }
        }
      }
      if (split) continue;
      // s and e now encode to the same length.
      std::string first, last;
      AppendUtf8(first, s);
      AppendUtf8(last, e);
      std::array<std::pair<uint8_t, uint8_t>, 4> seq{};
      for (size_t i = 0; i < first.size(); ++i) {
        seq[i] = {static_cast<uint8_t>(first[i]),
                  static_cast<uint8_t>(last[i])};
      }
      emit(seq, first.size());
      break;
    }
  }
}

uint64_t ClassCost(const CharSet& set) {
  const auto& ranges = set.ranges();
  if (ranges.empty()) return 2 * kState;
  if (std::optional<char32_t> c = set.Single()) {
    return kState * Utf8Len(*c);  // a literal
  }
  if (ranges.back().hi <= 0x7F) {
    return 2 * kState + 8 * ranges.size();  // one sparse state
  }
  // A union over the sequences, each compiled byte by byte, sharing the
  // states of equal leading byte ranges.
  std::unordered_map<uint64_t, uint32_t> nodes;
  uint64_t sequences = 0;
  for (const auto& r : ranges) {
    Utf8Sequences(r.lo, r.hi, [&](const auto& seq, size_t n) {
      ++sequences;
      uint64_t parent = 0;
      for (size_t i = 0; i < n; ++i) {
        uint64_t key =
            (parent << 16) | (uint64_t{seq[i].first} << 8) | seq[i].second;
        auto [it, added] =
            nodes.emplace(key, static_cast<uint32_t>(nodes.size() + 1));
        parent = it->second;
        (void)added;
      }
    });
  }
  return 2 * kState + kState * nodes.size() + 4 * sequences;
}

bool HasCaptures(const Hir& h) {
  if (h.captures > 0) return true;
  for (const Hir& sub : h.subs) {
    if (HasCaptures(sub)) return true;
  }
  return false;
}

bool SameHir(const Hir& a, const Hir& b) {
  if (a.kind != b.kind || a.look != b.look || a.min != b.min ||
      a.max != b.max || a.captures != b.captures ||
      a.subs.size() != b.subs.size() ||
      (a.kind == Hir::Kind::kClass && !(a.set == b.set))) {
    return false;
  }
  for (size_t i = 0; i < a.subs.size(); ++i) {
    if (!SameHir(a.subs[i], b.subs[i])) return false;
  }
  return true;
}

// One element of a concatenation as the reference sees it: adjacent single
// characters form one literal.
struct Item {
  const Hir* node = nullptr;  // null for a literal
  std::string literal;
  bool operator==(const Item& o) const {
    return node == nullptr ? o.node == nullptr && literal == o.literal
                           : o.node != nullptr && SameHir(*node, *o.node);
  }
};

bool IsChar(const Hir& h) {
  return h.kind == Hir::Kind::kClass && h.captures == 0 && h.set.Single();
}

// One character or a concatenation of them (captures are ruled out first).
bool IsLiteral(const Hir& h) {
  if (IsChar(h)) return true;
  if (h.kind != Hir::Kind::kConcat || h.subs.empty()) return false;
  for (const Hir& sub : h.subs) {
    if (!IsLiteral(sub)) return false;
  }
  return true;
}

std::vector<Item> Items(const Hir& h) {
  std::vector<Item> items;
  auto add = [&](const Hir& x) {
    if (IsChar(x)) {
      if (items.empty() || items.back().node != nullptr) items.push_back({});
      AppendUtf8(items.back().literal, *x.set.Single());
    } else if (x.kind != Hir::Kind::kEmpty || x.captures > 0) {
      items.push_back({&x, {}});
    }
  };
  if (h.kind == Hir::Kind::kConcat && h.captures == 0) {
    for (const Hir& sub : h.subs) add(sub);
  } else {
    add(h);
  }
  return items;
}

// An alternation of literals is compiled as a trie of the reversed literals:
// 68 bytes an inner node, 8 a leaf, 100 for the root and the end.
uint64_t LiteralTrieCost(const std::vector<std::string>& literals) {
  std::map<std::pair<uint32_t, uint8_t>, uint32_t> edges;
  std::vector<bool> has_children{false};
  std::vector<bool> is_match{false};
  for (const std::string& bytes : literals) {
    uint32_t node = 0;
    for (auto it = bytes.rbegin(); it != bytes.rend(); ++it) {
      auto [edge, added] =
          edges.emplace(std::pair{node, static_cast<uint8_t>(*it)},
                        static_cast<uint32_t>(has_children.size()));
      if (added) {
        has_children.push_back(false);
        is_match.push_back(false);
      }
      has_children[node] = true;
      node = edge->second;
    }
    is_match[node] = true;
  }
  uint64_t total = 100;
  for (size_t i = 1; i < has_children.size(); ++i) {
    total += has_children[i] ? 68 + (is_match[i] ? 8 : 0) : 8;
  }
  return total;
}

class Estimator {
 public:
  uint64_t Cost(const Hir& h) {
    uint64_t own = Mul(h.captures, 2 * kState);
    return Add(own, Bare(h));
  }

 private:
  uint64_t Bare(const Hir& h) {
    switch (h.kind) {
      case Hir::Kind::kEmpty:
        return 0;
      case Hir::Kind::kClass: {
        auto [it, added] = class_costs_.emplace(h.set.identity(), 0);
        if (added) it->second = ClassCost(h.set);
        return it->second;
      }
      case Hir::Kind::kLook:
        return kState;
      case Hir::Kind::kConcat: {
        uint64_t total = 0;
        for (const Hir& sub : h.subs) total = Add(total, Cost(sub));
        return total;
      }
      case Hir::Kind::kAlt: {
        // Alternatives that are all single classes become one class.
        bool classes = true;
        for (const Hir& sub : h.subs) {
          classes =
              classes && sub.kind == Hir::Kind::kClass && sub.captures == 0;
        }
        if (classes) {
          CharSet merged;
          for (const Hir& sub : h.subs) merged.Union(sub.set);
          return ClassCost(merged);
        }
        std::vector<std::vector<Item>> branches;
        for (const Hir& sub : h.subs) branches.push_back(Items(sub));
        return Alternation(branches);
      }
      case Hir::Kind::kRepeat:
        return Repeat(h);
    }
    return 0;
  }

  uint64_t ItemCost(const Item& item) {
    return item.node == nullptr ? kState * item.literal.size()
                                : Cost(*item.node);
  }

  // The reference lifts a prefix common to every alternative (when each is a
  // concatenation of two or more elements), and compiles an alternation of
  // literals as a trie.
  uint64_t Alternation(std::vector<std::vector<Item>>& branches) {
    size_t common = branches[0].size() >= 2 ? branches[0].size() : 0;
    for (const auto& b : branches) {
      if (b.size() < 2) common = 0;
      size_t n = 0;
      while (n < common && n < b.size() && b[n] == branches[0][n]) ++n;
      common = n;
    }
    uint64_t total = 0;
    if (common > 0) {
      for (size_t i = 0; i < common; ++i) {
        total = Add(total, ItemCost(branches[0][i]));
      }
      for (auto& b : branches) b.erase(b.begin(), b.begin() + common);
    }
    bool literals = true;
    for (const auto& b : branches) {
      literals = literals && b.size() == 1 && b[0].node == nullptr;
    }
    if (literals && branches.size() > 1) {
      std::vector<std::string> strings;
      for (const auto& b : branches) strings.push_back(b[0].literal);
      return Add(total, LiteralTrieCost(strings));
    }
    total = Add(total, 2 * kState + 4 * branches.size());
    for (const auto& b : branches) {
      for (const Item& item : b) total = Add(total, ItemCost(item));
    }
    return total;
  }

  uint64_t Repeat(const Hir& h) {
    const Hir& sub = h.subs[0];
    if (sub.kind == Hir::Kind::kLook) return h.min == 0 ? 0 : kState;
    uint64_t one = Cost(sub);
    uint32_t lo = h.min, hi = h.max;
    if (hi == kUnbounded) {
      return Add(Mul(one, std::max<uint32_t>(lo, 1)), kUnion);
    }
    if (hi == 0) return 0;
    if (lo == 0 && hi == 1) return Add(one, kUnion + kState);
    uint64_t prefix = lo == 0 ? kState : Mul(one, lo);
    if (lo == hi) return prefix;
    return Add(Add(prefix, kState), Mul(Add(one, kUnion), hi - lo));
  }

  std::unordered_map<const void*, uint64_t> class_costs_;
};

}  // namespace

uint64_t EstimateCompiledSize(const Hir& hir) {
  if (hir.kind == Hir::Kind::kAlt && hir.subs.size() >= kLiteralSetMin &&
      !HasCaptures(hir)) {
    bool literals = true;
    for (const Hir& sub : hir.subs) literals = literals && IsLiteral(sub);
    if (literals) return 0;
  }
  return Add(Estimator().Cost(hir), kOverhead);
}

}  // namespace tolvane::regex

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

// The reference compiles a query to two Thompson NFAs of 32-byte states (a
// sparse state adds 8 bytes a transition, a union 4 bytes an alternative): a
// forward one with capture states and a reverse one without, and refuses the
// query when either passes the limit. The model below follows its
// construction piece by piece, in both directions at once. A non-ASCII class
// is a minimal automaton of its UTF-8 sequences forward and a trie of their
// leading byte ranges in reverse. The reference shares states of both through
// bounded hash caches whose collisions add a few states to large classes; the
// model leaves those out.
constexpr uint64_t kState = 32;
constexpr uint64_t kUnion = kState + 8;  // a union with two alternatives
constexpr uint64_t kCap = uint64_t{1} << 60;
// What every program has besides the query's own states: the unanchored
// prefix (a union and a byte class), or one empty state where every match is
// anchored where the program starts reading (\A forward, \z in reverse);
// forward the implicit group's two capture states; the match state.
constexpr uint64_t kUnanchoredPrefix = kUnion + 2 * kState + 8;
constexpr uint64_t kAnchoredPrefix = kState;
constexpr uint64_t kForwardExtra = 3 * kState;
constexpr uint64_t kReverseExtra = kState;
// An alternation of at least this many plain literals is searched without an
// NFA (Aho-Corasick), so no size limit applies to it.
constexpr size_t kLiteralSetMin = 3000;

uint64_t Mul(uint64_t a, uint64_t b) {
  if (a != 0 && b > kCap / a) return kCap;
  return std::min(a * b, kCap);
}
uint64_t Add(uint64_t a, uint64_t b) { return std::min(a + b, kCap); }

// Bytes of one piece in the forward and in the reverse program.
struct Cost {
  uint64_t forward = 0;
  uint64_t reverse = 0;
};
Cost Both(uint64_t bytes) { return {bytes, bytes}; }
Cost Add(Cost a, Cost b) {
  return {Add(a.forward, b.forward), Add(a.reverse, b.reverse)};
}
Cost Mul(Cost a, uint64_t n) { return {Mul(a.forward, n), Mul(a.reverse, n)}; }

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

using Utf8Range = std::pair<uint8_t, uint8_t>;
using Utf8Seq = std::array<Utf8Range, 4>;

template <typename F>
void ForEachSequence(const CharSet& set, F&& visit) {
  for (const auto& r : set.ranges()) Utf8Sequences(r.lo, r.hi, visit);
}

// Forward: the sorted sequences streamed into a minimal automaton (Daciuk's
// algorithm): an end state, then one sparse state for every distinct set of
// outgoing transitions.
uint64_t ForwardClassCost(const CharSet& set) {
  struct Node {
    std::vector<std::array<uint32_t, 3>> trans;  // lo, hi, target
    std::optional<Utf8Range> last;
  };
  std::map<std::vector<std::array<uint32_t, 3>>, uint32_t> compiled;
  uint64_t bytes = kState;  // the end state, id 0
  auto compile = [&](std::vector<std::array<uint32_t, 3>>&& trans) {
    auto [it, added] = compiled.emplace(
        std::move(trans), static_cast<uint32_t>(compiled.size() + 1));
    if (added) bytes += kState + 8 * it->first.size();
    return it->second;
  };
  auto freeze = [](Node& node, uint32_t next) {
    if (node.last)
      node.trans.push_back({node.last->first, node.last->second, next});
    node.last.reset();
  };
  std::vector<Node> open(1);
  auto compile_from = [&](size_t from) {
    uint32_t next = 0;
    while (from + 1 < open.size()) {
      Node node = std::move(open.back());
      open.pop_back();
      freeze(node, next);
      next = compile(std::move(node.trans));
    }
    freeze(open.back(), next);
  };
  ForEachSequence(set, [&](const Utf8Seq& seq, size_t n) {
    size_t common = 0;
    while (common < n && common < open.size() &&
           open[common].last == seq[common]) {
      ++common;
    }
    compile_from(common);
    open.back().last = seq[common];
    for (size_t i = common + 1; i < n; ++i) open.push_back({{}, seq[i]});
  });
  compile_from(0);
  compile(std::move(open[0].trans));
  return bytes;
}

// Reverse: a union over the sequences, each compiled byte by byte, sharing
// the states of equal leading byte ranges.
uint64_t ReverseClassCost(const CharSet& set) {
  std::unordered_map<uint64_t, uint32_t> nodes;
  uint64_t sequences = 0;
  ForEachSequence(set, [&](const Utf8Seq& seq, size_t n) {
    ++sequences;
    uint64_t parent = 0;
    for (size_t i = 0; i < n; ++i) {
      uint64_t key =
          (parent << 16) | (uint64_t{seq[i].first} << 8) | seq[i].second;
      parent = nodes.emplace(key, static_cast<uint32_t>(nodes.size() + 1))
                   .first->second;
    }
  });
  return 2 * kState + kState * nodes.size() + 4 * sequences;
}

Cost ClassCost(const CharSet& set) {
  const auto& ranges = set.ranges();
  if (ranges.empty()) return Both(2 * kState);
  if (std::optional<char32_t> c = set.Single()) {
    return Both(kState * Utf8Len(*c));  // a literal
  }
  if (ranges.back().hi <= 0x7F) {
    return Both(2 * kState + 8 * ranges.size());  // one sparse state
  }
  return {ForwardClassCost(set), ReverseClassCost(set)};
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

// An alternation of literals is compiled from a trie of them (of the reversed
// literals in reverse): an end state, and for every state with transitions a
// union over its chunks (a new chunk begins where a literal ends) with one
// range or sparse state for each non-empty chunk.
uint64_t LiteralTrieCost(const std::vector<std::string>& literals,
                         bool reverse) {
  struct State {
    std::vector<std::pair<uint8_t, uint32_t>> trans;  // sorted in each chunk
    std::vector<size_t> chunk_ends;
  };
  std::vector<State> states(1);
  for (const std::string& literal : literals) {
    uint32_t at = 0;
    for (size_t i = 0; i < literal.size(); ++i) {
      auto b =
          static_cast<uint8_t>(literal[reverse ? literal.size() - 1 - i : i]);
      State& s = states[at];
      auto first =
          s.trans.begin() + (s.chunk_ends.empty() ? 0 : s.chunk_ends.back());
      auto it = std::lower_bound(
          first, s.trans.end(), b,
          [](const auto& t, uint8_t key) { return t.first < key; });
      if (it != s.trans.end() && it->first == b) {
        at = it->second;
        continue;
      }
      auto next = static_cast<uint32_t>(states.size());
      s.trans.insert(it, {b, next});
      states.emplace_back();
      at = next;
    }
    State& s = states[at];
    if (s.trans.empty() && !s.chunk_ends.empty()) continue;
    s.chunk_ends.push_back(s.trans.size());
  }
  uint64_t total = kState;
  for (const State& s : states) {
    if (s.trans.empty()) continue;
    uint64_t alternatives = s.chunk_ends.size();  // to the end, but the first
    size_t begin = 0;
    for (size_t i = 0; i <= s.chunk_ends.size(); ++i) {
      size_t end = i < s.chunk_ends.size() ? s.chunk_ends[i] : s.trans.size();
      if (end > begin) {
        total += kState + (end - begin > 1 ? 8 * (end - begin) : 0);
        ++alternatives;
      }
      begin = end;
    }
    total += kState + 4 * alternatives;
  }
  return total;
}

// Whether every match of `h` begins with \A (with `at_end`, ends with \z): the
// reference then compiles no unanchored prefix for the program reading in
// that direction.
bool Anchored(const Hir& h, bool at_end) {
  switch (h.kind) {
    case Hir::Kind::kLook:
      return h.look == (at_end ? Look::kEnd : Look::kStart);
    case Hir::Kind::kRepeat:
      return h.min > 0 && Anchored(h.subs[0], at_end);
    case Hir::Kind::kAlt:
      return std::ranges::all_of(
          h.subs, [&](const Hir& sub) { return Anchored(sub, at_end); });
    case Hir::Kind::kConcat:
      for (size_t i = 0; i < h.subs.size(); ++i) {
        const Hir& sub = h.subs[at_end ? h.subs.size() - 1 - i : i];
        if (Anchored(sub, at_end)) return true;
        if (!IsZeroWidth(sub)) return false;
      }
      return false;
    default:
      return false;
  }
}

// The least length of a match of `h` in bytes; none where it can't match
// (an empty class), as the reference reckons it.
std::optional<uint64_t> MinLength(const Hir& h) {
  switch (h.kind) {
    case Hir::Kind::kClass:
      if (h.set.empty()) return std::nullopt;
      return Utf8Len(h.set.ranges().front().lo);
    case Hir::Kind::kRepeat: {
      std::optional<uint64_t> one = MinLength(h.subs[0]);
      if (!one) return std::nullopt;
      return Mul(*one, h.min);
    }
    case Hir::Kind::kConcat: {
      uint64_t total = 0;
      for (const Hir& sub : h.subs) {
        std::optional<uint64_t> n = MinLength(sub);
        if (!n) return std::nullopt;
        total = Add(total, *n);
      }
      return total;
    }
    case Hir::Kind::kAlt: {
      std::optional<uint64_t> least;
      for (const Hir& sub : h.subs) {
        std::optional<uint64_t> n = MinLength(sub);
        if (n && (!least || *n < *least)) least = n;
      }
      return least;
    }
    default:
      return 0;
  }
}

class Estimator {
 public:
  Cost Of(const Hir& h) {
    // Capture states exist in the forward program only.
    return Add(Cost{Mul(h.captures, 2 * kState), 0}, Bare(h));
  }

 private:
  Cost Bare(const Hir& h) {
    switch (h.kind) {
      case Hir::Kind::kEmpty:
        return Both(kState);
      case Hir::Kind::kClass: {
        auto [it, added] = class_costs_.emplace(h.set.identity(), Cost{});
        if (added) it->second = ClassCost(h.set);
        return it->second;
      }
      case Hir::Kind::kLook:
        return Both(kState);
      case Hir::Kind::kConcat: {
        // Empty elements drop out; a concatenation of none is one empty.
        std::optional<Cost> total;
        for (const Hir& sub : h.subs) {
          if (sub.kind != Hir::Kind::kEmpty || sub.captures > 0) {
            total = Add(total.value_or(Cost{}), Of(sub));
          }
        }
        return total.value_or(Both(kState));
      }
      case Hir::Kind::kAlt: {
        // Alternatives that are all single characters, or all classes of
        // more than one, become one class.
        size_t chars = 0, classes = 0;
        for (const Hir& sub : h.subs) {
          if (sub.kind == Hir::Kind::kClass && sub.captures == 0) {
            ++(sub.set.Single() ? chars : classes);
          }
        }
        if (chars == h.subs.size() || classes == h.subs.size()) {
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
    return {};
  }

  Cost ItemCost(const Item& item) {
    return item.node == nullptr ? Both(kState * item.literal.size())
                                : Of(*item.node);
  }

  // The reference lifts a prefix common to every alternative (when each is a
  // concatenation of two or more elements), and compiles an alternation of
  // literals from a trie.
  Cost Alternation(std::vector<std::vector<Item>>& branches) {
    size_t common = branches[0].size() >= 2 ? branches[0].size() : 0;
    for (const auto& b : branches) {
      if (b.size() < 2) common = 0;
      size_t n = 0;
      while (n < common && n < b.size() && b[n] == branches[0][n]) ++n;
      common = n;
    }
    Cost total;
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
      return Add(total, Cost{LiteralTrieCost(strings, false),
                             LiteralTrieCost(strings, true)});
    }
    total = Add(total, Both(2 * kState + 4 * branches.size()));
    for (const auto& b : branches) {
      if (b.empty()) total = Add(total, Both(kState));
      for (const Item& item : b) total = Add(total, ItemCost(item));
    }
    return total;
  }

  Cost Repeat(const Hir& h) {
    const Hir& sub = h.subs[0];
    if (sub.kind == Hir::Kind::kLook) return Both(h.min == 0 ? 0 : kState);
    Cost one = Of(sub);
    uint32_t lo = h.min, hi = h.max;
    if (hi == kUnbounded) {
      // x* is (x+)? (two unions and an end) unless x always consumes.
      if (lo == 0 && MinLength(sub).value_or(0) == 0) {
        return Add(one, Both(2 * kUnion + kState));
      }
      return Add(Mul(one, std::max<uint32_t>(lo, 1)), Both(kUnion));
    }
    if (hi == 0) return {};
    if (lo == 0 && hi == 1) return Add(one, Both(kUnion + kState));
    Cost prefix = lo == 0 ? Both(kState) : Mul(one, lo);
    if (lo == hi) return prefix;
    return Add(Add(prefix, Both(kState)), Mul(Add(one, Both(kUnion)), hi - lo));
  }

  std::unordered_map<const void*, Cost> class_costs_;
};

}  // namespace

uint64_t EstimateCompiledSize(const Hir& hir) {
  if (hir.kind == Hir::Kind::kAlt && hir.subs.size() >= kLiteralSetMin &&
      !HasCaptures(hir)) {
    bool literals = true;
    for (const Hir& sub : hir.subs) literals = literals && IsLiteral(sub);
    if (literals) return 0;
  }
  Cost cost = Estimator().Of(hir);
  uint64_t forward =
      Add(cost.forward,
          (Anchored(hir, false) ? kAnchoredPrefix : kUnanchoredPrefix) +
              kForwardExtra);
  uint64_t reverse =
      Add(cost.reverse,
          (Anchored(hir, true) ? kAnchoredPrefix : kUnanchoredPrefix) +
              kReverseExtra);
  return std::max(forward, reverse);
}

}  // namespace tolvane::regex

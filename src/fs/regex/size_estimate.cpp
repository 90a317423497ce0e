#include "fs/regex/size_estimate.h"

#include <algorithm>
#include <array>
#include <initializer_list>
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
// query when either passes the limit. Program below replays the construction
// of one of them state by state, numbering states as the reference does:
// non-ASCII classes share states through its bounded caches, which are keyed
// by state numbers, so their size depends on where they fall.
constexpr uint64_t kState = 32;
constexpr uint64_t kCap = uint64_t{1} << 60;
// An alternation of at least this many plain literals is searched without an
// NFA (Aho-Corasick), so no size limit applies to it.
constexpr size_t kLiteralSetMin = 3000;
// The slots of the caches of shared UTF-8 states, forward and in reverse.
constexpr size_t kForwardSlots = 10000;
constexpr size_t kReverseSlots = 1000;

uint64_t Mul(uint64_t a, uint64_t b) {
  if (a != 0 && b > kCap / a) return kCap;
  return std::min(a * b, kCap);
}
uint64_t Add(uint64_t a, uint64_t b) { return std::min(a + b, kCap); }

size_t Utf8Len(char32_t c) {
  return c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
}

// FNV-1a over 64-bit words, the caches' hash.
uint64_t Fnv(std::initializer_list<uint64_t> words, uint64_t h) {
  for (uint64_t w : words) h = (h ^ w) * 1099511628211u;
  return h;
}
constexpr uint64_t kFnvInit = 14695981039346656037u;

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
struct Utf8Seq {
  std::array<Utf8Range, 4> ranges;
  size_t size;
};

std::vector<Utf8Seq> Sequences(const CharSet& set) {
  std::vector<Utf8Seq> out;
  for (const auto& r : set.ranges()) {
    Utf8Sequences(r.lo, r.hi,
                  [&](const auto& seq, size_t n) { out.push_back({seq, n}); });
  }
  return out;
}

// A cache of one entry a slot, emptied by a new version, as the reference's.
template <typename Key>
class SlotCache {
 public:
  explicit SlotCache(size_t slots) : slots_(slots) {}
  void Clear() {
    if (entries_.empty()) entries_.resize(slots_);
    ++version_;
  }
  std::optional<uint64_t> Get(const Key& key, uint64_t hash) const {
    const Entry& e = entries_[hash % slots_];
    if (e.version != version_ || !(e.key == key)) return std::nullopt;
    return e.id;
  }
  void Set(Key key, uint64_t hash, uint64_t id) {
    entries_[hash % slots_] = {version_, std::move(key), id};
  }

 private:
  struct Entry {
    uint64_t version = 0;
    Key key{};
    uint64_t id = 0;
  };
  size_t slots_;
  uint64_t version_ = 0;
  std::vector<Entry> entries_;
};

// A transition of a forward UTF-8 state: byte range and target state.
using Transition = std::array<uint64_t, 3>;
// A reverse UTF-8 state: the state it leads to and its byte range.
using SuffixKey = std::array<uint64_t, 3>;

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

// The elements of `h` as a concatenation, nested ones flattened and empty
// ones dropped.
void AppendItems(const Hir& h, std::vector<Item>& items) {
  if (h.kind == Hir::Kind::kConcat && h.captures == 0) {
    for (const Hir& sub : h.subs) AppendItems(sub, items);
  } else if (IsChar(h)) {
    if (items.empty() || items.back().node != nullptr) items.push_back({});
    AppendUtf8(items.back().literal, *h.set.Single());
  } else if (h.kind != Hir::Kind::kEmpty || h.captures > 0) {
    items.push_back({&h, {}});
  }
}

std::vector<Item> Items(const Hir& h) {
  std::vector<Item> items;
  AppendItems(h, items);
  return items;
}

// An alternation of literals is compiled from a trie of them (of the reversed
// literals in reverse): an end state, and for every state with transitions a
// union over its chunks (a new chunk begins where a literal ends) with one
// range or sparse state for each non-empty chunk.
struct TrieCost {
  uint64_t bytes = 0;
  uint64_t states = 0;
};

TrieCost LiteralTrieCost(const std::vector<std::string>& literals,
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
  TrieCost total{kState, 1};
  for (const State& s : states) {
    if (s.trans.empty()) continue;
    uint64_t alternatives = s.chunk_ends.size();  // to the end, but the first
    size_t begin = 0;
    for (size_t i = 0; i <= s.chunk_ends.size(); ++i) {
      size_t end = i < s.chunk_ends.size() ? s.chunk_ends[i] : s.trans.size();
      if (end > begin) {
        total.bytes += kState + (end - begin > 1 ? 8 * (end - begin) : 0);
        ++total.states;
        ++alternatives;
      }
      begin = end;
    }
    total.bytes += kState + 4 * alternatives;
    ++total.states;
  }
  return total;
}

// Whether every match of `h` begins with \A (with `at_end`, ends with \z): the
// program reading from that end then has no unanchored prefix.
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

// Whether the size of `h` depends on the numbers of its states: it holds a
// class of several non-ASCII members, or an alternation that may become one.
bool UsesCaches(const Hir& h) {
  if (h.kind == Hir::Kind::kClass) {
    return !h.set.empty() && h.set.ranges().back().hi > 0x7F && !h.set.Single();
  }
  if (h.kind == Hir::Kind::kAlt) {
    return std::ranges::any_of(h.subs, [](const Hir& sub) {
      return sub.kind == Hir::Kind::kClass
                 ? !sub.set.empty() && sub.set.ranges().back().hi > 0x7F
                 : UsesCaches(sub);
    });
  }
  return std::ranges::any_of(h.subs, UsesCaches);
}

// One of the reference's two programs for a query, built state by state; it
// stops counting once past the limit.
class Program {
 public:
  explicit Program(bool reverse) : reverse_(reverse) {}

  uint64_t Compile(const Hir& hir) {
    if (Anchored(hir, reverse_)) {
      AddState(0);
    } else {
      // The unanchored prefix: a union of two alternatives over a byte class.
      AddState(8);
      AddState(0);
      AddState(8);
    }
    if (!reverse_) AddState(0);  // the implicit group
    Node(hir);
    if (!reverse_) AddState(0);
    AddState(0);  // the match state
    return bytes_;
  }

 private:
  bool Over() const { return bytes_ > kSizeLimit; }
  uint64_t AddState(uint64_t heap) {
    bytes_ = Add(bytes_, kState + heap);
    return next_++;
  }

  void Node(const Hir& h) {
    if (Over()) return;
    // Capture states exist in the forward program only.
    uint64_t captures = reverse_ ? 0 : h.captures;
    for (uint64_t i = 0; i < captures; ++i) AddState(0);
    Bare(h);
    for (uint64_t i = 0; i < captures; ++i) AddState(0);
  }

  void Bare(const Hir& h) {
    switch (h.kind) {
      case Hir::Kind::kEmpty:
      case Hir::Kind::kLook:
        AddState(0);
        return;
      case Hir::Kind::kClass:
        return Class(h.set);
      case Hir::Kind::kConcat: {
        std::vector<Item> items;
        for (const Hir& sub : h.subs) AppendItems(sub, items);
        return Sequence(items);
      }
      case Hir::Kind::kAlt: {
        auto [it, added] = alt_classes_.try_emplace(&h);
        if (added) it->second = MergedClass(Branches(h));
        if (it->second) return Class(*it->second);
        std::vector<std::vector<Item>> branches = Branches(h);
        return Alternation(branches);
      }
      case Hir::Kind::kRepeat:
        return Repeat(h);
    }
  }

  // The alternatives of `h`. A nested alternation is flattened into them
  // unless it becomes a class or lifts a common prefix.
  const std::vector<std::vector<Item>>& Branches(const Hir& h) {
    auto [it, added] = branches_.try_emplace(&h);
    std::vector<std::vector<Item>>& out = it->second;
    if (!added) return out;
    for (const Hir& sub : h.subs) {
      if (sub.kind == Hir::Kind::kAlt && sub.captures == 0) {
        const auto& inner = Branches(sub);
        if (!MergedClass(inner) && CommonPrefix(inner) == 0) {
          out.insert(out.end(), inner.begin(), inner.end());
          continue;
        }
      }
      out.push_back(Items(sub));
    }
    return out;
  }

  // The length of the prefix common to all alternatives when each has two
  // or more elements.
  static size_t CommonPrefix(const std::vector<std::vector<Item>>& branches) {
    size_t common = branches[0].size() >= 2 ? branches[0].size() : 0;
    for (const auto& b : branches) {
      if (b.size() < 2) return 0;
      size_t n = 0;
      while (n < common && n < b.size() && b[n] == branches[0][n]) ++n;
      common = n;
    }
    return common;
  }

  // The class that alternatives that are all single characters, or all
  // classes, become.
  std::optional<CharSet> MergedClass(
      const std::vector<std::vector<Item>>& branches) {
    size_t chars = 0, classes = 0;
    CharSet merged;
    for (const auto& b : branches) {
      if (b.size() != 1) return std::nullopt;
      const Item& item = b[0];
      if (item.node == nullptr) {
        std::u32string decoded = DecodeUtf8(item.literal);
        if (decoded.size() != 1) return std::nullopt;
        merged.Add(decoded[0], decoded[0]);
        ++chars;
      } else if (item.node->captures != 0) {
        return std::nullopt;
      } else if (item.node->kind == Hir::Kind::kClass) {
        merged.Union(item.node->set);
        ++classes;
      } else if (item.node->kind == Hir::Kind::kAlt) {
        std::optional<CharSet> inner = MergedClass(Branches(*item.node));
        if (!inner) return std::nullopt;
        merged.Union(*inner);
        ++classes;
      } else {
        return std::nullopt;
      }
    }
    if (chars != 0 && classes != 0) return std::nullopt;
    return merged;
  }

  // A concatenation, compiled from its last element in reverse; none is one
  // empty state.
  void Sequence(const std::vector<Item>& items) {
    if (items.empty()) AddState(0);
    for (size_t i = 0; i < items.size() && !Over(); ++i) {
      const Item& item = items[reverse_ ? items.size() - 1 - i : i];
      if (item.node != nullptr) {
        Node(*item.node);
      } else {
        for (size_t b = 0; b < item.literal.size(); ++b) AddState(0);
      }
    }
  }

  void Class(const CharSet& set) {
    const auto& ranges = set.ranges();
    if (std::optional<char32_t> c = set.Single()) {
      for (size_t i = 0; i < Utf8Len(*c); ++i) AddState(0);  // a literal
    } else if (ranges.empty() || ranges.back().hi <= 0x7F) {
      AddState(0);  // one sparse state and its end
      AddState(8 * ranges.size());
    } else {
      auto [it, added] = sequences_.try_emplace(set.identity());
      if (added) it->second = {set, Sequences(set)};
      reverse_ ? ReverseUtf8(it->second.second)
               : ForwardUtf8(it->second.second);
    }
  }

  // Forward: the sorted sequences streamed into a minimal automaton (Daciuk's
  // algorithm), equal states shared through the cache.
  void ForwardUtf8(const std::vector<Utf8Seq>& seqs) {
    struct Open {
      std::vector<Transition> trans;
      std::optional<Utf8Range> last;
    };
    forward_cache_.Clear();
    uint64_t target = AddState(0);
    auto compile = [&](std::vector<Transition>&& trans) {
      uint64_t hash = kFnvInit;
      for (const Transition& t : trans) hash = Fnv({t[0], t[1], t[2]}, hash);
      if (std::optional<uint64_t> id = forward_cache_.Get(trans, hash)) {
        return *id;
      }
      uint64_t id = AddState(8 * trans.size());
      forward_cache_.Set(std::move(trans), hash, id);
      return id;
    };
    auto freeze = [](Open& node, uint64_t next) {
      if (node.last) {
        node.trans.push_back({node.last->first, node.last->second, next});
      }
      node.last.reset();
    };
    std::vector<Open> open(1);
    auto compile_from = [&](size_t from) {
      uint64_t next = target;
      while (from + 1 < open.size()) {
        Open node = std::move(open.back());
        open.pop_back();
        freeze(node, next);
        next = compile(std::move(node.trans));
      }
      freeze(open.back(), next);
    };
    for (const Utf8Seq& seq : seqs) {
      size_t common = 0;
      while (common < seq.size && common < open.size() &&
             open[common].last == seq.ranges[common]) {
        ++common;
      }
      compile_from(common);
      open.back().last = seq.ranges[common];
      for (size_t i = common + 1; i < seq.size; ++i) {
        open.push_back({{}, seq.ranges[i]});
      }
    }
    compile_from(0);
    compile(std::move(open[0].trans));
  }

  // Reverse: a union over the sequences, each compiled byte range by byte
  // range from its leading one, equal ones leading to the same state shared
  // through the cache.
  void ReverseUtf8(const std::vector<Utf8Seq>& seqs) {
    reverse_cache_.Clear();
    AddState(4 * seqs.size());  // the union
    uint64_t end = AddState(0);
    for (const Utf8Seq& seq : seqs) {
      uint64_t at = end;
      for (size_t i = 0; i < seq.size; ++i) {
        SuffixKey key{at, seq.ranges[i].first, seq.ranges[i].second};
        uint64_t hash = Fnv({key[0], key[1], key[2]}, kFnvInit);
        std::optional<uint64_t> id = reverse_cache_.Get(key, hash);
        if (!id) {
          id = AddState(0);
          reverse_cache_.Set(key, hash, *id);
        }
        at = *id;
      }
    }
  }

  // The reference lifts a prefix common to every alternative (when each is a
  // concatenation of two or more elements), makes alternatives that are all
  // single characters, or all classes, one class, and compiles an
  // alternation of literals from a trie.
  void Alternation(std::vector<std::vector<Item>>& branches) {
    if (std::optional<CharSet> merged = MergedClass(branches)) {
      return Class(*merged);
    }
    if (size_t common = CommonPrefix(branches); common > 0) {
      std::vector<Item> prefix(branches[0].begin(),
                               branches[0].begin() + common);
      for (auto& b : branches) b.erase(b.begin(), b.begin() + common);
      if (!reverse_) Sequence(prefix);
      Alternation(branches);
      if (reverse_) Sequence(prefix);
      return;
    }
    bool literals = true;
    for (const auto& b : branches) {
      literals = literals && b.size() == 1 && b[0].node == nullptr;
    }
    if (literals && branches.size() > 1) {
      std::vector<std::string> strings;
      for (const auto& b : branches) strings.push_back(b[0].literal);
      TrieCost trie = LiteralTrieCost(strings, reverse_);
      bytes_ = Add(bytes_, trie.bytes);
      next_ += trie.states;
      return;
    }
    // The first two alternatives, then the union and its end, then the rest.
    for (size_t i = 0; i < branches.size() && !Over(); ++i) {
      Sequence(branches[i]);
      if (i == 1) {
        AddState(4 * branches.size());
        AddState(0);
      }
    }
  }

  void Repeat(const Hir& h) {
    const Hir& sub = h.subs[0];
    uint32_t lo = h.min, hi = h.max;
    auto one = [&] { Node(sub); };
    if (hi == kUnbounded) {
      if (lo > 0) {
        Times(lo, sub, one);
        AddState(8);
      } else if (MinLength(sub).value_or(0) > 0) {
        AddState(8);
        one();
      } else {
        // x* of an x that can match empty is (x+)?.
        one();
        AddState(8);
        AddState(8);
        AddState(0);
      }
    } else if (lo == 0 && hi == 1) {
      AddState(8);
      one();
      AddState(0);
    } else if (lo == hi) {
      Times(lo, sub, one);
    } else {
      if (lo == 0) AddState(0);
      Times(lo, sub, one);
      AddState(0);
      Times(hi - lo, sub, [&] {
        AddState(8);
        one();
      });
    }
  }

  // `n` times `step`, which compiles `sub`; replayed one by one only where
  // the numbering matters.
  template <typename F>
  void Times(uint64_t n, const Hir& sub, F&& step) {
    if (n == 0 || Over()) return;
    if (UsesCaches(sub)) {
      for (uint64_t i = 0; i < n && !Over(); ++i) step();
      return;
    }
    uint64_t bytes = bytes_, states = next_;
    step();
    bytes_ = Add(bytes_, Mul(bytes_ - bytes, n - 1));
    next_ = Add(next_, Mul(next_ - states, n - 1));
  }

  bool reverse_;
  uint64_t bytes_ = 0;
  uint64_t next_ = 0;  // the number of the next state
  SlotCache<std::vector<Transition>> forward_cache_{kForwardSlots};
  SlotCache<SuffixKey> reverse_cache_{kReverseSlots};
  // The UTF-8 sequences of each class met, by its ranges' identity (the copy
  // keeps that identity alive).
  std::unordered_map<const void*, std::pair<CharSet, std::vector<Utf8Seq>>>
      sequences_;
  std::unordered_map<const Hir*, std::vector<std::vector<Item>>> branches_;
  // The class each alternation becomes, if it becomes one.
  std::unordered_map<const Hir*, std::optional<CharSet>> alt_classes_;
};

}  // namespace

uint64_t EstimateCompiledSize(const Hir& hir) {
  if (hir.kind == Hir::Kind::kAlt && hir.subs.size() >= kLiteralSetMin &&
      !HasCaptures(hir)) {
    bool literals = true;
    for (const Hir& sub : hir.subs) literals = literals && IsLiteral(sub);
    if (literals) return 0;
  }
  return std::max(Program(false).Compile(hir), Program(true).Compile(hir));
}

}  // namespace tolvane::regex

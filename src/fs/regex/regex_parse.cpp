#include <algorithm>
#include <map>
#include <utility>

#include "fs/lines/lines.h"
#include "fs/regex/regex_ast.h"
#include "fs/regex/unicode_props.h"
#include "fs/utf8/utf8.h"

namespace tolvane::regex {
namespace {

template <typename T>
using PResult = std::expected<T, SyntaxError>;
using Fail = std::unexpected<SyntaxError>;

constexpr char kEscapeEof[] =
    "incomplete escape sequence, reached end of pattern prematurely";

constexpr std::string_view kAsciiNames[] = {
    "alnum", "alpha", "ascii", "blank", "cntrl", "digit", "graph",
    "lower", "print", "punct", "space", "upper", "word",  "xdigit"};

bool IsMeta(char32_t c) {
  return std::u32string_view(U"\\.+*?()|[]{}^$#&-~").find(c) !=
         std::u32string_view::npos;
}

bool IsEscapable(char32_t c) {
  if (IsMeta(c)) return true;
  if (c > 0x7F) return false;
  if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') ||
      (c >= 'a' && c <= 'z')) {
    return false;
  }
  return c != '<' && c != '>';
}

bool IsHex(char32_t c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') ||
         (c >= 'A' && c <= 'F');
}

// A concatenation being built: its span and the ids of its members.
struct Concat {
  Span span;
  std::vector<uint32_t> asts;
};

struct GroupState {
  bool is_alternation;
  Concat concat;      // group: the concatenation before the group
  uint32_t node = 0;  // group: its node; alternation: its node
  bool ignore_whitespace = false;
};

struct ClassState {
  bool is_open;
  uint32_t union_node = 0;  // open: the enclosing union (a kUnion node)
  uint32_t set = 0;         // open: the kBracketed node
  SetOp op{};               // op: its kind
  uint32_t lhs = 0;         // op: left operand
};

class Parser {
 public:
  explicit Parser(std::string_view pattern) : chars_(DecodeUtf8(pattern)) {}

  PResult<Ast> Run();

 private:
  // --- position -----------------------------------------------------------
  bool eof() const { return pos_.offset >= chars_.size(); }
  char32_t ch() const { return chars_[pos_.offset]; }
  Span span() const { return {pos_, pos_}; }
  // The position after the current character.
  Position next() const {
    Position p = pos_;
    p.offset += 1;
    if (ch() == '\n') {
      p.line += 1;
      p.column = 1;
    } else {
      p.column += 1;
    }
    return p;
  }
  Span span_char() const { return {pos_, next()}; }
  bool bump() {
    if (eof()) return false;
    pos_ = next();
    return !eof();
  }
  bool bump_if(std::u32string_view prefix) {
    if (std::u32string_view(chars_).substr(pos_.offset).starts_with(prefix)) {
      for (size_t i = 0; i < prefix.size(); ++i) bump();
      return true;
    }
    return false;
  }
  bool bump_and_bump_space() {
    if (!bump()) return false;
    bump_space();
    return !eof();
  }
  void bump_space() {
    if (!ignore_whitespace_) return;
    while (!eof()) {
      if (IsWhiteSpace(ch())) {
        bump();
      } else if (ch() == '#') {
        bump();
        while (!eof()) {
          char32_t c = ch();
          bump();
          if (c == '\n') break;
        }
      } else {
        break;
      }
    }
  }
  std::optional<char32_t> peek() const {
    if (eof() || pos_.offset + 1 >= chars_.size()) return std::nullopt;
    return chars_[pos_.offset + 1];
  }
  // The reference's look past whitespace and comments (kept with its quirk:
  // inside a comment the first non-space character ends the look).
  std::optional<char32_t> peek_space() const {
    if (!ignore_whitespace_) return peek();
    if (eof()) return std::nullopt;
    size_t start = pos_.offset + 1;
    bool in_comment = false;
    for (size_t i = start; i < chars_.size(); ++i) {
      char32_t c = chars_[i];
      if (IsWhiteSpace(c)) continue;
      if (!in_comment && c == '#') {
        in_comment = true;
      } else {
        start = i;
        break;
      }
    }
    if (start >= chars_.size()) return std::nullopt;
    return chars_[start];
  }

  Fail Error(Span s, std::string reason) const {
    return Fail(SyntaxError{std::move(reason), s, std::nullopt});
  }

  // --- nodes ----------------------------------------------------------------
  uint32_t Add(AstKind kind, Span s) {
    AstNode n;
    n.kind = kind;
    n.span = s;
    ast_.nodes.push_back(std::move(n));
    return static_cast<uint32_t>(ast_.nodes.size() - 1);
  }
  AstNode& node(uint32_t id) { return ast_.nodes[id]; }
  uint32_t ConcatInto(Concat& c) {
    if (c.asts.size() == 1) return c.asts[0];
    uint32_t id =
        Add(c.asts.empty() ? AstKind::kEmpty : AstKind::kConcat, c.span);
    node(id).children = std::move(c.asts);
    return id;
  }
  // Ends alternation `alt` with its last branch, `last` (span end set).
  uint32_t CloseAlternation(uint32_t alt, Concat& last) {
    node(alt).span.end = last.span.end;
    uint32_t branch = ConcatInto(last);
    node(alt).children.push_back(branch);
    return alt;
  }
  // Union -> class set item: empty, the one item, or the union itself.
  uint32_t UnionInto(uint32_t union_id) {
    AstNode& u = node(union_id);
    if (u.children.empty()) {
      u.kind = AstKind::kEmpty;
      return union_id;
    }
    if (u.children.size() == 1) return u.children[0];
    return union_id;
  }
  void UnionPush(uint32_t union_id, uint32_t item) {
    AstNode& u = node(union_id);
    Span s = node(item).span;
    if (u.children.empty()) u.span.start = s.start;
    u.span.end = s.end;
    u.children.push_back(item);
  }
  uint32_t NewUnion() { return Add(AstKind::kUnion, span()); }

  // --- the grammar ----------------------------------------------------------
  PResult<Concat> PushGroup(Concat concat);
  PResult<Concat> PopGroup(Concat group_concat);
  Concat PushAlternate(Concat concat);
  PResult<uint32_t> PopGroupEnd(Concat concat);
  PResult<uint32_t> ParseGroup(bool* is_flags);
  PResult<std::pair<uint8_t, uint8_t>> ParseFlags();
  PResult<void> ParseCaptureName();
  PResult<uint32_t> TakeOperand(Concat& concat);
  Concat PushRepetition(Concat concat, uint32_t sub, uint32_t min, uint32_t max,
                        bool greedy);
  PResult<Concat> ParseUncountedRepetition(Concat concat, uint32_t min,
                                           uint32_t max);
  PResult<Concat> ParseCountedRepetition(Concat concat);
  PResult<uint32_t> ParseDecimal();
  PResult<uint32_t> ParsePrimitive();
  PResult<uint32_t> ParseEscape();
  PResult<std::optional<Assertion>> MaybeSpecialWordBoundary(Position start);
  PResult<uint32_t> ParseHex();
  PResult<uint32_t> ParseUnicodeClass();
  PResult<uint32_t> ParseSetClass();
  PResult<uint32_t> PushClassOpen(uint32_t parent_union);
  PResult<std::pair<uint32_t, bool>> PopClass(uint32_t nested_union);
  Fail UnclosedClassError() const;
  uint32_t PushClassOp(SetOp op, uint32_t next_union);
  uint32_t PopClassOp(uint32_t rhs);
  std::optional<uint32_t> MaybeAsciiClass();
  PResult<uint32_t> ParseSetClassRange();
  PResult<uint32_t> ParseSetClassItem();
  PResult<void> CheckNesting() const;

  std::u32string chars_;
  Position pos_;
  bool ignore_whitespace_ = false;
  Ast ast_;
  std::vector<GroupState> groups_;
  std::vector<ClassState> classes_;
  std::map<std::u32string, Span> capture_names_;
  size_t colon_from_ = SIZE_MAX;  // cache for MaybeAsciiClass's scan
  size_t colon_at_ = 0;
};

PResult<Ast> Parser::Run() {
  Concat concat{span(), {}};
  while (true) {
    bump_space();
    if (eof()) break;
    PResult<Concat> next = [&]() -> PResult<Concat> {
      switch (ch()) {
        case '(':
          return PushGroup(std::move(concat));
        case ')':
          return PopGroup(std::move(concat));
        case '|':
          return PushAlternate(std::move(concat));
        case '[': {
          PResult<uint32_t> cls = ParseSetClass();
          if (!cls) return Fail(cls.error());
          concat.asts.push_back(*cls);
          return std::move(concat);
        }
        case '?':
          return ParseUncountedRepetition(std::move(concat), 0, 1);
        case '*':
          return ParseUncountedRepetition(std::move(concat), 0, kUnbounded);
        case '+':
          return ParseUncountedRepetition(std::move(concat), 1, kUnbounded);
        case '{':
          return ParseCountedRepetition(std::move(concat));
        default: {
          PResult<uint32_t> prim = ParsePrimitive();
          if (!prim) return Fail(prim.error());
          concat.asts.push_back(*prim);
          return std::move(concat);
        }
      }
    }();
    if (!next) return Fail(next.error());
    concat = *std::move(next);
  }
  PResult<uint32_t> root = PopGroupEnd(std::move(concat));
  if (!root) return Fail(root.error());
  ast_.root = *root;
  if (PResult<void> nest = CheckNesting(); !nest) return Fail(nest.error());
  return std::move(ast_);
}

PResult<Concat> Parser::PushGroup(Concat concat) {
  bool is_flags = false;
  PResult<uint32_t> group = ParseGroup(&is_flags);
  if (!group) return Fail(group.error());
  const AstNode& g = node(*group);
  bool now = ignore_whitespace_;
  if (g.flags_on & kFlagIgnoreSpace) now = true;
  if (g.flags_off & kFlagIgnoreSpace) now = false;
  if (is_flags) {
    ignore_whitespace_ = now;
    concat.asts.push_back(*group);
    return concat;
  }
  groups_.push_back(
      GroupState{false, std::move(concat), *group, ignore_whitespace_});
  ignore_whitespace_ = now;
  return Concat{span(), {}};
}

Concat Parser::PushAlternate(Concat concat) {
  concat.span.end = pos_;
  Position start = concat.span.start;
  uint32_t item = ConcatInto(concat);
  if (!groups_.empty() && groups_.back().is_alternation) {
    node(groups_.back().node).children.push_back(item);
  } else {
    uint32_t alt = Add(AstKind::kAlternation, {start, pos_});
    node(alt).children.push_back(item);
    groups_.push_back(GroupState{true, {}, alt, false});
  }
  bump();
  return Concat{span(), {}};
}

PResult<Concat> Parser::PopGroup(Concat group_concat) {
  std::optional<uint32_t> alt;
  if (!groups_.empty() && groups_.back().is_alternation) {
    alt = groups_.back().node;
    groups_.pop_back();
  }
  if (groups_.empty() || groups_.back().is_alternation) {
    return Error(span_char(), "unopened group");
  }
  GroupState state = std::move(groups_.back());
  groups_.pop_back();
  ignore_whitespace_ = state.ignore_whitespace;
  group_concat.span.end = pos_;
  bump();
  node(state.node).span.end = pos_;
  uint32_t body =
      alt ? CloseAlternation(*alt, group_concat) : ConcatInto(group_concat);
  node(state.node).children = {body};
  state.concat.asts.push_back(state.node);
  return std::move(state.concat);
}

PResult<uint32_t> Parser::PopGroupEnd(Concat concat) {
  concat.span.end = pos_;
  uint32_t result;
  if (!groups_.empty() && groups_.back().is_alternation) {
    result = CloseAlternation(groups_.back().node, concat);
    groups_.pop_back();
  } else {
    result = ConcatInto(concat);
  }
  if (!groups_.empty()) {
    return Error(node(groups_.back().node).span, "unclosed group");
  }
  return result;
}

PResult<uint32_t> Parser::ParseGroup(bool* is_flags) {
  Span open_span = span_char();
  bump();
  bump_space();
  if (bump_if(U"?=") || bump_if(U"?!") || bump_if(U"?<=") || bump_if(U"?<!")) {
    return Error({open_span.start, pos_},
                 "look-around, including look-ahead and look-behind, is not "
                 "supported");
  }
  Span inner_span = span();
  if (bump_if(U"?P<") || bump_if(U"?<")) {
    if (PResult<void> name = ParseCaptureName(); !name) {
      return Fail(name.error());
    }
    uint32_t g = Add(AstKind::kGroup, open_span);
    node(g).negated = true;  // capturing
    return g;
  }
  if (bump_if(U"?")) {
    if (eof()) return Error(open_span, "unclosed group");
    PResult<std::pair<uint8_t, uint8_t>> flags = ParseFlags();
    if (!flags) return Fail(flags.error());
    char32_t end = ch();
    bump();
    if (end == ')') {
      if (flags->first == 0 && flags->second == 0) {
        return Error(inner_span, "repetition operator missing expression");
      }
      uint32_t f = Add(AstKind::kFlags, {open_span.start, pos_});
      node(f).flags_on = flags->first;
      node(f).flags_off = flags->second;
      *is_flags = true;
      return f;
    }
    uint32_t g = Add(AstKind::kGroup, open_span);
    node(g).flags_on = flags->first;
    node(g).flags_off = flags->second;
    return g;
  }
  uint32_t g = Add(AstKind::kGroup, open_span);
  node(g).negated = true;
  return g;
}

PResult<std::pair<uint8_t, uint8_t>> Parser::ParseFlags() {
  struct Item {
    Span span;
    char32_t flag;  // 0 for the negation
  };
  std::vector<Item> items;
  std::optional<Span> last_negation;
  bool negate = false;
  uint8_t on = 0, off = 0;
  while (ch() != ':' && ch() != ')') {
    char32_t c = ch();
    if (c == '-') {
      last_negation = span_char();
      for (const Item& item : items) {
        if (item.flag == 0) {
          return Fail(SyntaxError{"flag negation operator repeated",
                                  span_char(), item.span});
        }
      }
      items.push_back({span_char(), 0});
      negate = true;
    } else {
      last_negation.reset();
      uint8_t bit;
      switch (c) {
        case 'i':
          bit = kFlagCaseInsensitive;
          break;
        case 'm':
          bit = kFlagMultiLine;
          break;
        case 's':
          bit = kFlagDotNewLine;
          break;
        case 'U':
          bit = kFlagSwapGreed;
          break;
        case 'u':
          bit = kFlagUnicode;
          break;
        case 'R':
          bit = kFlagCrlf;
          break;
        case 'x':
          bit = kFlagIgnoreSpace;
          break;
        default:
          return Error(span_char(), "unrecognized flag");
      }
      for (const Item& item : items) {
        if (item.flag == c) {
          return Fail(SyntaxError{"duplicate flag", span_char(), item.span});
        }
      }
      items.push_back({span_char(), c});
      if (negate) {
        off |= bit;
      } else {
        on |= bit;
      }
    }
    if (!bump()) return Error(span(), "expected flag but got end of regex");
  }
  if (last_negation)
    return Error(*last_negation, "dangling flag negation operator");
  return std::pair{on, off};
}

PResult<void> Parser::ParseCaptureName() {
  if (eof()) return Error(span(), "unclosed capture group name");
  Position start = pos_;
  while (true) {
    if (ch() == '>') break;
    bool first = pos_.offset == start.offset;
    char32_t c = ch();
    bool ok = c == '_' ||
              (first ? IsAlphabetic(c)
                     : (c == '.' || c == '[' || c == ']' || IsAlphanumeric(c)));
    if (!ok) return Error(span_char(), "invalid capture group character");
    if (!bump()) break;
  }
  Position end = pos_;
  if (eof()) return Error(span(), "unclosed capture group name");
  bump();
  std::u32string name = chars_.substr(start.offset, end.offset - start.offset);
  if (name.empty()) return Error({start, start}, "empty capture group name");
  Span name_span{start, end};
  auto [it, inserted] = capture_names_.emplace(name, name_span);
  if (!inserted) {
    return Fail(
        SyntaxError{"duplicate capture group name", name_span, it->second});
  }
  return {};
}

// Takes the operand of a repetition off the concatenation.
PResult<uint32_t> Parser::TakeOperand(Concat& concat) {
  if (!concat.asts.empty()) {
    uint32_t sub = concat.asts.back();
    AstKind k = node(sub).kind;
    if (k != AstKind::kEmpty && k != AstKind::kFlags) {
      concat.asts.pop_back();
      return sub;
    }
  }
  return Error(span(), "repetition operator missing expression");
}

Concat Parser::PushRepetition(Concat concat, uint32_t sub, uint32_t min,
                              uint32_t max, bool greedy) {
  uint32_t rep = Add(AstKind::kRepetition, {node(sub).span.start, pos_});
  node(rep).min = min;
  node(rep).max = max;
  node(rep).flag = greedy;
  node(rep).children = {sub};
  concat.asts.push_back(rep);
  return concat;
}

PResult<Concat> Parser::ParseUncountedRepetition(Concat concat, uint32_t min,
                                                 uint32_t max) {
  PResult<uint32_t> sub = TakeOperand(concat);
  if (!sub) return Fail(sub.error());
  bool greedy = true;
  if (bump() && ch() == '?') {
    greedy = false;
    bump();
  }
  return PushRepetition(std::move(concat), *sub, min, max, greedy);
}

PResult<Concat> Parser::ParseCountedRepetition(Concat concat) {
  Position start = pos_;
  PResult<uint32_t> sub = TakeOperand(concat);
  if (!sub) return Fail(sub.error());
  constexpr char kUnclosed[] = "unclosed counted repetition";
  if (!bump_and_bump_space()) return Error({start, pos_}, kUnclosed);
  // The end of the pattern outranks a missing first count.
  PResult<uint32_t> lo = ParseDecimal();
  if (eof()) return Error({start, pos_}, kUnclosed);
  if (!lo) return Fail(lo.error());
  uint32_t min = *lo, max = *lo;
  if (ch() == ',') {
    if (!bump_and_bump_space()) return Error({start, pos_}, kUnclosed);
    if (ch() != '}') {
      PResult<uint32_t> hi = ParseDecimal();
      if (!hi) return Fail(hi.error());
      max = *hi;
    } else {
      max = kUnbounded;
    }
  }
  if (eof() || ch() != '}') return Error({start, pos_}, kUnclosed);
  bool greedy = true;
  if (bump_and_bump_space() && ch() == '?') {
    greedy = false;
    bump();
  }
  if (max != kUnbounded && min > max) {
    return Error({start, pos_},
                 "invalid repetition count range, the start must be <= the "
                 "end");
  }
  return PushRepetition(std::move(concat), *sub, min, max, greedy);
}

// A decimal inside a counted repetition; whitespace around it is allowed.
PResult<uint32_t> Parser::ParseDecimal() {
  while (!eof() && IsWhiteSpace(ch())) bump();
  Position start = pos_;
  uint64_t value = 0;
  bool overflow = false;
  bool any = false;
  while (!eof() && ch() >= '0' && ch() <= '9') {
    any = true;
    value = value * 10 + (ch() - '0');
    if (value > UINT32_MAX) {
      overflow = true;
      value = UINT32_MAX;
    }
    bump_and_bump_space();
  }
  Span s{start, pos_};
  while (!eof() && IsWhiteSpace(ch())) bump_and_bump_space();
  if (!any) return Error(s, "repetition quantifier expects a valid decimal");
  if (overflow) return Error(s, "decimal literal invalid");
  return static_cast<uint32_t>(value);
}

PResult<uint32_t> Parser::ParsePrimitive() {
  char32_t c = ch();
  if (c == '\\') return ParseEscape();
  Span s = span_char();
  bump();
  if (c == '.') return Add(AstKind::kDot, s);
  if (c == '^' || c == '$') {
    uint32_t a = Add(AstKind::kAssertion, s);
    node(a).sub = static_cast<uint8_t>(c == '^' ? Assertion::kStartLine
                                                : Assertion::kEndLine);
    return a;
  }
  uint32_t lit = Add(AstKind::kLiteral, s);
  node(lit).c = c;
  return lit;
}

PResult<uint32_t> Parser::ParseEscape() {
  Position start = pos_;
  if (!bump()) {
    return Error({start, pos_}, kEscapeEof);
  }
  char32_t c = ch();
  if (c >= '0' && c <= '9') {
    return Error({start, span_char().end}, "backreferences are not supported");
  }
  if (c == 'x' || c == 'u' || c == 'U') {
    PResult<uint32_t> lit = ParseHex();
    if (lit) node(*lit).span.start = start;
    return lit;
  }
  if (c == 'p' || c == 'P') {
    PResult<uint32_t> cls = ParseUnicodeClass();
    if (cls) node(*cls).span.start = start;
    return cls;
  }
  if (c == 'd' || c == 's' || c == 'w' || c == 'D' || c == 'S' || c == 'W') {
    Span s = span_char();
    bump();
    uint32_t cls = Add(AstKind::kPerlClass, {start, s.end});
    char32_t lower = c | 0x20;
    node(cls).sub = static_cast<uint8_t>(lower == 'd'   ? PerlKind::kDigit
                                         : lower == 's' ? PerlKind::kSpace
                                                        : PerlKind::kWord);
    node(cls).negated = c != lower;
    return cls;
  }
  bump();
  Span s{start, pos_};
  auto literal = [&](char32_t value) {
    uint32_t lit = Add(AstKind::kLiteral, s);
    node(lit).c = value;
    return lit;
  };
  auto assertion = [&](Assertion kind) {
    uint32_t a = Add(AstKind::kAssertion, s);
    node(a).sub = static_cast<uint8_t>(kind);
    return a;
  };
  if (IsEscapable(c)) return literal(c);
  switch (c) {
    case 'a':
      return literal('\x07');
    case 'f':
      return literal('\x0C');
    case 't':
      return literal('\t');
    case 'n':
      return literal('\n');
    case 'r':
      return literal('\r');
    case 'v':
      return literal('\x0B');
    case 'A':
      return assertion(Assertion::kStartText);
    case 'z':
      return assertion(Assertion::kEndText);
    case 'B':
      return assertion(Assertion::kNotWordBoundary);
    case '<':
      return assertion(Assertion::kWordStart);
    case '>':
      return assertion(Assertion::kWordEnd);
    case 'b': {
      uint32_t a = assertion(Assertion::kWordBoundary);
      if (!eof() && ch() == '{') {
        PResult<std::optional<Assertion>> special =
            MaybeSpecialWordBoundary(start);
        if (!special) return Fail(special.error());
        if (*special) {
          node(a).sub = static_cast<uint8_t>(**special);
          node(a).span.end = pos_;
        }
      }
      return a;
    }
    default:
      return Error(s, "unrecognized escape sequence");
  }
}

PResult<std::optional<Assertion>> Parser::MaybeSpecialWordBoundary(
    Position wb_start) {
  auto valid = [](char32_t c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '-';
  };
  Position start = pos_;
  if (!bump_and_bump_space()) {
    return Error({wb_start, pos_},
                 "found either the beginning of a special word boundary or a "
                 "bounded repetition on a \\b with an opening brace, but no "
                 "closing brace");
  }
  Position contents = pos_;
  if (!valid(ch())) {
    pos_ = start;
    return std::optional<Assertion>();
  }
  std::u32string name;
  while (!eof() && valid(ch())) {
    name += ch();
    bump_and_bump_space();
  }
  if (eof() || ch() != '}') {
    return Error({start, pos_},
                 "special word boundary assertion is either unclosed or "
                 "contains an invalid character");
  }
  Position end = pos_;
  bump();
  if (name == U"start") return std::optional(Assertion::kWordStart);
  if (name == U"end") return std::optional(Assertion::kWordEnd);
  if (name == U"start-half") return std::optional(Assertion::kWordStartHalf);
  if (name == U"end-half") return std::optional(Assertion::kWordEndHalf);
  return Error({contents, end},
               "unrecognized special word boundary assertion, valid choices "
               "are: start, end, start-half or end-half");
}

PResult<uint32_t> Parser::ParseHex() {
  char32_t kind = ch();
  if (!bump_and_bump_space()) return Error(span(), kEscapeEof);
  std::u32string digits;
  Position start;
  Position end;
  Span lit_span;
  bool fixed = ch() != '{';
  if (fixed) {
    size_t count = kind == 'x' ? 2 : kind == 'u' ? 4 : 8;
    start = pos_;
    for (size_t i = 0; i < count; ++i) {
      if (i > 0 && !bump_and_bump_space()) return Error(span(), kEscapeEof);
      if (!IsHex(ch())) return Error(span_char(), "invalid hexadecimal digit");
      digits += ch();
    }
    bump_and_bump_space();
    end = pos_;
    lit_span = {start, end};
  } else {
    Position brace = pos_;
    start = span_char().end;
    while (bump_and_bump_space() && ch() != '}') {
      if (!IsHex(ch())) return Error(span_char(), "invalid hexadecimal digit");
      digits += ch();
    }
    if (eof()) return Error({brace, pos_}, kEscapeEof);
    end = pos_;
    bump_and_bump_space();
    if (digits.empty())
      return Error({brace, pos_}, "hexadecimal literal empty");
    lit_span = {start, pos_};
  }
  uint64_t value = 0;
  for (char32_t d : digits) {
    int v = d <= '9' ? d - '0' : (d | 0x20) - 'a' + 10;
    value = value * 16 + v;
    if (value > UINT32_MAX) break;
  }
  if (value > kMaxCodePoint || (value >= 0xD800 && value <= 0xDFFF)) {
    return Error({start, end},
                 "hexadecimal literal is not a Unicode scalar value");
  }
  uint32_t lit = Add(AstKind::kLiteral, lit_span);
  node(lit).c = static_cast<char32_t>(value);
  node(lit).flag = fixed && kind == 'x';
  return lit;
}

PResult<uint32_t> Parser::ParseUnicodeClass() {
  bool negated = ch() == 'P';
  if (!bump_and_bump_space()) return Error(span(), kEscapeEof);
  UnicodeQuery query;
  Position start;
  if (ch() == '{') {
    start = span_char().end;
    std::u32string text;
    while (bump_and_bump_space() && ch() != '}') text += ch();
    if (eof()) return Error(span(), kEscapeEof);
    bump();
    std::string name;
    for (char32_t c : text) AppendUtf8(name, c);
    size_t i;
    if ((i = name.find("!=")) != std::string::npos) {
      query = {false, true, name.substr(0, i), name.substr(i + 2)};
      negated = !negated;
    } else if ((i = name.find(':')) != std::string::npos ||
               (i = name.find('=')) != std::string::npos) {
      query = {false, true, name.substr(0, i), name.substr(i + 1)};
    } else {
      query = {false, false, name, {}};
    }
  } else {
    start = pos_;
    char32_t c = ch();
    if (c == '\\') return Error(span_char(), "invalid Unicode character class");
    bump_and_bump_space();
    query.one_letter = true;
    AppendUtf8(query.name, c);
  }
  uint32_t cls = Add(AstKind::kUnicodeClass, {start, pos_});
  node(cls).negated = negated;
  node(cls).query = static_cast<uint32_t>(ast_.queries.size());
  ast_.queries.push_back(std::move(query));
  return cls;
}

PResult<uint32_t> Parser::ParseSetClass() {
  uint32_t current = NewUnion();
  while (true) {
    bump_space();
    if (eof()) return UnclosedClassError();
    char32_t c = ch();
    if (c == '[') {
      if (!classes_.empty()) {
        if (std::optional<uint32_t> ascii = MaybeAsciiClass()) {
          UnionPush(current, *ascii);
          continue;
        }
      }
      PResult<uint32_t> nested = PushClassOpen(current);
      if (!nested) return Fail(nested.error());
      current = *nested;
    } else if (c == ']') {
      PResult<std::pair<uint32_t, bool>> popped = PopClass(current);
      if (!popped) return Fail(popped.error());
      if (popped->second) return popped->first;
      current = popped->first;
    } else if ((c == '&' || c == '-' || c == '~') && peek() == c) {
      bump();
      bump();
      current = PushClassOp(c == '&'   ? SetOp::kIntersection
                            : c == '-' ? SetOp::kDifference
                                       : SetOp::kSymmetricDifference,
                            current);
    } else {
      PResult<uint32_t> item = ParseSetClassRange();
      if (!item) return Fail(item.error());
      UnionPush(current, *item);
    }
  }
}

PResult<uint32_t> Parser::PushClassOpen(uint32_t parent_union) {
  constexpr char kUnclosed[] = "unclosed character class";
  Position start = pos_;
  if (!bump_and_bump_space()) return Error({start, pos_}, kUnclosed);
  bool negated = false;
  if (ch() == '^') {
    if (!bump_and_bump_space()) return Error({start, pos_}, kUnclosed);
    negated = true;
  }
  uint32_t nested = NewUnion();
  while (ch() == '-') {
    uint32_t lit = Add(AstKind::kLiteral, span_char());
    node(lit).c = '-';
    UnionPush(nested, lit);
    if (!bump_and_bump_space()) return Error({start, start}, kUnclosed);
  }
  if (node(nested).children.empty() && ch() == ']') {
    uint32_t lit = Add(AstKind::kLiteral, span_char());
    node(lit).c = ']';
    UnionPush(nested, lit);
    if (!bump_and_bump_space()) return Error({start, pos_}, kUnclosed);
  }
  uint32_t set = Add(AstKind::kBracketed, {start, pos_});
  node(set).negated = negated;
  classes_.push_back(ClassState{true, parent_union, set});
  return nested;
}

PResult<std::pair<uint32_t, bool>> Parser::PopClass(uint32_t nested_union) {
  uint32_t prevset = PopClassOp(UnionInto(nested_union));
  ClassState open = classes_.back();
  classes_.pop_back();
  bump();
  node(open.set).span.end = pos_;
  node(open.set).children = {prevset};
  if (classes_.empty()) return std::pair{open.set, true};
  UnionPush(open.union_node, open.set);
  return std::pair{open.union_node, false};
}

Fail Parser::UnclosedClassError() const {
  for (auto it = classes_.rbegin(); it != classes_.rend(); ++it) {
    if (it->is_open) {
      return Error(ast_.nodes[it->set].span, "unclosed character class");
    }
  }
  return Error(span(), "unclosed character class");
}

uint32_t Parser::PushClassOp(SetOp op, uint32_t next_union) {
  uint32_t lhs = PopClassOp(UnionInto(next_union));
  classes_.push_back(ClassState{false, 0, 0, op, lhs});
  return NewUnion();
}

uint32_t Parser::PopClassOp(uint32_t rhs) {
  if (classes_.empty() || classes_.back().is_open) return rhs;
  ClassState op = classes_.back();
  classes_.pop_back();
  uint32_t bin =
      Add(AstKind::kBinaryOp, {node(op.lhs).span.start, node(rhs).span.end});
  node(bin).sub = static_cast<uint8_t>(op.op);
  node(bin).children = {op.lhs, rhs};
  return bin;
}

std::optional<uint32_t> Parser::MaybeAsciiClass() {
  Position start = pos_;
  auto reset = [&] {
    pos_ = start;
    return std::nullopt;
  };
  if (!bump() || ch() != ':') return reset();
  if (!bump()) return reset();
  bool negated = false;
  if (ch() == '^') {
    negated = true;
    if (!bump()) return reset();
  }
  size_t name_start = pos_.offset;
  // The next ':' decides; a long way to it can't end in a known name, and
  // the scan is cached so that many '[' before one ':' stay linear.
  if (!(colon_from_ != SIZE_MAX && name_start >= colon_from_ &&
        name_start <= colon_at_)) {
    colon_from_ = name_start;
    colon_at_ = chars_.find(U':', name_start);
    if (colon_at_ == std::u32string::npos) colon_at_ = chars_.size();
  }
  if (colon_at_ >= chars_.size() || colon_at_ - name_start > 6) {
    return reset();
  }
  while (ch() != ':' && bump()) {
  }
  std::u32string name = chars_.substr(name_start, pos_.offset - name_start);
  if (!bump_if(U":]")) return reset();
  for (uint8_t i = 0; i < std::size(kAsciiNames); ++i) {
    if (name.size() == kAsciiNames[i].size() &&
        std::equal(name.begin(), name.end(), kAsciiNames[i].begin())) {
      uint32_t cls = Add(AstKind::kAsciiClass, {start, pos_});
      node(cls).sub = i;
      node(cls).negated = negated;
      return cls;
    }
  }
  return reset();
}

PResult<uint32_t> Parser::ParseSetClassItem() {
  if (ch() == '\\') return ParseEscape();
  uint32_t lit = Add(AstKind::kLiteral, span_char());
  node(lit).c = ch();
  bump();
  return lit;
}

PResult<uint32_t> Parser::ParseSetClassRange() {
  PResult<uint32_t> first = ParseSetClassItem();
  if (!first) return first;
  bump_space();
  if (eof()) return UnclosedClassError();
  auto as_item = [&](uint32_t prim) -> PResult<uint32_t> {
    AstKind k = node(prim).kind;
    if (k == AstKind::kAssertion || k == AstKind::kDot) {
      return Error(node(prim).span,
                   "invalid escape sequence found in character class");
    }
    return prim;
  };
  if (ch() != '-' || peek_space() == U']' || peek_space() == U'-') {
    return as_item(*first);
  }
  if (!bump_and_bump_space()) return UnclosedClassError();
  PResult<uint32_t> second = ParseSetClassItem();
  if (!second) return second;
  Span s{node(*first).span.start, node(*second).span.end};
  for (uint32_t prim : {*first, *second}) {
    if (node(prim).kind != AstKind::kLiteral) {
      return Error(node(prim).span,
                   "invalid range boundary, must be a literal");
    }
  }
  if (node(*first).c > node(*second).c) {
    return Error(s,
                 "invalid character class range, the start must be <= the "
                 "end");
  }
  uint32_t range = Add(AstKind::kRange, s);
  node(range).children = {*first, *second};
  return range;
}

PResult<void> Parser::CheckNesting() const {
  std::vector<std::pair<uint32_t, uint32_t>> stack{{ast_.root, 0}};
  while (!stack.empty()) {
    auto [id, depth] = stack.back();
    stack.pop_back();
    const AstNode& n = ast_.nodes[id];
    switch (n.kind) {
      case AstKind::kBracketed:
      case AstKind::kRepetition:
      case AstKind::kGroup:
      case AstKind::kAlternation:
      case AstKind::kConcat:
      case AstKind::kUnion:
      case AstKind::kBinaryOp:
        if (++depth > kNestLimit) {
          return Error(n.span,
                       "exceed the maximum number of nested "
                       "parentheses/brackets (250)");
        }
        for (auto it = n.children.rbegin(); it != n.children.rend(); ++it) {
          stack.push_back({*it, depth});
        }
        break;
      default:
        break;
    }
  }
  return {};
}

std::vector<std::string_view> PatternLines(std::string_view pattern) {
  std::vector<std::string_view> lines;
  for (size_t start = 0; start < pattern.size();) {
    LineSpan line = LineFrom(pattern, start);
    lines.push_back(pattern.substr(start, line.end - start));
    start = line.next;
  }
  return lines;
}

}  // namespace

std::expected<Ast, SyntaxError> ParseQuery(std::string_view pattern) {
  return Parser(pattern).Run();
}

std::string FormatSyntaxError(std::string_view pattern,
                              const SyntaxError& error) {
  std::vector<std::string_view> lines = PatternLines(pattern);
  size_t line_count = lines.size() + (pattern.ends_with('\n') ? 1 : 0);
  size_t width = line_count <= 1 ? 0 : std::to_string(line_count).size();
  std::vector<std::vector<Span>> by_line(line_count);
  std::vector<Span> multi_line;
  for (const std::optional<Span>& s :
       {std::optional<Span>(error.span), error.aux}) {
    if (!s) continue;
    if (s->start.line == s->end.line) {
      if (s->start.line - 1 < by_line.size()) {
        by_line[s->start.line - 1].push_back(*s);
      }
    } else {
      multi_line.push_back(*s);
    }
  }
  auto by_start = [](const Span& a, const Span& b) {
    return a.start.offset != b.start.offset ? a.start.offset < b.start.offset
                                            : a.end.offset < b.end.offset;
  };
  for (auto& spans : by_line) std::sort(spans.begin(), spans.end(), by_start);
  std::sort(multi_line.begin(), multi_line.end(), by_start);

  std::string notated;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (width > 0) {
      std::string n = std::to_string(i + 1);
      notated.append(width - n.size(), ' ');
      notated += n;
      notated += ": ";
    } else {
      notated += "    ";
    }
    notated += lines[i];
    notated += '\n';
    if (i < by_line.size() && !by_line[i].empty()) {
      notated.append(width == 0 ? 4 : width + 2, ' ');
      size_t pos = 0;
      for (const Span& s : by_line[i]) {
        for (; pos + 1 < s.start.column; ++pos) notated += ' ';
        size_t len =
            s.end.column > s.start.column ? s.end.column - s.start.column : 0;
        len = std::max<size_t>(1, len);
        notated.append(len, '^');
        pos += len;
      }
      notated += '\n';
    }
  }
  std::string out = "regex parse error:\n";
  if (pattern.find('\n') != std::string_view::npos) {
    std::string divider(79, '~');
    out += divider + "\n" + notated + divider + "\n";
    if (!multi_line.empty()) {
      for (size_t i = 0; i < multi_line.size(); ++i) {
        const Span& s = multi_line[i];
        if (i > 0) out += '\n';
        out += "on line " + std::to_string(s.start.line) + " (column " +
               std::to_string(s.start.column) + ") through line " +
               std::to_string(s.end.line) + " (column " +
               std::to_string(s.end.column - 1) + ")";
      }
      out += '\n';
    }
  } else {
    out += notated;
  }
  out += "error: " + error.reason;
  return out;
}

}  // namespace tolvane::regex

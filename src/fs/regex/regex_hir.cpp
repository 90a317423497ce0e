#include "fs/regex/regex_hir.h"

#include <algorithm>
#include <array>
#include <string>
#include <string_view>
#include <utility>

#include "fs/regex/unicode_props.h"

namespace tolvane::regex {
namespace {

using namespace std::string_view_literals;

template <typename T>
using TResult = std::expected<T, SyntaxError>;
using Fail = std::unexpected<SyntaxError>;

constexpr char kInvalidUtf8[] = "pattern can match invalid UTF-8";
constexpr char kUnicodeNotAllowed[] = "Unicode not allowed here";

// The ASCII classes in the parser's index order (alnum alpha ascii blank cntrl
// digit graph lower print punct space upper word xdigit), each as pairs of
// range bounds.
constexpr std::string_view kAsciiClassRanges[] = {
    "09AZaz", "AZaz", "\0\x7F"sv, "\t\t  ", "\0\x1F\x7F\x7F"sv,
    "09",     "!~",   "az",       " ~",     "!/:@[`{~",
    "\t\r  ", "AZ",   "09AZ__az", "09AFaf"};
constexpr uint8_t kAsciiDigit = 5, kAsciiSpace = 10, kAsciiWord = 12;

CharSet AsciiClass(uint8_t index) {
  CharSet s;
  std::string_view bounds = kAsciiClassRanges[index];
  for (size_t i = 0; i < bounds.size(); i += 2) s.Add(bounds[i], bounds[i + 1]);
  return s;
}

// ASCII-only case folding of byte classes.
void AsciiFold(CharSet& set) {
  CharSet upper = set;
  upper.Intersect(CharSet::Of('a', 'z'));
  CharSet lower = set;
  lower.Intersect(CharSet::Of('A', 'Z'));
  for (const auto& r : upper.ranges()) set.Add(r.lo - 32, r.hi - 32);
  for (const auto& r : lower.ranges()) set.Add(r.lo + 32, r.hi + 32);
}

bool IsAscii(const CharSet& set) {
  return set.empty() || set.ranges().back().hi <= 0x7F;
}

Hir ClassHir(CharSet set) {
  Hir h;
  h.kind = Hir::Kind::kClass;
  h.set = std::move(set);
  h.set.ranges();  // in order before anything shares it
  return h;
}

Hir LookHir(Look look) {
  Hir h;
  h.kind = Hir::Kind::kLook;
  h.look = look;
  return h;
}

class Translator {
 public:
  Translator(const Ast& ast, bool case_insensitive) : ast_(ast) {
    flags_ = kFlagUnicode | (case_insensitive ? kFlagCaseInsensitive : 0);
  }

  TResult<Hir> Node(uint32_t id);

 private:
  bool flag(uint8_t bit) const { return (flags_ & bit) != 0; }
  bool unicode() const { return flag(kFlagUnicode); }
  void Apply(const AstNode& n) {
    flags_ = static_cast<uint8_t>((flags_ | n.flags_on) & ~n.flags_off);
  }
  Fail Error(const Span& span, std::string reason) const {
    return Fail(SyntaxError{std::move(reason), span, std::nullopt});
  }

  // Case folding under (?i): Unicode's simple folding, or ASCII's under (?-u).
  void Fold(CharSet& set) const {
    if (!flag(kFlagCaseInsensitive)) return;
    if (unicode()) {
      set.CaseFold();
    } else {
      AsciiFold(set);
    }
  }

  TResult<char32_t> Scalar(const AstNode& lit) const;
  TResult<char32_t> ClassByte(const AstNode& lit) const;
  TResult<CharSet> UnicodeClass(const AstNode& n) const;
  TResult<CharSet> PerlClass(const AstNode& n) const;
  TResult<void> FoldAndNegate(const Span& span, bool negated,
                              CharSet& set) const;
  TResult<CharSet> SetItem(uint32_t id);

  const Ast& ast_;
  uint8_t flags_;
};

TResult<char32_t> Translator::Scalar(const AstNode& lit) const {
  if (unicode() || !lit.flag || lit.c <= 0x7F) return lit.c;
  return Error(lit.span, kInvalidUtf8);
}

TResult<char32_t> Translator::ClassByte(const AstNode& lit) const {
  TResult<char32_t> c = Scalar(lit);
  if (c && *c > 0x7F) return Error(lit.span, kUnicodeNotAllowed);
  return c;
}

TResult<void> Translator::FoldAndNegate(const Span& span, bool negated,
                                        CharSet& set) const {
  Fold(set);
  if (negated) set.Negate();
  if (!unicode() && !IsAscii(set)) return Error(span, kInvalidUtf8);
  return {};
}

TResult<CharSet> Translator::UnicodeClass(const AstNode& n) const {
  if (!unicode()) return Error(n.span, kUnicodeNotAllowed);
  std::expected<CharSet, PropertyError> set =
      ResolveUnicodeClass(ast_.queries[n.query]);
  if (!set) {
    return Error(n.span, set.error() == PropertyError::kPropertyNotFound
                             ? "Unicode property not found"
                             : "Unicode property value not found");
  }
  if (TResult<void> ok = FoldAndNegate(n.span, n.negated, *set); !ok) {
    return Fail(ok.error());
  }
  return *std::move(set);
}

TResult<CharSet> Translator::PerlClass(const AstNode& n) const {
  auto kind = static_cast<PerlKind>(n.sub);
  CharSet set;
  if (unicode()) {
    set = kind == PerlKind::kDigit   ? PerlDigit()
          : kind == PerlKind::kSpace ? PerlSpace()
                                     : PerlWord();
  } else {
    set = AsciiClass(kind == PerlKind::kDigit   ? kAsciiDigit
                     : kind == PerlKind::kSpace ? kAsciiSpace
                                                : kAsciiWord);
  }
  // Both forms are closed under case folding already.
  if (n.negated) set.Negate();
  if (!unicode() && !IsAscii(set)) return Error(n.span, kInvalidUtf8);
  return set;
}

TResult<CharSet> Translator::SetItem(uint32_t id) {
  const AstNode& n = ast_.nodes[id];
  switch (n.kind) {
    case AstKind::kEmpty:
      return CharSet();
    case AstKind::kLiteral: {
      TResult<char32_t> c = unicode() ? Scalar(n) : ClassByte(n);
      if (!c) return Fail(c.error());
      return CharSet::Of(*c, *c);
    }
    case AstKind::kRange: {
      const AstNode& lo = ast_.nodes[n.children[0]];
      const AstNode& hi = ast_.nodes[n.children[1]];
      if (unicode()) return CharSet::Of(lo.c, hi.c);
      TResult<char32_t> a = ClassByte(lo);
      if (!a) return Fail(a.error());
      TResult<char32_t> b = ClassByte(hi);
      if (!b) return Fail(b.error());
      return CharSet::Of(*a, *b);
    }
    case AstKind::kAsciiClass: {
      CharSet set = AsciiClass(n.sub);
      if (TResult<void> ok = FoldAndNegate(n.span, n.negated, set); !ok) {
        return Fail(ok.error());
      }
      return set;
    }
    case AstKind::kUnicodeClass:
      return UnicodeClass(n);
    case AstKind::kPerlClass:
      return PerlClass(n);
    case AstKind::kBracketed: {
      TResult<CharSet> set = SetItem(n.children[0]);
      if (!set) return set;
      if (TResult<void> ok = FoldAndNegate(n.span, n.negated, *set); !ok) {
        return Fail(ok.error());
      }
      return set;
    }
    case AstKind::kUnion: {
      CharSet set;
      for (uint32_t child : n.children) {
        TResult<CharSet> item = SetItem(child);
        if (!item) return item;
        set.Union(*item);
      }
      return set;
    }
    case AstKind::kBinaryOp: {
      TResult<CharSet> lhs = SetItem(n.children[0]);
      if (!lhs) return lhs;
      TResult<CharSet> rhs = SetItem(n.children[1]);
      if (!rhs) return rhs;
      Fold(*rhs);
      Fold(*lhs);
      switch (static_cast<SetOp>(n.sub)) {
        case SetOp::kIntersection:
          lhs->Intersect(*rhs);
          break;
        case SetOp::kDifference:
          lhs->Difference(*rhs);
          break;
        case SetOp::kSymmetricDifference:
          lhs->SymmetricDifference(*rhs);
          break;
      }
      return lhs;
    }
    default:
      return CharSet();
  }
}

TResult<Hir> Translator::Node(uint32_t id) {
  const AstNode& n = ast_.nodes[id];
  switch (n.kind) {
    case AstKind::kEmpty:
      return Hir();
    case AstKind::kFlags:
      Apply(n);
      return Hir();
    case AstKind::kLiteral: {
      TResult<char32_t> c = Scalar(n);
      if (!c) return Fail(c.error());
      CharSet set = CharSet::Of(*c, *c);
      Fold(set);
      return ClassHir(std::move(set));
    }
    case AstKind::kDot: {
      if (!unicode()) return Error(n.span, kInvalidUtf8);
      CharSet set = CharSet::Of(0, kMaxCodePoint);
      if (!flag(kFlagDotNewLine)) {
        set = CharSet();
        if (flag(kFlagCrlf)) {
          set.Add(0, '\n' - 1);
          set.Add('\n' + 1, '\r' - 1);
          set.Add('\r' + 1, kMaxCodePoint);
        } else {
          set.Add(0, '\n' - 1);
          set.Add('\n' + 1, kMaxCodePoint);
        }
      }
      return ClassHir(std::move(set));
    }
    case AstKind::kAssertion: {
      bool u = unicode();
      bool m = flag(kFlagMultiLine);
      bool crlf = flag(kFlagCrlf);
      switch (static_cast<Assertion>(n.sub)) {
        case Assertion::kStartLine:
          return LookHir(!m     ? Look::kStart
                         : crlf ? Look::kStartCRLF
                                : Look::kStartLF);
        case Assertion::kEndLine:
          return LookHir(!m     ? Look::kEnd
                         : crlf ? Look::kEndCRLF
                                : Look::kEndLF);
        case Assertion::kStartText:
          return LookHir(Look::kStart);
        case Assertion::kEndText:
          return LookHir(Look::kEnd);
        case Assertion::kWordBoundary:
          return LookHir(u ? Look::kWordUnicode : Look::kWordAscii);
        case Assertion::kNotWordBoundary:
          return LookHir(u ? Look::kWordUnicodeNegate : Look::kWordAsciiNegate);
        case Assertion::kWordStart:
          return LookHir(u ? Look::kWordStartUnicode : Look::kWordStartAscii);
        case Assertion::kWordEnd:
          return LookHir(u ? Look::kWordEndUnicode : Look::kWordEndAscii);
        case Assertion::kWordStartHalf:
          return LookHir(u ? Look::kWordStartHalfUnicode
                           : Look::kWordStartHalfAscii);
        case Assertion::kWordEndHalf:
          return LookHir(u ? Look::kWordEndHalfUnicode
                           : Look::kWordEndHalfAscii);
      }
      return Hir();
    }
    case AstKind::kUnicodeClass: {
      TResult<CharSet> set = UnicodeClass(n);
      if (!set) return Fail(set.error());
      return ClassHir(*std::move(set));
    }
    case AstKind::kPerlClass: {
      TResult<CharSet> set = PerlClass(n);
      if (!set) return Fail(set.error());
      return ClassHir(*std::move(set));
    }
    case AstKind::kBracketed: {
      TResult<CharSet> set = SetItem(id);
      if (!set) return Fail(set.error());
      return ClassHir(*std::move(set));
    }
    case AstKind::kRepetition: {
      TResult<Hir> sub = Node(n.children[0]);
      if (!sub) return sub;
      uint32_t min = n.min, max = n.max;
      if (IsZeroWidth(*sub)) {
        // Repeating what matches only the empty string adds nothing.
        min = std::min<uint32_t>(min, 1);
        max = std::min<uint32_t>(max, 1);
      }
      if (max == 0) return Hir();
      if (min == 1 && max == 1) return sub;
      Hir h;
      h.kind = Hir::Kind::kRepeat;
      h.min = min;
      h.max = max;
      h.subs.push_back(*std::move(sub));
      return h;
    }
    case AstKind::kGroup: {
      uint8_t saved = flags_;
      Apply(n);
      TResult<Hir> sub = Node(n.children[0]);
      flags_ = saved;
      if (sub && n.negated) sub->captures += 1;
      return sub;
    }
    case AstKind::kConcat:
    case AstKind::kAlternation: {
      Hir h;
      h.kind =
          n.kind == AstKind::kConcat ? Hir::Kind::kConcat : Hir::Kind::kAlt;
      for (uint32_t child : n.children) {
        TResult<Hir> sub = Node(child);
        if (!sub) return sub;
        h.subs.push_back(*std::move(sub));
      }
      return h;
    }
    default:
      return Hir();
  }
}

bool IsWordUnicode(int32_t c) {
  // The table's answers below U+0080 kept apart, so that they cost no search:
  // most text the exact matcher steps over is ASCII, and each step asks about
  // two characters.
  static const auto kAscii = [] {
    std::array<bool, 0x80> word{};
    for (char32_t a = 0; a < word.size(); ++a) word[a] = PerlWord().Contains(a);
    return word;
  }();
  if (c < 0x80) return c >= 0 && kAscii[c];
  return PerlWord().Contains(static_cast<char32_t>(c));
}
bool IsWordAscii(int32_t c) { return c < 0x80 && IsWordUnicode(c); }

}  // namespace

bool IsZeroWidth(const Hir& h) {
  switch (h.kind) {
    case Hir::Kind::kEmpty:
    case Hir::Kind::kLook:
      return true;
    case Hir::Kind::kClass:
      return false;
    default:
      for (const Hir& sub : h.subs) {
        if (!IsZeroWidth(sub)) return false;
      }
      return true;
  }
}

std::expected<Hir, SyntaxError> TranslateAst(const Ast& ast,
                                             bool case_insensitive) {
  return Translator(ast, case_insensitive).Node(ast.root);
}

bool LookHolds(Look look, int32_t before, int32_t after) {
  switch (look) {
    case Look::kStart:
      return before < 0;
    case Look::kEnd:
      return after < 0;
    case Look::kStartLF:
      return before < 0 || before == '\n';
    case Look::kEndLF:
      return after < 0 || after == '\n';
    case Look::kStartCRLF:
      return before < 0 || before == '\n' || (before == '\r' && after != '\n');
    case Look::kEndCRLF:
      return after < 0 || after == '\r' || (after == '\n' && before != '\r');
    default:
      break;
  }
  bool ascii = look == Look::kWordAscii || look == Look::kWordAsciiNegate ||
               look == Look::kWordStartAscii || look == Look::kWordEndAscii ||
               look == Look::kWordStartHalfAscii ||
               look == Look::kWordEndHalfAscii;
  bool b = ascii ? IsWordAscii(before) : IsWordUnicode(before);
  bool a = ascii ? IsWordAscii(after) : IsWordUnicode(after);
  switch (look) {
    case Look::kWordAscii:
    case Look::kWordUnicode:
      return b != a;
    case Look::kWordAsciiNegate:
    case Look::kWordUnicodeNegate:
      return b == a;
    case Look::kWordStartAscii:
    case Look::kWordStartUnicode:
      return !b && a;
    case Look::kWordEndAscii:
    case Look::kWordEndUnicode:
      return b && !a;
    case Look::kWordStartHalfAscii:
    case Look::kWordStartHalfUnicode:
      return !b;
    default:
      return !a;  // the end halves
  }
}

}  // namespace tolvane::regex

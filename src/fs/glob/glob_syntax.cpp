#include "fs/glob/glob_syntax.h"

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "fs/utf8/utf8.h"

namespace tolvane {
namespace {

constexpr char kUnclosedClass[] = "unclosed character class; missing ']'";
constexpr char kUnopenedAlternates[] =
    "unopened alternate group; missing '{' (maybe escape '}' with '[}]'?)";
constexpr char kUnclosedAlternates[] =
    "unclosed alternate group; missing '}' (maybe escape '{' with '[{]'?)";
constexpr char kDanglingEscape[] = "dangling '\\'";
// RE2's own text for a pattern that is not UTF-8.
constexpr char kInvalidUtf8[] = "invalid UTF-8";

// The parse is a flat token sequence: an alternate group is the span from
// kGroupOpen to its kGroupClose with kGroupNext between alternatives. Flat
// tokens keep both the parse and the translation iterative, so no nesting depth
// can exhaust the stack.
enum class Tok : uint8_t {
  kLiteral,     // value: the character
  kAny,         // ?
  kZeroOrMore,  // *
  // `**/` opening an alternative: nothing, or anything ending in "/".
  kRecursivePrefix,
  // `/**` closing an alternative: "/" and anything after it.
  kRecursiveSuffix,
  // `/**/`: "/", or "/" anything "/".
  kRecursiveZeroOrMore,
  kClass,  // value: index into Parsed::classes
  kGroupOpen,
  kGroupNext,
  kGroupClose,
};

struct Token {
  Tok kind;
  char32_t value;
};

struct CharRange {
  char32_t first;
  char32_t last;
};

struct CharClass {
  bool negated;
  size_t begin;  // [begin, end) of Parsed::ranges
  size_t end;
};

struct Parsed {
  std::vector<Token> tokens;
  std::vector<CharRange> ranges;
  std::vector<CharClass> classes;
};

// The characters of `text`; nullopt when it is not UTF-8.
std::optional<std::u32string> DecodeChars(std::string_view text) {
  std::u32string chars;
  chars.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    const Utf8Char c = DecodeUtf8At(text, i);
    if (!c.ok()) return std::nullopt;
    chars += c.code_point;
    i += c.len;
  }
  return chars;
}

// globset's parser with its default options, over a flat token sequence.
// Where the syntax is loose, globset's choices are kept: `**` next to other
// text is two `*`; `]` first in a class and `-` first or last are literal;
// `[a-b-c]` widens the range to `a-c`.
class Parser {
 public:
  explicit Parser(std::u32string chars) : chars_(std::move(chars)) {}

  // The reason text on failure.
  std::expected<Parsed, std::string> Run() && {
    while (pos_ < chars_.size()) {
      char32_t c = chars_[pos_++];
      switch (c) {
        case '?':
          Push(Tok::kAny);
          break;
        case '*':
          ParseStar();
          break;
        case '[':
          if (auto parsed = ParseClass(); !parsed) {
            return std::unexpected(parsed.error());
          }
          break;
        case '{':
          Push(Tok::kGroupOpen);
          branch_starts_.push_back(parsed_.tokens.size());
          break;
        case '}':
          if (!InGroup()) return std::unexpected(kUnopenedAlternates);
          branch_starts_.pop_back();
          Push(Tok::kGroupClose);
          break;
        case ',':
          if (InGroup()) {
            Push(Tok::kGroupNext);
            branch_starts_.back() = parsed_.tokens.size();
          } else {
            Push(Tok::kLiteral, ',');
          }
          break;
        case '\\':
          if (pos_ == chars_.size()) return std::unexpected(kDanglingEscape);
          Push(Tok::kLiteral, chars_[pos_++]);
          break;
        default:
          Push(Tok::kLiteral, c);
      }
    }
    if (InGroup()) return std::unexpected(kUnclosedAlternates);
    return std::move(parsed_);
  }

 private:
  static constexpr char32_t kNone = 0xFFFFFFFF;

  bool InGroup() const { return branch_starts_.size() > 1; }
  // Whether the alternative being parsed (or the whole pattern, outside groups)
  // has tokens yet.
  bool HaveTokens() const {
    return parsed_.tokens.size() > branch_starts_.back();
  }
  char32_t Peek() const { return pos_ < chars_.size() ? chars_[pos_] : kNone; }
  void Push(Tok kind, char32_t value = 0) {
    parsed_.tokens.push_back({kind, value});
  }
  void PushTwoStars() {
    Push(Tok::kZeroOrMore);
    Push(Tok::kZeroOrMore);
  }

  // Called past the first `*`. `prev` is the pattern character before it,
  // escapes and class brackets included, exactly as globset looks at it.
  void ParseStar() {
    const size_t star = pos_ - 1;
    const char32_t prev = star > 0 ? chars_[star - 1] : kNone;
    if (Peek() != '*') {
      Push(Tok::kZeroOrMore);
      return;
    }
    ++pos_;
    if (!HaveTokens()) {
      if (pos_ < chars_.size() && chars_[pos_] != '/') {
        PushTwoStars();
        return;
      }
      Push(Tok::kRecursivePrefix);
      if (pos_ < chars_.size()) ++pos_;  // the "/" belongs to the prefix
      return;
    }
    if (prev != '/' && (!InGroup() || (prev != ',' && prev != '{'))) {
      PushTwoStars();
      return;
    }
    bool is_suffix;
    if (pos_ == chars_.size() ||
        (InGroup() && (Peek() == ',' || Peek() == '}'))) {
      is_suffix = true;
    } else if (Peek() == '/') {
      ++pos_;
      is_suffix = false;
    } else {
      PushTwoStars();
      return;
    }
    // The token before `**` is folded into the recursive token: the "/" it
    // follows, a recursive token that already ends in "/", or, in an
    // alternative, an escaped "{" or "," (globset treats those alike).
    const Tok last = parsed_.tokens.back().kind;
    parsed_.tokens.pop_back();
    if (last == Tok::kRecursivePrefix || last == Tok::kRecursiveSuffix) {
      Push(last);
    } else {
      Push(is_suffix ? Tok::kRecursiveSuffix : Tok::kRecursiveZeroOrMore);
    }
  }

  // Called past `[`.
  std::expected<void, std::string> ParseClass() {
    bool negated = false;
    if (Peek() == '!' || Peek() == '^') {
      negated = true;
      ++pos_;
    }
    std::vector<CharRange>& ranges = parsed_.ranges;
    const size_t begin = ranges.size();
    bool first = true;
    bool in_range = false;
    while (true) {
      if (pos_ == chars_.size()) return std::unexpected(kUnclosedClass);
      const char32_t c = chars_[pos_++];
      if (c == ']' && !first) break;
      if (c == '-' && !first && !in_range) {
        in_range = true;
        continue;
      }
      if (in_range) {
        CharRange& range = ranges.back();
        range.last = c;
        if (range.last < range.first) {
          std::string reason = "invalid range; '";
          AppendUtf8(reason, range.first);
          reason += "' > '";
          AppendUtf8(reason, range.last);
          reason += "'";
          return std::unexpected(std::move(reason));
        }
        in_range = false;
      } else {
        ranges.push_back({c, c});
      }
      first = false;
    }
    if (in_range) ranges.push_back({'-', '-'});
    parsed_.classes.push_back({negated, begin, ranges.size()});
    Push(Tok::kClass, static_cast<char32_t>(parsed_.classes.size() - 1));
    return {};
  }

  std::u32string chars_;
  size_t pos_ = 0;
  Parsed parsed_;
  // Token index where each open alternative begins; the bottom entry is the
  // whole pattern.
  std::vector<size_t> branch_starts_{0};
};

void AppendCodePoint(std::string& out, char32_t c) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += "\\x{";
  int shift = 28;
  while (shift > 0 && ((c >> shift) & 0xF) == 0) shift -= 4;
  for (; shift >= 0; shift -= 4) out += kHex[(c >> shift) & 0xF];
  out += '}';
}

void AppendLiteral(std::string& out, char32_t c) {
  const bool plain = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') ||
                     (c >= 'A' && c <= 'Z') || c == '_' || c == '/' ||
                     c >= 0x80;
  if (plain) {
    AppendUtf8(out, c);
  } else if (c >= 0x20 && c < 0x7F) {
    out += '\\';  // RE2 reads any escaped ASCII punctuation as itself
    out += static_cast<char>(c);
  } else {
    AppendCodePoint(out, c);
  }
}

// An alternate group being written. Empty alternatives are dropped, and a group
// whose every alternative is empty writes nothing at all; both are known only
// when an alternative ends, so the text is written optimistically and the
// unwanted tail cut off.
struct OpenGroup {
  size_t open;        // where "(?:" starts
  size_t part_start;  // where the current alternative's text starts
  bool has_part;      // a non-empty alternative was written
  bool bar_before;    // a "|" precedes the current alternative
};

void EndAlternative(OpenGroup& group, std::string& out) {
  if (out.size() != group.part_start) {
    group.has_part = true;
  } else if (group.bar_before) {
    out.pop_back();
  }
}

std::string ToRegex(const Parsed& parsed) {
  const std::vector<Token>& tokens = parsed.tokens;
  // A lone `**` matches everything, the empty path included.
  if (tokens.size() == 1 && tokens[0].kind == Tok::kRecursivePrefix)
    return ".*";
  std::string out;
  std::vector<OpenGroup> groups;
  for (const Token& token : tokens) {
    switch (token.kind) {
      case Tok::kLiteral:
        AppendLiteral(out, token.value);
        break;
      case Tok::kAny:
        out += '.';
        break;
      case Tok::kZeroOrMore:
        out += ".*";
        break;
      case Tok::kRecursivePrefix:
        out += "(?:/?|.*/)";
        break;
      case Tok::kRecursiveSuffix:
        out += "/.*";
        break;
      case Tok::kRecursiveZeroOrMore:
        out += "(?:/|/.*/)";
        break;
      case Tok::kClass: {
        const CharClass& cls = parsed.classes[token.value];
        out += cls.negated ? "[^" : "[";
        for (size_t i = cls.begin; i < cls.end; ++i) {
          AppendCodePoint(out, parsed.ranges[i].first);
          if (parsed.ranges[i].last != parsed.ranges[i].first) {
            out += '-';
            AppendCodePoint(out, parsed.ranges[i].last);
          }
        }
        out += ']';
        break;
      }
      case Tok::kGroupOpen:
        groups.push_back({out.size(), out.size() + 3, false, false});
        out += "(?:";
        break;
      case Tok::kGroupNext: {
        OpenGroup& group = groups.back();
        EndAlternative(group, out);
        group.bar_before = group.has_part;
        if (group.has_part) out += '|';
        group.part_start = out.size();
        break;
      }
      case Tok::kGroupClose: {
        OpenGroup& group = groups.back();
        EndAlternative(group, out);
        if (group.has_part) {
          out += ')';
        } else {
          out.resize(group.open);
        }
        groups.pop_back();
        break;
      }
    }
  }
  return out;
}

// Recognises [**/] [*...] literal [*... | /**] and fills in the shape that
// answers it. Anything else (classes, `?`, groups, `/**/`, stars inside the
// literal) stays with the regex.
void FindShape(const std::vector<Token>& tokens, TranslatedGlob& glob) {
  const size_t n = tokens.size();
  size_t i = 0;
  const bool recursive_prefix =
      n > 0 && tokens[0].kind == Tok::kRecursivePrefix;
  if (recursive_prefix) ++i;
  const size_t lead = i;
  while (i < n && tokens[i].kind == Tok::kZeroOrMore) ++i;
  const bool open_start = i > lead;
  std::string literal;
  for (; i < n && tokens[i].kind == Tok::kLiteral; ++i)
    AppendUtf8(literal, tokens[i].value);
  const size_t tail = i;
  if (i < n && tokens[i].kind == Tok::kRecursiveSuffix) {
    literal += '/';
    ++i;
  } else {
    while (i < n && tokens[i].kind == Tok::kZeroOrMore) ++i;
  }
  const bool open_end = i > tail;
  if (i != n) return;
  // A path that is not UTF-8 is matched in its lossy form, where U+FFFD stands
  // for its bad bytes; only a literal holding U+FFFD could tell the two forms
  // apart.
  if (literal.find(kUtf8Replacement) != std::string::npos) return;

  if (recursive_prefix && !open_start) {
    if (open_end) return;
    // Only the lone `**` has no literal here: everything matches.
    glob.shape =
        literal.empty() ? GlobShape::kPrefix : GlobShape::kComponentSuffix;
  } else if (open_start) {
    glob.shape = open_end ? GlobShape::kContains : GlobShape::kSuffix;
  } else {
    glob.shape = open_end ? GlobShape::kPrefix : GlobShape::kExact;
  }
  glob.literal = std::move(literal);
}

}  // namespace

FsError GlobError(std::string_view pattern, std::string_view reason) {
  std::string display = "error parsing glob '";
  display += pattern;
  display += "': ";
  display += reason;
  return FsError::Glob(std::move(display));
}

Result<TranslatedGlob> TranslateGlob(std::string_view pattern) {
  std::optional<std::u32string> chars = DecodeChars(pattern);
  if (!chars) return Fail(GlobError(ToUtf8Lossy(pattern), kInvalidUtf8));
  std::expected<Parsed, std::string> parsed = Parser(std::move(*chars)).Run();
  if (!parsed) return Fail(GlobError(pattern, parsed.error()));
  TranslatedGlob glob;
  glob.regex = ToRegex(*parsed);
  FindShape(parsed->tokens, glob);
  return glob;
}

}  // namespace tolvane

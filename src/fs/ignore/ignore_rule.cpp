#include "fs/ignore/ignore_rule.h"

#include <bitset>
#include <cstdio>
#include <utility>
#include <vector>

namespace tolvane {
namespace {

using ByteSet = std::bitset<256>;

// One element of a pattern, after escapes and classes are resolved.
struct Token {
  enum Kind : uint8_t {
    kByte,     // one literal byte
    kAnyByte,  // `?`: any byte but "/"
    kStar,     // `*` (and an unbounded `**`): any run of bytes without "/"
    kAnyDirs,  // `**/` between slashes: nothing, or anything that ends with "/"
    kAnyRest,  // a trailing `**` after "/": anything at all
    kClass,    // `[...]`: one byte of the set ("/" never in it)
  };
  Kind kind;
  unsigned char byte = 0;
  ByteSet set{};
};

bool IsGlobSpecial(char c) {
  return c == '*' || c == '?' || c == '[' || c == '\\';
}

// git drops trailing spaces, but not one escaped by a backslash, and keeps a
// line that ends in a lone backslash as it is.
std::string_view TrimTrailingSpaces(std::string_view line) {
  size_t cut = std::string_view::npos;
  for (size_t i = 0; i < line.size(); ++i) {
    if (line[i] == ' ') {
      if (cut == std::string_view::npos) cut = i;
      continue;
    }
    if (line[i] == '\\' && ++i == line.size()) return line;
    cut = std::string_view::npos;
  }
  return line.substr(0, cut);
}

// The [:name:] classes of git's matcher, ASCII only, with git's own isspace (no
// \v, no \f).
bool AddNamedClass(std::string_view name, ByteSet* set) {
  auto add_if = [set](auto&& predicate) {
    for (int c = 0; c < 128; ++c) {
      if (predicate(c)) set->set(static_cast<size_t>(c));
    }
  };
  auto digit = [](int c) { return c >= '0' && c <= '9'; };
  auto upper = [](int c) { return c >= 'A' && c <= 'Z'; };
  auto lower = [](int c) { return c >= 'a' && c <= 'z'; };
  auto graph = [](int c) { return c > 0x20 && c < 0x7f; };
  if (name == "alnum") {
    add_if([&](int c) { return digit(c) || upper(c) || lower(c); });
  } else if (name == "alpha") {
    add_if([&](int c) { return upper(c) || lower(c); });
  } else if (name == "blank") {
    add_if([](int c) { return c == ' ' || c == '\t'; });
  } else if (name == "cntrl") {
    add_if([](int c) { return c < 0x20 || c == 0x7f; });
  } else if (name == "digit") {
    add_if(digit);
  } else if (name == "graph") {
    add_if(graph);
  } else if (name == "lower") {
    add_if(lower);
  } else if (name == "print") {
    add_if([&](int c) { return c == ' ' || graph(c); });
  } else if (name == "punct") {
    add_if(
        [&](int c) { return graph(c) && !digit(c) && !upper(c) && !lower(c); });
  } else if (name == "space") {
    add_if(
        [](int c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; });
  } else if (name == "upper") {
    add_if(upper);
  } else if (name == "xdigit") {
    add_if([&](int c) {
      return digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    });
  } else {
    return false;
  }
  return true;
}

// Reads the class that opens at p[at] == '[' the way git's wildmatch does (a
// leading `]` is literal, `!` or `^` negates, a range runs from the byte before
// `-`). Returns the position after the closing `]`, or nullopt where wildmatch
// gives up on every text.
std::optional<size_t> ParseClass(std::string_view p, size_t at, ByteSet* out) {
  auto ch = [p](size_t i) -> unsigned char {
    return i < p.size() ? static_cast<unsigned char>(p[i]) : 0;
  };
  size_t i = at + 1;
  unsigned char c = ch(i);
  bool negated = c == '!' || c == '^';
  if (negated) c = ch(++i);
  ByteSet set{};
  unsigned char prev = 0;
  do {
    if (c == 0) return std::nullopt;
    if (c == '\\') {
      c = ch(++i);
      if (c == 0) return std::nullopt;
      set.set(c);
    } else if (c == '-' && prev != 0 && ch(i + 1) != 0 && ch(i + 1) != ']') {
      c = ch(++i);
      if (c == '\\') {
        c = ch(++i);
        if (c == 0) return std::nullopt;
      }
      for (int b = prev; b <= c; ++b) set.set(static_cast<size_t>(b));
      c = 0;
    } else if (c == '[' && ch(i + 1) == ':') {
      size_t start = i + 2;
      size_t end = start;
      while (ch(end) != 0 && ch(end) != ']') ++end;
      if (ch(end) == 0) return std::nullopt;
      if (end < start + 1 || ch(end - 1) != ':') {
        // No ":]" before the next "]": the "[" is an ordinary member.
        set.set('[');
        c = '[';
        continue;
      }
      if (!AddNamedClass(p.substr(start, end - start - 1), &set))
        return std::nullopt;
      i = end;
      c = 0;
    } else {
      set.set(c);
    }
  } while (prev = c, (c = ch(++i)) != ']');
  if (negated) set.flip();
  set.reset('/');
  *out = set;
  return i + 1;
}

// The length of the leading run without wildcards or escapes. git compares it
// as plain text and runs its matcher on the rest only, so a `**` right after it
// counts as the pattern's start.
size_t SimpleLength(std::string_view p) {
  size_t n = 0;
  while (n < p.size() && !IsGlobSpecial(p[n])) ++n;
  return n;
}

std::optional<std::vector<Token>> Tokenize(std::string_view p, bool basename) {
  std::vector<Token> tokens;
  const size_t glob_start = SimpleLength(p);
  size_t i = 0;
  while (i < p.size()) {
    char c = p[i];
    if (c == '\\') {
      if (i + 1 == p.size()) return std::nullopt;
      tokens.push_back({Token::kByte, static_cast<unsigned char>(p[i + 1])});
      i += 2;
    } else if (c == '?') {
      tokens.push_back({Token::kAnyByte});
      ++i;
    } else if (c == '[') {
      Token token{Token::kClass};
      auto next = ParseClass(p, i, &token.set);
      if (!next || token.set.none()) return std::nullopt;
      tokens.push_back(token);
      i = *next;
    } else if (c == '*') {
      size_t after = i;
      while (after < p.size() && p[after] == '*') ++after;
      bool left = i == glob_start || (i > 0 && p[i - 1] == '/');
      bool slash = after < p.size() && p[after] == '/';
      bool escaped_slash =
          after + 1 < p.size() && p[after] == '\\' && p[after + 1] == '/';
      if (!basename && after - i >= 2 && left &&
          (slash || escaped_slash || after == p.size())) {
        // Only a plain "/" lets `**/` match no directory at all.
        tokens.push_back({slash ? Token::kAnyDirs : Token::kAnyRest});
        i = slash ? after + 1 : after;
      } else {
        tokens.push_back({Token::kStar});
        i = after;
      }
    } else {
      tokens.push_back({Token::kByte, static_cast<unsigned char>(c)});
      ++i;
    }
  }
  return tokens;
}

void AppendByte(unsigned char b, std::string* out) {
  if ((b >= '0' && b <= '9') || (b >= 'a' && b <= 'z') ||
      (b >= 'A' && b <= 'Z')) {
    out->push_back(static_cast<char>(b));
    return;
  }
  char escaped[8];
  std::snprintf(escaped, sizeof escaped, "\\x{%02x}", b);
  out->append(escaped);
}

void AppendClass(const ByteSet& set, std::string* out) {
  out->push_back('[');
  for (int b = 0; b < 256;) {
    if (!set.test(static_cast<size_t>(b))) {
      ++b;
      continue;
    }
    int end = b;
    while (end + 1 < 256 && set.test(static_cast<size_t>(end + 1))) ++end;
    AppendByte(static_cast<unsigned char>(b), out);
    if (end > b) {
      out->push_back('-');
      AppendByte(static_cast<unsigned char>(end), out);
    }
    b = end + 1;
  }
  out->push_back(']');
}

// The pattern as an RE2 expression over Latin-1 text, so that it matches bytes,
// not characters.
std::string ToRegex(const std::vector<Token>& tokens) {
  std::string out;
  for (const Token& token : tokens) {
    switch (token.kind) {
      case Token::kByte:
        AppendByte(token.byte, &out);
        break;
      case Token::kAnyByte:
        out += "[^/]";
        break;
      case Token::kStar:
        out += "[^/]*";
        break;
      case Token::kAnyDirs:
        out += "(?:.*/)?";
        break;
      case Token::kAnyRest:
        out += ".*";
        break;
      case Token::kClass:
        AppendClass(token.set, &out);
        break;
    }
  }
  return out;
}

bool AllBytes(const std::vector<Token>& tokens, size_t from, size_t to) {
  for (size_t i = from; i < to; ++i) {
    if (tokens[i].kind != Token::kByte) return false;
  }
  return true;
}

std::string BytesOf(const std::vector<Token>& tokens, size_t from, size_t to) {
  std::string text;
  for (size_t i = from; i < to; ++i)
    text.push_back(static_cast<char>(tokens[i].byte));
  return text;
}

std::string LongestLiteralRun(const std::vector<Token>& tokens) {
  size_t best_from = 0, best_length = 0;
  for (size_t i = 0; i < tokens.size();) {
    size_t j = i;
    while (j < tokens.size() && tokens[j].kind == Token::kByte) ++j;
    if (j - i > best_length) best_from = i, best_length = j - i;
    i = j == i ? i + 1 : j;
  }
  return BytesOf(tokens, best_from, best_from + best_length);
}

}  // namespace

std::optional<IgnoreRule> IgnoreRule::Parse(std::string_view line) {
  // git reads a pattern as a C string: a NUL byte ends it.
  line = line.substr(0, line.find('\0'));
  if (line.empty() || line.front() == '#') return std::nullopt;
  line = TrimTrailingSpaces(line);
  IgnoreRule rule;
  if (!line.empty() && line.front() == '!') {
    rule.negated_ = true;
    line.remove_prefix(1);
  }
  if (!line.empty() && line.back() == '/') {
    rule.dir_only_ = true;
    line.remove_suffix(1);
  }
  rule.basename_ = line.find('/') == std::string_view::npos;
  if (!rule.basename_ && line.front() == '/') line.remove_prefix(1);
  if (line.empty()) return std::nullopt;

  auto tokens = Tokenize(line, rule.basename_);
  if (!tokens) return std::nullopt;
  const size_t n = tokens->size();
  if (AllBytes(*tokens, 0, n)) {
    rule.shape_ = Shape::kLiteral;
    rule.text_ = BytesOf(*tokens, 0, n);
  } else if ((*tokens)[n - 1].kind == Token::kStar &&
             AllBytes(*tokens, 0, n - 1)) {
    rule.shape_ = Shape::kPrefix;
    rule.text_ = BytesOf(*tokens, 0, n - 1);
  } else if ((*tokens)[0].kind == Token::kStar && AllBytes(*tokens, 1, n)) {
    rule.shape_ = Shape::kSuffix;
    rule.text_ = BytesOf(*tokens, 1, n);
  } else {
    RE2::Options options;
    options.set_encoding(RE2::Options::EncodingLatin1);
    options.set_dot_nl(true);
    options.set_never_capture(true);
    options.set_log_errors(false);
    auto regex = std::make_shared<const RE2>(ToRegex(*tokens), options);
    if (!regex->ok()) return std::nullopt;
    rule.shape_ = Shape::kRegex;
    rule.text_ = LongestLiteralRun(*tokens);
    rule.regex_ = std::move(regex);
  }
  return rule;
}

bool IgnoreRule::Matches(std::string_view target) const {
  switch (shape_) {
    case Shape::kLiteral:
      return target == text_;
    case Shape::kPrefix:
      return target.starts_with(text_) &&
             (basename_ ||
              target.find('/', text_.size()) == std::string_view::npos);
    case Shape::kSuffix:
      return target.ends_with(text_) &&
             (basename_ ||
              target.substr(0, target.size() - text_.size()).find('/') ==
                  std::string_view::npos);
    case Shape::kRegex:
      return target.find(text_) != std::string_view::npos &&
             regex_->Match(target, 0, target.size(), RE2::ANCHOR_BOTH, nullptr,
                           0);
  }
  return false;
}

}  // namespace tolvane

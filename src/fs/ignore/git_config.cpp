#include "fs/ignore/git_config.h"

#include <cctype>

namespace tolvane {
namespace {

bool IsSpace(int c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool IsAlpha(int c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool IsKeyChar(int c) {
  return IsAlpha(c) || (c >= '0' && c <= '9') || c == '-';
}
char Lower(int c) { return static_cast<char>(std::tolower(c)); }

// git's reader: CR LF reads as LF, and the end of the text reads as a last LF.
class ConfigText {
 public:
  explicit ConfigText(std::string_view text) : text_(text) {}

  int Next() {
    if (at_ == text_.size()) {
      eof_ = true;
      return '\n';
    }
    char c = text_[at_++];
    if (c == '\r' && at_ < text_.size() && text_[at_] == '\n') c = text_[at_++];
    return static_cast<unsigned char>(c);
  }
  bool eof() const { return eof_; }

 private:
  std::string_view text_;
  size_t at_ = 0;
  bool eof_ = false;
};

// The section name after "[" up to "]", lower-cased; a subsection ([name
// "sub"]) is appended after a "." as written. nullopt on a malformed header.
std::optional<std::string> ReadSectionHeader(ConfigText& in) {
  std::string name;
  for (;;) {
    int c = in.Next();
    if (in.eof()) return std::nullopt;
    if (c == ']') return name;
    if (IsSpace(c)) break;
    if (!IsKeyChar(c) && c != '.') return std::nullopt;
    name.push_back(Lower(c));
  }
  int c;
  do {
    c = in.Next();
  } while (c == ' ' || c == '\t');
  if (c != '"') return std::nullopt;
  name.push_back('.');
  for (;;) {
    c = in.Next();
    if (c == '\n') return std::nullopt;
    if (c == '"') break;
    if (c == '\\') {
      c = in.Next();
      if (c == '\n') return std::nullopt;
    }
    name.push_back(static_cast<char>(c));
  }
  return in.Next() == ']' ? std::optional<std::string>(name) : std::nullopt;
}

// A value after "=", up to the end of its (possibly continued) line.
std::optional<std::string> ReadValue(ConfigText& in) {
  std::string value;
  bool quoted = false;
  bool comment = false;
  size_t spaces = 0;
  for (;;) {
    int c = in.Next();
    if (c == '\n') {
      if (quoted) return std::nullopt;
      return value;
    }
    if (comment) continue;
    if (IsSpace(c) && !quoted) {
      if (!value.empty()) ++spaces;
      continue;
    }
    if (!quoted && (c == ';' || c == '#')) {
      comment = true;
      continue;
    }
    value.append(spaces, ' ');
    spaces = 0;
    if (c == '\\') {
      c = in.Next();
      switch (c) {
        case '\n':
          continue;
        case 't':
          c = '\t';
          break;
        case 'b':
          c = '\b';
          break;
        case 'n':
          c = '\n';
          break;
        case '\\':
        case '"':
          break;
        default:
          return std::nullopt;
      }
      value.push_back(static_cast<char>(c));
      continue;
    }
    if (c == '"') {
      quoted = !quoted;
      continue;
    }
    value.push_back(static_cast<char>(c));
  }
}

bool EqualsLower(std::string_view lower, std::string_view text) {
  if (lower.size() != text.size()) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    if (Lower(static_cast<unsigned char>(text[i])) != lower[i]) return false;
  }
  return true;
}

}  // namespace

std::optional<std::string> FindConfigValue(std::string_view text,
                                           std::string_view section,
                                           std::string_view key) {
  constexpr std::string_view kBom = "\xEF\xBB\xBF";
  if (text.starts_with(kBom)) text.remove_prefix(kBom.size());
  ConfigText in(text);
  std::optional<std::string> found;
  std::string current;
  bool comment = false;
  for (;;) {
    int c = in.Next();
    if (c == '\n') {
      if (in.eof()) return found;
      comment = false;
      continue;
    }
    if (comment || IsSpace(c)) continue;
    if (c == '#' || c == ';') {
      comment = true;
      continue;
    }
    if (c == '[') {
      auto name = ReadSectionHeader(in);
      if (!name || name->empty()) return std::nullopt;
      current = std::move(*name);
      continue;
    }
    if (!IsAlpha(c)) return std::nullopt;
    std::string name(1, Lower(c));
    for (;;) {
      c = in.Next();
      if (in.eof() || !IsKeyChar(c)) break;
      name.push_back(Lower(c));
    }
    while (c == ' ' || c == '\t') c = in.Next();
    if (c == '\n') {
      // A key without "=" is a boolean: no value to take. The LF ends the line.
      if (in.eof()) return found;
      continue;
    }
    if (c != '=') return std::nullopt;
    auto value = ReadValue(in);
    if (!value) return std::nullopt;
    if (EqualsLower(current, section) && EqualsLower(name, key))
      found = std::move(*value);
    if (in.eof()) return found;
  }
}

}  // namespace tolvane

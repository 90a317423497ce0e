#include "fs/regex/unicode_props.h"

#include <algorithm>
#include <optional>
#include <string>
#include <string_view>

namespace tolvane::regex {
namespace {

using unicode::Alias;
using unicode::NamedSet;
using unicode::Range;

std::optional<std::span<const Range>> FindSet(std::span<const NamedSet> table,
                                              std::string_view name) {
  auto it = std::lower_bound(
      table.begin(), table.end(), name,
      [](const NamedSet& s, std::string_view n) { return s.name < n; });
  if (it == table.end() || it->name != name) return std::nullopt;
  return it->ranges;
}

std::optional<std::string_view> FindAlias(std::span<const Alias> table,
                                          std::string_view alias) {
  auto it = std::lower_bound(
      table.begin(), table.end(), alias,
      [](const Alias& a, std::string_view n) { return a.alias < n; });
  if (it == table.end() || it->alias != alias) return std::nullopt;
  return it->canonical;
}

bool InRanges(std::span<const Range> ranges, char32_t c) {
  auto it =
      std::upper_bound(ranges.begin(), ranges.end(), c,
                       [](char32_t v, const Range& r) { return v < r.lo; });
  return it != ranges.begin() && std::prev(it)->hi >= c;
}

// Loose matching: an "is" prefix, spaces, '_' and '-' don't count, ASCII
// letters are compared in lower case, and non-ASCII bytes are dropped.
std::string Normalize(std::string_view name) {
  size_t start = 0;
  bool is_prefix = false;
  if (name.size() >= 2 && (name[0] | 0x20) == 'i' && (name[1] | 0x20) == 's') {
    start = 2;
    is_prefix = true;
  }
  std::string out;
  for (unsigned char b : name.substr(start)) {
    if (b == ' ' || b == '_' || b == '-') continue;
    if (b >= 'A' && b <= 'Z') {
      out += static_cast<char>(b + 32);
    } else if (b <= 0x7F) {
      out += static_cast<char>(b);
    }
  }
  // "isc" is the alias of Other, not "is" + "c".
  if (is_prefix && out == "c") out = "isc";
  return out;
}

using SetResult = std::expected<CharSet, PropertyError>;

SetResult FromTable(std::span<const NamedSet> table, std::string_view name,
                    PropertyError missing) {
  std::optional<std::span<const Range>> ranges = FindSet(table, name);
  if (!ranges) return std::unexpected(missing);
  return CharSet(*ranges);
}

std::optional<std::string_view> CanonicalGencat(std::string_view norm) {
  if (norm == "any") return "Any";
  if (norm == "assigned") return "Assigned";
  if (norm == "ascii") return "ASCII";
  return FindAlias(unicode::ValueAliases_gc(), norm);
}

SetResult Gencat(std::string_view canon) {
  if (canon == "Any") return CharSet::Of(0, kMaxCodePoint);
  if (canon == "ASCII") return CharSet::Of(0, 0x7F);
  if (canon == "Assigned") {
    CharSet set(*FindSet(unicode::Table_gc(), "Unassigned"));
    set.Negate();
    return set;
  }
  return FromTable(unicode::Table_gc(), canon, PropertyError::kValueNotFound);
}

SetResult Binary(std::string_view name) {
  std::string norm = Normalize(name);
  if (norm != "cf" && norm != "sc" && norm != "lc") {
    if (std::optional<std::string_view> prop =
            FindAlias(unicode::PropertyNameAliases(), norm)) {
      return FromTable(unicode::Table_bool(), *prop,
                       PropertyError::kPropertyNotFound);
    }
  }
  if (std::optional<std::string_view> gc = CanonicalGencat(norm)) {
    return Gencat(*gc);
  }
  if (std::optional<std::string_view> sc =
          FindAlias(unicode::ValueAliases_sc(), norm)) {
    return FromTable(unicode::Table_sc(), *sc, PropertyError::kValueNotFound);
  }
  return std::unexpected(PropertyError::kPropertyNotFound);
}

SetResult ByValue(std::string_view name, std::string_view value) {
  std::string prop_norm = Normalize(name);
  std::string value_norm = Normalize(value);
  std::optional<std::string_view> prop =
      FindAlias(unicode::PropertyNameAliases(), prop_norm);
  if (!prop) return std::unexpected(PropertyError::kPropertyNotFound);
  auto value_of = [&](std::span<const Alias> aliases) {
    return FindAlias(aliases, value_norm);
  };
  std::optional<std::string_view> canon;
  if (*prop == "General_Category") {
    canon = CanonicalGencat(value_norm);
    if (!canon) return std::unexpected(PropertyError::kValueNotFound);
    return Gencat(*canon);
  }
  std::span<const NamedSet> table;
  if (*prop == "Script") {
    canon = value_of(unicode::ValueAliases_sc());
    table = unicode::Table_sc();
  } else if (*prop == "Script_Extensions") {
    canon = value_of(unicode::ValueAliases_sc());
    table = unicode::Table_scx();
  } else if (*prop == "Grapheme_Cluster_Break") {
    canon = value_of(unicode::ValueAliases_GCB());
    table = unicode::Table_gcb();
  } else if (*prop == "Word_Break") {
    canon = value_of(unicode::ValueAliases_WB());
    table = unicode::Table_wb();
  } else if (*prop == "Sentence_Break") {
    canon = value_of(unicode::ValueAliases_SB());
    table = unicode::Table_sb();
  } else if (*prop == "Age") {
    canon = value_of(unicode::ValueAliases_age());
    if (!canon) return std::unexpected(PropertyError::kValueNotFound);
    // Ages accumulate: \p{age=3.0} is everything assigned up to 3.0.
    CharSet set;
    for (const NamedSet& age : unicode::Table_age()) {
      set.Union(CharSet(age.ranges));
      if (age.name == *canon) return set;
    }
    return std::unexpected(PropertyError::kValueNotFound);
  } else {
    return std::unexpected(PropertyError::kValueNotFound);
  }
  if (!canon) return std::unexpected(PropertyError::kValueNotFound);
  return FromTable(table, *canon, PropertyError::kValueNotFound);
}

}  // namespace

bool IsWhiteSpace(char32_t c) {
  if (c < 0x80) return c == ' ' || (c >= '\t' && c <= '\r');
  return PerlSpace().Contains(c);
}

bool IsAlphabetic(char32_t c) {
  static const std::span<const Range> kAlpha =
      *FindSet(unicode::Table_bool(), "Alphabetic");
  return InRanges(kAlpha, c);
}

bool IsAlphanumeric(char32_t c) {
  static const std::span<const Range> kNumber =
      *FindSet(unicode::Table_gc(), "Number");
  return IsAlphabetic(c) || InRanges(kNumber, c);
}

const CharSet& PerlWord() {
  static const CharSet kSet(*FindSet(unicode::Table_perl(), "word"));
  return kSet;
}

const CharSet& PerlSpace() {
  static const CharSet kSet(*FindSet(unicode::Table_bool(), "White_Space"));
  return kSet;
}

const CharSet& PerlDigit() {
  static const CharSet kSet(*FindSet(unicode::Table_gc(), "Decimal_Number"));
  return kSet;
}

std::expected<CharSet, PropertyError> ResolveUnicodeClass(
    const UnicodeQuery& query) {
  if (query.by_value) return ByValue(query.name, query.value);
  return Binary(query.name);
}

}  // namespace tolvane::regex

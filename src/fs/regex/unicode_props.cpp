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
  std::optional<std::string_view> prop =
      FindAlias(unicode::PropertyNameAliases(), Normalize(name));
  if (!prop) return std::unexpected(PropertyError::kPropertyNotFound);
  std::string value_norm = Normalize(value);
  if (*prop == "General_Category") {
    std::optional<std::string_view> canon = CanonicalGencat(value_norm);
    if (!canon) return std::unexpected(PropertyError::kValueNotFound);
    return Gencat(*canon);
  }
  // The other properties \p{name=value} knows: their value aliases and sets.
  struct ValueTable {
    std::string_view prop;
    std::span<const Alias> (*aliases)();
    std::span<const NamedSet> (*sets)();
  };
  static constexpr ValueTable kTables[] = {
      {"Script", unicode::ValueAliases_sc, unicode::Table_sc},
      {"Script_Extensions", unicode::ValueAliases_sc, unicode::Table_scx},
      {"Grapheme_Cluster_Break", unicode::ValueAliases_GCB, unicode::Table_gcb},
      {"Word_Break", unicode::ValueAliases_WB, unicode::Table_wb},
      {"Sentence_Break", unicode::ValueAliases_SB, unicode::Table_sb},
      {"Age", unicode::ValueAliases_age, unicode::Table_age},
  };
  const ValueTable* table =
      std::ranges::find(kTables, *prop, &ValueTable::prop);
  if (table == std::end(kTables)) {
    return std::unexpected(PropertyError::kValueNotFound);
  }
  std::optional<std::string_view> canon =
      FindAlias(table->aliases(), value_norm);
  if (!canon) return std::unexpected(PropertyError::kValueNotFound);
  if (*prop != "Age") {
    return FromTable(table->sets(), *canon, PropertyError::kValueNotFound);
  }
  // Ages accumulate: \p{age=3.0} is everything assigned up to 3.0.
  CharSet set;
  for (const NamedSet& age : table->sets()) {
    set.Union(CharSet(age.ranges));
    if (age.name == *canon) return set;
  }
  return std::unexpected(PropertyError::kValueNotFound);
}

}  // namespace

bool IsWhiteSpace(char32_t c) {
  if (c < 0x80) return c == ' ' || (c >= '\t' && c <= '\r');
  return PerlSpace().Contains(c);
}

bool IsAlphabetic(char32_t c) {
  static const CharSet kAlpha(*FindSet(unicode::Table_bool(), "Alphabetic"));
  return kAlpha.Contains(c);
}

bool IsAlphanumeric(char32_t c) {
  static const CharSet kNumber(*FindSet(unicode::Table_gc(), "Number"));
  return IsAlphabetic(c) || kNumber.Contains(c);
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

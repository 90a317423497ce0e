// The Unicode data the query syntax needs, generated from the Unicode Character
// Database by scripts/gen_unicode_tables.py: sets of code points by property
// and value, simple case-folding orbits, and the alias tables that resolve
// loose property names. Immutable static data; thread-safe.
#pragma once

#include <span>
#include <string_view>

namespace tolvane::unicode {

// Unicode version of the tables ("15.0.0").
extern const char kUnicodeVersion[];

struct Range {
  char32_t lo;
  char32_t hi;
  bool operator==(const Range&) const = default;
};

// A named set of code points as sorted, disjoint, non-adjacent ranges.
struct NamedSet {
  std::string_view name;
  std::span<const Range> ranges;
};

// Normalised alias (see the loose-matching rule) -> canonical name.
struct Alias {
  std::string_view alias;
  std::string_view canonical;
};

// One member of a simple case-folding orbit and the next member of its cycle.
struct FoldPair {
  char32_t c;
  char32_t next;
};

// Tables sorted by name (ages in version order instead). gc holds every general
// category by its long name plus the groups (Letter, Cased_Letter, ...); sc and
// scx the scripts; bool the boolean properties; perl the Unicode word class.
std::span<const NamedSet> Table_age();
std::span<const NamedSet> Table_bool();
std::span<const NamedSet> Table_gc();
std::span<const NamedSet> Table_gcb();
std::span<const NamedSet> Table_perl();
std::span<const NamedSet> Table_sb();
std::span<const NamedSet> Table_sc();
std::span<const NamedSet> Table_scx();
std::span<const NamedSet> Table_wb();

// Sorted by code point.
std::span<const FoldPair> FoldTable();

// Sorted by alias.
std::span<const Alias> PropertyNameAliases();
std::span<const Alias> ValueAliases_gc();
std::span<const Alias> ValueAliases_sc();
std::span<const Alias> ValueAliases_age();
std::span<const Alias> ValueAliases_GCB();
std::span<const Alias> ValueAliases_WB();
std::span<const Alias> ValueAliases_SB();

}  // namespace tolvane::unicode

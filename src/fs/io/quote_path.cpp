#include "fs/io/quote_path.h"

#include <algorithm>
#include <cstdint>
#include <iterator>

#include "fs/utf8/utf8.h"

namespace tolvane::io {
namespace {

struct Range {
  char32_t first;
  char32_t last;
};

// Categories Cc, Cf, Zs (but the blank), Zl, Zp and Co, the noncharacters, and
// the large unassigned stretches of planes 3 to 16. Sorted, disjoint.
constexpr Range kNotPrintable[] = {
    {0x0, 0x1F},        {0x7F, 0xA0},       {0xAD, 0xAD},
    {0x600, 0x605},     {0x61C, 0x61C},     {0x6DD, 0x6DD},
    {0x70F, 0x70F},     {0x890, 0x891},     {0x8E2, 0x8E2},
    {0x1680, 0x1680},   {0x180E, 0x180E},   {0x2000, 0x200F},
    {0x2028, 0x202F},   {0x205F, 0x206F},   {0x3000, 0x3000},
    {0xE000, 0xF8FF},   {0xFDD0, 0xFDEF},   {0xFEFF, 0xFEFF},
    {0xFFF0, 0xFFFB},   {0xFFFE, 0xFFFF},   {0x110BD, 0x110BD},
    {0x110CD, 0x110CD}, {0x13430, 0x1343F}, {0x1BCA0, 0x1BCA3},
    {0x1D173, 0x1D17A}, {0x323B0, 0xE00FF}, {0xE01F0, 0x10FFFF},
};

// Grapheme_Extend in the common blocks: combining diacritics, Cyrillic, Hebrew,
// Arabic, Devanagari and Thai marks, ZWNJ, combining marks for symbols,
// ideographic and kana marks, variation selectors, half-width kana marks, tags.
// Sorted, disjoint.
constexpr Range kGraphemeExtend[] = {
    {0x300, 0x36F},   {0x483, 0x489},     {0x591, 0x5BD},     {0x5BF, 0x5BF},
    {0x5C1, 0x5C2},   {0x5C4, 0x5C5},     {0x5C7, 0x5C7},     {0x610, 0x61A},
    {0x64B, 0x65F},   {0x670, 0x670},     {0x6D6, 0x6DC},     {0x6DF, 0x6E4},
    {0x6E7, 0x6E8},   {0x6EA, 0x6ED},     {0x900, 0x902},     {0x93A, 0x93A},
    {0x93C, 0x93C},   {0x941, 0x948},     {0x94D, 0x94D},     {0x951, 0x957},
    {0x962, 0x963},   {0xE31, 0xE31},     {0xE34, 0xE3A},     {0xE47, 0xE4E},
    {0x1AB0, 0x1ACE}, {0x1DC0, 0x1DFF},   {0x200C, 0x200C},   {0x20D0, 0x20F0},
    {0x302A, 0x302F}, {0x3099, 0x309A},   {0xFE00, 0xFE0F},   {0xFE20, 0xFE2F},
    {0xFF9E, 0xFF9F}, {0xE0020, 0xE007F}, {0xE0100, 0xE01EF},
};

template <size_t N>
bool InTable(const Range (&table)[N], char32_t c) {
  auto it = std::upper_bound(
      std::begin(table), std::end(table), c,
      [](char32_t value, const Range& r) { return value < r.first; });
  return it != std::begin(table) && c <= std::prev(it)->last;
}

void AppendHex(std::string& out, uint32_t value, bool upper, int min_digits) {
  const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  std::string hex;
  do {
    hex.insert(hex.begin(), digits[value & 0xF]);
    value >>= 4;
  } while (value != 0 || static_cast<int>(hex.size()) < min_digits);
  out += hex;
}

void AppendChar(std::string& out, std::string_view bytes, char32_t c) {
  switch (c) {
    case U'\0':
      out += "\\0";
      return;
    case U'\t':
      out += "\\t";
      return;
    case U'\r':
      out += "\\r";
      return;
    case U'\n':
      out += "\\n";
      return;
    case U'\\':
      out += "\\\\";
      return;
    case U'"':
      out += "\\\"";
      return;
    case U'\'':
      out += "\\'";
      return;
    default:
      break;
  }
  if (InTable(kGraphemeExtend, c) || InTable(kNotPrintable, c)) {
    out += "\\u{";
    AppendHex(out, c, /*upper=*/false, 1);
    out += '}';
    return;
  }
  out += bytes;
}

}  // namespace

std::string QuotePath(std::string_view path) {
  std::string out = "\"";
  for (size_t i = 0; i < path.size();) {
    const Utf8Char c = DecodeUtf8At(path, i);
    if (c.ok()) {
      AppendChar(out, path.substr(i, c.len), c.code_point);
    } else {
      // Each byte of the ill-formed subpart (all the rest when the path ends
      // inside a character).
      for (int k = 0; k < c.len; ++k) {
        out += "\\x";
        AppendHex(out, static_cast<unsigned char>(path[i + k]), /*upper=*/true,
                  2);
      }
    }
    i += c.len;
  }
  out += '"';
  return out;
}

}  // namespace tolvane::io

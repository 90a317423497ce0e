// Debug quoting of a native path, as the temporary-file errors of the atomic
// write show it: the path between double quotes, with escapes for control,
// invisible and combining characters and for bytes that aren't UTF-8. Pure
// function; thread-safe.
#pragma once

#include <string>
#include <string_view>

namespace tolvane::io {

// "\"" + path + "\"" where \t \r \n \0 \\ \" \' are escaped by a backslash;
// characters that are not printable (controls, separators other than the blank,
// format characters, private use and the noncharacter and unassigned ranges of
// the table) and Grapheme_Extend characters (combining marks of the common
// blocks, ZWNJ, variation selectors, tags) as \u{hex}; each byte that is not
// part of valid UTF-8 as \xNN with upper-case digits.
std::string QuotePath(std::string_view path);

}  // namespace tolvane::io

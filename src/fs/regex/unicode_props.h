// Unicode classes of the query syntax: the Perl classes, the properties behind
// `\p{...}` resolved by the syntax's loose-matching rule, and the character
// predicates the parser needs. Reads the generated tables; thread-safe.
#pragma once

#include <expected>

#include "fs/regex/char_set.h"
#include "fs/regex/regex_ast.h"

namespace tolvane::regex {

bool IsWhiteSpace(char32_t c);
bool IsAlphabetic(char32_t c);
// Alphabetic or a number (general category N).
bool IsAlphanumeric(char32_t c);

// Unicode `\w`, `\s`, `\d`.
const CharSet& PerlWord();
const CharSet& PerlSpace();
const CharSet& PerlDigit();

enum class PropertyError { kPropertyNotFound, kValueNotFound };

// The set that `\p{...}` names (not negated, not case-folded).
std::expected<CharSet, PropertyError> ResolveUnicodeClass(
    const UnicodeQuery& query);

}  // namespace tolvane::regex

// UTF-8 validation with the decoder's error texts, lossy conversion of native
// byte strings (paths) into UTF-8 text, and cuts at character boundaries. Pure
// functions; thread-safe.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace tolvane {

struct Utf8Error {
  size_t valid_up_to;  // bytes before this position are valid
  int error_len;  // 1..3: length of the maximal ill-formed subpart; 0: input
                  // ends mid-character
};

// nullopt when `bytes` is valid UTF-8.
std::optional<Utf8Error> ValidateUtf8(std::string_view bytes);
inline bool IsUtf8(std::string_view bytes) {
  return !ValidateUtf8(bytes).has_value();
}

// "invalid utf-8 sequence of N bytes from index I" or "incomplete utf-8 byte
// sequence from index I".
std::string Utf8ErrorText(const Utf8Error& error);

// A copy when valid; otherwise each maximal ill-formed subpart replaced by
// U+FFFD.
std::string ToUtf8Lossy(std::string_view bytes);

// Appends the UTF-8 encoding of the scalar value `c`.
void AppendUtf8(std::string& out, char32_t c);

// The scalar values of valid UTF-8 text.
std::u32string DecodeUtf8(std::string_view text);

// Number of Unicode scalar values in valid UTF-8 text.
size_t CountChars(std::string_view text);

// The longest prefix of `text` of at most `max_bytes` bytes that ends on a
// character boundary: `text` itself when it fits, else cut before the character
// that straddles `max_bytes`.
std::string_view PrefixAtCharBoundary(std::string_view text, size_t max_bytes);

}  // namespace tolvane

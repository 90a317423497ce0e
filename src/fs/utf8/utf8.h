// The one UTF-8 decoder of the core: the character at a position, UTF-8
// validation with the decoder's error texts, lossy conversion of native byte
// strings (paths) into UTF-8 text, and cuts at character boundaries. Pure
// functions; thread-safe.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace tolvane {

// What the bytes at one position hold: a well-formed character, or the maximal
// ill-formed subpart there.
struct Utf8Char {
  enum Status : unsigned char {
    kWellFormed,
    kIllFormed,
    // Ill-formed only because the input ends inside a character; `len` then
    // reaches the end.
    kTruncated,
  };

  Status status;
  int len;  // 1..4: the character's bytes; 1..3: the ill-formed subpart's
  char32_t code_point;  // the scalar value when well-formed, else 0

  bool ok() const { return status == kWellFormed; }
};

// Decodes at `pos` (< bytes.size()) by the Unicode table of well-formed byte
// sequences: no overlong forms, no surrogates, nothing above U+10FFFF. Inline
// so that callers which only need the length pay nothing for the value.
inline Utf8Char DecodeUtf8At(std::string_view bytes, size_t pos) {
  const auto* s = reinterpret_cast<const unsigned char*>(bytes.data()) + pos;
  const size_t left = bytes.size() - pos;
  const unsigned char b = s[0];
  if (b < 0x80) return {Utf8Char::kWellFormed, 1, b};
  int width;
  char32_t c;
  unsigned char lo = 0x80, hi = 0xBF;  // bounds of the second byte
  if (b >= 0xC2 && b <= 0xDF) {
    width = 2;
    c = b & 0x1F;
  } else if (b >= 0xE0 && b <= 0xEF) {
    width = 3;
    c = b & 0x0F;
    if (b == 0xE0) lo = 0xA0;
    if (b == 0xED) hi = 0x9F;
  } else if (b >= 0xF0 && b <= 0xF4) {
    width = 4;
    c = b & 0x07;
    if (b == 0xF0) lo = 0x90;
    if (b == 0xF4) hi = 0x8F;
  } else {
    return {Utf8Char::kIllFormed, 1, 0};
  }
  for (int k = 1; k < width; ++k) {
    if (static_cast<size_t>(k) >= left) {
      return {Utf8Char::kTruncated, k, 0};
    }
    const unsigned char t = s[k];
    if (k == 1 ? (t < lo || t > hi) : (t < 0x80 || t > 0xBF)) {
      return {Utf8Char::kIllFormed, k, 0};
    }
    c = (c << 6) | (t & 0x3F);
  }
  return {Utf8Char::kWellFormed, width, c};
}

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

// U+FFFD REPLACEMENT CHARACTER, encoded.
inline constexpr std::string_view kUtf8Replacement = "\xEF\xBF\xBD";

// A copy when valid; otherwise each maximal ill-formed subpart replaced by
// U+FFFD.
std::string ToUtf8Lossy(std::string_view bytes);

// The length of the well-formed character at byte `i` of `bytes`; 1 where no
// well-formed character begins.
size_t CharWidthAt(std::string_view bytes, size_t i);

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

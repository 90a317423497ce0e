#include "fs/utf8/utf8.h"

#include <cstdint>
#include <cstring>

namespace tolvane {

std::optional<Utf8Error> ValidateUtf8(std::string_view bytes) {
  const auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
  size_t n = bytes.size();
  size_t i = 0;
  while (i < n) {
    // ASCII fast path: 32 bytes, then 8 bytes at a time.
    constexpr uint64_t kHighBits = 0x8080808080808080ULL;
    while (i + 32 <= n) {
      uint64_t w[4];
      std::memcpy(w, s + i, 32);
      if ((w[0] | w[1] | w[2] | w[3]) & kHighBits) break;
      i += 32;
    }
    while (i + 8 <= n) {
      uint64_t word;
      std::memcpy(&word, s + i, 8);
      if (word & kHighBits) break;
      i += 8;
    }
    if (i >= n) break;
    const Utf8Char c = DecodeUtf8At(bytes, i);
    if (!c.ok()) {
      return Utf8Error{i, c.status == Utf8Char::kTruncated ? 0 : c.len};
    }
    i += c.len;
  }
  return std::nullopt;
}

std::string Utf8ErrorText(const Utf8Error& error) {
  if (error.error_len == 0) {
    return "incomplete utf-8 byte sequence from index " +
           std::to_string(error.valid_up_to);
  }
  return "invalid utf-8 sequence of " + std::to_string(error.error_len) +
         " bytes from index " + std::to_string(error.valid_up_to);
}

std::string ToUtf8Lossy(std::string_view bytes) {
  if (IsUtf8(bytes)) return std::string(bytes);
  std::string out;
  out.reserve(bytes.size() + 8);
  for (size_t i = 0; i < bytes.size();) {
    const Utf8Char c = DecodeUtf8At(bytes, i);
    out += c.ok() ? bytes.substr(i, c.len) : kUtf8Replacement;
    i += c.len;
  }
  return out;
}

size_t CharWidthAt(std::string_view bytes, size_t i) {
  const Utf8Char c = DecodeUtf8At(bytes, i);
  return c.ok() ? static_cast<size_t>(c.len) : 1;
}

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

std::u32string DecodeUtf8(std::string_view text) {
  std::u32string chars;
  chars.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    const Utf8Char c = DecodeUtf8At(text, i);
    chars += c.ok() ? c.code_point : U'\uFFFD';
    i += static_cast<size_t>(c.len);
  }
  return chars;
}

size_t CountChars(std::string_view text) {
  size_t count = 0;
  for (unsigned char c : text) count += (c & 0xC0) != 0x80;
  return count;
}

std::string_view PrefixAtCharBoundary(std::string_view text, size_t max_bytes) {
  if (text.size() <= max_bytes) return text;
  size_t cut = max_bytes;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) {
    --cut;
  }
  return text.substr(0, cut);
}

}  // namespace tolvane

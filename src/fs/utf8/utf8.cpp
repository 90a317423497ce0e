#include "fs/utf8/utf8.h"

#include <cstdint>
#include <cstring>

namespace tolvane {
namespace {

// Length of the well-formed character at `i`, or the Utf8Error for it
// (error_len 0: truncated). Follows the Unicode table of well-formed byte
// sequences (no overlongs, no surrogates).
inline int CharAt(const unsigned char* s, size_t n, size_t i,
                  Utf8Error* error) {
  unsigned char b = s[i];
  int width;
  unsigned char lo = 0x80, hi = 0xBF;
  if (b < 0x80) return 1;
  if (b >= 0xC2 && b <= 0xDF) {
    width = 2;
  } else if (b >= 0xE0 && b <= 0xEF) {
    width = 3;
    if (b == 0xE0) lo = 0xA0;
    if (b == 0xED) hi = 0x9F;
  } else if (b >= 0xF0 && b <= 0xF4) {
    width = 4;
    if (b == 0xF0) lo = 0x90;
    if (b == 0xF4) hi = 0x8F;
  } else {
    *error = {i, 1};
    return -1;
  }
  for (int k = 1; k < width; ++k) {
    if (i + k >= n) {
      *error = {i, 0};
      return -1;
    }
    unsigned char c = s[i + k];
    bool ok = k == 1 ? (c >= lo && c <= hi) : (c >= 0x80 && c <= 0xBF);
    if (!ok) {
      *error = {i, k};
      return -1;
    }
  }
  return width;
}

}  // namespace

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
    Utf8Error error;
    int width = CharAt(s, n, i, &error);
    if (width < 0) return error;
    i += width;
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
  const auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
  size_t n = bytes.size();
  std::string out;
  out.reserve(n + 8);
  size_t i = 0;
  while (i < n) {
    Utf8Error error;
    int width = CharAt(s, n, i, &error);
    if (width > 0) {
      out.append(bytes.data() + i, width);
      i += width;
      continue;
    }
    out += "\xEF\xBF\xBD";
    i += error.error_len == 0 ? n - i : error.error_len;
  }
  return out;
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
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  size_t i = 0;
  while (i < text.size()) {
    unsigned char b = s[i];
    int width = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
    char32_t c = width == 1 ? b : b & (0x7F >> width);
    for (int k = 1; k < width && i + k < text.size(); ++k) {
      c = (c << 6) | (s[i + k] & 0x3F);
    }
    chars += c;
    i += width;
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

// The UTF-8 decoder against a plain one written from the definition: a
// sequence is well-formed when its value fits its length (no overlong form), is
// no surrogate and is at most U+10FFFF; an ill-formed one is replaced by its
// maximal subpart, the longest prefix that some well-formed sequence begins
// with.
#include <algorithm>
#include <optional>
#include <string>

#include "fs/utf8/utf8.h"
#include "fuzz_check.h"

using namespace tolvane;

namespace {

struct Decoded {
  bool ok;
  bool truncated;  // ill-formed only because the input ends
  size_t len;
  char32_t value;
};

// Whether the `k` bytes at `s` begin a well-formed sequence of `n` bytes.
bool Begins(const unsigned char* s, size_t k, size_t n) {
  char32_t lo = s[0] & (0x7F >> n), hi = lo;
  for (size_t i = 1; i < n; ++i) {
    if (i < k && (s[i] & 0xC0) != 0x80) return false;
    lo = (lo << 6) | (i < k ? s[i] & 0x3F : 0);
    hi = (hi << 6) | (i < k ? s[i] & 0x3F : 0x3F);
  }
  static constexpr char32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
  return hi >= kMin[n] && lo <= 0x10FFFF && !(lo >= 0xD800 && hi <= 0xDFFF);
}

Decoded Decode(const unsigned char* s, size_t left) {
  if (s[0] < 0x80) return {true, false, 1, s[0]};
  const size_t n = s[0] < 0xC0   ? 0
                   : s[0] < 0xE0 ? 2
                   : s[0] < 0xF0 ? 3
                   : s[0] < 0xF8 ? 4
                                 : 0;
  size_t k = 0;
  while (n != 0 && k < std::min(n, left) && Begins(s, k + 1, n)) ++k;
  if (n != 0 && k == n) {
    char32_t value = s[0] & (0x7F >> n);
    for (size_t i = 1; i < n; ++i) value = (value << 6) | (s[i] & 0x3F);
    return {true, false, n, value};
  }
  return {false, k > 0 && k == left, std::max<size_t>(k, 1), 0};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text = FuzzText(data, size);
  std::string lossy;
  std::u32string chars;
  std::optional<Utf8Error> first;
  for (size_t i = 0; i < size;) {
    const Decoded d = Decode(data + i, size - i);
    const Utf8Char c = DecodeUtf8At(text, i);
    FUZZ_CHECK(c.ok() == d.ok && static_cast<size_t>(c.len) == d.len);
    FUZZ_CHECK(c.code_point == d.value &&
               CharWidthAt(text, i) == (d.ok ? d.len : 1));
    FUZZ_CHECK((c.status == Utf8Char::kTruncated) == d.truncated);
    if (!d.ok && !first) first = Utf8Error{i, d.truncated ? 0 : int(d.len)};
    if (d.ok) AppendUtf8(lossy, d.value);
    if (!d.ok) lossy += "\xEF\xBF\xBD";
    chars += d.ok ? d.value : U'\uFFFD';
    i += d.len;
  }
  const std::optional<Utf8Error> error = ValidateUtf8(text);
  FUZZ_CHECK(error.has_value() == first.has_value() && IsUtf8(text) == !first);
  if (error) {
    FUZZ_CHECK(error->valid_up_to == first->valid_up_to);
    FUZZ_CHECK(error->error_len == first->error_len);
  }
  FUZZ_CHECK(ToUtf8Lossy(text) == lossy);
  FUZZ_CHECK(DecodeUtf8(text) == chars);
  if (!error) {
    FUZZ_CHECK(CountChars(text) == chars.size());
    for (size_t max = 0; max <= size; ++max) {
      const std::string_view prefix = PrefixAtCharBoundary(text, max);
      const size_t n = prefix.size();
      FUZZ_CHECK(prefix.data() == text.data() && n <= max);
      FUZZ_CHECK(n == size || (data[n] & 0xC0) != 0x80);
      FUZZ_CHECK(n == max ||
                 (n < size && n + Decode(data + n, size - n).len > max));
    }
  }
  return 0;
}

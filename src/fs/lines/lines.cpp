#include "fs/lines/lines.h"

#include <algorithm>
#include <cstring>

namespace tolvane {

uint64_t CountNewlines(std::string_view bytes) {
  // Byte-wide counters over 32 lanes, folded before they can overflow, so that
  // the compiler vectorises the comparison.
  constexpr size_t kLanes = 32;
  constexpr size_t kFold = 255 * kLanes;
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const size_t n = bytes.size();
  uint64_t total = 0;
  size_t i = 0;
  while (i + kLanes <= n) {
    const size_t end = i + std::min(kFold, (n - i) / kLanes * kLanes);
    unsigned char lanes[kLanes] = {};
    for (; i < end; i += kLanes) {
      for (size_t k = 0; k < kLanes; ++k) lanes[k] += p[i + k] == '\n';
    }
    for (unsigned char lane : lanes) total += lane;
  }
  for (; i < n; ++i) total += p[i] == '\n';
  return total;
}

LineSpan LineFrom(std::string_view text, size_t start) {
  const void* found =
      std::memchr(text.data() + start, '\n', text.size() - start);
  if (found == nullptr) return {text.size(), text.size()};
  size_t newline = static_cast<const char*>(found) - text.data();
  size_t end =
      newline > start && text[newline - 1] == '\r' ? newline - 1 : newline;
  return {end, newline + 1};
}

size_t LineStartOf(std::string_view text, size_t at) {
  const void* found = at == 0 ? nullptr : ::memrchr(text.data(), '\n', at);
  return found == nullptr ? 0
                          : static_cast<const char*>(found) - text.data() + 1;
}

}  // namespace tolvane

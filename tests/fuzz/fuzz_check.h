// What the fuzz targets share: FUZZ_CHECK, which stops the run with a trap when
// two roads disagree, so that libFuzzer keeps the input as a crash; and the
// input's lines, split on "\n" alone.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string_view>
#include <vector>

#define FUZZ_CHECK(cond)                                                    \
  do {                                                                      \
    if (!(cond)) {                                                          \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, \
                   #cond);                                                  \
      __builtin_trap();                                                     \
    }                                                                       \
  } while (0)

inline std::string_view FuzzText(const uint8_t* data, size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

// Every piece between "\n" bytes, the last one too (empty after a final "\n").
inline std::vector<std::string_view> SplitNewlines(std::string_view text) {
  std::vector<std::string_view> pieces;
  for (size_t end; (end = text.find('\n')) != std::string_view::npos;) {
    pieces.push_back(text.substr(0, end));
    text.remove_prefix(end + 1);
  }
  pieces.push_back(text);
  return pieces;
}

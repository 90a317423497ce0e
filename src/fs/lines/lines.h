// The line rule that the line reader and the search share: a line ends at
// "\n", which with one "\r" right before it is no part of the line; a "\r"
// elsewhere stays; text after the last "\n" is a line when it is not empty.
// Pure functions over byte views; thread-safe.
#pragma once

#include <cstdint>
#include <string_view>

namespace tolvane {

// Number of "\n" bytes in `bytes`, at memory speed.
uint64_t CountNewlines(std::string_view bytes);

// Where the line that starts at `start` of `text` ends: `end` its content's end
// (before "\r\n" or "\n", or the text's end), `next` the start of the next
// line (text.size() when there is none).
struct LineSpan {
  size_t end;
  size_t next;
};
LineSpan LineFrom(std::string_view text, size_t start);

// The start of the line holding byte `at` of `text`.
size_t LineStartOf(std::string_view text, size_t at);

}  // namespace tolvane

// LineMatcher: the exact matcher of a translated query over one line, a
// Thompson NFA simulated in lock step (time linear in the line, no
// backtracking). It decides the assertions RE2 can't express exactly (Unicode
// word boundaries, CRLF line anchors), confirming the lines that the relaxed
// RE2 pattern selects; the tests use it as their reference. Immutable after
// construction; any number of threads may match at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "fs/regex/regex_hir.h"

namespace tolvane::regex {

class LineMatcher {
 public:
  explicit LineMatcher(std::shared_ptr<const Hir> hir);

  // Whether the query matches in `line` (valid UTF-8, no "\n") from byte
  // `from` on (a character boundary): a match that begins there or later; the
  // character before it still counts for the assertions. Memory: the
  // program's thread lists, whatever the line's length.
  bool Matches(std::string_view line, size_t from = 0) const;

 private:
  enum class Op : uint8_t { kClass, kSplit, kLook, kMatch };
  struct Inst {
    Op op;
    Look look;
    uint32_t x;
    uint32_t y;
    const CharSet* set;
  };
  uint32_t Emit(Inst inst);
  // Compiles `h`; returns its entry, and patches every dangling exit to `next`.
  uint32_t Compile(const Hir& h, uint32_t next);

  std::shared_ptr<const Hir> hir_;
  std::vector<Inst> prog_;
  uint32_t start_ = 0;
};

}  // namespace tolvane::regex

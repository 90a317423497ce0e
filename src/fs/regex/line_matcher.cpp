#include "fs/regex/line_matcher.h"

#include <utility>

#include "fs/sys/thread.h"
#include "fs/utf8/utf8.h"

namespace tolvane::regex {

LineMatcher::LineMatcher(std::shared_ptr<const Hir> hir)
    : hir_(std::move(hir)) {
  uint32_t match = Emit({Op::kMatch, Look::kStart, 0, 0, nullptr});
  start_ = Compile(*hir_, match);
}

uint32_t LineMatcher::Emit(Inst inst) {
  prog_.push_back(inst);
  return static_cast<uint32_t>(prog_.size() - 1);
}

// Built back to front: each piece knows its continuation, so no patching.
uint32_t LineMatcher::Compile(const Hir& h, uint32_t next) {
  switch (h.kind) {
    case Hir::Kind::kEmpty:
      return next;
    case Hir::Kind::kClass:
      return Emit({Op::kClass, Look::kStart, next, 0, &h.set});
    case Hir::Kind::kLook:
      return Emit({Op::kLook, h.look, next, 0, nullptr});
    case Hir::Kind::kConcat:
      for (auto it = h.subs.rbegin(); it != h.subs.rend(); ++it) {
        next = Compile(*it, next);
      }
      return next;
    case Hir::Kind::kAlt: {
      uint32_t entry = Compile(h.subs.back(), next);
      for (size_t i = h.subs.size() - 1; i-- > 0;) {
        uint32_t branch = Compile(h.subs[i], next);
        entry = Emit({Op::kSplit, Look::kStart, branch, entry, nullptr});
      }
      return entry;
    }
    case Hir::Kind::kRepeat: {
      const Hir& sub = h.subs[0];
      uint32_t copies = h.min;
      if (h.max == kUnbounded) {
        // sub* : a split that loops back through sub. sub+ enters the same
        // loop through its body, so that nested `+` don't double the program
        // at every level.
        uint32_t loop = Emit({Op::kSplit, Look::kStart, 0, next, nullptr});
        uint32_t body = Compile(sub, loop);
        prog_[loop].x = body;
        next = copies == 0 ? loop : body;
        if (copies > 0) --copies;
      } else {
        for (uint32_t i = h.min; i < h.max; ++i) {
          uint32_t body = Compile(sub, next);
          next = Emit({Op::kSplit, Look::kStart, body, next, nullptr});
        }
      }
      for (uint32_t i = 0; i < copies; ++i) next = Compile(sub, next);
      return next;
    }
  }
  return next;
}

namespace {

// The character that ends at byte `at` of `line`, -1 at its start; U+FFFD
// where no well-formed character ends there.
int32_t CharBefore(std::string_view line, size_t at) {
  if (at == 0) return -1;
  const size_t lead = PrefixAtCharBoundary(line, at - 1).size();
  const Utf8Char c = DecodeUtf8At(line, lead);
  return c.ok() && lead + c.len == at ? static_cast<int32_t>(c.code_point)
                                      : 0xFFFD;
}

}  // namespace

// The line is decoded a character at a time as the simulation steps over it:
// the matcher holds the program's thread lists, never a decoded copy of the
// line.
bool LineMatcher::Matches(std::string_view line, size_t from) const {
  // Scratch kept per thread: a visit mark per instruction, compared with a
  // generation that only grows, so no clearing between positions or lines.
  auto& thread_mark = sys::OnEachThread<std::vector<uint64_t>, LineMatcher>();
  thread_local uint64_t thread_generation = 0;
  if (thread_mark.size() < prog_.size()) {
    thread_mark.assign(prog_.size(), 0);
    thread_generation = 0;
  }
  // Held in locals while the line is stepped over. The generations the line
  // can use (one a position) are taken at once, so that a failure part way
  // leaves no mark that the next line could take for its own.
  uint64_t* const mark = thread_mark.data();
  uint64_t generation = thread_generation;
  thread_generation += line.size() - from + 2;
  std::vector<uint32_t> current, following, stack;
  // Adds the closure of `pc` between the characters `before` and `after` (-1
  // beyond the line's ends) to `list`.
  auto add = [&](std::vector<uint32_t>& list, uint32_t pc, int32_t before,
                 int32_t after) -> bool {
    stack.push_back(pc);
    while (!stack.empty()) {
      uint32_t p = stack.back();
      stack.pop_back();
      if (mark[p] == generation) continue;
      mark[p] = generation;
      const Inst& inst = prog_[p];
      switch (inst.op) {
        case Op::kMatch:
          stack.clear();
          return true;
        case Op::kClass:
          list.push_back(p);
          break;
        case Op::kSplit:
          stack.push_back(inst.y);
          stack.push_back(inst.x);
          break;
        case Op::kLook:
          if (LookHolds(inst.look, before, after)) stack.push_back(inst.x);
          break;
      }
    }
    return false;
  };
  // The character at byte `at`, -1 at the end, and its length.
  auto decode = [&](size_t at, size_t* len) -> int32_t {
    if (at == line.size()) return -1;
    const Utf8Char c = DecodeUtf8At(line, at);
    *len = static_cast<size_t>(c.len);
    return c.ok() ? static_cast<int32_t>(c.code_point) : 0xFFFD;
  };
  size_t at = from, len = 0;
  int32_t before = CharBefore(line, from);
  int32_t c = decode(at, &len);
  ++generation;  // the marks of the first position
  for (;;) {
    if (add(current, start_, before, c)) return true;
    if (c < 0) return false;
    at += len;
    const int32_t next = decode(at, &len);
    following.clear();
    ++generation;  // the marks of the next position
    for (uint32_t pc : current) {
      const Inst& inst = prog_[pc];
      if (inst.set->Contains(static_cast<char32_t>(c)) &&
          add(following, inst.x, c, next)) {
        return true;
      }
    }
    std::swap(current, following);
    before = c;
    c = next;
  }
}

}  // namespace tolvane::regex

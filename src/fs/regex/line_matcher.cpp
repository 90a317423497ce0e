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

bool LineMatcher::Matches(std::string_view line) const {
  std::u32string chars = DecodeUtf8(line);
  // Scratch kept per thread: a visit mark per instruction, compared with a
  // generation that only grows, so no clearing between positions or lines.
  auto& mark = sys::OnEachThread<std::vector<uint64_t>, LineMatcher>();
  thread_local uint64_t generation = 0;
  if (mark.size() < prog_.size()) {
    mark.assign(prog_.size(), 0);
    generation = 0;
  }
  std::vector<uint32_t> current, following, stack;
  // Adds the closure of `pc` at position `i` to `list`.
  auto add = [&](std::vector<uint32_t>& list, uint32_t pc, size_t i) -> bool {
    int32_t before = i == 0 ? -1 : static_cast<int32_t>(chars[i - 1]);
    int32_t after = i < chars.size() ? static_cast<int32_t>(chars[i]) : -1;
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
  ++generation;  // the marks of position 0
  for (size_t i = 0;; ++i) {
    if (add(current, start_, i)) return true;
    if (i == chars.size()) return false;
    following.clear();
    char32_t c = chars[i];
    ++generation;  // the marks of position i + 1
    for (uint32_t pc : current) {
      const Inst& inst = prog_[pc];
      if (inst.set->Contains(c) && add(following, inst.x, i + 1)) return true;
    }
    std::swap(current, following);
  }
}

}  // namespace tolvane::regex

#include "fs/regex/size_estimate.h"

#include <algorithm>

namespace tolvane::regex {
namespace {

constexpr uint64_t kCap = uint64_t{1} << 60;

uint64_t Mul(uint64_t a, uint64_t b) {
  if (a != 0 && b > kCap / a) return kCap;
  return std::min(a * b, kCap);
}
uint64_t Add(uint64_t a, uint64_t b) { return std::min(a + b, kCap); }

uint64_t ClassCost(const CharSet& set) { return 32 + 16 * set.ranges().size(); }

uint64_t Cost(const Hir& h) {
  switch (h.kind) {
    case Hir::Kind::kEmpty:
      return 0;
    case Hir::Kind::kClass:
      return ClassCost(h.set);
    case Hir::Kind::kLook:
      return 16;
    case Hir::Kind::kConcat:
    case Hir::Kind::kAlt: {
      uint64_t total = 0;
      for (const Hir& sub : h.subs) total = Add(total, Add(Cost(sub), 8));
      return total;
    }
    case Hir::Kind::kRepeat: {
      uint64_t sub = Cost(h.subs[0]);
      uint64_t count =
          h.max == kUnbounded ? std::max<uint64_t>(h.min, 1) : h.max;
      return Mul(Add(sub, 8), count);
    }
  }
  return 0;
}

}  // namespace

uint64_t EstimateCompiledSize(const Hir& hir) { return Cost(hir); }

}  // namespace tolvane::regex

// The compiled-size limit of the query language. The reference measures the
// memory of its own compiled automata, which RE2 doesn't have; this estimate
// replays their construction (see EstimateCompiledSize) so that queries are
// refused where the reference refuses them.
#pragma once

#include <cstdint>

#include "fs/regex/regex_hir.h"

namespace tolvane::regex {

inline constexpr uint64_t kSizeLimit = 10485760;

// Bytes of the larger of the reference's two compiled programs for `hir`;
// once past kSizeLimit, only some number past it.
uint64_t EstimateCompiledSize(const Hir& hir);

}  // namespace tolvane::regex

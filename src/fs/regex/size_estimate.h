// The compiled-size limit of the query language. The reference measures the
// memory of its own compiled automata, which RE2 doesn't have; this estimate
// models it (see EstimateCompiledSize) so that queries are refused where the
// reference refuses them, up to the model's error near the limit.
#pragma once

#include <cstdint>

#include "fs/regex/regex_hir.h"

namespace tolvane::regex {

inline constexpr uint64_t kSizeLimit = 10485760;

// Estimated bytes of the reference's compiled program for `hir`; saturates
// rather than overflows.
uint64_t EstimateCompiledSize(const Hir& hir);

}  // namespace tolvane::regex

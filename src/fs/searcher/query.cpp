#include "fs/searcher/query.h"

namespace tolvane {

Result<SearchQuery> SearchQuery::Compile(std::string_view query,
                                         bool case_sensitive) {
  auto compiled = CompiledQuery::Compile(query, !case_sensitive);
  if (!compiled) return Fail(std::move(compiled.error()));
  // The pattern spells its case folding out: the prefilter reads it as is.
  auto prefilter = Prefilter::Compile(compiled->pattern(), true);
  return SearchQuery(std::move(*compiled), std::move(prefilter));
}

}  // namespace tolvane

#include "fs/searcher/query.h"

#include <string>

namespace tolvane {

Result<SearchQuery> SearchQuery::Compile(std::string_view query,
                                         bool case_sensitive) {
  RE2::Options options;
  options.set_case_sensitive(case_sensitive);
  options.set_max_mem(kQueryMaxMem);
  options.set_log_errors(false);
  auto re = std::make_shared<const RE2>(
      re2::StringPiece(query.data(), query.size()), options);
  if (re->ok()) {
    return SearchQuery(std::move(re),
                       Prefilter::Compile(query, case_sensitive));
  }
  if (re->error_code() == RE2::ErrorPatternTooLarge) {
    return Fail(FsError::Regex("Compiled regex exceeds size limit of " +
                               std::to_string(kQueryMaxMem) + " bytes."));
  }
  return Fail(FsError::Regex("regex parse error: " + re->error()));
}

}  // namespace tolvane

// Glob patterns from outside: every pattern compiles or fails with a Glob
// error, and a pattern answered by a literal shape answers every path derived
// from its literal as the general regex road does.
#include <string>

#include "fs/glob/glob.h"
#include "fs/glob/glob_syntax.h"
#include "fuzz_check.h"

using namespace tolvane;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view pattern = FuzzText(data, size);
  Result<TranslatedGlob> translated = TranslateGlob(pattern);
  Result<GlobMatcher> fast = GlobMatcher::Compile(pattern);
  Result<GlobMatcher> general = GlobMatcher::CompileGeneral(pattern);
  FUZZ_CHECK(translated.has_value() || !fast.has_value());
  if (!fast)
    FUZZ_CHECK(!general && fast.error().kind() == FsError::Kind::kGlob);
  if (!fast || !general || translated->shape == GlobShape::kRegex) return 0;

  const std::string& lit = translated->literal;
  const std::string paths[] = {
      "",
      "/",
      lit,
      "/" + lit,
      "a/" + lit,
      "ab" + lit,
      lit + "/",
      lit + "/b",
      lit + "x",
      "x" + lit + "y",
      "a/x" + lit + "/b",
      lit + lit,
      lit.empty() ? lit : lit.substr(1),
      lit.empty() ? lit : lit.substr(0, lit.size() - 1),
      lit + "\xff",
      "\xff/" + lit,
      std::string(pattern),
  };
  for (const std::string& path : paths)
    FUZZ_CHECK(fast->Matches(path) == general->Matches(path));
  return 0;
}

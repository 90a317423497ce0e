// Ignore files and git config files from outside. The indexed verdict of a
// file's rules equals the last matching rule found by a plain scan; a negation
// of one of its lines appended at the end whitelists exactly what that line
// matches and leaves every other verdict alone; the last core.excludesFile of a
// config text is the one appended last.
#include <algorithm>
#include <memory>
#include <optional>
#include <ranges>
#include <string>
#include <vector>

#include "fs/ignore/git_config.h"
#include "fs/ignore/ignore_rules.h"
#include "fuzz_check.h"

using namespace tolvane;

namespace {

IgnoreMatch Verdict(const std::shared_ptr<const IgnoreRules>& rules,
                    std::string_view path, bool is_dir) {
  return rules ? rules->Matched(path, is_dir) : IgnoreMatch::kNone;
}

bool RuleMatches(const IgnoreRule& rule, std::string_view path, bool is_dir) {
  const std::string_view name = path.substr(path.rfind('/') + 1);
  return (is_dir || !rule.dir_only()) &&
         rule.Matches(rule.basename() ? name : path);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view file = FuzzText(data, size);
  const auto rules = IgnoreRules::Parse(file);
  std::string_view text = file;
  if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);

  std::vector<IgnoreRule> plain;
  std::vector<std::string> paths = {"a", "a/b", "x/y/z"};
  for (std::string_view line : SplitNewlines(text)) {
    if (line.ends_with('\r')) line.remove_suffix(1);
    if (auto rule = IgnoreRule::Parse(line)) plain.push_back(*rule);
    if (paths.size() > 200) continue;
    std::string_view bare =
        line.substr(std::min(line.size(), line.find_first_not_of("!/")));
    paths.emplace_back(line);
    paths.emplace_back(bare);
    paths.push_back("d/" + std::string(bare));
    paths.push_back(std::string(bare) + "/e");
  }
  // The negation of the last line that holds a rule of its own.
  std::optional<IgnoreRule> last;
  std::shared_ptr<const IgnoreRules> negated;
  for (std::string_view piece : SplitNewlines(text) | std::views::reverse) {
    std::string_view line =
        piece.substr(0, piece.size() - piece.ends_with('\r'));
    if (line.starts_with('!') || !(last = IgnoreRule::Parse(line))) continue;
    negated = IgnoreRules::Parse(std::string(file) + "\n!" +
                                 std::string(piece) + "\n");
    break;
  }

  for (const std::string& path : paths) {
    for (bool is_dir : {false, true}) {
      IgnoreMatch expected = IgnoreMatch::kNone;
      for (const IgnoreRule& rule : plain) {
        if (RuleMatches(rule, path, is_dir))
          expected =
              rule.negated() ? IgnoreMatch::kWhitelist : IgnoreMatch::kIgnore;
      }
      const IgnoreMatch verdict = Verdict(rules, path, is_dir);
      FUZZ_CHECK(verdict == expected);
      if (last) {
        FUZZ_CHECK(Verdict(negated, path, is_dir) ==
                   (RuleMatches(*last, path, is_dir) ? IgnoreMatch::kWhitelist
                                                     : verdict));
      }
    }
  }

  const std::string config =
      std::string(text) + "\n\n[core]\n\texcludesFile = \"v\"\n";
  const auto value = FindConfigValue(config, "core", "excludesfile");
  FUZZ_CHECK(!value || *value == "v");
  if (FindConfigValue(text, "core", "excludesfile")) FUZZ_CHECK(value);
  return 0;
}

#include "fs/ignore/ignore_rules.h"

#include <algorithm>
#include <new>
#include <utility>

namespace tolvane {

std::shared_ptr<const IgnoreRules> IgnoreRules::Parse(std::string_view text) {
  constexpr std::string_view kBom = "\xEF\xBB\xBF";
  if (text.starts_with(kBom)) text.remove_prefix(kBom.size());
  try {
    std::shared_ptr<IgnoreRules> rules(new IgnoreRules());
    while (!text.empty()) {
      size_t end = text.find('\n');
      std::string_view line = text.substr(0, end);
      text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
      if (line.ends_with('\r')) line.remove_suffix(1);
      if (auto rule = IgnoreRule::Parse(line)) rules->Add(std::move(*rule));
    }
    if (rules->rules_.empty()) return nullptr;
    std::reverse(rules->scan_.begin(), rules->scan_.end());
    return rules;
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

void IgnoreRules::Add(IgnoreRule rule) {
  const auto index = static_cast<int32_t>(rules_.size());
  if (!rule.basename()) needs_path_ = true;
  if (rule.shape() == IgnoreRule::Shape::kLiteral) {
    Highest& highest = (rule.basename() ? names_ : paths_)[rule.text()];
    highest.any = index;
    if (!rule.dir_only()) highest.non_dir = index;
  } else {
    scan_.push_back(static_cast<uint32_t>(index));
  }
  rules_.push_back(std::move(rule));
}

IgnoreMatch IgnoreRules::Matched(std::string_view path, std::string_view name,
                                 bool is_dir) const {
  int32_t best = -1;
  auto literal = [&](const LiteralIndex& index, std::string_view key) {
    if (index.empty()) return;
    auto it = index.find(key);
    if (it != index.end())
      best = std::max(best, is_dir ? it->second.any : it->second.non_dir);
  };
  literal(names_, name);
  literal(paths_, path);
  for (uint32_t index : scan_) {
    if (static_cast<int32_t>(index) <= best) break;
    const IgnoreRule& rule = rules_[index];
    if (rule.dir_only() && !is_dir) continue;
    if (rule.Matches(rule.basename() ? name : path)) {
      best = static_cast<int32_t>(index);
      break;
    }
  }
  if (best < 0) return IgnoreMatch::kNone;
  return rules_[static_cast<size_t>(best)].negated() ? IgnoreMatch::kWhitelist
                                                     : IgnoreMatch::kIgnore;
}

IgnoreMatch IgnoreRules::Matched(std::string_view path, bool is_dir) const {
  size_t slash = path.rfind('/');
  return Matched(
      path, slash == std::string_view::npos ? path : path.substr(slash + 1),
      is_dir);
}

}  // namespace tolvane

#include "fs/ignore/ignore_chain.h"

#include "fs/sys/thread.h"

namespace tolvane {

namespace {

// Made when the library is loaded rather than at first use by a walk's
// thread: a child of fork never waits for a making that its parent's thread
// had begun.
const auto* const empty_chain =
    new std::shared_ptr<const IgnoreChain>(new IgnoreChain());

}  // namespace

std::shared_ptr<const IgnoreChain> IgnoreChain::Empty() { return *empty_chain; }

std::shared_ptr<const IgnoreChain> IgnoreChain::Child(
    const std::shared_ptr<const IgnoreChain>& parent, const DirFiles& files,
    const std::shared_ptr<const IgnoreRules>& global, const Anchor& anchor) {
  const bool own_gitignore =
      files.gitignore && (files.has_git || parent->in_repository_);
  if (!files.ignore && !files.has_git && !own_gitignore) return parent;

  std::shared_ptr<IgnoreChain> chain(new IgnoreChain());
  auto add = [&](const std::shared_ptr<const IgnoreRules>& rules) {
    if (rules) chain->scopes_.push_back({rules, anchor});
  };
  const auto parent_git =
      parent->scopes_.begin() + static_cast<ptrdiff_t>(parent->git_begin_);
  add(files.ignore);
  chain->scopes_.insert(chain->scopes_.end(), parent->scopes_.begin(),
                        parent_git);
  chain->git_begin_ = chain->scopes_.size();
  chain->in_repository_ = files.has_git || parent->in_repository_;
  if (chain->in_repository_) add(files.gitignore);
  if (files.has_git) {
    add(files.exclude);
    add(global);
  } else {
    chain->scopes_.insert(chain->scopes_.end(), parent_git,
                          parent->scopes_.end());
  }
  return chain;
}

IgnoreMatch IgnoreChain::Matched(std::string_view path, size_t name_offset,
                                 bool is_dir) const {
  std::string& joined = sys::OnEachThread<std::string, IgnoreChain>();
  const std::string_view name = path.substr(name_offset);
  for (const Scope& scope : scopes_) {
    std::string_view relative;
    if (scope.rules->needs_path()) {
      relative = path.substr(scope.anchor.offset);
      if (!scope.anchor.prefix.empty()) {
        joined.assign(scope.anchor.prefix).append(relative);
        relative = joined;
      }
    }
    IgnoreMatch match = scope.rules->Matched(relative, name, is_dir);
    if (match != IgnoreMatch::kNone) return match;
  }
  return IgnoreMatch::kNone;
}

}  // namespace tolvane

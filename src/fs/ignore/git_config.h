// The part of git's configuration syntax that the ignore files need: the value
// of one key of one section (without subsection) in the text of a config file,
// quoting, escapes, comments and line continuations read as git reads them.
// Includes are not followed. Pure; thread-safe.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tolvane {

// The last value of `key` in `[section]` of the config `text` (names compared
// without case). nullopt when the key is absent or has no value, or when the
// text breaks git's syntax (git refuses such a file as a whole).
std::optional<std::string> FindConfigValue(std::string_view text,
                                           std::string_view section,
                                           std::string_view key);

}  // namespace tolvane

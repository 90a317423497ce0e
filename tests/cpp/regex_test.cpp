// The query language against its reference: every query of the generated table
// (made at build time by tests/gen_regex_cases.py from the answers of the
// `regex` crate itself) is refused
// with the reference's exact report, or selects exactly the reference's lines,
// both through the RE2 road (relaxed pattern plus confirmation) and through the
// exact matcher alone. The RE2 pattern run over all the lines joined into one
// buffer (LF, or CR LF where no line-end assertion cares) must decide each
// line as it does alone: anchors are per line and nothing matches across.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "fs/regex/query.h"
#include "fs/regex/regex_ast.h"
#include "fs/regex/regex_hir.h"
#include "test_util.h"

namespace tolvane {
namespace {

struct Case {
  std::string query;
  bool case_insensitive = false;
  std::optional<std::string> error;
  std::vector<std::pair<std::string, bool>> lines;
};

std::string Unescape(std::string_view s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '\\' || i + 1 == s.size()) {
      out += s[i];
      continue;
    }
    char c = s[++i];
    out += c == 't' ? '\t' : c == 'n' ? '\n' : c == 'r' ? '\r' : c;
  }
  return out;
}

std::vector<Case> LoadCases() {
  std::ifstream in(TOLVANE_REGEX_CASES);
  std::vector<Case> cases;
  std::string line;
  while (std::getline(in, line)) {
    if (line.size() < 2 || line[1] != '\t') continue;
    std::string_view rest = std::string_view(line).substr(2);
    if (line[0] == 'Q') {
      cases.push_back({Unescape(rest.substr(2)), rest[0] == '1', {}, {}});
    } else if (line[0] == 'E') {
      cases.back().error = Unescape(rest);
    } else if (line[0] == 'L') {
      cases.back().lines.emplace_back(Unescape(rest.substr(2)), rest[0] == '1');
    }
  }
  return cases;
}

std::string Describe(const Case& c) {
  return "'" + testing::Escaped(c.query) + "'" +
         (c.case_insensitive ? " (case-insensitive)" : "");
}

TEST(RegexReference, EveryQueryOfTheTable) {
  std::vector<Case> cases = LoadCases();
  ASSERT_GT(cases.size(), 1000u);
  std::vector<std::string> failures;
  for (const Case& c : cases) {
    Result<CompiledQuery> compiled =
        CompiledQuery::Compile(c.query, c.case_insensitive);
    if (c.error) {
      if (compiled) {
        failures.push_back(Describe(c) + " compiled; reference: " + *c.error);
      } else if (compiled.error().payload() != *c.error) {
        failures.push_back(Describe(c) + " refused with\n" +
                           compiled.error().payload() + "\nreference:\n" +
                           *c.error);
      }
      continue;
    }
    if (!compiled) {
      failures.push_back(Describe(c) +
                         " refused: " + compiled.error().payload());
      continue;
    }
    auto ast = regex::ParseQuery(c.query);
    auto hir = regex::TranslateAst(*ast, c.case_insensitive);
    regex::LineMatcher exact(std::make_shared<const regex::Hir>(*hir));
    std::string buffer;
    std::string_view eol = compiled->asserts_line_end() ? "\n" : "\r\n";
    std::vector<std::pair<size_t, size_t>> bounds;
    for (const auto& [subject, expected] : c.lines) {
      if (subject.find('\r') != std::string::npos) eol = "\n";
    }
    for (const auto& [subject, expected] : c.lines) {
      bounds.emplace_back(buffer.size(), buffer.size() + subject.size());
      buffer += subject;
      buffer += eol;
    }
    for (size_t i = 0; i < c.lines.size(); ++i) {
      const auto& [subject, expected] = c.lines[i];
      bool re2_road = compiled->Matches(subject);
      bool exact_road = exact.Matches(subject);
      bool in_buffer =
          compiled->re2().Match(buffer, bounds[i].first, bounds[i].second,
                                RE2::UNANCHORED, nullptr, 0) &&
          compiled->Matches(subject);
      if (re2_road != expected || exact_road != expected ||
          in_buffer != expected) {
        failures.push_back(Describe(c) + " on '" + testing::Escaped(subject) +
                           "': RE2 road " + std::to_string(re2_road) +
                           ", exact " + std::to_string(exact_road) +
                           ", in a buffer " + std::to_string(in_buffer) +
                           ", reference " + std::to_string(expected));
      }
    }
  }
  for (size_t i = 0; i < failures.size() && i < 40; ++i) {
    ADD_FAILURE() << failures[i];
  }
  EXPECT_EQ(failures.size(), 0u);
}

}  // namespace
}  // namespace tolvane

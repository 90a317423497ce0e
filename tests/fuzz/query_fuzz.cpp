// grep queries from outside. Input: one byte of options (1: case-insensitive,
// 2: the text is a fixed string, escaped into a query), the query text up to
// the first NUL, then a haystack of lines. A query is refused with a Regex
// error exactly when the parse or the size limit refuses it; a compiled query
// decides every line as the exact line matcher does, and an escaped fixed
// string matches the lines that hold it.
#include <cctype>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "fs/regex/query.h"
#include "fs/regex/regex_ast.h"
#include "fs/utf8/utf8.h"
#include "fuzz_check.h"

using namespace tolvane;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const bool case_insensitive = data[0] & 1;
  const bool fixed = data[0] & 2;
  const std::string_view input = FuzzText(data + 1, size - 1);
  const size_t nul = input.find('\0');
  std::string query(input.substr(0, nul));
  const std::string_view haystack =
      nul == std::string_view::npos ? "" : input.substr(nul + 1);
  const std::string literal = ToUtf8Lossy(query);
  if (fixed) {
    query.clear();
    for (char c : literal) {
      if (std::string_view("\\.+*?()|[]{}^$#&-~").find(c) !=
          std::string_view::npos)
        query += '\\';
      query += c;
    }
  }

  Result<CompiledQuery> compiled =
      CompiledQuery::Compile(query, case_insensitive);
  std::optional<regex::Hir> hir;
  if (auto ast = regex::ParseQuery(query)) {
    if (auto translated = regex::TranslateAst(*ast, case_insensitive))
      hir = std::move(*translated);
  }
  if (!compiled) {
    const std::string& text = compiled.error().payload();
    FUZZ_CHECK(compiled.error().kind() == FsError::Kind::kRegex);
    FUZZ_CHECK(hir.has_value() != text.starts_with("regex parse error:"));
    FUZZ_CHECK(!hir || text.starts_with("Compiled regex exceeds size limit"));
    return 0;
  }
  FUZZ_CHECK(hir.has_value());
  const regex::LineMatcher reference(
      std::make_shared<const regex::Hir>(*std::move(hir)));
  // The query's own text is a line too, also without its ASCII punctuation,
  // and every line comes again with its ASCII letters' case swapped.
  std::string bare = literal;
  std::erase_if(
      bare, [](char c) { return std::ispunct(static_cast<unsigned char>(c)); });
  std::vector<std::string> lines;
  const std::string text = literal + "\n" + bare + "\n" + std::string(haystack);
  for (std::string_view piece : SplitNewlines(text)) {
    lines.push_back(ToUtf8Lossy(piece));
    lines.push_back(lines.back());
    for (char& c : lines.back())
      c ^= (c | 0x20) >= 'a' && (c | 0x20) <= 'z' ? 0x20 : 0;
  }
  for (const std::string& line : lines) {
    const bool matches = compiled->Matches(line);
    FUZZ_CHECK(matches == reference.Matches(line));
    if (fixed && !case_insensitive)
      FUZZ_CHECK(matches == (line.find(literal) != std::string::npos));
  }
  return 0;
}

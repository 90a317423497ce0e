#include <sys/stat.h>
#include <unistd.h>

#include <random>
#include <string>

#include "fs/io/edit_replace.h"
#include "gtest/gtest.h"
#include "test_util.h"

namespace tolvane::io {
namespace {

using testing::ModeOf;
using testing::ReadBytes;
using testing::ScratchDir;
using testing::WriteFile;

// Plain references: a byte-by-byte scan that skips past each occurrence, and
// character splitting for the empty text.
std::vector<std::string> Chars(const std::string& text) {
  std::vector<std::string> chars;
  for (unsigned char c : text) {
    if ((c & 0xC0) == 0x80) {
      chars.back() += static_cast<char>(c);
    } else {
      chars.emplace_back(1, static_cast<char>(c));
    }
  }
  return chars;
}

std::pair<uint64_t, std::string> ModelReplace(const std::string& text,
                                              const std::string& old_text,
                                              const std::string& new_text) {
  if (old_text.empty()) {
    std::string out;
    auto chars = Chars(text);
    for (const auto& c : chars) out += new_text + c;
    return {chars.size() + 1, out + new_text};
  }
  uint64_t count = 0;
  std::string out;
  size_t i = 0;
  while (i < text.size()) {
    if (text.compare(i, old_text.size(), old_text) == 0) {
      ++count;
      out += new_text;
      i += old_text.size();
    } else {
      out += text[i++];
    }
  }
  return {count, out};
}

struct CountCase {
  std::string text;
  std::string old_text;
  uint64_t count;
};

class Occurrences : public ::testing::TestWithParam<CountCase> {};

TEST_P(Occurrences, CountsLeftmostNonOverlapping) {
  EXPECT_EQ(CountOccurrences(GetParam().text, GetParam().old_text),
            GetParam().count);
  EXPECT_EQ(ModelReplace(GetParam().text, GetParam().old_text, "").first,
            GetParam().count);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Occurrences,
    ::testing::Values(CountCase{"aaa", "aa", 1}, CountCase{"aaaa", "aa", 2},
                      CountCase{"abab", "ab", 2}, CountCase{"abc", "d", 0},
                      CountCase{"", "a", 0}, CountCase{"", "", 1},
                      CountCase{"ab", "", 3}, CountCase{"\xC3\xA9", "", 2},
                      CountCase{"h\xC3\xA9llo", "", 6},
                      CountCase{"\xC3\xA9 e", "e", 1}, CountCase{"a", "ab", 0},
                      CountCase{"x\ny\nx\n", "x\n", 2}));

TEST(OccurrencesModel, RandomTextsMatchTheReference) {
  const std::string pieces[] = {"a", "b", "ab", "\xC3\xA9", "\n"};
  std::mt19937 rng(7);
  auto random_text = [&](int max) {
    std::string s;
    for (int n = std::uniform_int_distribution<int>(0, max)(rng); n > 0; --n) {
      s += pieces[rng() % std::size(pieces)];
    }
    return s;
  };
  for (int round = 0; round < 2000; ++round) {
    std::string text = random_text(30), old_text = random_text(3),
                new_text = random_text(2);
    auto [count, replaced] = ModelReplace(text, old_text, new_text);
    ASSERT_EQ(CountOccurrences(text, old_text), count)
        << text << " / " << old_text;
    ASSERT_EQ(ReplaceOccurrences(text, old_text, new_text, count), replaced)
        << text << " / " << old_text;
  }
}

// ---- edit_replace writes through write_atomic ----

TEST(EditReplaceFile, KeepsModeAndReplacesALinkByAFile) {
  ScratchDir dir;
  WriteFile(dir / "script", "echo old\n");
  ::chmod((dir / "script").c_str(), 0750);
  ASSERT_TRUE(edit_replace(dir / "script", "old", "new", true));
  EXPECT_EQ(ModeOf(dir / "script") & 07777, 0750u);
  EXPECT_EQ(ReadBytes(dir / "script"), "echo new\n");

  ::symlink("script", (dir / "link").c_str());
  ASSERT_TRUE(edit_replace(dir / "link", "new", "newer", true));
  EXPECT_TRUE(S_ISREG(ModeOf(dir / "link")));
  EXPECT_EQ(ReadBytes(dir / "link"), "echo newer\n");
  EXPECT_EQ(ReadBytes(dir / "script"), "echo new\n");
}

}  // namespace
}  // namespace tolvane::io

// The glob cache: keyed by exact pattern text, bounded at 128 entries by
// dropping the first entry of an iteration on a miss, indifferent to hits,
// never holding a bad pattern, and handing out matchers that outlive their
// entry.
#include "fs/glob/glob_cache.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace tolvane {
namespace {

std::string Pattern(int i) { return "dir" + std::to_string(i) + "/*.txt"; }

GlobMatcher MustGet(GlobCache& cache, std::string_view pattern) {
  Result<GlobMatcher> matcher = cache.compiled_glob(pattern);
  EXPECT_TRUE(matcher.has_value()) << matcher.error().payload();
  return *std::move(matcher);
}

void Fill(GlobCache& cache, int count) {
  for (int i = 0; i < count; ++i) MustGet(cache, Pattern(i));
}

// The patterns of Pattern(0..count) that the cache no longer holds.
std::vector<std::string> Missing(const GlobCache& cache, int count) {
  std::vector<std::string> missing;
  for (int i = 0; i < count; ++i) {
    if (!cache.Contains(Pattern(i))) missing.push_back(Pattern(i));
  }
  return missing;
}

TEST(GlobCacheTest, SamePatternTwiceIsOneEntryAndMatchesAlike) {
  GlobCache cache;
  GlobMatcher first = MustGet(cache, "src/*.py");
  GlobMatcher second = MustGet(cache, "src/*.py");
  EXPECT_EQ(cache.size(), 1u);
  for (std::string_view path :
       {"src/a.py", "src/sub/b.py", "a.py", "src/a.pyc"}) {
    EXPECT_EQ(first.Matches(path), second.Matches(path)) << path;
  }
  EXPECT_TRUE(second.Matches("src/sub/b.py"));
}

TEST(GlobCacheTest, FullCacheEvictsExactlyOneOnAMiss) {
  GlobCache cache;
  Fill(cache, GlobCache::kCapacity);
  EXPECT_EQ(cache.size(), GlobCache::kCapacity);
  EXPECT_TRUE(Missing(cache, GlobCache::kCapacity).empty());

  MustGet(cache, "extra/**");
  EXPECT_EQ(cache.size(), GlobCache::kCapacity);
  EXPECT_TRUE(cache.Contains("extra/**"));
  std::vector<std::string> evicted = Missing(cache, GlobCache::kCapacity);
  ASSERT_EQ(evicted.size(), 1u);

  // Asking again for the evicted pattern compiles it again and evicts another
  // entry.
  GlobMatcher again = MustGet(cache, evicted[0]);
  EXPECT_TRUE(cache.Contains(evicted[0]));
  EXPECT_EQ(cache.size(), GlobCache::kCapacity);
  size_t gone = Missing(cache, GlobCache::kCapacity).size() +
                (cache.Contains("extra/**") ? 0 : 1);
  EXPECT_EQ(gone, 1u);
  EXPECT_TRUE(
      again.Matches(evicted[0].substr(0, evicted[0].find('*')) + "x.txt"));
}

TEST(GlobCacheTest, StaysBoundedUnderEverNewPatterns) {
  GlobCache cache;
  for (int i = 0; i < 1000; ++i) {
    MustGet(cache, Pattern(i));
    ASSERT_LE(cache.size(), GlobCache::kCapacity);
  }
  EXPECT_EQ(cache.size(), GlobCache::kCapacity);
  EXPECT_TRUE(cache.Contains(Pattern(999)));
}

TEST(GlobCacheTest, HitsDoNotProtectFromEviction) {
  // Two caches given the same patterns in the same order lay them out alike, so
  // both choose the same victim unless hits change the choice.
  GlobCache plain;
  GlobCache hit;
  Fill(plain, GlobCache::kCapacity);
  Fill(hit, GlobCache::kCapacity);
  MustGet(plain, "new");
  std::vector<std::string> victim = Missing(plain, GlobCache::kCapacity);
  ASSERT_EQ(victim.size(), 1u);

  for (int round = 0; round < 100; ++round) MustGet(hit, victim[0]);
  EXPECT_EQ(hit.size(), GlobCache::kCapacity);
  MustGet(hit, "new");
  EXPECT_EQ(Missing(hit, GlobCache::kCapacity), victim);
}

TEST(GlobCacheTest, HitChangesNothing) {
  GlobCache cache;
  Fill(cache, 10);
  for (int round = 0; round < 5; ++round) {
    for (int i = 0; i < 10; ++i) MustGet(cache, Pattern(i));
  }
  EXPECT_EQ(cache.size(), 10u);
  EXPECT_TRUE(Missing(cache, 10).empty());
}

struct BadPatternCase {
  std::string_view pattern;
  std::string_view display;
};

class GlobCacheBadPatternTest
    : public ::testing::TestWithParam<BadPatternCase> {};

TEST_P(GlobCacheBadPatternTest, IsNeverCachedAndEvictsNothing) {
  GlobCache cache;
  Fill(cache, GlobCache::kCapacity);
  for (int attempt = 0; attempt < 2; ++attempt) {
    Result<GlobMatcher> matcher = cache.compiled_glob(GetParam().pattern);
    ASSERT_FALSE(matcher.has_value());
    EXPECT_EQ(matcher.error().kind(), FsError::Kind::kGlob);
    EXPECT_EQ(matcher.error().payload(), GetParam().display);
    EXPECT_FALSE(cache.Contains(GetParam().pattern));
    EXPECT_EQ(cache.size(), GlobCache::kCapacity);
    EXPECT_TRUE(Missing(cache, GlobCache::kCapacity).empty());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, GlobCacheBadPatternTest,
    ::testing::Values(
        BadPatternCase{
            "[",
            "error parsing glob '[': unclosed character class; missing ']'"},
        BadPatternCase{"a{b",
                       "error parsing glob 'a{b': unclosed alternate group; "
                       "missing '}' (maybe "
                       "escape '{' with '[{]'?)"},
        BadPatternCase{
            "a}",
            "error parsing glob 'a}': unopened alternate group; missing '{' "
            "(maybe escape '}' with '[}]'?)"},
        BadPatternCase{"[b-a]",
                       "error parsing glob '[b-a]': invalid range; 'b' > 'a'"},
        BadPatternCase{"x\\", "error parsing glob 'x\\': dangling '\\'"}));

struct SpellingCase {
  std::string_view a;
  std::string_view b;
  std::string_view path;  // matched by `a` only
};

class GlobCacheSpellingTest : public ::testing::TestWithParam<SpellingCase> {};

TEST_P(GlobCacheSpellingTest, DifferentTextIsADifferentEntry) {
  GlobCache cache;
  GlobMatcher a = MustGet(cache, GetParam().a);
  GlobMatcher b = MustGet(cache, GetParam().b);
  EXPECT_EQ(cache.size(), 2u);
  EXPECT_TRUE(cache.Contains(GetParam().a));
  EXPECT_TRUE(cache.Contains(GetParam().b));
  EXPECT_TRUE(a.Matches(GetParam().path));
  EXPECT_FALSE(b.Matches(GetParam().path));
  // The cached copies keep their own answers.
  EXPECT_TRUE(MustGet(cache, GetParam().a).Matches(GetParam().path));
  EXPECT_FALSE(MustGet(cache, GetParam().b).Matches(GetParam().path));
}

INSTANTIATE_TEST_SUITE_P(
    Table, GlobCacheSpellingTest,
    ::testing::Values(SpellingCase{"*.py", "*.PY", "src/a.py"},
                      SpellingCase{"*.PY", "*.py", "A.PY"},
                      SpellingCase{"src/*", "./src/*", "src/a"},
                      SpellingCase{"./src/*", "src/*", "./src/a"},
                      SpellingCase{"a/**", "a/**/", "a/b"},
                      SpellingCase{"{a,b}", "{b,a}x", "a"}));

TEST(GlobCacheTest, CallersMatcherOutlivesItsEviction) {
  GlobCache cache;
  GlobMatcher held = MustGet(cache, "keep/**/*.rs");
  Fill(cache, 3 * GlobCache::kCapacity);
  ASSERT_FALSE(cache.Contains("keep/**/*.rs"));
  EXPECT_TRUE(held.Matches("keep/a/b/c.rs"));
  EXPECT_TRUE(held.Matches("keep/c.rs"));
  EXPECT_FALSE(held.Matches("other/c.rs"));
}

TEST(GlobCacheTest, ConcurrentCallersGetCorrectMatchers) {
  GlobCache cache;
  constexpr int kThreads = 8;
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 400; ++i) {
        const int n = (i * 7 + t * 13) % 300;
        Result<GlobMatcher> matcher = cache.compiled_glob(Pattern(n));
        if (!matcher ||
            !matcher->Matches("dir" + std::to_string(n) + "/a/b.txt") ||
            matcher->Matches("dir" + std::to_string(n + 1) + "/b.txt")) {
          ++wrong;
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
  // Overlapping misses may pick the same victim, so the count can end above the
  // bound; from then on every miss that doesn't overlap evicts one entry and
  // inserts one.
  const size_t settled = cache.size();
  EXPECT_GE(settled, GlobCache::kCapacity);
  for (int i = 300; i < 400; ++i) {
    MustGet(cache, Pattern(i));
    ASSERT_EQ(cache.size(), settled);
  }
}

}  // namespace
}  // namespace tolvane

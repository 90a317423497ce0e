// The debounce rules on a clock the test moves. A case is a list of polls,
// ';'-separated: the clock in ms, the events queued just before the poll
// (kind letter, '/' for a directory moved, ':', paths), then '=' and what the
// poll releases (a path that left as a directory marked "/").
#include "fs/watcher/debounce.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <set>
#include <sstream>
#include <thread>

namespace tolvane {
namespace {

using K = EventKind;
const std::map<char, K> kKinds = {
    {'C', K::kCreateFile},     {'K', K::kCreateFolder}, {'M', K::kModifyData},
    {'A', K::kModifyMetadata}, {'F', K::kRenameFrom},   {'T', K::kRenameTo},
    {'B', K::kRenameBoth},     {'D', K::kRemoveFile},   {'X', K::kRemoveFolder},
    {'R', K::kRescan}};

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::istringstream in(text);
  for (std::string part; std::getline(in, part, separator);)
    if (!part.empty()) parts.push_back(part);
  return parts;
}

std::string Describe(const ChangeEvent& c) {
  static const char* kNames[] = {"created", "modified", "deleted", "renamed"};
  std::string text = (c.replaces ? "re" : "") +
                     (kNames[static_cast<int>(c.kind)] + (":" + c.path));
  if (c.moved_dir) text += "/";
  return c.to.empty() ? text : text + ">" + c.to;
}

struct DebounceCase {
  const char* name;
  std::string polls;
};
class DebounceTest : public ::testing::TestWithParam<DebounceCase> {};

TEST_P(DebounceTest, ReleasesWhatTheRulesSay) {
  Debouncer::Time now;
  Debouncer debouncer([&] { return now; });
  for (const std::string& poll : Split(GetParam().polls, ';')) {
    std::vector<std::string> tokens = Split(poll, ' '), expected, released;
    now = Debouncer::Time(std::chrono::nanoseconds(
        static_cast<int64_t>(std::stod(tokens[0]) * 1e6)));
    for (size_t i = 1; i < tokens.size(); ++i) {
      if (tokens[i] == "=") {
        expected.assign(tokens.begin() + i + 1, tokens.end());
        break;
      }
      const bool dir = tokens[i][1] == '/';
      debouncer.Send({kKinds.at(tokens[i][0]),
                      Split(tokens[i].substr(dir ? 3 : 2), ','), dir});
    }
    for (const ChangeEvent& c : debouncer.poll_events())
      released.push_back(Describe(c));
    std::sort(released.begin(), released.end());
    EXPECT_EQ(released, expected) << poll;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Rules, DebounceTest,
    ::testing::Values(
        // A creation may be a rename over a path the index holds.
        DebounceCase{"CreatedThenDeletedIsDeleted",
                     "0 T:a; 50 D:a; 500 = deleted:a"},
        DebounceCase{"AMovedDirectoryMarkOutlivesLaterChanges",
                     "0 F/:a; 10 K:a; 20 X:a; 120 = deleted:a/; "
                     "200 F/:b; 210 C:b; 220 F:b T:c B:b,c; 320 = created:c "
                     "renamed:b/>c"},
        DebounceCase{"AWriteAfterARemovalRecreates",
                     "0 D:a; 10 M:a; 110 = recreated:a"},
        DebounceCase{"CreatedAbsorbsModified",
                     "0 C:a; 60 M:a; 100 = created:a; 150 M:a; 250 = "
                     "modified:a"},
        DebounceCase{"DeletedCreatedDeletedIsDeleted",
                     "0 D:a; 10 K:a; 20 F:a; 500 = deleted:a"},
        DebounceCase{"CreatedAfterARemovalReplacesThroughWrites",
                     "0 X:a; 10 C:a; 20 M:a; 30 K:a; 130 = recreated:a"},
        DebounceCase{"RenamedAwayThenCreatedReplaces",
                     "0 F:a T:b B:a,b; 10 K:a; 110 = created:b recreated:a"},
        DebounceCase{"ExactlyTheDebounceIsReleased",
                     "0 M:a; 99.999999 =; 100 = modified:a"},
        DebounceCase{"EveryEventRestartsTheWindow",
                     "0 M:a; 90 M:a; 180 X:a; 279 =; 280 = deleted:a"},
        DebounceCase{"MovedDirectoriesAreMarked",
                     "0 F/:a T/:c B/:b,c F:f; 100 = created:c deleted:a/ "
                     "deleted:f renamed:b/>c"},
        DebounceCase{"ADirectoryMovedAwayThenCreatedReplacesItsTree",
                     "0 F/:a; 10 C:a; 20 M:a; 120 = recreated:a/"},
        DebounceCase{"DeletedThenCreatedReplaces",
                     "0 D:a T:a; 100 = recreated:a"},
        DebounceCase{"BothNeedsTwoPathsAndIgnoresAThird",
                     "0 B:a; 10 B:b,c,d; 110 = renamed:b>c"},
        DebounceCase{"BothOnAPendingCreatedHasAFreshTime",
                     "0 C:a; 50 B:a,b; 100 =; 150 = renamed:a>b"},
        DebounceCase{"SpellingsOfOnePathAreOneKey",
                     "0 C:d//a,e; 10 D:d/./a/; 100 = created:e"},
        DebounceCase{"MetadataAndRescanRecordNothing", "0 A:a R:; 100 ="},
        DebounceCase{"ARescanDropsWhatCameBefore",
                     "0 D:a R: C:b; 100 = created:b"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(DebounceRescanTest, ARescanIsTakenOnceItIsDrained) {
  Debouncer debouncer;
  debouncer.Send({K::kRescan, {}});
  EXPECT_FALSE(debouncer.take_rescan_request());
  (void)debouncer.poll_events();
  EXPECT_TRUE(debouncer.take_rescan_request());
  EXPECT_FALSE(debouncer.take_rescan_request());
}

// A sender and two pollers at once, on a clock that moves 1 ms a reading.
TEST(DebounceThreadsTest, TwoPollersReleaseEachChangeOnce) {
  constexpr int kPaths = 20000;
  std::atomic<int64_t> ticks{0};
  Debouncer debouncer([&] {
    return Debouncer::Time(std::chrono::milliseconds(ticks.fetch_add(1)));
  });
  std::thread sender([&] {
    for (int i = 0; i < kPaths; ++i)
      debouncer.Send({K::kCreateFile, {std::to_string(i)}});
  });
  std::vector<std::string> got[2];
  std::atomic<int> total{0};
  auto poll = [&](std::vector<std::string>* out) {
    for (int round = 0; round < 10000000 && total < kPaths; ++round) {
      std::vector<ChangeEvent> released = debouncer.poll_events();
      for (ChangeEvent& c : released) out->push_back(c.path);
      total += static_cast<int>(released.size());
    }
  };
  std::thread first(poll, &got[0]), second(poll, &got[1]);
  for (std::thread* t : {&sender, &first, &second}) t->join();
  std::set<std::string> unique(got[0].begin(), got[0].end());
  unique.insert(got[1].begin(), got[1].end());
  EXPECT_EQ(got[0].size() + got[1].size(), unique.size());
  EXPECT_EQ(unique.size(), static_cast<size_t>(kPaths));
}

}  // namespace
}  // namespace tolvane

// The debounce rules on a clock the test moves: each case sends events and
// polls at given times, and names what each poll releases.
#include "fs/watcher/debounce.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace tolvane {
namespace {

using std::chrono::nanoseconds;
using K = EventKind;

struct Poll {
  double at_ms;                     // the clock at the poll
  std::vector<WatchEvent> sent;     // queued just before it
  std::vector<std::string> expect;  // released, sorted: "kind path[>to]"
};
struct DebounceCase {
  const char* name;
  std::vector<Poll> polls;
};

std::string Describe(const ChangeEvent& c) {
  static const char* kNames[] = {"created", "modified", "deleted", "renamed"};
  std::string text = kNames[static_cast<int>(c.kind)] + (" " + c.path);
  return c.to.empty() ? text : text + ">" + c.to;
}

class DebounceTest : public ::testing::TestWithParam<DebounceCase> {};

TEST_P(DebounceTest, ReleasesWhatTheRulesSay) {
  Debouncer::Time now;
  Debouncer debouncer([&] { return now; });
  for (const Poll& poll : GetParam().polls) {
    now = Debouncer::Time(nanoseconds(static_cast<int64_t>(poll.at_ms * 1e6)));
    for (const WatchEvent& event : poll.sent) debouncer.Send(event);
    std::vector<std::string> released;
    for (const ChangeEvent& c : debouncer.poll_events())
      released.push_back(Describe(c));
    std::sort(released.begin(), released.end());
    EXPECT_EQ(released, poll.expect) << "at " << poll.at_ms << " ms";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Rules, DebounceTest,
    ::testing::Values(
        DebounceCase{"CreatedThenDeletedIsNothing",
                     {{0, {{K::kCreateFile, {"a"}}}, {}},
                      {50, {{K::kRemoveFile, {"a"}}}, {}},
                      {500, {}, {}}}},
        DebounceCase{"CreatedAbsorbsModifiedAndKeepsItsTime",
                     {{0, {{K::kCreateFile, {"a"}}}, {}},
                      {60, {{K::kModifyData, {"a"}}}, {}},
                      {100, {}, {"created a"}},
                      {150, {{K::kModifyData, {"a"}}}, {}},
                      {250, {}, {"modified a"}}}},
        DebounceCase{"DeletedCreatedDeletedIsNothing",
                     {{0, {{K::kRemoveFile, {"a"}}}, {}},
                      {10, {{K::kCreateFolder, {"a"}}}, {}},
                      {20, {{K::kRenameFrom, {"a"}}}, {}},
                      {500, {}, {}}}},
        DebounceCase{"ExactlyTheDebounceIsReleased",
                     {{0, {{K::kModifyData, {"a"}}}, {}},
                      {99.999999, {}, {}},
                      {100, {}, {"modified a"}}}},
        DebounceCase{"EveryEventRestartsTheWindow",
                     {{0, {{K::kModifyData, {"a"}}}, {}},
                      {90, {{K::kModifyData, {"a"}}}, {}},
                      {180, {{K::kRemoveFolder, {"a"}}}, {}},
                      {279, {}, {}},
                      {280, {}, {"deleted a"}}}},
        DebounceCase{"DeletedThenCreatedIsCreated",
                     {{0, {{K::kRemoveFile, {"a"}}, {K::kRenameTo, {"a"}}}, {}},
                      {100, {}, {"created a"}}}},
        DebounceCase{"BothNeedsTwoPathsAndIgnoresAThird",
                     {{0, {{K::kRenameBoth, {"a"}}}, {}},
                      {10, {{K::kRenameBoth, {"b", "c", "d"}}}, {}},
                      {110, {}, {"renamed b>c"}}}},
        DebounceCase{"BothOnAPendingCreatedRenamesWithAFreshTime",
                     {{0, {{K::kCreateFile, {"a"}}}, {}},
                      {50, {{K::kRenameBoth, {"a", "b"}}}, {}},
                      {100, {}, {}},
                      {150, {}, {"renamed a>b"}}}},
        DebounceCase{"SpellingsOfOnePathAreOneKey",
                     {{0, {{K::kCreateFile, {"d//a", "e"}}}, {}},
                      {10, {{K::kRemoveFile, {"d/./a/"}}}, {}},
                      {100, {}, {"created e"}}}},
        DebounceCase{
            "MetadataAndRescanRecordNothing",
            {{0, {{K::kModifyMetadata, {"a"}}, {K::kRescan, {"b"}}}, {}},
             {100, {}, {}}}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(DebounceRescanTest, ARescanIsTakenOnce) {
  Debouncer debouncer;
  debouncer.Send({K::kRescan, {}});
  EXPECT_FALSE(debouncer.take_rescan_request());  // not drained yet
  (void)debouncer.poll_events();
  EXPECT_TRUE(debouncer.take_rescan_request());
  EXPECT_FALSE(debouncer.take_rescan_request());
}

// Two pollers and a sender at once: every change is released exactly once.
TEST(DebounceThreadsTest, TwoPollersReleaseEachChangeOnce) {
  constexpr int kPaths = 20000;
  std::atomic<int64_t> ticks{0};  // each reading moves the clock 1 ms on
  Debouncer debouncer([&] {
    return Debouncer::Time(std::chrono::milliseconds(ticks.fetch_add(1)));
  });
  std::atomic<bool> sent{false};
  std::thread sender([&] {
    for (int i = 0; i < kPaths; ++i)
      debouncer.Send({K::kCreateFile, {"p" + std::to_string(i)}});
    sent = true;
  });
  std::vector<std::string> got[2];
  std::atomic<int> total{0};
  auto poller = [&](std::vector<std::string>* out) {
    for (int round = 0; round < 10000000 && total < kPaths; ++round) {
      const bool last = sent;
      for (ChangeEvent& c : debouncer.poll_events()) {
        out->push_back(std::move(c.path));
        ++total;
      }
      if (last && total == kPaths) break;
    }
  };
  std::thread first(poller, &got[0]), second(poller, &got[1]);
  sender.join();
  first.join();
  second.join();
  std::set<std::string> unique(got[0].begin(), got[0].end());
  unique.insert(got[1].begin(), got[1].end());
  EXPECT_EQ(got[0].size() + got[1].size(), static_cast<size_t>(kPaths));
  EXPECT_EQ(unique.size(), static_cast<size_t>(kPaths));
}

}  // namespace
}  // namespace tolvane

#include "results/progress_relay.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <span>
#include <thread>
#include <vector>

namespace {

// The counts that the sink got, in the order it got them.
struct Shown {
  std::vector<std::uint32_t> counts;
  bool slow = false;  // a slow sink fills the queue, so that the sender waits
};

void record(void* context, std::span<const ProgressNote> notes) {
  auto* shown = static_cast<Shown*>(context);
  for (const ProgressNote& note : notes) {
    if (shown->slow && shown->counts.size() % 256 == 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    shown->counts.push_back(note.count);
  }
}

class ProgressRelayTest : public testing::TestWithParam<bool> {
 protected:
  void SetUp() override { shown_.slow = GetParam(); }
  Shown shown_;
};

TEST_P(ProgressRelayTest, ShowsEveryNoteOnceAndInOrderBeforeFinishReturns) {
  std::vector<std::uint32_t> sent;
  ProgressRelay relay(record, &shown_);
  for (int round = 0; round < 3; ++round) {  // finish, then the relay starts again
    for (int note = 0; note < 20000; ++note) {
      sent.push_back(static_cast<std::uint32_t>(sent.size()));
      relay.send(ProgressNote{0, sent.back(), false});
    }
    relay.finish();
    EXPECT_EQ(shown_.counts, sent);
  }
}

TEST_P(ProgressRelayTest, TheLastNotesAreShownWhenTheRelayEnds) {
  {
    ProgressRelay relay(record, &shown_);
    for (std::uint32_t note = 0; note < 1000; ++note) relay.send(ProgressNote{0, 7, true});
  }
  EXPECT_EQ(shown_.counts, std::vector<std::uint32_t>(1000, 7));
}

INSTANTIATE_TEST_SUITE_P(FastAndSlowSinks, ProgressRelayTest, testing::Bool());

}  // namespace

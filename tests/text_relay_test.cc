#include "results/text_relay.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace {

// What the sink got, one entry per call. Only one relay writes at a time.
std::vector<std::string> sunk;
bool sink_is_slow = false;

void record(const char* text, std::size_t length) {
  // A slow writer every so often fills the queue, so that the sender waits.
  if (sink_is_slow && sunk.size() % 64 == 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  sunk.emplace_back(text, length);
}

class TextRelayTest : public testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    sunk.clear();
    sink_is_slow = GetParam();
  }
};

TEST_P(TextRelayTest, WritesEveryTextOnceAndInOrderBeforeFinishReturns) {
  std::vector<std::string> sent;
  TextRelay relay(record);
  for (int round = 0; round < 3; ++round) {  // finish, then the relay starts again
    for (int text = 0; text < 5000; ++text) {
      sent.push_back("\rtext " + std::to_string(sent.size()));
      relay.send(sent.back().data(), sent.back().size());
    }
    relay.finish();
    EXPECT_EQ(sunk, sent);
  }
  // A text too long for the queue goes straight, after those before it.
  const std::string text_before = "before";
  const std::string long_text(TextRelay::kMaxText + 1, 'x');
  relay.send(text_before.data(), text_before.size());
  relay.send(long_text.data(), long_text.size());
  sent.push_back(text_before);
  sent.push_back(long_text);
  EXPECT_EQ(sunk, sent);
}

TEST_P(TextRelayTest, TheLastTextsAreWrittenWhenTheRelayEnds) {
  {
    TextRelay relay(record);
    for (int text = 0; text < 1000; ++text) relay.send("abc", 3);
  }
  EXPECT_EQ(sunk, std::vector<std::string>(1000, "abc"));
}

INSTANTIATE_TEST_SUITE_P(FastAndSlowSinks, TextRelayTest, testing::Bool());

}  // namespace

// The sampling loop's decisions and texts, the interval, and the benchmark
// log's keeping of rows it could not write.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "monitor/monitor.h"

namespace {

struct Sample {
  double uptime;
  double total;
  const char* status;
  const char* log_row;  // "" when no row
};

void run_samples(const std::vector<Sample>& samples) {
  MonitorState state = monitor_start_state();
  for (std::size_t i = 0; i < samples.size(); ++i) {
    const Sample& sample = samples[i];
    const SampleTexts texts = monitor_take_sample(&state, sample.uptime, sample.total);
    EXPECT_EQ(texts.status, sample.status) << "sample " << i;
    EXPECT_EQ(texts.log_row, sample.log_row) << "sample " << i;
  }
}

TEST(MonitorSample, FirstSampleNeverGrows) {
  run_samples({{10.0, 52.5, "No change in file size\r", ""}});
}

TEST(MonitorSample, BaselineThenEstimate) {
  run_samples({
      {90.0, 50.0, "No change in file size\r", ""},
      {95.0, 50.0, "No change in file size\r", ""},
      {97.9, 52.5, "uptime+0 Mpts+0.0   No estimate so far\n", "97,52.5,0.00\n"},
      {150.0, 52.5, "uptime+52   No change in file size\r", ""},
      {197.4, 53.0, "uptime+99 Mpts+0.5   Estimate 5.03 kpts/sec\n", "197,53.0,5.03\n"},
  });
}

TEST(MonitorSample, FallIsNoChangeAndLaterGrowthIsMeasuredFromTheOldBaseline) {
  run_samples({
      {100.0, 10.0, "No change in file size\r", ""},
      {110.0, 20.0, "uptime+0 Mpts+0.0   No estimate so far\n", "110,20.0,0.00\n"},
      // The file is removed: a total of 0.0 is a fall, not a change.
      {120.0, 0.0, "uptime+10   No change in file size\r", ""},
      // It comes back smaller than the baseline: growth against the fallen
      // value, figures against the old baseline.
      {130.0, 5.0, "uptime+20 Mpts+-15.0   Estimate -750.00 kpts/sec\n", "130,5.0,-750.00\n"},
  });
}

TEST(MonitorSample, ClockNotPastTheBaselineKeepsTheLastEstimate) {
  run_samples({
      {100.0, 1.0, "No change in file size\r", ""},
      {200.0, 2.0, "uptime+0 Mpts+0.0   No estimate so far\n", "200,2.0,0.00\n"},
      {300.0, 4.0, "uptime+100 Mpts+2.0   Estimate 20.00 kpts/sec\n", "300,4.0,20.00\n"},
      // The tick count wrapped: uptime fell below the baseline's.
      {1.5, 5.0, "uptime+-198 Mpts+3.0   No estimate so far\n", "1,5.0,20.00\n"},
  });
}

TEST(MonitorSample, MeasuredMinusOneLooksLikeNoPreviousReading) {
  run_samples({
      {1.0, -1.0, "No change in file size\r", ""},
      {2.0, 5.0, "No change in file size\r", ""},
      {3.0, 6.0, "uptime+0 Mpts+0.0   No estimate so far\n", "3,6.0,0.00\n"},
  });
}

TEST(MonitorSample, WholeSecondsTruncateTheDifference) {
  run_samples({
      {0.5, 1.0, "No change in file size\r", ""},
      {10.2, 2.0, "uptime+0 Mpts+0.0   No estimate so far\n", "10,2.0,0.00\n"},
      {70.1, 2.0, "uptime+59   No change in file size\r", ""},
  });
}

TEST(MonitorSample, HugeTotalsAreWrittenWhole) {
  MonitorState state = monitor_start_state();
  monitor_take_sample(&state, 1.0, 0.0);
  const SampleTexts texts = monitor_take_sample(&state, 2.0, 1e300);
  char expected[400];
  std::snprintf(expected, sizeof expected, "2,%.1f,0.00\n", 1e300);
  EXPECT_EQ(texts.log_row, expected);
  EXPECT_GT(texts.log_row.size(), 300u);
}

TEST(MonitorInterval, ArgumentsAndBanner) {
  struct Case {
    std::vector<const char*> arguments;
    float interval;
    const char* banner;
  };
  const char* usage = "Call 'zanthbench 900' or similar from DOS to change the interval.\n";
  const std::vector<Case> cases = {
      {{}, 300.0f, nullptr},
      {{"900"}, 900.0f, "RiravUvavu started.  Interval = 900.0 sec\n\n"},
      {{"0.7", "ignored"}, 0.7f, "RiravUvavu started.  Interval = 0.7 sec\n\n"},
      {{"abc"}, 300.0f, "RiravUvavu started.  Interval = 300.0 sec\n\n"},
      {{""}, 300.0f, "RiravUvavu started.  Interval = 300.0 sec\n\n"},
      {{"12abc"}, 12.0f, "RiravUvavu started.  Interval = 12.0 sec\n\n"},
      {{"nan"}, 300.0f, "RiravUvavu started.  Interval = 300.0 sec\n\n"},
      {{"inf"}, 300.0f, "RiravUvavu started.  Interval = 300.0 sec\n\n"},
      {{"-5"}, 300.0f, "RiravUvavu started.  Interval = 300.0 sec\n\n"},
      {{"1e300"}, 300.0f, "RiravUvavu started.  Interval = 300.0 sec\n\n"},
      {{"-0"}, 0.0f, "RiravUvavu started.  Interval = 0.0 sec\n\n"},
      {{"0"}, 0.0f, "RiravUvavu started.  Interval = 0.0 sec\n\n"},
  };
  for (const Case& c : cases) {
    std::vector<char*> argv = {const_cast<char*>("riravuvavu")};
    for (const char* argument : c.arguments) argv.push_back(const_cast<char*>(argument));
    const float interval = parse_interval(static_cast<int>(argv.size()), argv.data());
    EXPECT_EQ(interval, c.interval) << (c.arguments.empty() ? "(none)" : c.arguments[0]);
    const std::string expected =
        c.banner != nullptr
            ? c.banner
            : std::string("RiravUvavu started.  Interval = 300.0 sec\n") + usage + "\n";
    EXPECT_EQ(start_banner(interval, !c.arguments.empty()), expected);
  }
}

TEST(MonitorInterval, MillisecondsTruncateAndNeverWrap) {
  EXPECT_EQ(interval_milliseconds(300.0f), 300000u);
  EXPECT_EQ(interval_milliseconds(0.7f), 699u);  // 0.7f lies just below 0.7
  EXPECT_EQ(interval_milliseconds(0.0f), 0u);
  EXPECT_EQ(interval_milliseconds(5e6f), 5000000000u);  // beyond 32 bits
  EXPECT_EQ(interval_milliseconds(3e38f), UINT64_MAX);
}

std::string read_all(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

// The bytes that text written in text mode becomes on this platform.
std::string in_text_mode(const std::string& text, const std::filesystem::path& probe) {
  std::FILE* file = std::fopen(probe.string().c_str(), "wt");
  std::fputs(text.c_str(), file);
  std::fclose(file);
  return read_all(probe);
}

TEST(BenchmarkLog, KeepsRowsUntilTheFileCanBeWritten) {
  const std::filesystem::path folder =
      std::filesystem::temp_directory_path() /
      ("riravuvavu-log-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()));
  std::filesystem::remove_all(folder);
  const std::filesystem::path log_path = folder / "benchcsv.log";

  // The folder does not exist yet: nothing can be written.
  BenchmarkLog log = benchmark_log_create(log_path.string().c_str());
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(benchmark_log_append(&log, "header\n"));
  EXPECT_FALSE(benchmark_log_append(&log, "1,1.0,0.00\n"));
  const std::string failure = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(failure.find("cannot write"), std::string::npos);
  EXPECT_NE(failure.find("benchcsv.log"), std::string::npos);
  EXPECT_EQ(failure.find('\n'), failure.size() - 1) << "said once: " << failure;
  EXPECT_TRUE(log.failing);

  std::filesystem::create_directories(folder);
  ::testing::internal::CaptureStderr();
  EXPECT_TRUE(benchmark_log_append(&log, "2,2.0,1.00\n"));
  EXPECT_TRUE(benchmark_log_append(&log, "3,3.0,1.00\n"));
  const std::string recovery = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(recovery.find("writable again"), std::string::npos);
  EXPECT_FALSE(log.failing);

  EXPECT_EQ(read_all(log_path),
            in_text_mode("header\n1,1.0,0.00\n2,2.0,1.00\n3,3.0,1.00\n", folder / "probe"));
  std::filesystem::remove_all(folder);
}

}  // namespace

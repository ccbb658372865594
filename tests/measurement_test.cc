#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "monitor/monitor.h"

namespace {

char* copy_of(const std::string& text) {
  char* copy = nullptr;
  duplicate_string(&copy, text.c_str());
  return copy;
}

DynArray records_with_values(const std::vector<std::string>& value_lines) {
  DynArray records = dynarray_create(sizeof(ResultRecord));
  for (const std::string& value_line : value_lines) {
    const ResultRecord record{copy_of("n=1;"), copy_of(value_line), 0.0};
    dynarray_append(&records, &record);
  }
  return records;
}

std::vector<std::string> value_lines_of(const DynArray& records) {
  std::vector<std::string> lines;
  const auto* slots = static_cast<const ResultRecord*>(records.data);
  for (std::uint32_t i = 0; i < records.count; ++i) lines.emplace_back(slots[i].value_line);
  return lines;
}

TEST(DropTimedRecordsTest, DropsLinesWithBothTextsAndSwapsTheLastIntoTheHole) {
  const std::vector<std::string> lines = {
      "#time=5 by host (1)",  // timed
      " by x (2)",            // only " by "
      "#time=5 (3)",          // only "#time="
      "#time=5 bymx (4)",     // "by" without a space on each side
      "#time=5by x (5)",
      "x by y #time=1",  // timed: either order
      "#TIME=5 by x (7)",
      "#time= by ",  // timed
      "(9)",
  };
  DynArray records = records_with_values(lines);
  drop_timed_records(&records);
  // Walking from the end, each hole takes the record then last: index 7
  // takes "(9)", index 5 takes "(9)" again, index 0 takes "#TIME=...".
  EXPECT_EQ(value_lines_of(records),
            (std::vector<std::string>{"#TIME=5 by x (7)", " by x (2)", "#time=5 (3)",
                                      "#time=5 bymx (4)", "#time=5by x (5)", "(9)"}));
  release_results(records);

  DynArray all_timed = records_with_values({"#time=1 by a", "#time=2 by b"});
  drop_timed_records(&all_timed);
  EXPECT_EQ(all_timed.count, 0u);
  release_results(all_timed);
}

TEST(RecordMptsTest, ReadsTheNumberAfterTheFirstParenthesis) {
  struct Case {
    const char* value_line;
    double mpts;
  };
  const std::vector<Case> cases = {
      {"12.5 Mpts", 0.0},  {"x (abc) (2)", 0.0}, {"x (0.84 Mpts)", 0.84}, {"(1.5) (2.5)", 1.5},
      {"( \t3e2)", 300.0}, {"(-2)", -2.0},       {"(0x1p-2)", 0.25},      {"(", 0.0},
  };
  for (const Case& c : cases) {
    char line[64];
    std::strcpy(line, c.value_line);
    EXPECT_EQ(record_mpts(ResultRecord{nullptr, line, 0.0}), c.mpts) << c.value_line;
  }
}

class MeasurementTest : public testing::Test {
 protected:
  void SetUp() override {
    const auto* info = testing::UnitTest::GetInstance()->current_test_info();
    folder_ = std::filesystem::path(testing::TempDir()) /
              (std::string("measurement_") + info->name() + "_" + std::to_string(getpid()));
    std::filesystem::create_directories(folder_);
    path_ = (folder_ / "results.dat").string();
    // The loader's texts are not looked at here.
    std::fflush(stdout);
    saved_stdout_ = dup(1);
    std::FILE* null_output = std::fopen((folder_ / "out").string().c_str(), "wb");
    dup2(fileno(null_output), 1);
    std::fclose(null_output);
  }
  void TearDown() override {
    std::fflush(stdout);
    dup2(saved_stdout_, 1);
    close(saved_stdout_);
    std::filesystem::remove_all(folder_);
  }

  void write_results(const std::string& bytes) { std::ofstream(path_, std::ios::binary) << bytes; }

  // The total of both measurements, which must agree.
  double total() {
    double uptime = -1.0;
    double total = -1.0;
    take_measurement(path_.c_str(), &uptime, &total);
    EXPECT_GT(uptime, 0.0);
    double checked_uptime = -1.0;
    double checked_total = -1.0;
    EXPECT_TRUE(measure_results_file(path_.c_str(), &checked_uptime, &checked_total));
    EXPECT_GE(checked_uptime, uptime);
    EXPECT_EQ(std::memcmp(&checked_total, &total, sizeof total), 0)
        << checked_total << " != " << total;
    return total;
  }

  std::filesystem::path folder_;
  std::string path_;
  int saved_stdout_ = -1;
};

TEST_F(MeasurementTest, EmptyMissingAndAllTimedFilesTotalZero) {
  EXPECT_EQ(total(), 0.0);  // missing
  write_results("");
  EXPECT_EQ(total(), 0.0);
  write_results("a=1;\n#time=3 by x (5)\nb=2;\n (7) by #time=\n");
  EXPECT_EQ(total(), 0.0);
}

TEST_F(MeasurementTest, SumsTheKeptRecordsFromTheLastSlotToTheFirst) {
  // After the drop the slots hold (1), (-1e16), (1), (1e16), summed from the
  // last: 1e16 + 1 rounds back to 1e16, so the total is 1. Summed in file
  // order, or from the last record of the file without the swap, it is 2.
  write_results("a=1;\n(1)\nb=1;\nx #time=1 by y (4)\nc=1;\n(1)\nd=1;\n(1e16)\ne=1;\n(-1e16)\n");
  EXPECT_EQ(total(), 1.0);
  write_results("a=1;\nv (0.84 Mpts)\nb=1;\n#time=1 (0.16)\nc=1;\nno number\n");
  EXPECT_EQ(total(), static_cast<double>(static_cast<long double>(0.16) + 0.84));
}

TEST_F(MeasurementTest, EachPartialSumIsRoundedToTheExtendedSignificandFirst) {
  if constexpr (std::numeric_limits<long double>::digits != 64) {
    GTEST_SKIP() << "long double is not x87 double-extended here";
  }
  // 1 + 2^-53 + 2^-64 rounds to 1 + 2^-53 at 64 bits, then to even: 1.
  // Rounded once to double it would be 1 + 2^-52.
  write_results("a=1;\n(1)\nb=1;\n(0x1.002p-53)\n");
  EXPECT_EQ(total(), 1.0);
}

}  // namespace

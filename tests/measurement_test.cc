#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <ostream>
#include <random>
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
      {"12.5 Mpts", 0.0},   {"x (abc) (2)", 0.0}, {"x (0.84 Mpts)", 0.84},
      {"(1.5) (2.5)", 1.5}, {"( \t3e2)", 300.0},  {"(-2)", -2.0},
      {"(", 0.0},
  };
  for (const Case& c : cases) {
    char line[64];
    std::strcpy(line, c.value_line);
    EXPECT_EQ(record_mpts(ResultRecord{nullptr, line, 0.0}), c.mpts) << c.value_line;
  }
}

// What a measurement showed on standard output and the total it found.
struct Reading {
  std::string texts;
  double total;
  bool operator==(const Reading& other) const {
    return texts == other.texts && std::memcmp(&total, &other.total, sizeof total) == 0;
  }
};

void PrintTo(const Reading& reading, std::ostream* out) {
  *out << testing::PrintToString(reading.texts) << " total " << std::hexfloat << reading.total;
}

// Block sizes for the scan: the smallest, sizes that split lines, line ends
// and texts at every place, and the monitor's own.
constexpr std::size_t kBlockSizes[] = {2, 3, 7, 16, 61, 4096, kScanBlockSize};

class MeasurementTest : public testing::Test {
 protected:
  void SetUp() override {
    const auto* info = testing::UnitTest::GetInstance()->current_test_info();
    folder_ = std::filesystem::path(testing::TempDir()) /
              (std::string("measurement_") + info->name() + "_" + std::to_string(getpid()));
    std::filesystem::create_directories(folder_);
    path_ = (folder_ / "results.dat").string();
  }
  void TearDown() override { std::filesystem::remove_all(folder_); }

  void write_results(const std::string& bytes) { std::ofstream(path_, std::ios::binary) << bytes; }

  // What `action` writes to standard output, taken from file descriptor 1.
  template <typename Action>
  std::string output_of(Action action) {
    const std::filesystem::path output_path = folder_ / "out";
    std::fflush(stdout);
    const int saved = dup(1);
    std::FILE* output = std::fopen(output_path.string().c_str(), "wb");
    dup2(fileno(output), 1);
    action();
    std::fflush(stdout);
    dup2(saved, 1);
    close(saved);
    std::fclose(output);
    std::ifstream in(output_path, std::ios::binary);
    return std::string{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }

  Reading literal_reading() {
    Reading reading{};
    double uptime = -1.0;
    reading.texts = output_of([&] { take_measurement(path_.c_str(), &uptime, &reading.total); });
    EXPECT_GT(uptime, 0.0);
    return reading;
  }

  Reading scanned_reading(std::size_t block_size) {
    Reading reading{};
    ResultsStatus status = ResultsStatus::kReadError;
    reading.texts =
        output_of([&] { status = total_results_file(path_.c_str(), block_size, &reading.total); });
    EXPECT_EQ(status, ResultsStatus::kOk);
    return reading;
  }

  // The total of take_measurement, after checking that the monitor's own
  // measurement shows the same texts and finds the same total, bit for bit,
  // whatever the block size.
  double total() {
    const Reading expected = literal_reading();
    for (std::size_t block_size : kBlockSizes) {
      EXPECT_EQ(scanned_reading(block_size), expected) << "blocks of " << block_size;
    }
    double uptime = -1.0;
    double total = -1.0;
    output_of([&] { EXPECT_TRUE(measure_results_file(path_.c_str(), &uptime, &total)); });
    EXPECT_GT(uptime, 0.0);
    EXPECT_EQ(std::memcmp(&total, &expected.total, sizeof total), 0);
    return expected.total;
  }

  std::filesystem::path folder_;
  std::string path_;
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
  if (std::atof("0x1p-1") != 0.5) GTEST_SKIP() << "atof reads no hexadecimal numbers here";
  // 1 + 2^-53 + 2^-64 rounds to 1 + 2^-53 at 64 bits, then to even: 1.
  // Rounded once to double it would be 1 + 2^-52.
  write_results("a=1;\n(1)\nb=1;\n(0x1.002p-53)\n");
  EXPECT_EQ(total(), 1.0);
  // (1 + 2^-52) + (2^-53 - 2^-65) rounds to the midpoint 1 + 2^-52 + 2^-53 at
  // 64 bits, then to even: 1 + 2^-51. Rounded once it would be 1 + 2^-52.
  write_results("a=1;\n(0x1.0000000000001p0)\nb=1;\n(0x1.ffep-54)\n");
  EXPECT_EQ(total(), 0x1.0000000000002p0);
}

}  // namespace

TEST_F(MeasurementTest, ScanReadsEveryLineEndAndOddLineAsTheLineReader) {
  using namespace std::string_literals;
  const std::vector<std::string> files = {
      "a=1;\r\n(1.5)\r\nb=2;\r\n(2.5)\r\n",
      "a=1;\n(1.5)\nb=2;\n(2.5)\n",
      "a=1;\r(1.5)\rb=2;\r(2.5)\r",
      "a=1;\0(1.5)\0b=2;\0(2.5)\0"s,
      "a=1;\n\r(3)\r\nb=1;\r\r\n(4)",  // LF CR: an empty value line
      "a=1;\n(1)\r",
      "a=1;\n\r",  // a header, then a CR that is the last byte: no record
      "a=1;\n",
      "\n\n\r\n(6)\n",
      "#time=1 by x (1)\na=1;\n(2)\nb=1;\n(3) #time=2 by y\n",  // timed first and last
      "a=1;\n(2) #time=1 by \t \r\nb=1;\n(3) #time=1 by\n",     // " by " trimmed away
      "a=1;\n#time=1 by                    x (9)\n",
      "a=1;\nx by #time=5 (7)\nb=2;\n#time= by (8)\n",
      "a=1; \t\x01\n(1)\n a=1;\n(2)\na=1\n(3)\na=\xe9;\n(4)\n",
      "a=1;\n(1e3)\nb=1;\n(0x10)\nc=1;\n(-0)\nd=1;\n(nan)\ne=1;\n(inf)\n",
      "a=1;\n( \t 7.25)\nb=1;\n(12345678901234567890.5)\nc=1;\n(.5)\nd=1;\n(5.)\n",
      "a=1;\n(+3)\nb=1;\n(- 3)\nc=1;\n(1.5.5)\nd=1;\n(1,5)\ne=1;\n(0.1e)\nf=1;\n(1e+)\n",
      "a=1;\n(00000000000000000000000001.5)\nb=1;\n(1.5Mpts)\nc=1;\n(2.5\x01)\nd=1;\n((3)\n",
      "a=1;\n(0.1)\nb=1;\n(0.2)\nc=1;\n(0.3)\nd=1;\n(9007199254740993)\n",
      // Numbers that end at, just before and just past 16 bytes.
      "a=1;\n(123456789012345)\nb=1;\n(1234567.1234567 )\nc=1;\n(1234567.12345678)\n",
      "a=1;\n(12345678901234.5e1)\nb=1;\n(1234567890123.5e)\nc=1;\n(123456789012345.)\n",
  };
  for (const std::string& file : files) {
    SCOPED_TRACE(testing::PrintToString(file));
    write_results(file);
    total();
  }
}

// A results file of a few hundred records in every shape the reader meets:
// all line ends, junk, headers that are none, timing records, numbers in
// every form, and lines longer than small blocks.
std::string generated_results(unsigned seed) {
  std::mt19937 random(seed);
  const auto pick = [&random](const auto& options) {
    return options[random() % std::size(options)];
  };
  const std::string line_ends[] = {"\n", "\n", "\r\n", "\r", std::string(1, '\0')};
  const std::string headers[] = {"#job=1234;n=56;k=7;", "a=1;",    "=;", "", " \t", "x=1",
                                 "#job=1; n=2;",        "k=7;  \t"};
  const std::string values[] = {"12.5 s, 3.1 Mpts/s (0.%05u Mpts) job",
                                "#time=3.5 by host7 (%u.25 Mpts)",
                                "(%ue3)",
                                " by #time= (%u)",
                                "x (%u.5) #time=2 by  \t",
                                "#time=2 by                    x (%u)",
                                "no number %u",
                                "(abc %u)",
                                "( -%u.125)",
                                "(0x1p-%u Mpts)",
                                "(%u23456789012345678901234)",
                                "(1.%u)(2.5)"};
  std::string file;
  const int records = 250 + static_cast<int>(random() % 100);
  for (int record = 0; record < records; ++record) {
    if (random() % 10 == 0) file += "junk line " + std::to_string(random()) + pick(line_ends);
    file += pick(headers) + pick(line_ends);
    char value[128];
    std::snprintf(value, sizeof value, pick(values).c_str(),
                  static_cast<unsigned>(random() % 100000));
    file += value;
    if (random() % 40 == 0) file += std::string(100 + random() % 200, 'y') + " by x #time=1";
    file += pick(line_ends);
  }
  switch (random() % 3) {
    case 0:
      file.pop_back();  // no terminator after the last line
      break;
    case 1:
      file += "\r";
      break;
  }
  return file;
}

TEST_F(MeasurementTest, ScanAgreesWithTheRecordListOnGeneratedFiles) {
  for (unsigned seed = 1; seed <= 12; ++seed) {
    SCOPED_TRACE(seed);
    write_results(generated_results(seed));
    total();
  }
}

// Header-like lines of every length up to past 64 bytes, built from groups
// and then spoilt here and there, each followed by a value line that counts
// only when the line before is a header.
TEST_F(MeasurementTest, ScanTellsHeadersAsTheRecordListDoes) {
  std::mt19937 random(7);
  const std::string spoilers[] = {"a", "#", " ", "\t", "-", ".", "\xe9", "=", ";", "(", "\x01"};
  const std::string name_bytes = "aZz09#";
  std::string file;
  for (int line = 0; line < 3000; ++line) {
    std::string header;
    const std::size_t wanted = random() % 80;
    while (header.size() < wanted) {
      for (std::size_t i = random() % 4; i > 0; --i) header += name_bytes[random() % 6];
      header += '=';
      for (std::size_t i = random() % 4; i > 0; --i)
        header += static_cast<char>('0' + random() % 10);
      header += ';';
    }
    if (random() % 2 == 0 && !header.empty()) {
      header[random() % header.size()] = spoilers[random() % std::size(spoilers)][0];
    }
    if (random() % 8 == 0) header += " \t";
    file += header + "\n(" + std::to_string(line) + ")\n";
  }
  write_results(file);
  total();
}

// Many progress texts, at positions of every kind, show the count and
// percentage as the record list prints them.
TEST_F(MeasurementTest, ProgressTextsMatchTheRecordListsAtManyPositions) {
  std::mt19937 random(11);
  std::string file;
  for (int record = 0; record < 30000; ++record) {
    file += "a=1;\n(" + std::to_string(record) + ")" + std::string(random() % 90, 'x') + "\n";
  }
  write_results(file);
  total();
}

TEST_F(MeasurementTest, LinesLongerThanTheMonitorsBlockAreReadWhole) {
  const std::string long_text(kScanBlockSize + 1000, 'w');
  std::string header;
  while (header.size() <= kScanBlockSize) header += "abc=123;";
  write_results("a=1;\n(1.5) " + long_text + " #time=1 by x\n" + long_text + "\n" + header +
                "\r\n(2.5) " + long_text + "\nb=1;\n(" + std::string(kScanBlockSize, '1') +
                ".5)\n");
  total();
}

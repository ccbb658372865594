#include "results/results_file.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

using namespace std::string_literals;

// A scratch folder of the test's own, removed afterwards.
class ResultsFileTest : public testing::Test {
 protected:
  void SetUp() override {
    const auto* info = testing::UnitTest::GetInstance()->current_test_info();
    folder_ = std::filesystem::path(testing::TempDir()) /
              (std::string("results_file_") + info->name() + "_" + std::to_string(getpid()));
    std::filesystem::remove_all(folder_);
    std::filesystem::create_directories(folder_);
  }
  void TearDown() override { std::filesystem::remove_all(folder_); }

  std::string write_file(const std::string& bytes, const std::string& name = "results.dat") {
    const std::string path = (folder_ / name).string();
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
  }

  std::filesystem::path folder_;
};

// Every line read_line returns from a file holding `bytes`, up to the end.
std::vector<std::string> read_all_lines(const std::string& path) {
  std::FILE* stream = std::fopen(path.c_str(), "rb");
  std::vector<std::string> lines;
  while (char* line = read_line(stream)) {
    lines.emplace_back(line);
    std::free(line);
  }
  std::fclose(stream);
  return lines;
}

struct Record {
  std::string header;
  std::string value;
  double number;
  bool operator==(const Record&) const = default;
};

std::vector<Record> read_all_records(const std::string& path) {
  std::FILE* stream = std::fopen(path.c_str(), "rb");
  std::vector<Record> records;
  for (ResultRecord record = read_result_record(stream); record.header_line != nullptr;
       record = read_result_record(stream)) {
    records.push_back({record.header_line, record.value_line, record.value_number});
    std::free(record.header_line);
    std::free(record.value_line);
  }
  std::fclose(stream);
  return records;
}

// Standard output of `action`, taken from file descriptor 1. Line ends are
// given back as "\n" where the text stream writes them as CR LF.
template <typename Action>
std::string capture_stdout(const std::filesystem::path& file, Action action) {
  std::fflush(stdout);
  const int saved = dup(1);
  std::FILE* capture = std::fopen(file.string().c_str(), "wb");
  dup2(fileno(capture), 1);
  action();
  std::fflush(stdout);
  dup2(saved, 1);
  close(saved);
  std::fclose(capture);
  std::ifstream in(file, std::ios::binary);
  std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  for (std::size_t at = 0; (at = text.find("\r\n", at)) != std::string::npos;) text.erase(at, 1);
  return text;
}

TEST_F(ResultsFileTest, ReadLineSplitsAtEveryLineEnd) {
  struct Case {
    std::string bytes;
    std::vector<std::string> lines;
  };
  const std::vector<Case> cases = {
      {"a\r\nbc\r\n", {"a", "bc"}},
      {"a\nbc\n", {"a", "bc"}},
      {"a\rbc\r", {"a", "bc"}},
      {"a\0bc\0"s, {"a", "bc"}},
      {"a\n\rb", {"a", "", "b"}},  // LF CR: two ends
      {"\r\rx", {"", "", "x"}},
      {"last", {"last"}},
      {"", {}},
      {"\r", {}},  // a lone CR as the last byte ends the file
      {"a\r\r", {"a"}},
      {"\n", {""}},  // an empty line ended by LF, NUL or CR LF counts even at the end
      {"\0"s, {""}},
      {"\r\n", {""}},
      {"a\n\n", {"a", ""}},
      {"a\r\n\r\n", {"a", ""}},
      {"x\x01\t \xff\n", {"x\x01\t \xff"}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(read_all_lines(write_file(c.bytes)), c.lines) << testing::PrintToString(c.bytes);
  }
}

TEST_F(ResultsFileTest, ReadLineLeavesTheStreamAtTheNextLine) {
  std::FILE* stream = std::fopen(write_file("ab\r\ncd\rx\n").c_str(), "rb");
  const std::vector<long> positions = {4, 7, 9};
  for (long expected : positions) {
    std::free(read_line(stream));
    EXPECT_EQ(std::ftell(stream), expected);
  }
  EXPECT_EQ(read_line(stream), nullptr);
  std::fclose(stream);
}

TEST(TrimTrailingTest, RemovesTrailingBytesOneToThirtyTwoOnly) {
  struct Case {
    std::string text;
    std::string trimmed;
  };
  const std::vector<Case> cases = {
      {"abc \t\x01\x1f\x0b ", "abc"},
      {"  \t", ""},
      {"", ""},
      {" a", " a"},
      {"a\x7f", "a\x7f"},
      {"a\xa0 ", "a\xa0"},
  };
  for (const Case& c : cases) {
    std::string buffer = c.text;
    EXPECT_EQ(trim_trailing(buffer.data()), buffer.data());
    EXPECT_EQ(std::string(buffer.c_str()), c.trimmed) << testing::PrintToString(c.text);
  }
}

TEST(DuplicateStringTest, MakesAnExactCopyOfItsOwn) {
  const char source[] = "#job=1;";
  char* copy = nullptr;
  EXPECT_EQ(duplicate_string(&copy, source), 7u);
  ASSERT_NE(copy, nullptr);
  EXPECT_NE(copy, source);
  EXPECT_STREQ(copy, source);
  std::free(copy);
}

TEST(HeaderGrammarTest, AcceptsOnlyWholeGroups) {
  struct Case {
    const char* line;
    bool header;
  };
  const std::vector<Case> cases = {
      {"", true},          {"#job=1234;n=56;k=7;", true},
      {"=;", true},        {"a=;", true},
      {"=12;", true},      {"##Zz09=0;", true},
      {"a=1", false},  // last group without ";"
      {" a=1;", false},    {"a=1; b=2;", false},
      {"a=-1;", false},    {"a=+1;", false},
      {"a=1.5;", false},   {"\xe9=1;", false},
      {"a=1\xe9;", false}, {"a=1;;", false},
      {"a==1;", false},    {"a=1;x", false},
  };
  for (const Case& c : cases) EXPECT_EQ(is_header_line(c.line), c.header) << c.line;
}

TEST_F(ResultsFileTest, RecordsPairAHeaderWithTheLineAfterIt) {
  struct Case {
    std::string bytes;
    std::vector<Record> records;
  };
  const std::vector<Case> cases = {
      {"n=1;\n0.84 Mpts (0.84 Mpts)\n", {{"n=1;", "0.84 Mpts (0.84 Mpts)", 0.84}}},
      {"junk\nk=7; \t\r\n  2.5e1 x \x01\r\n", {{"k=7;", "  2.5e1 x", 25.0}}},
      {"a=1;\nb=2;\nc=3;\n", {{"a=1;", "b=2;", 0.0}}},  // the second header is the value
      {"a=1;\nv\nb=2;\n", {{"a=1;", "v", 0.0}}},        // a header as last line is dropped
      {"junk\n\nk=1;\n", {{"", "k=1;", 0.0}}},          // a blank line is a header
      {" \t\nvalue\xe9\n", {{"", "value\xe9", 0.0}}},
      {"a=1\nx=1;y\n1.5\n", {}},
      {"\n", {}},
      {"\r", {}},
      {"a=1;\r\n1\r\nb=2;\r\n2", {{"a=1;", "1", 1.0}, {"b=2;", "2", 2.0}}},
      {"a=1;\r1\rb=2;\r2\r", {{"a=1;", "1", 1.0}, {"b=2;", "2", 2.0}}},
      {"a=1;\0001\0b=2;\0002\0"s, {{"a=1;", "1", 1.0}, {"b=2;", "2", 2.0}}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(read_all_records(write_file(c.bytes)), c.records) << testing::PrintToString(c.bytes);
  }
  EXPECT_EQ(read_result_record(nullptr).header_line, nullptr);
}

// `count` records of 10 bytes each.
std::string records_file(int count) {
  std::string bytes;
  for (int i = 0; i < count; ++i) bytes += "n=1;\n(1.0)\n";
  return bytes;
}

TEST_F(ResultsFileTest, LoaderShowsOpeningProgressAndFinalTexts) {
  struct Case {
    int count;
    std::string progress;
  };
  const std::string path = (folder_ / "results.dat").string();
  const std::string p = "Loading '" + path + "'... ";
  const std::vector<Case> cases = {
      {0, ""},
      {99, ""},
      {100, p + "100 (100.0%)\r"},
      {250, p + "100 (40.0%)\r" + p + "200 (80.0%)\r"},
  };
  for (const Case& c : cases) {
    write_file(records_file(c.count));
    DynArray records{};
    const std::string out =
        capture_stdout(folder_ / "out", [&] { records = load_results(path.c_str()); });
    EXPECT_EQ(out, "Loading '" + path + "'..." + c.progress + p + "OK (" + std::to_string(c.count) +
                       " results)\n");
    ASSERT_EQ(records.count, static_cast<std::uint32_t>(c.count));
    auto* slots = static_cast<ResultRecord*>(records.data);
    for (std::uint32_t i = 0; i < records.count; ++i) {
      EXPECT_STREQ(slots[i].value_line, "(1.0)");
      std::free(slots[i].header_line);
      std::free(slots[i].value_line);
    }
    dynarray_release(records);
  }
}

TEST_F(ResultsFileTest, MissingFileIsReportedEmptyWithoutALineEnd) {
  const std::string path = (folder_ / "missing.dat").string();
  DynArray records{};
  const std::string out =
      capture_stdout(folder_ / "out", [&] { records = load_results(path.c_str()); });
  EXPECT_EQ(out, "Loading '" + path + "'...Loading '" + path + "'... File empty");
  EXPECT_EQ(records.count, 0u);
  dynarray_release(records);
}

}  // namespace

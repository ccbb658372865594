// Arbitrary bytes as results.dat: loaded from a real file, filtered and summed
// the way a sample does it, and checked against a reading of the same bytes
// in memory (lines, trimming, header grammar, record pairing, timed records,
// Mpts and the order of summation).
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "monitor/monitor.h"
#include "platform/platform.h"
#include "results/results_file.h"
#include "support/dynarray.h"

namespace {

struct Record {
  std::string header;
  std::string value;
};

void check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "results reader check failed: %s\n", what);
    std::abort();
  }
}

// A file of this process's own in /dev/shm (or /tmp), removed when it
// exits; a plain buffer, so that it outlives every destructor run at exit.
char scratch_file[96];

void remove_scratch_file() {
  std::remove(scratch_file);
}

void name_scratch_file() {
  const char* folder = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  std::snprintf(scratch_file, sizeof scratch_file, "%s/riravuvavu-results-fuzz-%d", folder,
                static_cast<int>(getpid()));
  std::atexit(remove_scratch_file);
}

// The file's lines: NUL, LF or CR end a line, CR LF counts once, the last line
// needs no terminator, and a lone CR as the very last byte ends no line.
std::vector<std::string> lines_of(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < size) {
    std::size_t end = start;
    while (end < size && data[end] != 0 && data[end] != '\n' && data[end] != '\r') ++end;
    std::string line(reinterpret_cast<const char*>(data) + start, end - start);
    if (end == size) {
      lines.push_back(line);
      break;
    }
    std::size_t next = end + 1;
    if (data[end] == '\r' && next < size && data[next] == '\n') ++next;
    if (line.empty() && data[end] == '\r' && end + 1 == size) break;
    lines.push_back(line);
    start = next;
  }
  return lines;
}

std::string trimmed(std::string line) {
  while (!line.empty() && static_cast<unsigned char>(line.back()) <= ' ') line.pop_back();
  return line;
}

bool header(const std::string& line) {
  std::size_t at = 0;
  auto name = [](unsigned char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '#';
  };
  while (at < line.size()) {
    while (at < line.size() && name(static_cast<unsigned char>(line[at]))) ++at;
    if (at == line.size() || line[at] != '=') return false;
    ++at;
    while (at < line.size() && line[at] >= '0' && line[at] <= '9') ++at;
    if (at == line.size() || line[at] != ';') return false;
    ++at;
  }
  return true;
}

std::vector<Record> records_of(const std::uint8_t* data, std::size_t size) {
  std::vector<Record> records;
  const std::vector<std::string> lines = lines_of(data, size);
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::string line = trimmed(lines[i]);
    if (!header(line)) continue;
    if (i + 1 == lines.size()) break;
    records.push_back({line, trimmed(lines[i + 1])});
    ++i;
  }
  return records;
}

bool timed(const std::string& value) {
  return value.find("#time=") != std::string::npos && value.find(" by ") != std::string::npos;
}

// The total as a sample forms it: timed records leave by swapping the last
// record into their place, walking from the end, and the rest are summed from
// the last to the first, each sum rounded to 64 bits and then to double.
double expected_total(const std::vector<Record>& records) {
  std::vector<std::size_t> order(records.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  for (std::size_t i = order.size(); i-- > 0;) {
    if (timed(records[order[i]].value)) {
      order[i] = order.back();
      order.pop_back();
    }
  }
  double total = 0.0;
  for (std::size_t i = order.size(); i-- > 0;) {
    const std::string& value = records[order[i]].value;
    const std::size_t parenthesis = value.find('(');
    const double mpts =
        parenthesis == std::string::npos ? 0.0 : std::atof(value.c_str() + parenthesis + 1);
    total = static_cast<double>(static_cast<long double>(total) + mpts);
  }
  return total;
}

bool same_bits(double a, double b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The loader's texts are not what is fuzzed, and its row blanking acts on
  // an in-memory console rather than on whatever terminal runs the fuzzer.
  check(std::freopen("/dev/null", "w", stdout) != nullptr, "silence standard output");
  platform_use_screen_model(80, 25, SMALL_RECT{0, 0, 79, 24});
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (scratch_file[0] == '\0') name_scratch_file();
  const char* path = scratch_file;
  std::FILE* out = std::fopen(path, "wb");
  check(out != nullptr, "scratch file");
  std::fwrite(data, 1, size, out);
  std::fclose(out);
  const std::vector<Record> model = records_of(data, size);

  // The literal path: load, compare record by record, drop, sum, release.
  DynArray records = load_results(path);
  check(records.count == model.size(), "record count");
  const auto* slots = static_cast<const ResultRecord*>(records.data);
  for (std::size_t i = 0; i < model.size(); ++i) {
    check(slots[i].header_line != nullptr && slots[i].value_line != nullptr, "record strings");
    check(model[i].header == slots[i].header_line, "header line");
    check(model[i].value == slots[i].value_line, "value line");
    check(same_bits(slots[i].value_number, std::strtod(model[i].value.c_str(), nullptr)),
          "value number");
  }
  drop_timed_records(&records);
  slots = static_cast<const ResultRecord*>(records.data);
  double literal = 0.0;
  for (std::uint32_t i = records.count; i-- > 0;) {
    literal = static_cast<double>(static_cast<long double>(literal) + record_mpts(slots[i]));
  }
  release_results(records);
  const double expected = expected_total(model);
  check(same_bits(literal, expected), "literal total");

  // What the monitor runs at every sample gives the same total, bit for bit.
  double uptime = 0.0;
  double measured = 0.0;
  take_measurement(path, &uptime, &measured);
  check(same_bits(measured, expected), "take_measurement total");
  check(measure_results_file(path, &uptime, &measured), "measure_results_file succeeds");
  check(same_bits(measured, expected), "measure_results_file total");
  // Small blocks put line ends, "(", "#time=" and " by " across block edges.
  const std::size_t block_size = size == 0 ? 1 : 1 + data[size - 1] % 64;
  check(total_results_file(path, block_size, &measured) == ResultsStatus::kOk,
        "total_results_file succeeds");
  check(same_bits(measured, expected), "total_results_file total");
  return 0;
}

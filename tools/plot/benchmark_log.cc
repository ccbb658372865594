#include "tools/plot/benchmark_log.h"

#include <array>
#include <charconv>
#include <cmath>

namespace {

// Far beyond any uptime or Mpts total, and small enough that differences of
// such numbers stay finite when the chart scales them.
constexpr double kLargestValue = 1e15;

// Reads a number that is the whole of field.
bool parse_number(std::string_view field, double* value) {
  const char* end = field.data() + field.size();
  auto [rest, error] = std::from_chars(field.data(), end, *value);
  return !field.empty() && error == std::errc() && rest == end;
}

// Returns why the line is no data row, or null when *row holds it.
const char* parse_row(std::string_view line, LogRow* row) {
  std::array<double, 3> numbers{};
  for (std::size_t i = 0; i < numbers.size(); ++i) {
    const std::size_t comma = line.find(',');
    const bool last = i + 1 == numbers.size();
    if ((comma == std::string_view::npos) != last) return "not three numbers";
    if (!parse_number(line.substr(0, comma), &numbers[i])) return "not three numbers";
    if (!(std::abs(numbers[i]) <= kLargestValue)) return "number out of range";
    if (!last) line.remove_prefix(comma + 1);
  }
  *row = {numbers[0], numbers[1], numbers[2]};
  return nullptr;
}

}  // namespace

BenchmarkLog parse_benchmark_log(std::string_view text) {
  BenchmarkLog log;
  std::size_t line_number = 0;
  while (!text.empty()) {
    ++line_number;
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    const bool complete = end != std::string_view::npos;
    text.remove_prefix(complete ? end + 1 : text.size());
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);

    if (line == kLogHeader) {
      log.runs.push_back({static_cast<int>(log.runs.size()) + 1, {}});
      continue;
    }
    LogRow row;
    if (!complete) {
      log.skipped.push_back({line_number, "cut short"});
    } else if (const char* reason = parse_row(line, &row)) {
      log.skipped.push_back({line_number, reason});
    } else {
      if (log.runs.empty()) log.runs.push_back({1, {}});
      log.runs.back().rows.push_back(row);
    }
  }
  return log;
}

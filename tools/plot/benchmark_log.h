// The benchmark log "benchcsv.log" as the monitor writes it: a header row at
// every start of the monitor, then one row "uptime,Mpts in file,estimate" for
// every sample at which the results file grew.
#ifndef RIRAVUVAVU_TOOLS_PLOT_BENCHMARK_LOG_H_
#define RIRAVUVAVU_TOOLS_PLOT_BENCHMARK_LOG_H_

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

struct LogRow {
  double uptime;    // seconds since system start
  double mpts;      // Mpts in the results file
  double estimate;  // kpts/sec
};

// The rows of one start of the monitor. Runs are numbered from 1 in the order
// of the log; rows that stand before any header row make a run of their own.
struct LogRun {
  int number;
  std::vector<LogRow> rows;
};

struct SkippedRow {
  std::size_t line;  // 1-based line number in the log
  std::string reason;
};

struct BenchmarkLog {
  std::vector<LogRun> runs;         // every run, also those without rows
  std::vector<SkippedRow> skipped;  // rows that could not be drawn
};

// The header row that opens every run.
inline constexpr std::string_view kLogHeader = "Uptime (secs),Mpts in file,Estimate kpts/sec";

// Splits the log's text into runs. Lines end in LF or CR LF. A row that is not
// three finite numbers is skipped, and so is a last line without a line end:
// the monitor was still writing it.
BenchmarkLog parse_benchmark_log(std::string_view text);

#endif  // RIRAVUVAVU_TOOLS_PLOT_BENCHMARK_LOG_H_

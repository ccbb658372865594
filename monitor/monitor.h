// The monitor: the sampling loop with its baseline and throughput estimate,
// the benchmark log, the measurement of the results file, and the uptime clock.
#ifndef RIRAVUVAVU_MONITOR_MONITOR_H_
#define RIRAVUVAVU_MONITOR_MONITOR_H_

#include <cstdint>
#include <string>
#include <vector>

#include "results/results_file.h"
#include "support/dynarray.h"

// ---- Measurement ----------------------------------------------------------

// Reads the clock, then the whole results file, and stores the uptime at the
// start of the sample and the Mpts total of the records that count.
void take_measurement(const char* results_path, double* uptime, double* total);
// As take_measurement; returns false when the file could not be measured in
// full (memory ran out or a size overflowed). A message naming the cause is
// then on standard error and *total is not to be used.
bool measure_results_file(const char* results_path, double* uptime, double* total);
// The total of measure_results_file, read in blocks of block_size bytes: the
// same as take_measurement's, bit for bit, for any block size.
ResultsStatus total_results_file(const char* results_path, std::size_t block_size, double* total);
// Frees and removes, walking from the last record, every record whose value
// line holds both "#time=" and " by ".
void drop_timed_records(DynArray* records);
// The number after the first "(" of the value line, 0.0 without one.
double record_mpts(ResultRecord record);
void free_result_record(ResultRecord record);
// Frees every record's strings, then the array.
void release_results(DynArray records);

// ---- Sampling loop ---------------------------------------------------------

inline constexpr char kResultsPath[] = "results.dat";
inline constexpr char kBenchmarkLogPath[] = "benchcsv.log";
inline constexpr char kBenchmarkLogHeader[] = "Uptime (secs),Mpts in file,Estimate kpts/sec\n";

// The loop's numbers. -1.0 in previous_total/current_total and in
// baseline_uptime marks the absence of a value (tested by exact equality).
struct MonitorState {
  double previous_total;
  double current_total;
  double current_uptime;
  double baseline_uptime;
  double baseline_total;  // set together with baseline_uptime
  double estimate;        // kpts/sec; persists from sample to sample
};

MonitorState monitor_start_state();

// What one sample shows on the console and appends to the benchmark log.
struct SampleTexts {
  std::string status;   // for standard output
  std::string log_row;  // empty when the total did not grow
};

// Takes one sample's uptime and total into the loop state and returns its
// texts.
SampleTexts monitor_take_sample(MonitorState* state, double uptime, double total);

// The interval argument: 300 without one, for a non-number, and for NaN,
// infinities and negative values.
float parse_interval(int argc, char** argv);
// The banner, the usage line when there is no argument, and an empty line.
std::string start_banner(float interval, bool has_argument);
// 1000 x interval, truncated to whole milliseconds (saturating).
std::uint64_t interval_milliseconds(float interval);
// Sleeps the interval's milliseconds; a count beyond 32 bits is slept in full,
// in pieces.
void sleep_interval(float interval);

// ---- Benchmark log ------------------------------------------------------------

// Rows waiting for the log file. A row that cannot be written stays here, in
// order, and goes out before the next one once the file is writable again.
struct BenchmarkLog {
  std::string path;
  std::vector<std::string> pending;
  bool failing;  // the last write failed and standard error has said so
};

BenchmarkLog benchmark_log_create(const char* path);
// Appends the row, after any rows kept from earlier failures. Returns true
// when every row is in the file.
bool benchmark_log_append(BenchmarkLog* log, std::string row);

// ---- Uptime clock -----------------------------------------------------------

// Seconds since system start, from the high-resolution counter where there is
// one and from the millisecond tick count otherwise; chosen at the first call.
double uptime_seconds();

#endif  // RIRAVUVAVU_MONITOR_MONITOR_H_

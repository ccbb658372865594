// The monitor: the sampling loop with its baseline and throughput estimate,
// the benchmark log, the measurement of the results file, and the uptime clock.
#ifndef RIRAVUVAVU_MONITOR_MONITOR_H_
#define RIRAVUVAVU_MONITOR_MONITOR_H_

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
// Frees and removes, walking from the last record, every record whose value
// line holds both "#time=" and " by ".
void drop_timed_records(DynArray* records);
// The number after the first "(" of the value line, 0.0 without one.
double record_mpts(ResultRecord record);
void free_result_record(ResultRecord record);
// Frees every record's strings, then the array.
void release_results(DynArray records);

// ---- Uptime clock -----------------------------------------------------------

// Seconds since system start, from the high-resolution counter where there is
// one and from the millisecond tick count otherwise; chosen at the first call.
double uptime_seconds();

#endif  // RIRAVUVAVU_MONITOR_MONITOR_H_

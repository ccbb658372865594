// The measurement: which records of the results file count, the Mpts each one
// holds, and their total.
//
// Partial sums are carried in long double and stored as double, so that every
// addition is rounded first to a 64-bit significand and then to double. That
// is x87 double-extended on x86-64 (Linux, macOS on Intel, mingw-w64), which
// the total has always been computed in. Where long double is plain double
// (MSVC, AArch64 macOS) each sum is rounded once; where it is IEEE quad
// (AArch64 Linux) first to 113 bits. Both can differ from x86-64 in the last
// bit of a total.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "monitor/monitor.h"

namespace {

bool is_timed_record(const char* value_line) {
  return std::strstr(value_line, "#time=") != nullptr && std::strstr(value_line, " by ") != nullptr;
}

double add_rounded(double total, double mpts) {
  return static_cast<double>(static_cast<long double>(total) + static_cast<long double>(mpts));
}

// Sums the Mpts of the records from the last to the first.
double sum_mpts(const DynArray& records) {
  const auto* slots = static_cast<const ResultRecord*>(records.data);
  double total = 0.0;
  for (std::uint32_t index = records.count; index-- > 0;) {
    total = add_rounded(total, record_mpts(slots[index]));
  }
  return total;
}

void report_skipped_sample(const char* results_path, ResultsStatus status) {
  std::fprintf(stderr, "riravuvavu: %s: %s, sample skipped\n", results_path,
               results_status_text(status));
}

}  // namespace

void take_measurement(const char* results_path, double* uptime, double* total) {
  *total = 0.0;
  *uptime = uptime_seconds();
  DynArray records = load_results(results_path);
  drop_timed_records(&records);
  *total = sum_mpts(records);
  release_results(records);
}

bool measure_results_file(const char* results_path, double* uptime, double* total) {
  *total = 0.0;
  *uptime = uptime_seconds();
  DynArray records{};
  const ResultsStatus status = load_results_checked(results_path, &records);
  if (status != ResultsStatus::kOk) {
    report_skipped_sample(results_path, status);
    return false;
  }
  drop_timed_records(&records);
  *total = sum_mpts(records);
  release_results(records);
  return true;
}

void drop_timed_records(DynArray* records) {
  for (std::uint32_t index = records->count; index-- > 0;) {
    // A removal may move the storage: address it afresh for every index.
    const ResultRecord record = static_cast<const ResultRecord*>(records->data)[index];
    if (is_timed_record(record.value_line)) {
      free_result_record(record);
      dynarray_remove_swap(records, index);
    }
  }
}

double record_mpts(ResultRecord record) {
  const char* parenthesis = std::strchr(record.value_line, '(');
  return parenthesis == nullptr ? 0.0 : std::atof(parenthesis + 1);
}

void free_result_record(ResultRecord record) {
  std::free(record.header_line);
  std::free(record.value_line);
}

void release_results(DynArray records) {
  const auto* slots = static_cast<const ResultRecord*>(records.data);
  for (std::uint32_t index = records.count; index-- > 0;) free_result_record(slots[index]);
  dynarray_release(records);
}

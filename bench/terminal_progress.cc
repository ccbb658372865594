// terminal_progress RESULTS ROUNDS REPORT: reads RESULTS ROUNDS times as a
// sample does (measure_results_file, the monitor's path) and ROUNDS times
// with load_results, progress texts and the clearing behind them included, and
// writes the seconds of each reading to REPORT, one "<path> <seconds>" line
// each. bench/terminal_progress.py runs it with standard output on a
// terminal and sent to a file, and compares.
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "monitor/monitor.h"
#include "platform/platform.h"
#include "results/results_file.h"

namespace {

template <typename Read>
double seconds_of(Read read) {
  const auto start = std::chrono::steady_clock::now();
  read();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: terminal_progress RESULTS ROUNDS REPORT\n");
    return 2;
  }
  platform_start_process();
  const char* const path = argv[1];
  const int rounds = std::atoi(argv[2]);
  std::FILE* report = std::fopen(argv[3], "w");
  if (report == nullptr) return 1;
  for (int round = 0; round < rounds; ++round) {
    const double measure = seconds_of([path] {
      double uptime = 0.0;
      double total = 0.0;
      measure_results_file(path, &uptime, &total);
    });
    const double load = seconds_of([path] { release_results(load_results(path)); });
    std::fprintf(report, "measure %.6f\nload %.6f\n", measure, load);
  }
  return std::fclose(report) == 0 ? 0 : 1;
}

// riravuvavu [interval]: samples results.dat every interval seconds (300 by
// default) and reports the benchmark's average throughput since the first
// growth it saw. Runs until the process is killed.
#include <cstdio>

#include "monitor/monitor.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
  platform_start_process();

  const float interval = parse_interval(argc, argv);
  std::fputs(start_banner(interval, argc > 1).c_str(), stdout);

  BenchmarkLog log = benchmark_log_create(kBenchmarkLogPath);
  benchmark_log_append(&log, kBenchmarkLogHeader);

  MonitorState state = monitor_start_state();
  for (;;) {
    double uptime = 0.0;
    double total = 0.0;
    // A sample that could not read the whole file is skipped; the reason is
    // already on standard error.
    if (measure_results_file(kResultsPath, &uptime, &total)) {
      const SampleTexts texts = monitor_take_sample(&state, uptime, total);
      std::fputs(texts.status.c_str(), stdout);
      if (!texts.log_row.empty()) benchmark_log_append(&log, texts.log_row);
    }
    sleep_interval(interval);
  }
}

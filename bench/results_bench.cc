// Micro-benchmarks of the results file readers on a page-cached file of
// generated records: the line reader, the record list of load_results, and
// the streaming measurement at several block sizes. Bytes per second are
// bytes of the file.
//
// The loaders' texts go to /dev/null; the report goes where standard output
// went.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include <benchmark/benchmark.h>

#include "monitor/monitor.h"
#include "results/results_file.h"

namespace {

// A results file of about `size` bytes: four records in five count, one is a
// timing record, and now and then a line is no header.
std::string make_results_file(std::size_t size) {
  const std::string path = "/tmp/riravuvavu-results-bench-" + std::to_string(getpid()) + "-" +
                           std::to_string(size) + ".dat";
  std::ofstream out(path, std::ios::binary);
  std::size_t written = 0;
  char line[160];
  for (unsigned job = 1; written < size; ++job) {
    const int length =
        job % 5 == 0
            ? std::snprintf(line, sizeof line,
                            "#job=%u;n=%u;k=7;\n#time=%u.5 by host%u (%u.%05u Mpts)\n", job,
                            job % 1000, job % 9000, job % 64, job % 4, job % 99991)
            : std::snprintf(line, sizeof line,
                            "#job=%u;n=%u;k=7;\n%u.%03u s, %u.25 Mpts/s (%u.%05u Mpts) job %u\n",
                            job, job % 1000, job % 5000, job % 1000, job % 90, job % 4, job % 99991,
                            job);
    if (job % 50 == 0) out << "# restarted on host" << job % 64 << "\n";
    out.write(line, length);
    written += static_cast<std::size_t>(length);
  }
  return path;
}

const std::string& small_file() {
  static const std::string path = make_results_file(std::size_t{1} << 20);
  return path;
}

const std::string& large_file() {
  static const std::string path = make_results_file(std::size_t{64} << 20);
  return path;
}

void BM_ReadLine(benchmark::State& state) {
  std::size_t bytes = 0;
  for (auto _ : state) {
    std::FILE* stream = std::fopen(small_file().c_str(), "rb");
    while (char* line = read_line(stream)) std::free(line);
    bytes += static_cast<std::size_t>(std::ftell(stream));
    std::fclose(stream);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
}
BENCHMARK(BM_ReadLine)->Unit(benchmark::kMillisecond);

void BM_TakeMeasurement(benchmark::State& state) {
  for (auto _ : state) {
    double uptime = 0.0;
    double total = 0.0;
    take_measurement(small_file().c_str(), &uptime, &total);
    benchmark::DoNotOptimize(total);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) << 20);
}
BENCHMARK(BM_TakeMeasurement)->Unit(benchmark::kMillisecond);

void BM_TotalResultsFile(benchmark::State& state) {
  const auto block_size = static_cast<std::size_t>(state.range(0));
  for (auto _ : state) {
    double total = 0.0;
    total_results_file(large_file().c_str(), block_size, &total);
    benchmark::DoNotOptimize(total);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) << 26);
}
BENCHMARK(BM_TotalResultsFile)
    ->RangeMultiplier(4)
    ->Range(std::int64_t{1} << 12, std::int64_t{1} << 22)
    ->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  std::fflush(stdout);
  const int report = dup(1);
  if (std::freopen("/dev/null", "w", stdout) == nullptr) return 1;
  std::ofstream report_stream("/dev/fd/" + std::to_string(report));
  benchmark::Initialize(&argc, argv);
  benchmark::ConsoleReporter reporter(benchmark::ConsoleReporter::OO_Tabular);
  reporter.SetOutputStream(&report_stream);
  reporter.SetErrorStream(&report_stream);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  std::remove(small_file().c_str());
  std::remove(large_file().c_str());
  return 0;
}

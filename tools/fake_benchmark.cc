// A stand-in for a long benchmark, for the demo and its test: it appends
// finished jobs to results.dat in the working directory at a steady rate that
// it states at start, the way a real benchmark does, with timing records and
// junk lines mixed in. It runs until it is stopped (Ctrl+C).
//
// Usage: riravuvavu-fake-benchmark [mpts-per-second] [seconds-per-job]
// (defaults 2 and 0.5: jobs of 0.5 to 1.5 Mpts, 1 Mpts on average)
#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>

namespace {

constexpr double kDefaultRate = 2.0;    // Mpts per second
constexpr double kDefaultPeriod = 0.5;  // seconds per job, on average
// Job sizes lie within this fraction either side of the mean.
constexpr double kJobSpread = 0.5;
constexpr int kFirstJob = 1000;
// Work is counted in units of 0.0001 Mpts, the precision of the value lines.
constexpr double kUnitsPerMpts = 10000.0;

// Reads a number in [low, high] that is the whole of text.
bool parse_number(std::string_view text, double low, double high, double* value) {
  const char* end = text.data() + text.size();
  auto [rest, error] = std::from_chars(text.data(), end, *value);
  return error == std::errc() && rest == end && *value >= low && *value <= high;
}

std::string format_units(std::int64_t units) {
  char text[32];
  std::snprintf(text, sizeof text, "%lld.%04lld", static_cast<long long>(units / 10000),
                static_cast<long long>(units % 10000));
  return text;
}

// One finished job: its header line and its value line, the Mpts after the
// first "(". Every tenth job is followed by a timing record, whose "(" number
// must not count, and every seventh is preceded by a line that is no record.
std::string job_text(std::int64_t job, std::int64_t units) {
  std::string text;
  if (job % 7 == 0) {
    text += "checkpoint written, queue depth " + std::to_string(job % 5) + "\n";
  }
  const std::string mpts = format_units(units);
  text += "#job=" + std::to_string(job) + ";n=" + std::to_string(job % 97) +
          ";k=" + std::to_string(job % 8) + ";\n";
  text += mpts + " (" + mpts + " Mpts) job " + std::to_string(job) + " done\n";
  if (job % 10 == 0) {
    text += "#job=" + std::to_string(job) + ";\n";
    text += "#time=" + std::to_string(job % 60) + " s by worker-" + std::to_string(job % 4) +
            " (999.0 Mpts wall)\n";
  }
  return text;
}

// Appends in one write and closes again, so a reader never meets a record
// that was begun long ago and the file may be removed between jobs.
bool append_to_results(const std::string& text) {
  std::FILE* file = std::fopen("results.dat", "ab");
  if (file == nullptr) return false;
  const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
  return std::fclose(file) == 0 && written;
}

}  // namespace

int main(int argc, char** argv) {
  double rate = kDefaultRate;
  double period = kDefaultPeriod;
  if (argc > 3 || (argc > 1 && !parse_number(argv[1], 0.001, 1e6, &rate)) ||
      (argc > 2 && !parse_number(argv[2], 0.01, 3600.0, &period))) {
    std::fprintf(stderr,
                 "usage: %s [mpts-per-second] [seconds-per-job]\n"
                 "  0.001 to 1000000 Mpts/s (default 2), 0.01 to 3600 s per job (default 0.5)\n",
                 argv[0]);
    return 2;
  }
  const double mean_mpts = rate * period;
  std::printf(
      "fake benchmark: appending %.2f Mpts/s = %.0f kpts/sec to results.dat (jobs of %.2f to "
      "%.2f Mpts, finished as the work is done; timing records and junk lines mixed in)\n",
      rate, rate * 1000.0, mean_mpts * (1.0 - kJobSpread), mean_mpts * (1.0 + kJobSpread));
  std::fflush(stdout);

  // Jobs differ in size, as real ones do, and each is appended when the steady
  // rate has done its work: the file then holds rate x time less at most the
  // job in progress. Sizes are counted in whole units so that the values
  // written add up exactly to the running total the timing follows.
  const auto start = std::chrono::steady_clock::now();
  std::int64_t total_units = 0;
  std::uint32_t size_state = 12345;
  for (std::int64_t job = kFirstJob;; ++job) {
    size_state = size_state * 1664525u + 1013904223u;  // Numerical Recipes' generator
    const double fraction = static_cast<double>(size_state >> 8) / static_cast<double>(1u << 24);
    const double job_mpts = mean_mpts * (1.0 - kJobSpread + 2.0 * kJobSpread * fraction);
    const std::int64_t job_units =
        std::max<std::int64_t>(1, std::llround(job_mpts * kUnitsPerMpts));
    total_units += job_units;
    const std::chrono::duration<double> done_at(static_cast<double>(total_units) / kUnitsPerMpts /
                                                rate);
    std::this_thread::sleep_until(
        start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(done_at));
    if (!append_to_results(job_text(job, job_units))) {
      std::fprintf(stderr, "fake benchmark: cannot append to results.dat: %s\n",
                   std::strerror(errno));
      return 1;
    }
  }
}

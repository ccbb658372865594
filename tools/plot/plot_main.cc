// riravuvavu-plot: draws the monitor's benchmark log as an SVG chart.
//
// Usage: riravuvavu-plot [LOG] [-o SVG]   (defaults: benchcsv.log, throughput.svg)
// Exit status: 0 when the chart was written; 1 when the log could not be read,
// held no data row, or the chart could not be written; 2 for a bad command line.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>

#include "tools/plot/benchmark_log.h"
#include "tools/plot/svg_chart.h"

namespace {

constexpr std::size_t kSkippedRowsNamed = 5;

void print_usage(std::FILE* stream) {
  std::fputs(
      "usage: riravuvavu-plot [LOG] [-o SVG]\n"
      "Draws the throughput estimate (kpts/sec) and the Mpts in the results file\n"
      "against uptime, one series per run of the monitor, as an SVG picture.\n"
      "  LOG     the monitor's benchmark log (default: benchcsv.log)\n"
      "  -o SVG  the chart to write (default: throughput.svg)\n",
      stream);
}

int fail(const std::string& message) {
  std::fprintf(stderr, "riravuvavu-plot: %s\n", message.c_str());
  return 1;
}

// Reads the whole file; on failure returns errno's reason, else an empty text.
std::string read_file(const std::string& path, std::string* text) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return std::strerror(errno);
  char block[65536];
  std::size_t got;
  while ((got = std::fread(block, 1, sizeof block, file)) > 0) text->append(block, got);
  std::string reason = std::ferror(file) != 0 ? std::strerror(errno) : "";
  std::fclose(file);
  return reason;
}

// Writes the whole text; returns the reason of a failure, else an empty text.
// A file left half written is removed again.
std::string write_file(const std::string& path, std::string_view text) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return std::strerror(errno);
  std::string reason;
  if (std::fwrite(text.data(), 1, text.size(), file) != text.size()) reason = std::strerror(errno);
  if (std::fclose(file) != 0 && reason.empty()) reason = std::strerror(errno);
  if (!reason.empty()) std::remove(path.c_str());
  return reason;
}

void report_skipped(const BenchmarkLog& log) {
  if (log.skipped.empty()) return;
  std::string message = "skipped " + std::to_string(log.skipped.size()) +
                        (log.skipped.size() == 1 ? " row:" : " rows:");
  for (std::size_t i = 0; i < log.skipped.size() && i < kSkippedRowsNamed; ++i) {
    message += (i == 0 ? " line " : ", line ") + std::to_string(log.skipped[i].line) + " (" +
               log.skipped[i].reason + ")";
  }
  if (log.skipped.size() > kSkippedRowsNamed) message += ", ...";
  std::fprintf(stderr, "riravuvavu-plot: %s\n", message.c_str());
}

// The log's file name without its folders, for the chart's title.
std::string_view base_name(std::string_view path) {
  const std::size_t slash = path.find_last_of("/\\");
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

}  // namespace

int main(int argc, char** argv) {
  std::string log_path = "benchcsv.log";
  std::string svg_path = "throughput.svg";
  bool log_given = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    if (argument == "-h" || argument == "--help") {
      print_usage(stdout);
      return 0;
    }
    if (argument == "-o" && i + 1 < argc) {
      svg_path = argv[++i];
    } else if (!log_given && !argument.empty() && argument[0] != '-') {
      log_path = argument;
      log_given = true;
    } else {
      print_usage(stderr);
      return 2;
    }
  }

  std::string text;
  if (std::string reason = read_file(log_path, &text); !reason.empty()) {
    return fail("cannot read '" + log_path + "': " + reason);
  }
  const BenchmarkLog log = parse_benchmark_log(text);
  report_skipped(log);
  std::size_t rows = 0;
  for (const LogRun& run : log.runs) rows += run.rows.size();
  if (rows == 0) {
    return fail("'" + log_path +
                "' holds no data row yet (the monitor writes one at each sample at which "
                "results.dat grew)");
  }
  std::error_code same_error;
  if (std::filesystem::equivalent(log_path, svg_path, same_error)) {
    return fail("'" + svg_path + "' is the log itself; the chart would overwrite it");
  }
  const std::string svg = render_throughput_svg(log, base_name(log_path));
  if (std::string reason = write_file(svg_path, svg); !reason.empty()) {
    return fail("cannot write '" + svg_path + "': " + reason);
  }
  std::printf("wrote %s (%s rows)\n", svg_path.c_str(), std::to_string(rows).c_str());
  return 0;
}

// The throughput chart: the estimate (kpts/sec) and the Mpts in the results
// file against uptime, one series per run of the monitor, as one SVG document
// that needs nothing else to show (no scripts, fonts or linked files).
#ifndef RIRAVUVAVU_TOOLS_PLOT_SVG_CHART_H_
#define RIRAVUVAVU_TOOLS_PLOT_SVG_CHART_H_

#include <string>
#include <string_view>

#include "tools/plot/benchmark_log.h"

// Returns the SVG document. `source_name` names the log in the title.
// REQUIRES: at least one run of `log` has a row.
std::string render_throughput_svg(const BenchmarkLog& log, std::string_view source_name);

#endif  // RIRAVUVAVU_TOOLS_PLOT_SVG_CHART_H_

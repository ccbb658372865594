#include "tools/plot/svg_chart.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <limits>
#include <vector>

namespace {

// Page layout in SVG user units (pixels at 100 % zoom).
constexpr double kWidth = 960;
constexpr double kHeight = 700;
constexpr double kPlotLeft = 90;
constexpr double kPlotRight = 760;
constexpr double kLegendLeft = 785;
constexpr double kLegendTop = 90;
constexpr double kLegendRowHeight = 20;
constexpr int kLegendMaxRows = 28;
// Runs with at most this many rows also get a dot per row: a lone row would
// otherwise draw nothing.
constexpr std::size_t kMaxRowsWithDots = 60;

constexpr std::array<std::string_view, 10> kRunColours = {
    "#1f77b4", "#d62728", "#2ca02c", "#ff7f0e", "#9467bd",
    "#8c564b", "#e377c2", "#17becf", "#7f7f7f", "#bcbd22"};

struct Panel {
  std::string_view column;  // names the panel in the document
  std::string_view title;   // the y axis title, with its unit
  double top;
  double bottom;
  bool include_zero;
  double LogRow::*field;
};

constexpr std::array<Panel, 2> kPanels = {{
    {"estimate", "Estimate (kpts/sec)", 80, 320, true, &LogRow::estimate},
    {"mpts", "Mpts in file", 390, 630, false, &LogRow::mpts},
}};

// A linear axis with round tick values that cover [low, high].
struct Axis {
  double low;
  double high;
  double step;
  int decimals;  // for the tick labels

  double ticks() const { return std::round((high - low) / step); }
  double tick(double i) const { return (std::round(low / step) + i) * step; }
  // Maps a value onto [from, to].
  double map(double value, double from, double to) const {
    return from + (value - low) / (high - low) * (to - from);
  }
};

Axis make_axis(double low, double high, bool include_zero) {
  if (include_zero) {
    low = std::min(low, 0.0);
    high = std::max(high, 0.0);
  }
  if (high - low <= std::max(std::abs(low), std::abs(high)) * 1e-9) {
    const double pad = std::max(std::abs(high) * 0.1, 1.0);
    low -= pad;
    high += pad;
  }
  const double raw = (high - low) / 5.0;
  const double power = std::pow(10.0, std::floor(std::log10(raw)));
  const double fraction = raw / power;
  const double nice = fraction <= 1.0 ? 1.0 : fraction <= 2.0 ? 2.0 : fraction <= 5.0 ? 5.0 : 10.0;
  const double step = nice * power;
  return {std::floor(low / step) * step, std::ceil(high / step) * step, step,
          std::max(0, -static_cast<int>(std::floor(std::log10(step) + 1e-9)))};
}

void append_number(std::string& out, double value, int decimals) {
  char text[64];
  auto result = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, decimals);
  out.append(text, result.ptr);
}

// Coordinates carry two decimals: far below a pixel, and the points stay
// close enough to the data for a reader to take them back.
void append_coordinate(std::string& out, double value) {
  append_number(out, value, 2);
}

std::string tick_label(const Axis& axis, double i) {
  double value = axis.tick(i);
  if (std::abs(value) < axis.step / 2) value = 0.0;  // no "-0"
  std::string label;
  append_number(label, value, axis.decimals);
  return label;
}

// Text for an XML attribute or element: markup characters escaped, and bytes
// outside printable ASCII replaced, since a file name need not be UTF-8.
std::string escape_text(std::string_view text) {
  std::string out;
  for (const char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&apos;";
        break;
      default:
        out += (c >= 0x20 && c < 0x7f) ? c : '?';
    }
  }
  return out;
}

std::string_view run_colour(const LogRun& run) {
  return kRunColours[static_cast<std::size_t>(run.number - 1) % kRunColours.size()];
}

void append_panel(std::string& out, const Panel& panel, const Axis& x_axis,
                  const std::vector<const LogRun*>& runs) {
  double low = std::numeric_limits<double>::infinity();
  double high = -low;
  for (const LogRun* run : runs) {
    for (const LogRow& row : run->rows) {
      low = std::min(low, row.*panel.field);
      high = std::max(high, row.*panel.field);
    }
  }
  const Axis y_axis = make_axis(low, high, panel.include_zero);

  out += "<g class=\"panel\" data-column=\"";
  out += panel.column;
  out += "\">\n";
  // Grid and tick labels; a label stands exactly at its tick's coordinate.
  out += "<g class=\"grid\" stroke=\"#e4e4e4\" stroke-width=\"1\">\n";
  for (double i = 0; i <= x_axis.ticks(); ++i) {
    const double x = x_axis.map(x_axis.tick(i), kPlotLeft, kPlotRight);
    out += "<line x1=\"";
    append_coordinate(out, x);
    out += "\" y1=\"";
    append_coordinate(out, panel.top);
    out += "\" x2=\"";
    append_coordinate(out, x);
    out += "\" y2=\"";
    append_coordinate(out, panel.bottom);
    out += "\"/>\n";
  }
  for (double i = 0; i <= y_axis.ticks(); ++i) {
    const double y = y_axis.map(y_axis.tick(i), panel.bottom, panel.top);
    out += "<line x1=\"";
    append_coordinate(out, kPlotLeft);
    out += "\" y1=\"";
    append_coordinate(out, y);
    out += "\" x2=\"";
    append_coordinate(out, kPlotRight);
    out += "\" y2=\"";
    append_coordinate(out, y);
    out += "\"/>\n";
  }
  out += "</g>\n";
  out += "<g font-size=\"12\" fill=\"#333\">\n";
  for (double i = 0; i <= x_axis.ticks(); ++i) {
    out += "<text class=\"xtick\" text-anchor=\"middle\" x=\"";
    append_coordinate(out, x_axis.map(x_axis.tick(i), kPlotLeft, kPlotRight));
    out += "\" y=\"";
    append_coordinate(out, panel.bottom + 18);
    out += "\">" + tick_label(x_axis, i) + "</text>\n";
  }
  for (double i = 0; i <= y_axis.ticks(); ++i) {
    out += "<text class=\"ytick\" text-anchor=\"end\" dominant-baseline=\"middle\" x=\"";
    append_coordinate(out, kPlotLeft - 8);
    out += "\" y=\"";
    append_coordinate(out, y_axis.map(y_axis.tick(i), panel.bottom, panel.top));
    out += "\">" + tick_label(y_axis, i) + "</text>\n";
  }
  out += "</g>\n";
  // Axis lines and titles.
  out += "<path stroke=\"#000\" stroke-width=\"1\" fill=\"none\" d=\"M";
  append_coordinate(out, kPlotLeft);
  out += ",";
  append_coordinate(out, panel.top);
  out += "V";
  append_coordinate(out, panel.bottom);
  out += "H";
  append_coordinate(out, kPlotRight);
  out += "\"/>\n";
  const double middle = (panel.top + panel.bottom) / 2;
  out += "<text class=\"ytitle\" font-size=\"13\" text-anchor=\"middle\" transform=\"translate(24,";
  append_coordinate(out, middle);
  out += ") rotate(-90)\">";
  out += panel.title;
  out += "</text>\n";
  out += "<text class=\"xtitle\" font-size=\"13\" text-anchor=\"middle\" x=\"";
  append_coordinate(out, (kPlotLeft + kPlotRight) / 2);
  out += "\" y=\"";
  append_coordinate(out, panel.bottom + 40);
  out += "\">Uptime (s)</text>\n";

  // One series per run.
  for (const LogRun* run : runs) {
    const std::string_view colour = run_colour(*run);
    out += "<polyline class=\"series\" data-run=\"" + std::to_string(run->number) +
           "\" fill=\"none\" stroke-width=\"2\" stroke-linejoin=\"round\" stroke=\"";
    out += colour;
    out += "\" points=\"";
    for (const LogRow& row : run->rows) {
      append_coordinate(out, x_axis.map(row.uptime, kPlotLeft, kPlotRight));
      out += ',';
      append_coordinate(out, y_axis.map(row.*panel.field, panel.bottom, panel.top));
      out += ' ';
    }
    out.back() = '"';
    out += "/>\n";
    if (run->rows.size() <= kMaxRowsWithDots) {
      out += "<g fill=\"";
      out += colour;
      out += "\">\n";
      for (const LogRow& row : run->rows) {
        out += "<circle r=\"3\" cx=\"";
        append_coordinate(out, x_axis.map(row.uptime, kPlotLeft, kPlotRight));
        out += "\" cy=\"";
        append_coordinate(out, y_axis.map(row.*panel.field, panel.bottom, panel.top));
        out += "\"/>\n";
      }
      out += "</g>\n";
    }
  }
  out += "</g>\n";
}

void append_legend(std::string& out, const std::vector<const LogRun*>& runs) {
  out += "<g class=\"legend\" font-size=\"12\">\n";
  const std::size_t shown = runs.size() <= kLegendMaxRows ? runs.size() : kLegendMaxRows - 1;
  for (std::size_t i = 0; i < shown; ++i) {
    const LogRun& run = *runs[i];
    const double y = kLegendTop + static_cast<double>(i) * kLegendRowHeight;
    out += "<line stroke-width=\"3\" stroke=\"";
    out += run_colour(run);
    out += "\" x1=\"";
    append_coordinate(out, kLegendLeft);
    out += "\" x2=\"";
    append_coordinate(out, kLegendLeft + 22);
    out += "\" y1=\"";
    append_coordinate(out, y);
    out += "\" y2=\"";
    append_coordinate(out, y);
    out += "\"/>\n<text class=\"legend-entry\" dominant-baseline=\"middle\" x=\"";
    append_coordinate(out, kLegendLeft + 30);
    out += "\" y=\"";
    append_coordinate(out, y);
    out += "\">run " + std::to_string(run.number) + " (" + std::to_string(run.rows.size()) +
           (run.rows.size() == 1 ? " row" : " rows") + ")</text>\n";
  }
  if (shown < runs.size()) {
    out += "<text x=\"";
    append_coordinate(out, kLegendLeft);
    out += "\" y=\"";
    append_coordinate(out, kLegendTop + static_cast<double>(shown) * kLegendRowHeight);
    out += "\" dominant-baseline=\"middle\">and " + std::to_string(runs.size() - shown) +
           " more runs</text>\n";
  }
  out += "</g>\n";
}

}  // namespace

std::string render_throughput_svg(const BenchmarkLog& log, std::string_view source_name) {
  std::vector<const LogRun*> runs;
  std::size_t rows = 0;
  double first = std::numeric_limits<double>::infinity();
  double last = -first;
  for (const LogRun& run : log.runs) {
    if (run.rows.empty()) continue;  // a start that never saw the file grow
    runs.push_back(&run);
    rows += run.rows.size();
    for (const LogRow& row : run.rows) {
      first = std::min(first, row.uptime);
      last = std::max(last, row.uptime);
    }
  }
  const Axis x_axis = make_axis(first, last, false);
  const std::string title = "RiravUvavu throughput: " + escape_text(source_name);

  std::string out;
  out += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
  std::string size;  // the page in user units, which are pixels at 100 % zoom
  size += "width=\"";
  append_number(size, kWidth, 0);
  size += "\" height=\"";
  append_number(size, kHeight, 0);
  size += "\"";
  out += "<svg xmlns=\"http://www.w3.org/2000/svg\" " + size + " viewBox=\"0 0 ";
  append_number(out, kWidth, 0);
  out += " ";
  append_number(out, kHeight, 0);
  out += "\" font-family=\"DejaVu Sans, Arial, Helvetica, sans-serif\">\n";
  out += "<title>" + title + "</title>\n";
  out += "<rect " + size + " fill=\"#fff\"/>\n";
  out += "<text font-size=\"18\" font-weight=\"bold\" x=\"90\" y=\"32\">" + title + "</text>\n";
  out += "<text font-size=\"12\" fill=\"#555\" x=\"90\" y=\"52\">" + std::to_string(runs.size()) +
         (runs.size() == 1 ? " run, " : " runs, ") + std::to_string(rows) +
         (rows == 1 ? " row" : " rows") +
         "; uptime is the machine's clock in seconds since it started</text>\n";
  for (const Panel& panel : kPanels) append_panel(out, panel, x_axis, runs);
  append_legend(out, runs);
  out += "</svg>\n";
  return out;
}

// The sampling loop's decisions, its texts, the interval and the sleep.
//
// Differences, products and quotients are carried in long double (a 64-bit
// significand on x86-64) and rounded to double where they are stored, as the
// estimate's digits depend on it; where long double is plain double they are
// rounded at every step instead.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>

#include "monitor/monitor.h"
#include "platform/platform.h"

namespace {

constexpr double kNone = -1.0;
constexpr float kDefaultInterval = 300.0f;

// Truncation toward zero to a signed 32-bit count. A value that does not fit
// (or NaN) gives INT32_MIN, what the x87 conversion stores for it.
std::int32_t whole_number(long double value) {
  if (!(value > -2147483649.0L && value < 2147483648.0L)) {
    return std::numeric_limits<std::int32_t>::min();
  }
  return static_cast<std::int32_t>(value);
}

// A total read from the file may be as large as a double goes, so a row is
// sized to its text rather than cut at a fixed length.
template <typename... Args>
std::string format(const char* pattern, Args... args) {
  const int length = std::snprintf(nullptr, 0, pattern, args...);
  if (length <= 0) return {};
  std::string text(static_cast<std::size_t>(length), '\0');
  std::snprintf(text.data(), text.size() + 1, pattern, args...);
  return text;
}

}  // namespace

MonitorState monitor_start_state() {
  return MonitorState{kNone, kNone, 0.0, kNone, 0.0, 0.0};
}

SampleTexts monitor_take_sample(MonitorState* state, double uptime, double total) {
  state->previous_total = state->current_total;
  state->current_uptime = uptime;
  state->current_total = total;

  SampleTexts texts;
  const bool grew = state->previous_total < state->current_total && state->previous_total != kNone;
  if (!grew) {
    if (state->baseline_uptime != kNone) {
      texts.status = format(
          "uptime+%d   No change in file size\r",
          whole_number(static_cast<long double>(state->current_uptime) - state->baseline_uptime));
    } else {
      texts.status = "No change in file size\r";
    }
    return texts;
  }

  if (state->baseline_uptime == kNone) {
    state->baseline_uptime = state->current_uptime;
    state->baseline_total = state->current_total;
  }
  const long double seconds =
      static_cast<long double>(state->current_uptime) - state->baseline_uptime;
  const long double mpts = static_cast<long double>(state->current_total) - state->baseline_total;
  texts.status = format("uptime+%d Mpts+%.1f   ", whole_number(seconds), static_cast<double>(mpts));
  if (state->baseline_uptime < state->current_uptime) {
    state->estimate = static_cast<double>(1000.0L * mpts / seconds);
    texts.status += format("Estimate %.2f kpts/sec\n", state->estimate);
  } else {
    texts.status += "No estimate so far\n";
  }
  texts.log_row = format("%d,%.1f,%.2f\n", whole_number(state->current_uptime),
                         state->current_total, state->estimate);
  return texts;
}

float parse_interval(int argc, char** argv) {
  float interval = kDefaultInterval;
  if (argc > 1) std::sscanf(argv[1], "%f", &interval);
  // A sleep of NaN, an infinite or a negative count of seconds has no meaning.
  if (!std::isfinite(interval) || interval < 0.0f) interval = kDefaultInterval;
  return interval + 0.0f;  // -0 is shown as 0.0
}

std::string start_banner(float interval, bool has_argument) {
  std::string banner =
      format("RiravUvavu started.  Interval = %.1f sec\n", static_cast<double>(interval));
  if (!has_argument) {
    banner += "Call 'zanthbench 900' or similar from DOS to change the interval.\n";
  }
  banner += "\n";
  return banner;
}

std::uint64_t interval_milliseconds(float interval) {
  // The single-precision product is exact at extended precision; truncate it.
  const long double milliseconds = static_cast<long double>(interval) * 1000.0f;
  if (!(milliseconds < 18446744073709551616.0L)) return UINT64_MAX;
  return milliseconds > 0 ? static_cast<std::uint64_t>(milliseconds) : 0;
}

void sleep_interval(float interval) {
  // Pieces below 2^31 ms keep clear of Sleep's INFINITE (0xFFFFFFFF).
  constexpr std::uint64_t kPiece = std::uint64_t{1} << 31;
  std::uint64_t remaining = interval_milliseconds(interval);
  for (; remaining > kPiece; remaining -= kPiece) Sleep(static_cast<DWORD>(kPiece));
  if (remaining > 0) Sleep(static_cast<DWORD>(remaining));
}

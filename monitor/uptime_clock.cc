// The uptime clock: picks its source at the first reading, then costs one
// counter read and one multiplication per reading.
//
// Arithmetic is carried in long double: the 64-bit significand of x87 double-
// extended on x86-64 (Linux, macOS on Intel, mingw-w64). Where long double is
// plain double (AArch64 macOS, MSVC) the products are rounded once, to double.
#include "monitor/monitor.h"
#include "platform/platform.h"

namespace {

double select_uptime_source();
double uptime_from_counter();
double uptime_from_ticks();

double (*uptime_source)() = select_uptime_source;
double counter_period = 0.0;

// The 64-bit count as a number: upper half signed, lower half unsigned.
long double large_integer_value(const LARGE_INTEGER& value) {
  return static_cast<long double>(value.u.HighPart) * 4294967296.0L +
         static_cast<long double>(value.u.LowPart);
}

double select_uptime_source() {
  LARGE_INTEGER frequency;
  if (QueryPerformanceFrequency(&frequency) != 0) {
    counter_period = static_cast<double>(1.0L / large_integer_value(frequency));
    uptime_source = uptime_from_counter;
  } else {
    uptime_source = uptime_from_ticks;
  }
  return uptime_source();
}

double uptime_from_counter() {
  LARGE_INTEGER count;
  QueryPerformanceCounter(&count);
  return static_cast<double>(large_integer_value(count) * counter_period);
}

double uptime_from_ticks() {
  return static_cast<double>(GetTickCount() * 0.001L);
}

}  // namespace

double uptime_seconds() {
  return uptime_source();
}

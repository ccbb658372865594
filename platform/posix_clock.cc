// Timing calls on POSIX: the high-resolution counter is the boot-time clock in
// nanoseconds, the tick count its milliseconds, and Sleep a nanosleep that
// resumes after signals.
#include <cerrno>
#include <ctime>

#include "platform/platform.h"

namespace {

constexpr LONGLONG kNanosecondsPerSecond = 1000000000;

// Seconds since system start, suspend included where the system counts it,
// so that the readings agree with /proc/uptime.
timespec boot_time_now() {
  timespec now{};
#if defined(CLOCK_BOOTTIME)
  if (clock_gettime(CLOCK_BOOTTIME, &now) == 0) return now;
#endif
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now;
}

}  // namespace

BOOL QueryPerformanceFrequency(LARGE_INTEGER* frequency) {
  frequency->QuadPart = kNanosecondsPerSecond;
  return TRUE;
}

BOOL QueryPerformanceCounter(LARGE_INTEGER* count) {
  const timespec now = boot_time_now();
  count->QuadPart = static_cast<LONGLONG>(now.tv_sec) * kNanosecondsPerSecond + now.tv_nsec;
  return TRUE;
}

DWORD GetTickCount() {
  const timespec now = boot_time_now();
  // Wraps at 2^32 ms like the Windows tick count.
  return static_cast<DWORD>(static_cast<std::uint64_t>(now.tv_sec) * 1000u +
                            static_cast<std::uint64_t>(now.tv_nsec) / 1000000u);
}

void Sleep(DWORD milliseconds) {
  timespec remaining{static_cast<time_t>(milliseconds / 1000),
                     static_cast<long>(milliseconds % 1000) * 1000000L};
  // A signal that is handled and returns must not cut the interval short.
  while (nanosleep(&remaining, &remaining) == -1 && errno == EINTR) {
  }
}
